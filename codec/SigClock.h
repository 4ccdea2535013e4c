// The clock that seeds the code table of every trailer written. Tests replace it to make
// trailers reproducible; everything else uses the system clock.
#pragma once

#include <cstdint>
#include <functional>

using SigClock = std::function<std::uint32_t()>;

// The current time in whole seconds, truncated to 32 bits, from the installed clock.
std::uint32_t SigNow();

// Installs `clock` (an empty function restores the system clock) and returns the previous one.
SigClock SetSigClock(SigClock clock);

// Holds the clock at a fixed value for its lifetime.
class CScopedSigClock {
public:
    explicit CScopedSigClock(std::uint32_t seconds)
        : m_previous(SetSigClock([seconds] { return seconds; })) {}
    explicit CScopedSigClock(SigClock clock) : m_previous(SetSigClock(std::move(clock))) {}
    ~CScopedSigClock() { SetSigClock(std::move(m_previous)); }
    CScopedSigClock(const CScopedSigClock&) = delete;
    CScopedSigClock& operator=(const CScopedSigClock&) = delete;

private:
    SigClock m_previous;
};
