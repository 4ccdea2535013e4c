// The file operations on Windows: Win32 handles and the C runtime's wide functions.
// Files only: nothing of windows or drawing in the engine.
#define WIN32_LEAN_AND_MEAN
#define NOUSER
#define NOGDI

#include "FileOps.h"
#include "FileOpsPlatform.h"

#include <algorithm>
#include <cerrno>
#include <io.h>
#include <optional>
#include <string>
#include <sys/stat.h>
#include <system_error>
#include <vector>
#include <windows.h>
#include <winioctl.h>

namespace fs = std::filesystem;

namespace {

// Below this length every Windows file function takes a path as it is (folders: 248).
constexpr std::size_t kClassicPathLimit = 240;

bool IsSeparator(wchar_t c) {
    return c == L'\\' || c == L'/';
}

HANDLE HandleOf(std::FILE* file) {
    return reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(file)));
}

} // namespace

std::error_code LastError() {
    return {errno, std::generic_category()};
}

fs::path LongPath(const fs::path& path) {
    const std::wstring& text = path.native();
    if (text.size() < kClassicPathLimit || text.rfind(LR"(\\?\)", 0) == 0)
        return path;
    std::error_code error;
    const fs::path full = fs::absolute(path, error);
    if (error)
        return path;
    const std::wstring& absolute = full.native();
    if (absolute.rfind(LR"(\\)", 0) == 0)
        return fs::path(LR"(\\?\UNC\)" + absolute.substr(2));
    return fs::path(LR"(\\?\)" + absolute);
}

namespace platform {

fs::path WithoutTrailingSeparators(const fs::path& path) {
    auto text = path.native();
    while (text.size() > 1 && IsSeparator(text.back())) {
        if (text.size() == 3 && text[1] == L':')
            break;
        if (IsSeparator(text[text.size() - 2]))
            break; // "\\" or "\\?\" prefixes
        text.pop_back();
    }
    return fs::path(text);
}

bool HasAccess(const fs::path& path, Access access) {
    const int mode = access == Access::Read ? 4 : access == Access::Write ? 2 : 0;
    return _waccess(LongPath(path).c_str(), mode) == 0;
}

void RemoveFileNow(const wchar_t* name) {
    DeleteFileW(name);
}

} // namespace platform

UniqueFile OpenForReading(const fs::path& path, std::error_code* error, FileFacts* facts,
                          bool /*listedAsRegular*/) {
    std::error_code ignored;
    std::error_code& why = error != nullptr ? *error : ignored;
    why.clear();
    // Pipes and devices open without waiting here; they are refused once open.
    UniqueFile file = OpenFile(LongPath(path), "rb");
    if (!file) {
        why = LastError();
        return nullptr;
    }
    const HANDLE handle = HandleOf(file.get());
    struct _stat64 info {};
    if (GetFileType(handle) != FILE_TYPE_DISK || _fstat64(_fileno(file.get()), &info) != 0 ||
        (info.st_mode & _S_IFMT) != _S_IFREG) {
        why = FileError::NotRegularFile;
        return nullptr;
    }
    if (facts != nullptr) {
        std::error_code unknown;
        const std::optional<FileFacts> known = platform::FactsOf(file.get(), unknown);
        *facts = known.value_or(FileFacts{});
        facts->size = static_cast<std::int64_t>(info.st_size);
        facts->mode = static_cast<unsigned>(info.st_mode) & 0777;
    }
    return file;
}

std::optional<FileFacts> platform::FactsOf(std::FILE* file, std::error_code& error) {
    FILE_STANDARD_INFO standard{};
    FILE_BASIC_INFO basic{};
    const HANDLE handle = HandleOf(file);
    if (!GetFileInformationByHandleEx(handle, FileStandardInfo, &standard, sizeof standard) ||
        !GetFileInformationByHandleEx(handle, FileBasicInfo, &basic, sizeof basic)) {
        error = {static_cast<int>(GetLastError()), std::system_category()};
        return std::nullopt;
    }
    FileFacts facts;
    facts.size = standard.EndOfFile.QuadPart;
    facts.modified = basic.LastWriteTime.QuadPart;
    facts.changed = basic.ChangeTime.QuadPart;
    return facts;
}

std::optional<FileIdentity> IdentityOf(const fs::path& path) {
    const HANDLE handle = CreateFileW(LongPath(path).c_str(), 0,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                      nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (handle == INVALID_HANDLE_VALUE)
        return std::nullopt;
    BY_HANDLE_FILE_INFORMATION info{};
    const bool known = GetFileInformationByHandle(handle, &info) != 0;
    CloseHandle(handle);
    if (!known)
        return std::nullopt;
    return FileIdentity{info.dwVolumeSerialNumber,
                        (std::uint64_t{info.nFileIndexHigh} << 32) | info.nFileIndexLow};
}

namespace {

// Copies the allocated ranges of a sparse `source` into a sparse `target` through `io`, so
// that the holes stay holes. Nothing, with nothing written, when either file system cannot.
std::optional<bool> SparseCopyToEnd(CByteIo& io, std::FILE* source, std::FILE* target,
                                    std::vector<std::uint8_t>& buffer, const CopyProgress& progress,
                                    CopyFault& fault) {
    BY_HANDLE_FILE_INFORMATION info{};
    if (!GetFileInformationByHandle(HandleOf(source), &info) ||
        (info.dwFileAttributes & FILE_ATTRIBUTE_SPARSE_FILE) == 0)
        return std::nullopt;
    const std::int64_t size = (std::int64_t{info.nFileSizeHigh} << 32) | info.nFileSizeLow;
    const std::int64_t inStart = TellFile(source);
    if (inStart < 0 || inStart >= size || std::fflush(target) != 0)
        return std::nullopt;
    const std::int64_t outStart = TellFile(target);
    DWORD returned = 0;
    if (outStart < 0 || !DeviceIoControl(HandleOf(target), FSCTL_SET_SPARSE, nullptr, 0, nullptr, 0,
                                         &returned, nullptr))
        return std::nullopt;

    FILE_ALLOCATED_RANGE_BUFFER query{};
    query.FileOffset.QuadPart = inStart;
    query.Length.QuadPart = size - inStart;
    std::vector<FILE_ALLOCATED_RANGE_BUFFER> ranges(64);
    buffer.resize(kCopyBlockBytes);
    bool first = true;
    for (;;) {
        const BOOL complete = DeviceIoControl(
            HandleOf(source), FSCTL_QUERY_ALLOCATED_RANGES, &query, sizeof query, ranges.data(),
            static_cast<DWORD>(ranges.size() * sizeof ranges[0]), &returned, nullptr);
        if (!complete && GetLastError() != ERROR_MORE_DATA)
            return first ? std::nullopt : std::optional(false);
        first = false;
        const std::size_t count = returned / sizeof ranges[0];
        for (std::size_t i = 0; i < count; ++i) {
            const std::int64_t from = std::max(ranges[i].FileOffset.QuadPart, inStart);
            const std::int64_t until =
                std::min(ranges[i].FileOffset.QuadPart + ranges[i].Length.QuadPart, size);
            if (from >= until)
                continue;
            if (!SeekFile(source, from, SEEK_SET) ||
                !SeekFile(target, outStart + (from - inStart), SEEK_SET))
                return false;
            for (std::int64_t at = from; at < until;) {
                const auto want = static_cast<std::size_t>(
                    std::min<std::int64_t>(until - at, static_cast<std::int64_t>(buffer.size())));
                errno = 0;
                if (io.Read(source, buffer.data(), want) != want) {
                    fault = {true, LastError()};
                    return false;
                }
                errno = 0;
                if (io.Write(target, buffer.data(), want) != want) {
                    fault = {false, LastError()};
                    return false;
                }
                at += static_cast<std::int64_t>(want);
                if (progress && !progress(static_cast<std::uint64_t>(at - inStart)))
                    return false;
            }
            query.FileOffset.QuadPart = until;
        }
        if (complete || count == 0)
            break;
        query.Length.QuadPart = size - query.FileOffset.QuadPart;
    }
    if (progress && !progress(static_cast<std::uint64_t>(size - inStart)))
        return false;
    FILE_END_OF_FILE_INFO end{};
    end.EndOfFile.QuadPart = outStart + (size - inStart);
    return std::fflush(target) == 0 &&
           SetFileInformationByHandle(HandleOf(target), FileEndOfFileInfo, &end, sizeof end) &&
           SeekFile(target, end.EndOfFile.QuadPart, SEEK_SET) && SeekFile(source, size, SEEK_SET);
}
} // namespace

std::optional<bool> platform::SystemCopyToEnd(CByteIo& io, std::FILE* source, std::FILE* target,
                                              std::vector<std::uint8_t>& buffer,
                                              const CopyProgress& progress, CopyFault& fault) {
    return SparseCopyToEnd(io, source, target, buffer, progress, fault);
}
