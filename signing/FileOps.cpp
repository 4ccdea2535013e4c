#if !defined(_WIN32) && !defined(_FILE_OFFSET_BITS)
#define _FILE_OFFSET_BITS 64
#endif

#include "FileOps.h"

#include <atomic>
#include <cerrno>
#include <chrono>
#include <fcntl.h>
#include <random>
#include <string>
#include <sys/stat.h>
#include <system_error>
#include <utility>
#include <vector>
#include <optional>

#ifdef _WIN32
#include <io.h>
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

std::string RandomSuffix() {
    static std::atomic<std::uint64_t> counter{0};
    static const std::uint64_t base = [] {
        std::random_device entropy;
        return (std::uint64_t{entropy()} << 32) ^ entropy() ^
               static_cast<std::uint64_t>(
                   std::chrono::steady_clock::now().time_since_epoch().count());
    }();
    std::uint64_t value = base + 0x9E3779B97F4A7C15ull * counter.fetch_add(1);
    value ^= value >> 31;
    static const char digits[] = "0123456789abcdef";
    std::string suffix;
    for (int i = 0; i < 12; ++i, value >>= 4)
        suffix.push_back(digits[value & 0xF]);
    return suffix;
}

// Creates `path` only if nothing exists there yet.
UniqueFile CreateExclusive(const fs::path& path) {
#ifdef _WIN32
    const int fd = _wopen(LongPath(path).c_str(), _O_CREAT | _O_EXCL | _O_WRONLY | _O_BINARY,
                          _S_IREAD | _S_IWRITE);
    if (fd < 0)
        return nullptr;
    std::FILE* file = _fdopen(fd, "wb");
    if (file == nullptr)
        _close(fd);
#else
    const int fd = ::open(path.c_str(), O_CREAT | O_EXCL | O_WRONLY | O_CLOEXEC, 0666);
    if (fd < 0)
        return nullptr;
    std::FILE* file = ::fdopen(fd, "wb");
    if (file == nullptr)
        ::close(fd);
#endif
    return UniqueFile(file);
}

bool SyncToDisk(std::FILE* file) {
#ifdef _WIN32
    return _commit(_fileno(file)) == 0;
#else
    return ::fsync(::fileno(file)) == 0;
#endif
}

} // namespace

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

UniqueFile OpenForReading(const fs::path& path) {
    UniqueFile file = OpenFile(LongPath(path), "rb");
    if (!file)
        return nullptr;
#ifdef _WIN32
    struct _stat64 info {};
    const bool known = _fstat64(_fileno(file.get()), &info) == 0;
    const bool folder = (info.st_mode & _S_IFMT) == _S_IFDIR;
#else
    struct stat info {};
    const bool known = ::fstat(::fileno(file.get()), &info) == 0;
    const bool folder = S_ISDIR(info.st_mode);
#endif
    if (!known || folder)
        return nullptr;
    return file;
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

#ifdef __linux__
namespace {

// Copies the rest of `source` to `target` inside the kernel, as cp does, so that the bytes do
// not pass through this process. Nothing when the system cannot do it for these files (another
// kind of file system, a file of unknown size): the caller then copies itself.
std::optional<bool> KernelCopyToEnd(std::FILE* source, std::FILE* target,
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

    loff_t inPos = inStart;
    loff_t outPos = outStart;
    // Chunks small enough that a watcher sees the bytes move and can stop a long copy.
    constexpr std::size_t kChunk = std::size_t{64} << 20;
    for (;;) {
        const ssize_t moved = copy_file_range(in, &inPos, out, &outPos, kChunk, 0);
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

} // namespace
#endif

bool CopyToEnd(CByteIo& io, std::FILE* source, std::FILE* target, std::vector<std::uint8_t>& buffer,
               const CopyProgress& progress) {
    io.Begin(source, target);
#ifdef __linux__
    if (!io.SeesEveryByte()) {
        if (const std::optional<bool> copied = KernelCopyToEnd(source, target, progress))
            return *copied;
    }
#endif
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

std::optional<std::int64_t> FileSize(std::FILE* file) {
#ifdef _WIN32
    struct _stat64 info {};
    if (_fstat64(_fileno(file), &info) != 0)
        return std::nullopt;
#else
    struct stat info {};
    if (fstat(fileno(file), &info) != 0)
        return std::nullopt;
#endif
    return static_cast<std::int64_t>(info.st_size);
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

CPendingOutput::~CPendingOutput() {
    Discard();
}

bool CPendingOutput::Create(const fs::path& target) {
    Discard();
    const fs::path folder = target.parent_path();
    for (int attempt = 0; attempt < 16; ++attempt) {
        // Short, so that it fits wherever the target's name fits.
        fs::path name = fs::path(".quorvane-" + RandomSuffix() + ".tmp");
        const fs::path temporary = folder.empty() ? name : folder / name;
        m_file = CreateExclusive(temporary);
        if (m_file) {
            m_temporary = temporary;
            m_target = target;
            return true;
        }
        if (errno != EEXIST)
            return false;
    }
    return false;
}

bool CPendingOutput::Commit(CByteIo& io, bool durable) {
    if (!m_file)
        return false;
    bool good = io.Flush(m_file.get());
    if (good && durable)
        good = SyncToDisk(m_file.get());
    good = std::fclose(m_file.release()) == 0 && good;
    if (!good) {
        Discard();
        return false;
    }
    std::error_code error;
    fs::rename(LongPath(m_temporary), LongPath(m_target), error);
    if (error) {
        Discard();
        return false;
    }
    m_temporary.clear();
    return true;
}

void CPendingOutput::Discard() {
    m_file.reset();
    if (m_temporary.empty())
        return;
    std::error_code ignored;
    fs::remove(LongPath(m_temporary), ignored);
    m_temporary.clear();
}
