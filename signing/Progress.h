// How far a run is and how long the rest may take, from what is done and known: one rule for
// every door that shows a run's progress (the desktop program's window, quorvane-cli's line).
#pragma once

#include <cstdint>
#include <optional>

struct ProgressFacts {
    std::uint64_t filesDone = 0;
    std::uint64_t filesKnown = 0;
    std::uint64_t bytesDone = 0;
    std::uint64_t bytesKnown = 0;
    double seconds = 0; // since the run started
};

struct ProgressEstimate {
    // Files and bytes together, 0 to 1: a run of empty files moves too, and a run of one large
    // file moves with its bytes.
    double fraction = 0;
    // Once a second has passed.
    std::optional<double> bytesPerSecond;
    // Once a second has passed and something, not everything, is done.
    std::optional<double> secondsLeft;
};

ProgressEstimate Estimate(const ProgressFacts& facts);
