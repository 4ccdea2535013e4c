// C streams on Windows: wide-character paths and 64-bit positions.
#define WIN32_LEAN_AND_MEAN
#define NOUSER
#define NOGDI

#include "FileIo.h"

#include <cerrno>
#include <cstdint>
#include <fcntl.h>
#include <io.h>
#include <string_view>
#include <windows.h>

void* CreateFileIdentifyingOnly(const wchar_t* path, unsigned long access, unsigned long share,
                                unsigned long disposition, unsigned long flags) {
    return CreateFileW(path, access, share, nullptr, disposition,
                       flags | SECURITY_SQOS_PRESENT | SECURITY_IDENTIFICATION, nullptr);
}

// Opened as the C runtime opens (others may read and write meanwhile), through
// CreateFileIdentifyingOnly.
UniqueFile OpenFile(const std::filesystem::path& path, const char* mode) {
    const std::string_view how(mode);
    const bool both = how.find('+') != how.npos;
    DWORD access = both ? GENERIC_READ | GENERIC_WRITE : 0;
    DWORD disposition = OPEN_EXISTING;
    int flags = both ? _O_RDWR : 0;
    switch (how.empty() ? '\0' : how.front()) {
    case 'r':
        access |= GENERIC_READ;
        flags |= both ? 0 : _O_RDONLY;
        break;
    case 'w':
        access |= GENERIC_WRITE;
        disposition = CREATE_ALWAYS;
        flags |= both ? 0 : _O_WRONLY;
        break;
    case 'a':
        access |= GENERIC_WRITE;
        disposition = OPEN_ALWAYS;
        flags |= (both ? 0 : _O_WRONLY) | _O_APPEND;
        break;
    default:
        errno = EINVAL;
        return nullptr;
    }
    flags |= how.find('b') != how.npos ? _O_BINARY : _O_TEXT;
    const HANDLE handle =
        CreateFileIdentifyingOnly(path.c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                  disposition, FILE_ATTRIBUTE_NORMAL);
    if (handle == INVALID_HANDLE_VALUE) {
        // Where the C runtime's callers look for the reason.
        const DWORD error = GetLastError();
        _doserrno = error;
        errno = error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND ? ENOENT
                : error == ERROR_ACCESS_DENIED                                 ? EACCES
                                                                               : EINVAL;
        return nullptr;
    }
    const int fd = _open_osfhandle(reinterpret_cast<std::intptr_t>(handle), flags);
    if (fd < 0) {
        CloseHandle(handle);
        return nullptr;
    }
    std::FILE* file = _fdopen(fd, mode);
    if (file == nullptr)
        _close(fd);
    return UniqueFile(file);
}

bool SeekFile(std::FILE* file, std::int64_t offset, int origin) {
    return _fseeki64(file, offset, origin) == 0;
}

std::int64_t TellFile(std::FILE* file) {
    return _ftelli64(file);
}
