// C streams with owners, wide-character paths on Windows and 64-bit positions. `long` is 32
// bits on Windows, so plain fseek/ftell fail on files of 2 GiB and more there.
#pragma once

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <memory>

struct FileCloser {
    void operator()(std::FILE* file) const { std::fclose(file); }
};
using UniqueFile = std::unique_ptr<std::FILE, FileCloser>;

// Opens `path` with a C stream mode ("rb", "wb", ...); null on failure.
UniqueFile OpenFile(const std::filesystem::path& path, const char* mode);

#ifdef _WIN32
// CreateFileW (a HANDLE, INVALID_HANDLE_VALUE on failure) for any path that may come from the
// user: a named pipe given as a path (\\.\pipe\x in a list of files) may learn who opened it,
// never act as that user (SECURITY_SQOS_PRESENT | SECURITY_IDENTIFICATION).
void* CreateFileIdentifyingOnly(const wchar_t* path, unsigned long access, unsigned long share,
                                unsigned long disposition, unsigned long flags);
#endif

// True when the stream is now at `offset` relative to `origin` (SEEK_SET, SEEK_CUR, SEEK_END).
bool SeekFile(std::FILE* file, std::int64_t offset, int origin);
// The stream's position, or -1 on failure.
std::int64_t TellFile(std::FILE* file);

// fread and fwrite that go on where a signal interrupted the system call under them (a host
// program's handler, a file system that lets a wait be interrupted): only a real failure or
// the end of the file ends them short.
inline std::size_t FileRead(std::FILE* file, void* buffer, std::size_t bytes) {
    std::size_t done = 0;
    for (;;) {
        done += std::fread(static_cast<char*>(buffer) + done, 1, bytes - done, file);
        if (done == bytes || !std::ferror(file) || errno != EINTR)
            return done;
        std::clearerr(file);
    }
}

inline std::size_t FileWrite(std::FILE* file, const void* data, std::size_t bytes) {
    std::size_t done = 0;
    for (;;) {
        done += std::fwrite(static_cast<const char*>(data) + done, 1, bytes - done, file);
        if (done == bytes || !std::ferror(file) || errno != EINTR)
            return done;
        std::clearerr(file);
    }
}
