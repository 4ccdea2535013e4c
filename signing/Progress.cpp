#include "Progress.h"

#include <algorithm>

ProgressEstimate Estimate(const ProgressFacts& facts) {
    ProgressEstimate estimate;
    const double whole =
        static_cast<double>(facts.bytesKnown) + static_cast<double>(facts.filesKnown);
    const double done = static_cast<double>(std::min(facts.bytesDone, facts.bytesKnown)) +
                        static_cast<double>(std::min(facts.filesDone, facts.filesKnown));
    estimate.fraction = whole > 0 ? std::min(done / whole, 1.0) : 0.0;
    if (facts.seconds < 1.0)
        return estimate;
    estimate.bytesPerSecond = static_cast<double>(facts.bytesDone) / facts.seconds;
    if (estimate.fraction > 0 && estimate.fraction < 1.0)
        estimate.secondsLeft = facts.seconds * (1 - estimate.fraction) / estimate.fraction;
    return estimate;
}
