// Numbers, sizes and durations as the user's locale writes them, for the windows' texts.
#pragma once

#include <cstdint>
#include <string>

// 2000 as "2,000" (or "2.000", "2 000", ...).
std::wstring FormatCount(std::uint64_t value);
// A size in the system's short form: "1.90 GB", "512 bytes".
std::wstring FormatBytes(std::uint64_t bytes);
// "2,000 files (1.90 GB)", "1 file (12 bytes)" or "No files chosen".
std::wstring FilesAndSize(std::uint64_t files, std::uint64_t bytes);
// A remaining time, rounded up: "about 5 seconds left", "about 3 minutes left", ...
std::wstring TimeLeft(double seconds);
// A time in seconds since 1970 (UTC) in the user's local time and formats: date and time.
std::wstring LocalDateTime(std::uint32_t seconds);
