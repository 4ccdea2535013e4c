// The system's own words for an error, as a user of the platform reads them: on Windows
// FormatMessageW of the Win32 error, elsewhere strerror of the errno value.
#pragma once

#include <string>

#ifdef _WIN32
#include "WideUtf8.h"

inline std::string SystemText(unsigned long win32Error, int /*errnoValue*/) {
    wchar_t* buffer = nullptr;
    const DWORD length = ::FormatMessageW(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
        nullptr, win32Error, 0, reinterpret_cast<wchar_t*>(&buffer), 0, nullptr);
    std::wstring text(buffer != nullptr ? buffer : L"", length);
    ::LocalFree(buffer);
    while (!text.empty() && (text.back() == L'\n' || text.back() == L'\r' || text.back() == L'.' ||
                             text.back() == L' '))
        text.pop_back();
    return Utf8(text);
}
#else
#include <cstring>

inline std::string SystemText(unsigned long /*win32Error*/, int errnoValue) {
    return std::strerror(errnoValue);
}
#endif
