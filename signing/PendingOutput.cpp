#if !defined(_WIN32) && !defined(_FILE_OFFSET_BITS)
#define _FILE_OFFSET_BITS 64
#endif

#include "FileOps.h"

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <random>
#include <string>
#include <sys/stat.h>

#ifdef _WIN32
// Files only: nothing of windows or drawing in the engine.
#define WIN32_LEAN_AND_MEAN
#define NOUSER
#define NOGDI
#include <io.h>
#include <windows.h>
#else
#include <unistd.h>
#endif

namespace fs = std::filesystem;

namespace {

using Char = fs::path::value_type;

std::atomic<bool> g_named{[] {
    const char* value = std::getenv("QUORVANE_NAMED_TEMPORARIES");
    return value != nullptr && *value != '\0' && std::string(value) != "0";
}()};

// The names of the named temporaries now pending, for RemovePendingOutputsNow: a signal
// handler may neither lock nor allocate, so it reads these slots as they are.
constexpr int kSlots = 256;
std::atomic<Char*> g_slots[kSlots];

int Register(const fs::path& temporary) {
    const fs::path full = LongPath(temporary);
    const auto& text = full.native();
    auto* copy = new Char[text.size() + 1];
    text.copy(copy, text.size());
    copy[text.size()] = 0;
    for (int slot = 0; slot < kSlots; ++slot) {
        Char* empty = nullptr;
        if (g_slots[slot].compare_exchange_strong(empty, copy))
            return slot;
    }
    delete[] copy;
    return -1;
}

void Unregister(int& slot) {
    if (slot < 0)
        return;
    delete[] g_slots[slot].exchange(nullptr);
    slot = -1;
}

const char kPrefix[] = ".quorvane-";
const char kSuffix[] = ".tmp";

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

// A fresh temporary name in `folder`, short so that it fits wherever the target's name fits.
fs::path TemporaryIn(const fs::path& folder) {
    const fs::path name(kPrefix + RandomSuffix() + kSuffix);
    return folder.empty() ? name : folder / name;
}

bool SyncToDisk(std::FILE* file) {
#ifdef _WIN32
    return _commit(_fileno(file)) == 0;
#else
    return ::fsync(::fileno(file)) == 0;
#endif
}

#ifdef _WIN32
std::error_code WindowsError(DWORD error = GetLastError()) {
    return {static_cast<int>(error), std::system_category()};
}

HANDLE HandleOf(std::FILE* file) {
    return reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(file)));
}

bool SetDeleteOnClose(HANDLE handle, bool remove) {
    FILE_DISPOSITION_INFO info{static_cast<BOOLEAN>(remove ? TRUE : FALSE)};
    return SetFileInformationByHandle(handle, FileDispositionInfo, &info, sizeof info) != 0;
}

// The NT form of `path` ("\??\C:\..."), which a rename through a handle needs.
std::wstring NtPath(const fs::path& path) {
    std::error_code error;
    std::wstring full = LongPath(fs::absolute(path, error)).native();
    if (full.rfind(LR"(\\?\)", 0) == 0)
        return LR"(\??\)" + full.substr(4);
    if (full.rfind(LR"(\\)", 0) == 0)
        return LR"(\??\UNC\)" + full.substr(2);
    return LR"(\??\)" + full;
}

bool RenameByHandle(HANDLE handle, const fs::path& target, bool replace) {
    const std::wstring name = NtPath(target);
    const std::size_t bytes = sizeof(FILE_RENAME_INFO) + name.size() * sizeof(wchar_t);
    std::vector<std::uint64_t> storage(bytes / sizeof(std::uint64_t) + 1);
    auto* info = reinterpret_cast<FILE_RENAME_INFO*>(storage.data());
    info->ReplaceIfExists = replace ? TRUE : FALSE;
    info->RootDirectory = nullptr;
    info->FileNameLength = static_cast<DWORD>(name.size() * sizeof(wchar_t));
    name.copy(info->FileName, name.size());
    return SetFileInformationByHandle(handle, FileRenameInfo, info, static_cast<DWORD>(bytes)) != 0;
}
#else
// Gives the nameless file `fd` the name `path`; fails if something has that name.
bool LinkNameless(int fd, const fs::path& path) {
    const std::string self = "/proc/self/fd/" + std::to_string(fd);
    if (::linkat(AT_FDCWD, self.c_str(), AT_FDCWD, path.c_str(), AT_SYMLINK_FOLLOW) == 0)
        return true;
    if (errno != ENOENT || ::access("/proc/self/fd", F_OK) == 0)
        return false;
    // Without /proc; this form needs a privilege.
    return ::linkat(fd, "", AT_FDCWD, path.c_str(), AT_EMPTY_PATH) == 0;
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
#endif

} // namespace

bool IsPendingOutputName(const fs::path& name) {
    const auto text = name.filename().native();
    const std::size_t prefix = sizeof kPrefix - 1, suffix = sizeof kSuffix - 1;
    if (text.size() < prefix + suffix)
        return false;
    for (std::size_t i = 0; i < prefix; ++i)
        if (text[i] != static_cast<Char>(kPrefix[i]))
            return false;
    for (std::size_t i = 0; i < suffix; ++i)
        if (text[text.size() - suffix + i] != static_cast<Char>(kSuffix[i]))
            return false;
    return true;
}

void RemovePendingOutputsNow() {
    for (auto& slot : g_slots) {
        const Char* name = slot.load();
        if (name == nullptr)
            continue;
#ifdef _WIN32
        DeleteFileW(name);
#else
        ::unlink(name);
#endif
    }
}

void UseNamedTemporaries(bool named) {
    g_named = named;
}

CPendingOutput::CPendingOutput() = default;

CPendingOutput::~CPendingOutput() {
    Discard();
}

bool CPendingOutput::Fail(std::error_code error) {
    m_error = error ? error : std::make_error_code(std::errc::io_error);
    Discard();
    return false;
}

bool CPendingOutput::Create(const fs::path& target, std::FILE* modeOf) {
    unsigned mode = 0666;
#ifndef _WIN32
    struct stat info {};
    if (modeOf != nullptr && ::fstat(::fileno(modeOf), &info) == 0)
        mode = info.st_mode & 0777;
#else
    (void)modeOf;
#endif
    return CreateWithMode(target, mode);
}

bool CPendingOutput::CreateWithMode(const fs::path& target, unsigned mode) {
    Discard();
    m_error.clear();
    m_target = target;
    const fs::path folder = target.parent_path();
#ifdef O_TMPFILE
    if (!g_named) {
        // The umask applies as it does to any new file, so the copy gets what cp would give.
        const int fd =
            ::open(folder.empty() ? "." : folder.c_str(), O_TMPFILE | O_WRONLY | O_CLOEXEC, mode);
        if (fd >= 0) {
            std::FILE* file = ::fdopen(fd, "wb");
            if (file == nullptr) {
                ::close(fd);
                return Fail(LastError());
            }
            m_file.reset(file);
            return true;
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
    for (int attempt = 0; attempt < 16; ++attempt) {
        const fs::path temporary = TemporaryIn(folder);
        // Known before it exists, so that no moment passes with a file a signal cannot find.
        m_slot = Register(temporary);
#ifdef _WIN32
        (void)mode;
        const HANDLE handle =
            CreateFileW(LongPath(temporary).c_str(), GENERIC_WRITE | DELETE, FILE_SHARE_DELETE,
                        nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (handle == INVALID_HANDLE_VALUE) {
            const DWORD error = GetLastError();
            Unregister(m_slot);
            if (error == ERROR_FILE_EXISTS || error == ERROR_ALREADY_EXISTS)
                continue;
            return Fail(WindowsError(error));
        }
        m_temporary = temporary;
        // Deleted when its handle closes, also when the process dies. Some file systems and
        // older systems may refuse: the named temporary is then removed by us.
        m_deleteOnClose = !g_named && SetDeleteOnClose(handle, true);
        const int fd = _open_osfhandle(reinterpret_cast<intptr_t>(handle), _O_WRONLY | _O_BINARY);
        if (fd < 0) {
            CloseHandle(handle);
            return Fail(LastError());
        }
        std::FILE* file = _fdopen(fd, "wb");
        if (file == nullptr) {
            _close(fd);
            return Fail(LastError());
        }
#else
        const int fd = ::open(temporary.c_str(), O_CREAT | O_EXCL | O_WRONLY | O_CLOEXEC, mode);
        if (fd < 0) {
            const int error = errno;
            Unregister(m_slot);
            if (error == EEXIST)
                continue;
            return Fail({error, std::generic_category()});
        }
        m_temporary = temporary;
        std::FILE* file = ::fdopen(fd, "wb");
        if (file == nullptr) {
            ::close(fd);
            return Fail(LastError());
        }
#endif
        m_file.reset(file);
        return true;
    }
    return Fail(std::make_error_code(std::errc::file_exists));
}

bool CPendingOutput::Commit(CByteIo& io, bool replace) {
    if (!m_file)
        return Fail(std::make_error_code(std::errc::bad_file_descriptor));
    errno = 0;
    if (!io.Flush(m_file.get()))
        return Fail(LastError());
    // An existing output is replaced only by bytes that are on the disk.
    if (replace && !SyncToDisk(m_file.get()))
        return Fail(LastError());
#ifdef _WIN32
    if (m_deleteOnClose) {
        const HANDLE handle = HandleOf(m_file.get());
        if (!SetDeleteOnClose(handle, false))
            return Fail(WindowsError());
        m_deleteOnClose = false;
        if (RenameByHandle(handle, m_target, replace)) {
            m_file.reset();
            m_temporary.clear();
            Unregister(m_slot);
            return true;
        }
        const DWORD error = GetLastError();
        if (error == ERROR_ALREADY_EXISTS || error == ERROR_FILE_EXISTS)
            return Fail(WindowsError(error));
        // Otherwise by name, below.
    }
    if (std::fclose(m_file.release()) != 0)
        return Fail(LastError());
    if (!MoveFileExW(LongPath(m_temporary).c_str(), LongPath(m_target).c_str(),
                     replace ? MOVEFILE_REPLACE_EXISTING : 0))
        return Fail(WindowsError());
#else
    if (m_temporary.empty()) {
        const int fd = ::fileno(m_file.get());
        if (!replace) {
            if (!LinkNameless(fd, m_target))
                return Fail(LastError());
            m_file.reset();
            return true;
        }
        // rename is the one atomic replacement: the file gets a temporary name first.
        for (int attempt = 0; m_temporary.empty(); ++attempt) {
            const fs::path temporary = TemporaryIn(m_target.parent_path());
            m_slot = Register(temporary);
            if (LinkNameless(fd, temporary)) {
                m_temporary = temporary;
                break;
            }
            const std::error_code error = LastError();
            Unregister(m_slot);
            if (error != std::errc::file_exists || attempt == 15)
                return Fail(error);
        }
    }
    if (std::fclose(m_file.release()) != 0)
        return Fail(LastError());
    const bool renamed = replace ? ::rename(m_temporary.c_str(), m_target.c_str()) == 0
                                 : RenameNoReplace(m_temporary, m_target);
    if (!renamed)
        return Fail(LastError());
#endif
    m_temporary.clear();
    Unregister(m_slot);
    return true;
}

void CPendingOutput::Discard() {
#ifdef _WIN32
    if (m_file && !m_deleteOnClose && !m_temporary.empty())
        m_deleteOnClose = SetDeleteOnClose(HandleOf(m_file.get()), true);
#endif
    m_file.reset();
    if (!m_temporary.empty()) {
        std::error_code ignored;
        fs::remove(LongPath(m_temporary), ignored);
        m_temporary.clear();
    }
    m_deleteOnClose = false;
    Unregister(m_slot);
}
