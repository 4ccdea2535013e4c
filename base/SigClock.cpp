#include "SigClock.h"

#include "TestHooks.h"

#include <cstdio>
#include <ctime>

std::uint32_t SigNow() {
    const auto& clock = ActiveTestHooks().clock;
    if (clock)
        return clock();
    return static_cast<std::uint32_t>(std::time(nullptr));
}

std::string IsoUtc(std::uint32_t seconds) {
    // Days to a civil date (proleptic Gregorian), after Howard Hinnant's civil_from_days.
    const std::int64_t days = seconds / 86400;
    const std::uint32_t inDay = seconds % 86400;
    const std::int64_t z = days + 719468;
    const std::int64_t era = z / 146097;
    const auto doe = static_cast<std::uint32_t>(z - era * 146097);
    const std::uint32_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const std::uint32_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const std::uint32_t mp = (5 * doy + 2) / 153;
    const std::uint32_t day = doy - (153 * mp + 2) / 5 + 1;
    const std::uint32_t month = mp < 10 ? mp + 3 : mp - 9;
    const std::int64_t year = static_cast<std::int64_t>(yoe) + era * 400 + (month <= 2 ? 1 : 0);
    std::string text(32, '\0');
    const int length = std::snprintf(text.data(), text.size(), "%04lld-%02u-%02uT%02u:%02u:%02uZ",
                                     static_cast<long long>(year), month, day, inDay / 3600,
                                     inDay / 60 % 60, inDay % 60);
    text.resize(length > 0 ? static_cast<std::size_t>(length) : 0);
    return text;
}
