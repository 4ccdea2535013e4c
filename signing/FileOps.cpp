#if !defined(_WIN32) && !defined(_FILE_OFFSET_BITS)
#define _FILE_OFFSET_BITS 64
#endif

#include "FileOps.h"

#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <optional>
#include <string>
#include <sys/stat.h>
#include <system_error>
#include <utility>
#include <vector>

#ifdef _WIN32
// Files only: nothing of windows or drawing in the engine.
#define WIN32_LEAN_AND_MEAN
#define NOUSER
#define NOGDI
#include <io.h>
#include <windows.h>
#include <winioctl.h>
#else
#include <unistd.h>
#endif

namespace fs = std::filesystem;

namespace {

#ifdef _WIN32
// Below this length every Windows file function takes a path as it is (folders: 248).
constexpr std::size_t kClassicPathLimit = 240;

bool IsSeparator(wchar_t c) {
    return c == L'\\' || c == L'/';
}
#endif

// A path without separators at its end, unless that would change what it names ("/", "C:\").
fs::path WithoutTrailingSeparators(const fs::path& path) {
    auto text = path.native();
    while (text.size() > 1 && (text.back() == fs::path::preferred_separator ||
                               text.back() == static_cast<fs::path::value_type>('/'))) {
#ifdef _WIN32
        if (text.size() == 3 && text[1] == L':')
            break;
        if (IsSeparator(text[text.size() - 2]))
            break; // "\\" or "\\?\" prefixes
#endif
        text.pop_back();
    }
    return fs::path(text);
}

int Access(const fs::path& path, int mode) {
#ifdef _WIN32
    return _waccess(LongPath(path).c_str(), mode);
#else
    return ::access(path.c_str(), mode);
#endif
}

class CFileErrorCategory : public std::error_category {
public:
    const char* name() const noexcept override { return "quorvane"; }
    std::string message(int value) const override {
        switch (static_cast<FileError>(value)) {
        case FileError::NotRegularFile:
            return "not a regular file";
        case FileError::NameTooLong:
            return "file name too long";
        case FileError::WrittenThisRun:
            return "written earlier in this run";
        case FileError::OutsideOutputFolder:
            return "outside the output folder";
        }
        return "unknown error";
    }
};

} // namespace

const std::error_category& FileErrorCategory() {
    static const CFileErrorCategory category;
    return category;
}

std::error_code make_error_code(FileError error) {
    return {static_cast<int>(error), FileErrorCategory()};
}

std::error_code LastError() {
    return {errno, std::generic_category()};
}

std::string ErrorText(const std::error_code& error) {
    std::string text = error.message();
    // Some runtimes end their texts with a period or a line break.
    while (!text.empty() &&
           (text.back() == '\n' || text.back() == '\r' || text.back() == '.' || text.back() == ' '))
        text.pop_back();
    return text;
}

fs::path LongPath(const fs::path& path) {
#ifdef _WIN32
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
#else
    return path;
#endif
}

bool IsDirectory(const fs::path& path) {
    if (path.empty())
        return false;
    std::error_code error;
    return fs::is_directory(LongPath(WithoutTrailingSeparators(path)), error);
}

bool FileExists(const fs::path& path) {
    return Access(path, 0) == 0;
}

bool CanReadFile(const fs::path& path) {
    return Access(path, 4) == 0;
}

bool CanWriteFile(const fs::path& path) {
    if (IsDirectory(path))
        return false;
    return Access(path, 2) == 0;
}

bool SameFile(const fs::path& a, const fs::path& b) {
    std::error_code error;
    return fs::equivalent(LongPath(a), LongPath(b), error);
}

UniqueFile OpenForReading(const fs::path& path, std::error_code* error, FileFacts* facts,
                          bool listedAsRegular) {
    std::error_code ignored;
    std::error_code& why = error != nullptr ? *error : ignored;
    why.clear();
#ifdef _WIN32
    (void)listedAsRegular;
    // Pipes and devices open without waiting here; they are refused once open.
    UniqueFile file = OpenFile(LongPath(path), "rb");
    if (!file) {
        why = LastError();
        return nullptr;
    }
    const auto handle = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(file.get())));
    struct _stat64 info {};
    if (GetFileType(handle) != FILE_TYPE_DISK || _fstat64(_fileno(file.get()), &info) != 0 ||
        (info.st_mode & _S_IFMT) != _S_IFREG) {
        why = FileError::NotRegularFile;
        return nullptr;
    }
#else
    // Opening a FIFO for reading waits for a writer, and opening some devices acts on them:
    // anything not known to be a regular file is refused before it is opened, and once more
    // after (without waiting), in case the path changed in between.
    struct stat info {};
    if (!listedAsRegular) {
        if (::stat(path.c_str(), &info) != 0) {
            why = LastError();
            return nullptr;
        }
        if (!S_ISREG(info.st_mode)) {
            why = FileError::NotRegularFile;
            return nullptr;
        }
    }
    const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) {
        why = LastError();
        return nullptr;
    }
    if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        why = FileError::NotRegularFile;
        ::close(fd);
        return nullptr;
    }
    // O_NONBLOCK only kept the open from waiting; the reads and the kernel's copy must wait for
    // the disk. No other flag that F_SETFL changes was set.
    UniqueFile file(::fcntl(fd, F_SETFL, 0) == 0 ? ::fdopen(fd, "rb") : nullptr);
    if (!file) {
        why = LastError();
        ::close(fd);
        return nullptr;
    }
#endif
    if (facts != nullptr)
        *facts = {static_cast<std::int64_t>(info.st_size),
                  static_cast<unsigned>(info.st_mode) & 0777};
    return file;
}

std::optional<FileIdentity> IdentityOf(const fs::path& path) {
#ifdef _WIN32
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
#else
    struct stat info {};
    if (::stat(path.c_str(), &info) != 0)
        return std::nullopt;
    return FileIdentity{static_cast<std::uint64_t>(info.st_dev),
                        static_cast<std::uint64_t>(info.st_ino)};
#endif
}

void CRunOutputs::Add(const fs::path& output, const fs::path& source) {
    if (const auto identity = IdentityOf(output))
        m_written[*identity] = source;
}

const fs::path* CRunOutputs::WrittenFrom(const fs::path& output) const {
    if (m_written.empty())
        return nullptr;
    const auto identity = IdentityOf(output);
    if (!identity)
        return nullptr;
    const auto found = m_written.find(*identity);
    return found == m_written.end() ? nullptr : &found->second;
}

void CByteIo::Begin(std::FILE*, std::FILE*) {}

std::size_t CByteIo::Read(std::FILE* file, void* buffer, std::size_t bytes) {
    return std::fread(buffer, 1, bytes, file);
}

std::size_t CByteIo::Write(std::FILE* file, const void* buffer, std::size_t bytes) {
    return std::fwrite(buffer, 1, bytes, file);
}

bool CByteIo::Flush(std::FILE* file) {
    return std::fflush(file) == 0 && !std::ferror(file);
}

namespace {

// Chunks small enough that a watcher sees the bytes move and can stop a long copy.
constexpr std::int64_t kProgressChunk = std::int64_t{64} << 20;

#ifdef __linux__
// Copies `length` bytes at `inPos` of `in` to `outPos` of `out`, inside the kernel where it
// can, else through `buffer`; reports the bytes of the source done up to `inPos`.
bool CopyRange(int in, loff_t inPos, int out, loff_t outPos, std::int64_t length,
               std::vector<std::uint8_t>& buffer, loff_t inStart, const CopyProgress& progress) {
    const loff_t end = inPos + length;
    bool kernel = true;
    while (inPos < end) {
        const auto want =
            static_cast<std::size_t>(std::min<std::int64_t>(end - inPos, kProgressChunk));
        ssize_t moved = -1;
        if (kernel) {
            moved = copy_file_range(in, &inPos, out, &outPos, want, 0);
            if (moved < 0 &&
                (errno == ENOSYS || errno == EXDEV || errno == EINVAL || errno == EOPNOTSUPP)) {
                kernel = false;
                continue;
            }
        } else {
            buffer.resize(kCopyBlockBytes);
            moved = ::pread(in, buffer.data(), std::min(want, buffer.size()), inPos);
            if (moved > 0 &&
                ::pwrite(out, buffer.data(), static_cast<std::size_t>(moved), outPos) != moved)
                return false;
            if (moved > 0)
                inPos += moved, outPos += moved;
        }
        // The file shrank under us: its copy would not be what it was.
        if (moved <= 0) {
            if (moved == 0)
                errno = EIO;
            return false;
        }
        if (progress && !progress(static_cast<std::uint64_t>(inPos - inStart)))
            return false;
    }
    return true;
}

// A copy that keeps the holes of a sparse `in`: only its data is copied, and the holes stay
// holes in `out`, which ends at the same length. Nothing when the system cannot tell where the
// holes are.
std::optional<bool> SparseCopy(int in, loff_t inStart, int out, loff_t outStart, loff_t size,
                               std::vector<std::uint8_t>& buffer, const CopyProgress& progress) {
    loff_t position = inStart;
    while (position < size) {
        loff_t data = ::lseek(in, position, SEEK_DATA);
        if (data < 0 && errno == ENXIO)
            data = size;
        else if (data < 0)
            return position == inStart ? std::nullopt : std::optional(false);
        // The bytes of a hole count as copied once it is passed.
        if (data > position && progress && !progress(static_cast<std::uint64_t>(data - inStart)))
            return false;
        const loff_t hole = data < size ? ::lseek(in, data, SEEK_HOLE) : size;
        if (hole < 0)
            return false;
        const loff_t until = std::min(hole, size);
        if (!CopyRange(in, data, out, outStart + (data - inStart), until - data, buffer, inStart,
                       progress))
            return false;
        position = until;
    }
    return ::ftruncate(out, outStart + (size - inStart)) == 0;
}

// Copies the rest of `source` to `target` inside the kernel, as cp does, so that the bytes do
// not pass through this process, and keeps the holes of a sparse source. Nothing when the
// system cannot do it for these files (another kind of file system, a file of unknown size):
// the caller then copies itself.
std::optional<bool> KernelCopyToEnd(std::FILE* source, std::FILE* target,
                                    std::vector<std::uint8_t>& buffer,
                                    const CopyProgress& progress) {
    struct stat info {};
    const int in = fileno(source);
    const int out = fileno(target);
    if (fstat(in, &info) != 0 || !S_ISREG(info.st_mode))
        return std::nullopt;
    const off_t inStart = ftello(source);
    if (inStart < 0 || std::fflush(target) != 0)
        return std::nullopt;
    const off_t outStart = ftello(target);
    if (outStart < 0 || inStart >= info.st_size)
        return std::nullopt;

    // Fewer blocks than bytes: the file may have holes (cp's test, without a system call).
    if (static_cast<std::int64_t>(info.st_blocks) * 512 < info.st_size) {
        const std::optional<bool> copied =
            SparseCopy(in, inStart, out, outStart, info.st_size, buffer, progress);
        if (copied && *copied)
            return fseeko(source, info.st_size, SEEK_SET) == 0 &&
                   fseeko(target, outStart + (info.st_size - inStart), SEEK_SET) == 0;
        if (copied)
            return false;
    }

    loff_t inPos = inStart;
    loff_t outPos = outStart;
    for (;;) {
        const ssize_t moved =
            copy_file_range(in, &inPos, out, &outPos, static_cast<std::size_t>(kProgressChunk), 0);
        if (moved > 0) {
            if (progress && !progress(static_cast<std::uint64_t>(inPos - inStart)))
                return false;
            continue;
        }
        if (moved < 0 && inPos == inStart &&
            (errno == ENOSYS || errno == EXDEV || errno == EINVAL || errno == EOPNOTSUPP))
            return std::nullopt;
        if (moved < 0)
            return false;
        break;
    }
    // A file that reports a size but yields nothing (some special file systems): copy it the
    // ordinary way.
    if (inPos == inStart)
        return std::nullopt;
    // Both streams go on after the copied bytes.
    return fseeko(source, inPos, SEEK_SET) == 0 && fseeko(target, outPos, SEEK_SET) == 0;
}
#endif

#ifdef _WIN32
HANDLE HandleOf(std::FILE* file) {
    return reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(file)));
}

// Copies the allocated ranges of a sparse `source` into a sparse `target` through `io`, so
// that the holes stay holes. Nothing, with nothing written, when either file system cannot.
std::optional<bool> SparseCopyToEnd(CByteIo& io, std::FILE* source, std::FILE* target,
                                    std::vector<std::uint8_t>& buffer,
                                    const CopyProgress& progress) {
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
                if (io.Read(source, buffer.data(), want) != want ||
                    io.Write(target, buffer.data(), want) != want)
                    return false;
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
#endif

} // namespace

bool CopyToEnd(CByteIo& io, std::FILE* source, std::FILE* target, std::vector<std::uint8_t>& buffer,
               const CopyProgress& progress) {
    io.Begin(source, target);
    if (!io.SeesEveryByte()) {
#ifdef __linux__
        if (const std::optional<bool> copied = KernelCopyToEnd(source, target, buffer, progress))
            return *copied;
#endif
#ifdef _WIN32
        if (const std::optional<bool> copied =
                SparseCopyToEnd(io, source, target, buffer, progress))
            return *copied;
#endif
    }
    buffer.resize(kCopyBlockBytes);
    std::uint64_t copied = 0;
    for (;;) {
        const std::size_t got = io.Read(source, buffer.data(), buffer.size());
        if (got > 0 && io.Write(target, buffer.data(), got) != got)
            return false;
        copied += got;
        if (got > 0 && progress && !progress(copied))
            return false;
        if (got < buffer.size())
            return !std::ferror(source) && std::feof(source);
    }
}

namespace {

CByteIo*& InstalledByteIo() {
    static CByteIo* installed = nullptr;
    return installed;
}

} // namespace

CByteIo& DefaultByteIo() {
    static CByteIo plain;
    CByteIo* installed = InstalledByteIo();
    return installed ? *installed : plain;
}

CByteIo* SetDefaultByteIo(CByteIo* io) {
    return std::exchange(InstalledByteIo(), io);
}

bool CopyCount(CByteIo& io, std::FILE* source, std::FILE* target, std::int64_t count,
               std::vector<std::uint8_t>& buffer) {
    io.Begin(source, target);
    buffer.resize(kCopyBlockBytes);
    while (count > 0) {
        const std::size_t want = count < static_cast<std::int64_t>(buffer.size())
                                     ? static_cast<std::size_t>(count)
                                     : buffer.size();
        const std::size_t got = io.Read(source, buffer.data(), want);
        if (got != want || io.Write(target, buffer.data(), got) != got)
            return false;
        count -= static_cast<std::int64_t>(got);
    }
    return true;
}
