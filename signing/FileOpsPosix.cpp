// The file operations on Linux and other POSIX systems: descriptors and errno.
#ifndef _FILE_OFFSET_BITS
#define _FILE_OFFSET_BITS 64
#endif

#include "ByteIo.h"
#include "FileErrors.h"
#include "FileIdentity.h"
#include "FileOps.h"
#include "RunOutputs.h"
#include "FileOpsPlatform.h"
#include "OutputFolder.h"
#include "PendingOutput.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <optional>
#include <string>
#include <sys/stat.h>
#include <system_error>
#include <unistd.h>
#include <utility>
#include <vector>

namespace fs = std::filesystem;

std::error_code LastError() {
    return {errno, std::generic_category()};
}

void ClearLastError() {
    errno = 0;
}

fs::path LongPath(const fs::path& path) {
    return path;
}

namespace {

// Folders are opened only to open or make files in them: without asking to read them where
// the system allows (a drop folder may be written but not listed).
#ifdef O_PATH
constexpr int kFolderFlags = O_PATH | O_DIRECTORY | O_CLOEXEC;
#else
constexpr int kFolderFlags = O_RDONLY | O_DIRECTORY | O_CLOEXEC;
#endif

// An open descriptor, closed with its owner.
class CUniqueFd {
public:
    CUniqueFd() = default;
    explicit CUniqueFd(int fd) : m_fd(fd) {}
    CUniqueFd(CUniqueFd&& other) noexcept : m_fd(other.Release()) {}
    CUniqueFd& operator=(CUniqueFd&& other) noexcept {
        Reset(other.Release());
        return *this;
    }
    ~CUniqueFd() { Reset(); }
    int Get() const { return m_fd; }
    int Release() { return std::exchange(m_fd, -1); }
    void Reset(int fd = -1) {
        if (m_fd >= 0)
            ::close(m_fd);
        m_fd = fd;
    }
    explicit operator bool() const { return m_fd >= 0; }

private:
    int m_fd = -1;
};

std::int64_t Nanoseconds(const timespec& time) {
    return static_cast<std::int64_t>(time.tv_sec) * 1000000000 + time.tv_nsec;
}

FileFacts FactsFrom(const struct stat& info) {
    return {static_cast<std::int64_t>(info.st_size), static_cast<unsigned>(info.st_mode) & 0777,
            Nanoseconds(info.st_mtim), Nanoseconds(info.st_ctim)};
}

// Errors that only a write gives: where the kernel copies, the one that failed is otherwise
// unknown.
bool IsWriteError(int error) {
    return error == ENOSPC || error == EDQUOT || error == EFBIG || error == EROFS;
}

bool Failed(CopyFault& fault, bool reading, int error = errno) {
    fault = {reading, {error != 0 ? error : EIO, std::generic_category()}};
    return false;
}

// Writes all of `bytes` at `position`: a short write is followed by the rest, so that a full
// disk gives its own error.
bool WriteAllAt(int out, const std::uint8_t* bytes, std::size_t size, off_t position) {
    while (size > 0) {
        const ssize_t put =
            platform::Uninterrupted([&] { return ::pwrite(out, bytes, size, position); });
        if (put <= 0) {
            if (put == 0)
                errno = EIO;
            return false;
        }
        bytes += put;
        size -= static_cast<std::size_t>(put);
        position += put;
    }
    return true;
}

} // namespace

namespace platform {

fs::path WithoutTrailingSeparators(const fs::path& path) {
    auto text = path.native();
    while (text.size() > 1 && text.back() == '/')
        text.pop_back();
    return fs::path(text);
}

bool HasAccess(const fs::path& path, Access access) {
    return ::access(path.c_str(), access == Access::Read ? R_OK : F_OK) == 0;
}

std::error_code SystemError(int code) {
    return {code, std::generic_category()};
}

std::string MessageOf(const std::error_code& error) {
    return error.message();
}

// No named streams here: a file is its bytes.
std::optional<std::string> ReadStream(const fs::path&, std::u16string_view,
                                      std::error_code& error) {
    error.clear();
    return std::nullopt;
}

bool WriteStream(const fs::path&, std::u16string_view, const std::string&, std::error_code& error) {
    error = std::make_error_code(std::errc::operation_not_supported);
    return false;
}

void RemoveFileNow(int folder, const char* name) {
    ::unlinkat(folder >= 0 ? folder : AT_FDCWD, name, 0);
}

bool EndRequestWaiting() {
    sigset_t waiting;
    if (::sigpending(&waiting) != 0)
        return false;
    return sigismember(&waiting, SIGINT) == 1 || sigismember(&waiting, SIGTERM) == 1 ||
           sigismember(&waiting, SIGHUP) == 1;
}

void StopForTest() {
    ::raise(SIGSTOP);
}

} // namespace platform

namespace {

// Opens `path`, which a listing found as a regular file `below` names below the folder it
// walked, without following a link on its way from that folder: whoever fills the tree may swap
// a file or a folder of it for a link to another file of the user's after the listing. The
// folder walked is followed, as the user named it. -1 with errno on failure (ELOOP for a link).
// The file's folder is left in `held` for the next file.
int OpenListed(const fs::path& path, unsigned below, int flags, ListedFolder& held) {
    const std::lock_guard<std::mutex> holding(held.lock);
    flags |= O_NOFOLLOW;
    const fs::path folder = path.parent_path();
    const fs::path name = path.filename();
    if (held.fd < 0 || held.depth != below - 1 || held.path != folder) {
        std::vector<fs::path> names;
        fs::path start = folder;
        for (unsigned i = 1; i < below && start.has_filename(); ++i) {
            names.push_back(start.filename());
            start = start.parent_path();
        }
        CUniqueFd at(platform::Uninterrupted(
            [&] { return ::open(start.empty() ? "." : start.c_str(), kFolderFlags); }));
        // One name at a time (openat2's RESOLVE_NO_SYMLINKS would take one call, but not
        // before Linux 5.6 nor in sandboxes that refuse calls they do not know).
        for (; at && !names.empty(); names.pop_back()) {
            CUniqueFd next(platform::Uninterrupted([&] {
                return ::openat(at.Get(), names.back().c_str(), kFolderFlags | O_NOFOLLOW);
            }));
            // A link is told as the file's own O_NOFOLLOW tells it, not as "not a folder".
            struct stat info {};
            if (!next && errno == ENOTDIR &&
                ::fstatat(at.Get(), names.back().c_str(), &info, AT_SYMLINK_NOFOLLOW) == 0 &&
                S_ISLNK(info.st_mode))
                errno = ELOOP;
            at = std::move(next);
        }
        if (!at)
            return -1;
        if (held.fd >= 0)
            ::close(held.fd);
        held.fd = at.Release();
        held.path = folder;
        held.depth = below - 1;
    }
    return platform::Uninterrupted([&] { return ::openat(held.fd, name.c_str(), flags); });
}

} // namespace

ListedFolder::~ListedFolder() {
    if (fd >= 0)
        ::close(fd);
}

UniqueFile OpenForReading(const fs::path& path, std::error_code* error, FileFacts* facts,
                          unsigned listedBelow, ListedFolder* held) {
    std::error_code ignored;
    std::error_code& why = error != nullptr ? *error : ignored;
    why.clear();
    // Opening a FIFO for reading waits for a writer, and opening some devices acts on them:
    // anything not known to be a regular file is refused before it is opened, and once more
    // after (without waiting), in case the path changed in between.
    struct stat info {};
    if (listedBelow == 0) {
        if (::stat(path.c_str(), &info) != 0) {
            why = LastError();
            return nullptr;
        }
        if (!S_ISREG(info.st_mode)) {
            why = FileError::NotRegularFile;
            return nullptr;
        }
    }
    constexpr int kFlags = O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC;
    ListedFolder once;
    const int fd = listedBelow > 0
                       ? OpenListed(path, listedBelow, kFlags, held != nullptr ? *held : once)
                       : platform::Uninterrupted([&] { return ::open(path.c_str(), kFlags); });
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
    // Its readers read a trailer's 16 bytes, a head, blocks: unbuffered, each is one system call,
    // without the fstat that sizes a buffer and the reads that align it.
    std::setvbuf(file.get(), nullptr, _IONBF, 0);
    if (facts != nullptr)
        *facts = FactsFrom(info);
    return file;
}

std::optional<FileFacts> platform::FactsOf(std::FILE* file, std::error_code& error) {
    struct stat info {};
    if (::fstat(::fileno(file), &info) != 0) {
        error = LastError();
        return std::nullopt;
    }
    return FactsFrom(info);
}

namespace {

// Why `name` in the folder `at` did not open as a folder with O_NOFOLLOW (`why`): a link
// answers ELOOP, or ENOTDIR where O_DIRECTORY is tested first.
std::error_code NotAFolder(int at, const char* name, int why) {
    struct stat info {};
    if ((why == ELOOP || why == ENOTDIR) && ::fstatat(at, name, &info, AT_SYMLINK_NOFOLLOW) == 0 &&
        S_ISLNK(info.st_mode))
        return FileError::LinkInOutputFolder;
    return {why, std::generic_category()};
}

// Opens `below` inside the open folder `current` one name at a time, never through a link,
// making the folders missing.
CUniqueFd OpenBelow(CUniqueFd current, const fs::path& below, std::error_code& error) {
    for (const fs::path& part : below) {
        if (part.empty() || part == ".")
            continue;
        const auto open = [&] {
            return platform::Uninterrupted(
                [&] { return ::openat(current.Get(), part.c_str(), kFolderFlags | O_NOFOLLOW); });
        };
        int fd = open();
        if (fd < 0 && errno == ENOENT) {
            // Made meanwhile by another job is as good.
            if (::mkdirat(current.Get(), part.c_str(), 0777) != 0 && errno != EEXIST) {
                error = LastError();
                return {};
            }
            fd = open();
        }
        if (fd < 0) {
            error = NotAFolder(current.Get(), part.c_str(), errno);
            return {};
        }
        current.Reset(fd);
    }
    return current;
}

} // namespace

std::shared_ptr<const COutputFolder>
COutputFolder::Open(const fs::path& folder, const fs::path& below, std::error_code& error) {
    error.clear();
    if (!StaysInside(below)) {
        error = FileError::OutsideOutputFolder;
        return nullptr;
    }
    // The folder named is followed wherever it leads: whoever named it chose it.
    CUniqueFd opened(platform::Uninterrupted(
        [&] { return ::open(folder.empty() ? "." : folder.c_str(), kFolderFlags); }));
    if (!opened) {
        error = LastError();
        return nullptr;
    }
    if (!below.empty()) {
        opened = OpenBelow(std::move(opened), below, error);
        if (!opened)
            return nullptr;
    }
    std::shared_ptr<COutputFolder> result(new COutputFolder());
    result->m_folder = folder;
    result->m_below = below;
    result->m_path = below.empty() ? folder : folder / below;
    result->m_fd = opened.Release();
    return result;
}

COutputFolder::~COutputFolder() {
    if (m_fd >= 0)
        ::close(m_fd);
}

bool COutputFolder::Serves(const fs::path& folder, const fs::path& below) const {
    struct stat info {};
    return folder == m_folder && below == m_below && ::fstat(m_fd, &info) == 0 && info.st_nlink > 0;
}

bool COutputFolder::Holds(const fs::path& name) const {
    struct stat info {};
    return ::fstatat(m_fd, name.c_str(), &info, AT_SYMLINK_NOFOLLOW) == 0;
}

std::error_code COutputFolder::ReplaceRefusal(const fs::path& name) const {
    struct stat info {};
    if (::fstatat(m_fd, name.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0)
        return LastError();
    if (S_ISDIR(info.st_mode))
        return std::make_error_code(std::errc::is_a_directory);
    if (S_ISLNK(info.st_mode))
        return {};
    return ::faccessat(m_fd, name.c_str(), W_OK, 0) == 0 ? std::error_code() : LastError();
}

void COutputFolder::Remove(const fs::path& name) const {
    ::unlinkat(m_fd, name.c_str(), 0);
}

std::optional<FileIdentity> IdentityOf(const fs::path& path) {
    struct stat info {};
    if (::stat(path.c_str(), &info) != 0)
        return std::nullopt;
    return FileIdentity{static_cast<std::uint64_t>(info.st_dev),
                        {0, static_cast<std::uint64_t>(info.st_ino)}};
}

std::optional<std::uint64_t> OutputKeyOf(const fs::path& path) {
    const std::optional<FileIdentity> identity = IdentityOf(path);
    if (!identity)
        return std::nullopt;
    // splitmix64's finish over the device and the number.
    std::uint64_t key = identity->volume * 0x9e3779b97f4a7c15ULL ^ identity->file[1];
    key = (key ^ (key >> 30)) * 0xbf58476d1ce4e5b9ULL;
    key = (key ^ (key >> 27)) * 0x94d049bb133111ebULL;
    return key ^ (key >> 31);
}

namespace {

#ifdef __linux__
// Chunks small enough that a watcher sees the bytes move and can stop a long copy.
constexpr std::int64_t kProgressChunk = std::int64_t{64} << 20;

// Copies `length` bytes at `inPos` of `in` to `outPos` of `out`, inside the kernel where it
// can, else through `buffer`; reports the bytes of the source done up to `inPos`.
bool CopyRange(int in, loff_t inPos, int out, loff_t outPos, std::int64_t length,
               std::vector<std::uint8_t>& buffer, loff_t inStart, const CopyProgress& progress,
               CopyFault& fault) {
    const loff_t end = inPos + length;
    bool kernel = true;
    while (inPos < end) {
        const auto want =
            static_cast<std::size_t>(std::min<std::int64_t>(end - inPos, kProgressChunk));
        ssize_t moved = -1;
        if (kernel) {
            moved = platform::Uninterrupted(
                [&] { return copy_file_range(in, &inPos, out, &outPos, want, 0); });
            if (moved < 0 &&
                (errno == ENOSYS || errno == EXDEV || errno == EINVAL || errno == EOPNOTSUPP)) {
                kernel = false;
                continue;
            }
            if (moved < 0)
                return Failed(fault, !IsWriteError(errno));
        } else {
            buffer.resize(kCopyBlockBytes);
            moved = platform::Uninterrupted(
                [&] { return ::pread(in, buffer.data(), std::min(want, buffer.size()), inPos); });
            if (moved < 0)
                return Failed(fault, true);
            if (moved > 0 &&
                !WriteAllAt(out, buffer.data(), static_cast<std::size_t>(moved), outPos))
                return Failed(fault, false);
            inPos += moved, outPos += moved;
        }
        // The file shrank under us: its copy would not be what it was.
        if (moved == 0) {
            fault = {true, make_error_code(FileError::SourceChanged)};
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
                               std::vector<std::uint8_t>& buffer, const CopyProgress& progress,
                               CopyFault& fault) {
    loff_t position = inStart;
    while (position < size) {
        loff_t data = ::lseek(in, position, SEEK_DATA);
        if (data < 0 && errno == ENXIO)
            data = size;
        else if (data < 0 && position == inStart)
            return std::nullopt;
        else if (data < 0)
            return Failed(fault, true);
        // The bytes of a hole count as copied once it is passed.
        if (data > position && progress && !progress(static_cast<std::uint64_t>(data - inStart)))
            return false;
        const loff_t hole = data < size ? ::lseek(in, data, SEEK_HOLE) : size;
        if (hole < 0)
            return Failed(fault, true);
        const loff_t until = std::min(hole, size);
        if (!CopyRange(in, data, out, outStart + (data - inStart), until - data, buffer, inStart,
                       progress, fault))
            return false;
        position = until;
    }
    if (platform::Uninterrupted([&] { return ::ftruncate(out, outStart + (size - inStart)); }) != 0)
        return Failed(fault, false);
    return true;
}

// Copies the rest of `source` to `target` inside the kernel, as cp does, so that the bytes do
// not pass through this process, and keeps the holes of a sparse source. Nothing when the
// system cannot do it for these files (another kind of file system, a file of unknown size):
// the caller then copies itself.
std::optional<bool> KernelCopyToEnd(std::FILE* source, std::FILE* target,
                                    std::vector<std::uint8_t>& buffer, const CopyProgress& progress,
                                    CopyFault& fault) {
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
            SparseCopy(in, inStart, out, outStart, info.st_size, buffer, progress, fault);
        if (copied && *copied)
            return fseeko(source, info.st_size, SEEK_SET) == 0 &&
                   fseeko(target, outStart + (info.st_size - inStart), SEEK_SET) == 0;
        if (copied)
            return false;
    }

    // Up to the size the file had as the copy began, with no call more to find its end: bytes
    // that a writer adds meanwhile change its size, which its reader checks after the copy.
    loff_t inPos = inStart;
    loff_t outPos = outStart;
    while (inPos < info.st_size) {
        const auto want =
            static_cast<std::size_t>(std::min<std::int64_t>(info.st_size - inPos, kProgressChunk));
        const ssize_t moved = platform::Uninterrupted(
            [&] { return copy_file_range(in, &inPos, out, &outPos, want, 0); });
        if (moved > 0) {
            if (progress && !progress(static_cast<std::uint64_t>(inPos - inStart)))
                return false;
            continue;
        }
        if (moved < 0 && inPos == inStart &&
            (errno == ENOSYS || errno == EXDEV || errno == EINVAL || errno == EOPNOTSUPP))
            return std::nullopt;
        if (moved < 0)
            return Failed(fault, !IsWriteError(errno));
        // A file that reports a size but yields nothing (some special file systems): copy it
        // the ordinary way.
        if (inPos == inStart)
            return std::nullopt;
        // It ended early: it shrank under us, and its copy would not be what it was.
        fault = {true, make_error_code(FileError::SourceChanged)};
        return false;
    }
    // Both streams go on after the copied bytes.
    return fseeko(source, inPos, SEEK_SET) == 0 && fseeko(target, outPos, SEEK_SET) == 0;
}
#else
std::optional<bool> KernelCopyToEnd(std::FILE*, std::FILE*, std::vector<std::uint8_t>&,
                                    const CopyProgress&, CopyFault&) {
    return std::nullopt;
}
#endif

} // namespace

std::optional<bool> platform::SystemCopyToEnd(CByteIo&, std::FILE* source, std::FILE* target,
                                              std::vector<std::uint8_t>& buffer,
                                              const CopyProgress& progress, CopyFault& fault) {
    return KernelCopyToEnd(source, target, buffer, progress, fault);
}
