#include "RetryPolicy.h"

Retry AfterStaging(const StagingFacts& facts) {
    const bool failed = facts.status == StageStatus::Failed;
    if (facts.status == StageStatus::Stopped)
        return Retry::Keep;
    if (failed && facts.shortage)
        return facts.when == StagedWhen::Alone ? Retry::Keep : Retry::AgainAlone;
    if (facts.when != StagedWhen::Ahead)
        return Retry::Keep;
    if (failed && facts.culprit != Culprit::SourceRead)
        return Retry::Again;
    return facts.sourceWrittenThisRun ? Retry::Again : Retry::Keep;
}

Retry AfterFailedCommit(StagedWhen when, bool questionAsked) {
    return when == StagedWhen::Ahead && !questionAsked ? Retry::Again : Retry::Keep;
}
