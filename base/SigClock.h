// The clock that seeds the code table of every trailer written. Tests replace it (TestHooks.h)
// to make trailers reproducible; everything else uses the system clock.
#pragma once

#include <cstdint>
#include <string>

// The current time in whole seconds, truncated to 32 bits, from the test hooks' clock or the
// system's.
std::uint32_t SigNow();

// A signing time (seconds since 1970 UTC) in ISO 8601 UTC: "2026-12-08T03:04:05Z". Every door
// shows a trailer's time through this one formatter.
std::string IsoUtc(std::uint32_t seconds);
