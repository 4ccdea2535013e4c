// When a file of a sign run is staged again. A file staged ahead of its turn, while other
// files were in flight, may have met a moment that has passed by its turn; the policy says
// which outcomes stand and which are done again, so that a run with several jobs gives the
// outcomes of a run of one file at a time. It decides from facts alone: no file is touched.
#pragma once

#include "SignEngine.h"

// When a file was staged: ahead of its turn on a worker, in its turn while files after it may
// be in flight, or alone (in its turn with nothing else in flight, as a run of one job does).
enum class StagedWhen { Ahead, InTurn, Alone };

// How its staging ended.
enum class StageStatus { Staged, Failed, Stopped };

struct StagingFacts {
    StagedWhen when = StagedWhen::Alone;
    StageStatus status = StageStatus::Staged;
    // With Failed: whose fault, and whether the cause is the machine's, short of descriptors,
    // memory, threads or disk space that the files in flight held.
    Culprit culprit = Culprit::Output;
    bool shortage = false;
    // The source is an output that this run has written (perhaps after the file was staged).
    bool sourceWrittenThisRun = false;
};

enum class Retry {
    Keep,       // the staging stands
    Again,      // stage the file again now, in its turn
    AgainAlone, // stage it again with nothing else in flight
};

// What to do with a file just staged, before its turn shows anything:
// - a stop stands;
// - a shortage is met again alone, unless the file was alone already;
// - ahead of its turn, a failure of the source found before the copy, or of the output, may
//   be of the moment (the source may be an output made since, a folder was removed meanwhile):
//   done again; what the source did while it was read (a read failed, it changed) stands;
// - ahead of its turn, a source that this run has written since is staged again, so that the
//   copy holds what a run of one file at a time would have read;
// - anything staged in its turn stands.
Retry AfterStaging(const StagingFacts& facts);

// What to do when the copy could not be given its name: a copy staged ahead, about which no
// question was asked, is done again in its turn (the output's folder may have changed since);
// otherwise the failure is reported.
Retry AfterFailedCommit(StagedWhen when, bool questionAsked);
