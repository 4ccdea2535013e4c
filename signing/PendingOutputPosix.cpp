// The pending outputs on Linux and other POSIX systems: a file without a name (O_TMPFILE)
// linked in at commit, or a named temporary renamed.
#ifndef _FILE_OFFSET_BITS
#define _FILE_OFFSET_BITS 64
#endif

#include "FileOps.h"
#include "FileOpsPlatform.h"

#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace fs = std::filesystem;

bool platform::SyncToDisk(std::FILE* file) {
    return Uninterrupted([&] { return ::fsync(::fileno(file)); }) == 0;
}

namespace {

// Gives the nameless file `fd` the name `path`; fails if something has that name.
bool LinkNameless(int fd, const fs::path& path) {
    const std::string self = "/proc/self/fd/" + std::to_string(fd);
    if (platform::Uninterrupted([&] {
            return ::linkat(AT_FDCWD, self.c_str(), AT_FDCWD, path.c_str(), AT_SYMLINK_FOLLOW);
        }) == 0)
        return true;
    if (errno != ENOENT || ::access("/proc/self/fd", F_OK) == 0)
        return false;
    // Without /proc; this form needs a privilege.
    return platform::Uninterrupted(
               [&] { return ::linkat(fd, "", AT_FDCWD, path.c_str(), AT_EMPTY_PATH); }) == 0;
}

// Renames without replacing anything; falls back to a test where the file system cannot.
bool RenameNoReplace(const fs::path& from, const fs::path& to) {
#ifdef RENAME_NOREPLACE
    if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0)
        return true;
    if (errno != EINVAL && errno != ENOSYS && errno != EOPNOTSUPP)
        return false;
#endif
    struct stat info {};
    if (::lstat(to.c_str(), &info) == 0) {
        errno = EEXIST;
        return false;
    }
    return ::rename(from.c_str(), to.c_str()) == 0;
}
// A stream for writing the new file `fd`; null, with `fd` closed and errno kept, when none can
// be made. It is written in large blocks and one trailer: unbuffered, each write is one system
// call, and no buffer is sized (an fstat) first.
std::FILE* StreamOf(int fd) {
    std::FILE* file = ::fdopen(fd, "wb");
    if (file == nullptr) {
        const int error = errno;
        ::close(fd);
        errno = error;
        return nullptr;
    }
    std::setvbuf(file, nullptr, _IONBF, 0);
    return file;
}

} // namespace

bool CPendingOutput::Create(const fs::path& target, std::FILE* modeOf) {
    unsigned mode = 0666;
    struct stat info {};
    if (modeOf != nullptr && ::fstat(::fileno(modeOf), &info) == 0)
        mode = info.st_mode & 0777;
    return CreateWithMode(target, mode);
}

bool CPendingOutput::CreateWithMode(const fs::path& target, unsigned mode) {
    Discard();
    m_error.clear();
    m_target = target;
    const fs::path folder = target.parent_path();
#ifdef O_TMPFILE
    if (!pending::NamedTemporaries()) {
        // The umask applies as it does to any new file, so the copy gets what cp would give.
        const int fd = platform::Uninterrupted([&] {
            return ::open(folder.empty() ? "." : folder.c_str(), O_TMPFILE | O_WRONLY | O_CLOEXEC,
                          mode);
        });
        if (fd >= 0) {
            m_file.reset(StreamOf(fd));
            return m_file ? true : Fail(LastError());
        }
        // The file systems without nameless files (overlayfs over some, many FUSE ones, old
        // kernels) answer one of these.
        if (errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL && errno != ENOSYS)
            return Fail(LastError());
    }
#endif
    return CreateNamed(folder, mode);
}

bool CPendingOutput::CreateNamed(const fs::path& folder, unsigned mode) {
    int fd = -1;
    const bool made = MakeTemporary(folder, [&](const fs::path& temporary) {
        fd = platform::Uninterrupted([&] {
            return ::open(temporary.c_str(), O_CREAT | O_EXCL | O_WRONLY | O_CLOEXEC, mode);
        });
        return fd < 0 ? LastError() : std::error_code();
    });
    if (!made)
        return false;
    m_file.reset(StreamOf(fd));
    return m_file ? true : Fail(LastError());
}

bool CPendingOutput::TakeName(bool replace) {
    if (m_temporary.empty()) {
        const int fd = ::fileno(m_file.get());
        if (!replace) {
            if (!LinkNameless(fd, m_target))
                return Fail(LastError());
            m_file.reset();
            return WriteStreams(m_target);
        }
        // rename is the one atomic replacement: the file gets a temporary name first.
        const bool named = MakeTemporary(m_target.parent_path(), [&](const fs::path& temporary) {
            return LinkNameless(fd, temporary) ? std::error_code() : LastError();
        });
        if (!named)
            return false;
    }
    if (std::fclose(m_file.release()) != 0)
        return Fail(LastError());
    const bool renamed = replace ? ::rename(m_temporary.c_str(), m_target.c_str()) == 0
                                 : RenameNoReplace(m_temporary, m_target);
    if (!renamed)
        return Fail(LastError());
    m_temporary.clear();
    pending::Unregister(m_slot);
    // This system keeps no named streams: only a test's stand-in has any to write.
    return WriteStreams(m_target);
}

void CPendingOutput::Discard() {
    RemoveTemporary();
}
