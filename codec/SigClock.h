// The clock that seeds the code table of every trailer written. Tests replace it to make
// trailers reproducible; everything else uses the system clock.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

using SigClock = std::function<std::uint32_t()>;

// The current time in whole seconds, truncated to 32 bits, from the installed clock.
std::uint32_t SigNow();

// A signing time (seconds since 1970 UTC) in ISO 8601 UTC: "2026-12-08T03:04:05Z". Every door
// shows a trailer's time through this one formatter.
std::string IsoUtc(std::uint32_t seconds);

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
