#include "LocaleText.h"

#include <windows.h>
#include <shlwapi.h>

#include <algorithm>
#include <cmath>
#include <cwchar>

namespace {

std::wstring LocaleInfo(LCTYPE type, const wchar_t* fallback) {
    const int size = ::GetLocaleInfoEx(LOCALE_NAME_USER_DEFAULT, type, nullptr, 0);
    if (size <= 1)
        return fallback;
    std::wstring text(static_cast<std::size_t>(size), L'\0');
    ::GetLocaleInfoEx(LOCALE_NAME_USER_DEFAULT, type, text.data(), size);
    text.resize(static_cast<std::size_t>(size - 1));
    return text;
}

} // namespace

std::wstring FormatCount(std::uint64_t value) {
    const std::wstring digits = std::to_wstring(value);
    std::wstring decimal = LocaleInfo(LOCALE_SDECIMAL, L".");
    std::wstring thousand = LocaleInfo(LOCALE_STHOUSAND, L",");
    NUMBERFMTW format{};
    format.NumDigits = 0;
    format.LeadingZero = 0;
    format.Grouping = 3;
    format.lpDecimalSep = decimal.data();
    format.lpThousandSep = thousand.data();
    format.NegativeOrder = 1;
    const int size =
        ::GetNumberFormatEx(LOCALE_NAME_USER_DEFAULT, 0, digits.c_str(), &format, nullptr, 0);
    if (size <= 1)
        return digits;
    std::wstring text(static_cast<std::size_t>(size), L'\0');
    ::GetNumberFormatEx(LOCALE_NAME_USER_DEFAULT, 0, digits.c_str(), &format, text.data(), size);
    text.resize(static_cast<std::size_t>(size - 1));
    return text;
}

std::wstring FormatBytes(std::uint64_t bytes) {
    std::wstring text(64, L'\0');
    if (!::StrFormatByteSizeW(static_cast<LONGLONG>(bytes), text.data(),
                              static_cast<UINT>(text.size())))
        return FormatCount(bytes) + L" bytes";
    text.resize(std::wcslen(text.c_str()));
    return text;
}

std::wstring FilesAndSize(std::uint64_t files, std::uint64_t bytes) {
    if (files == 0)
        return L"No files chosen";
    return FormatCount(files) + (files == 1 ? L" file (" : L" files (") + FormatBytes(bytes) + L")";
}

std::wstring TimeLeft(double seconds) {
    const auto whole = static_cast<std::uint64_t>(std::ceil(std::max(seconds, 1.0)));
    if (whole < 90)
        return L"about " + FormatCount(whole) + (whole == 1 ? L" second left" : L" seconds left");
    const std::uint64_t minutes = (whole + 59) / 60;
    if (minutes < 90)
        return L"about " + FormatCount(minutes) + L" minutes left";
    return L"about " + FormatCount((minutes + 59) / 60) + L" hours left";
}

std::wstring LocalDateTime(std::uint32_t seconds) {
    // 100 ns steps since 1601.
    const std::uint64_t ticks =
        (static_cast<std::uint64_t>(seconds) + 11644473600ULL) * 10000000ULL;
    FILETIME utc{static_cast<DWORD>(ticks), static_cast<DWORD>(ticks >> 32)};
    SYSTEMTIME universal{};
    SYSTEMTIME local{};
    if (!::FileTimeToSystemTime(&utc, &universal) ||
        !::SystemTimeToTzSpecificLocalTime(nullptr, &universal, &local))
        return {};
    const auto format = [&](bool date) {
        const int size =
            date ? ::GetDateFormatEx(LOCALE_NAME_USER_DEFAULT, DATE_SHORTDATE, &local, nullptr,
                                     nullptr, 0, nullptr)
                 : ::GetTimeFormatEx(LOCALE_NAME_USER_DEFAULT, 0, &local, nullptr, nullptr, 0);
        if (size <= 1)
            return std::wstring();
        std::wstring text(static_cast<std::size_t>(size), L'\0');
        if (date)
            ::GetDateFormatEx(LOCALE_NAME_USER_DEFAULT, DATE_SHORTDATE, &local, nullptr,
                              text.data(), size, nullptr);
        else
            ::GetTimeFormatEx(LOCALE_NAME_USER_DEFAULT, 0, &local, nullptr, text.data(), size);
        text.resize(static_cast<std::size_t>(size - 1));
        return text;
    };
    return format(true) + L" " + format(false);
}
