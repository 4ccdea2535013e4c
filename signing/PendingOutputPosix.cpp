// The pending outputs on Linux and other POSIX systems: a file without a name (O_TMPFILE)
// linked in at commit, or a named temporary renamed.
#ifndef _FILE_OFFSET_BITS
#define _FILE_OFFSET_BITS 64
#endif

#include "FileErrors.h"
#include "FileOpsPlatform.h"
#include "OutputFolder.h"
#include "PendingOutput.h"

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

// Gives the nameless file `fd` the name `name` in `folder`; fails if something has that name.
bool LinkNameless(int fd, const COutputFolder& folder, const fs::path& name) {
    const std::string self = "/proc/self/fd/" + std::to_string(fd);
    const int at = folder.Descriptor();
    if (platform::Uninterrupted([&] {
            return ::linkat(AT_FDCWD, self.c_str(), at, name.c_str(), AT_SYMLINK_FOLLOW);
        }) == 0)
        return true;
    if (errno != ENOENT || ::access("/proc/self/fd", F_OK) == 0)
        return false;
    // Without /proc; this form needs a privilege.
    return platform::Uninterrupted(
               [&] { return ::linkat(fd, "", at, name.c_str(), AT_EMPTY_PATH); }) == 0;
}

// Renames within `folder` without replacing anything; falls back to a test where the file
// system cannot.
bool RenameNoReplace(const COutputFolder& folder, const fs::path& from, const fs::path& to) {
    const int at = folder.Descriptor();
#ifdef RENAME_NOREPLACE
    if (platform::Uninterrupted(
            [&] { return ::renameat2(at, from.c_str(), at, to.c_str(), RENAME_NOREPLACE); }) == 0)
        return true;
    if (errno != EINVAL && errno != ENOSYS && errno != EOPNOTSUPP)
        return false;
#endif
    if (folder.Holds(to)) {
        errno = EEXIST;
        return false;
    }
    return platform::Uninterrupted([&] { return ::renameat(at, from.c_str(), at, to.c_str()); }) ==
           0;
}

// Replaces whatever has the name `to` in `folder` (a link itself, never what it names).
bool RenameReplacing(const COutputFolder& folder, const fs::path& from, const fs::path& to) {
    const int at = folder.Descriptor();
    return platform::Uninterrupted([&] { return ::renameat(at, from.c_str(), at, to.c_str()); }) ==
           0;
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

bool CPendingOutput::CreateIn(OutputFolderPtr folder, const fs::path& name, unsigned mode) {
    Discard();
    m_error.clear();
    m_folder = std::move(folder);
    m_name = name;
    m_target = m_folder->Path() / name;
#ifdef O_TMPFILE
    if (!pending::NamedTemporaries()) {
        // The umask applies as it does to any new file, so the copy gets what cp would give.
        const int fd = platform::Uninterrupted([&] {
            return ::openat(m_folder->Descriptor(), ".", O_TMPFILE | O_WRONLY | O_CLOEXEC, mode);
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
    return CreateNamed(mode);
}

bool CPendingOutput::CreateNamed(unsigned mode) {
    int fd = -1;
    const bool made = MakeTemporary([&](const fs::path& temporary) {
        fd = platform::Uninterrupted([&] {
            return ::openat(m_folder->Descriptor(), temporary.c_str(),
                            O_CREAT | O_EXCL | O_NOFOLLOW | O_WRONLY | O_CLOEXEC, mode);
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
            if (!LinkNameless(fd, *m_folder, m_name))
                return Fail(LastError());
            m_file.reset();
            return WriteStreams(m_target);
        }
        // rename is the one atomic replacement: the file gets a temporary name first.
        const bool named = MakeTemporary([&](const fs::path& temporary) {
            return LinkNameless(fd, *m_folder, temporary) ? std::error_code() : LastError();
        });
        if (!named)
            return false;
    }
    if (std::fclose(m_file.release()) != 0)
        return Fail(LastError());
    const bool renamed = replace ? RenameReplacing(*m_folder, m_temporary, m_name)
                                 : RenameNoReplace(*m_folder, m_temporary, m_name);
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
