#include "SigClock.h"

#include <ctime>
#include <utility>

namespace {

SigClock& InstalledClock() {
    static SigClock clock;
    return clock;
}

} // namespace

std::uint32_t SigNow() {
    const SigClock& clock = InstalledClock();
    if (clock)
        return clock();
    return static_cast<std::uint32_t>(std::time(nullptr));
}

SigClock SetSigClock(SigClock clock) {
    return std::exchange(InstalledClock(), std::move(clock));
}
