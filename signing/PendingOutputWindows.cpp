// The pending outputs on Windows: a temporary that the system deletes when its handle closes,
// renamed through the handle at commit.
// Files only: nothing of windows or drawing in the engine.
#define WIN32_LEAN_AND_MEAN
#define NOUSER
#define NOGDI

#include "FileErrors.h"
#include "FileOps.h"
#include "FileOpsPlatform.h"
#include "OutputFolder.h"
#include "PendingOutput.h"

#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <io.h>
#include <string>
#include <vector>
#include <windows.h>

namespace fs = std::filesystem;

bool platform::SyncToDisk(std::FILE* file) {
    return _commit(_fileno(file)) == 0;
}

namespace {

std::error_code WindowsError(DWORD error = GetLastError()) {
    return platform::SystemError(static_cast<int>(error));
}

// What an antivirus or an indexer that opened a file for a moment makes a rename answer.
bool IsBusy(DWORD error) {
    return error == ERROR_SHARING_VIOLATION || error == ERROR_ACCESS_DENIED ||
           error == ERROR_LOCK_VIOLATION;
}

// Tries `rename` again while the system refuses it for a moment, about a second in all;
// ERROR_SUCCESS, or the error of the last try.
template <typename Rename> DWORD RetryWhileBusy(Rename rename) {
    for (int attempt = 1;; ++attempt) {
        if (rename())
            return ERROR_SUCCESS;
        const DWORD error = GetLastError();
        if (!IsBusy(error) || !pending::WaitToRetry(attempt))
            return error;
    }
}

// The reason for a refused replacement: a read-only target is named as such.
std::error_code RenameError(DWORD error, const fs::path& target, bool replace) {
    if (replace && error == ERROR_ACCESS_DENIED) {
        const DWORD attributes = GetFileAttributesW(LongPath(target).c_str());
        if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY))
            return FileError::ReadOnly;
    }
    return WindowsError(error);
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

} // namespace

bool CPendingOutput::CreateIn(OutputFolderPtr folder, const fs::path& name, unsigned mode) {
    Discard();
    m_error.clear();
    m_folder = std::move(folder);
    m_name = name;
    m_target = m_folder->Path() / name;
    return CreateNamed(mode);
}

bool CPendingOutput::CreateNamed(unsigned /*mode*/) {
    HANDLE handle = INVALID_HANDLE_VALUE;
    const bool made = MakeTemporary([&](const fs::path& temporary) {
        handle = CreateFileIdentifyingOnly(LongPath(m_folder->Path() / temporary).c_str(),
                                           GENERIC_WRITE | DELETE, FILE_SHARE_DELETE, CREATE_NEW,
                                           FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT);
        if (handle != INVALID_HANDLE_VALUE)
            return std::error_code();
        const DWORD error = GetLastError();
        if (error == ERROR_FILE_EXISTS || error == ERROR_ALREADY_EXISTS)
            return std::make_error_code(std::errc::file_exists);
        return WindowsError(error);
    });
    if (!made)
        return false;
    // Deleted when its handle closes, also when the process dies. Some file systems and older
    // systems may refuse: the named temporary is then removed by us.
    m_deleteOnClose = !pending::NamedTemporaries() && SetDeleteOnClose(handle, true);
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
    m_file.reset(file);
    return true;
}

bool CPendingOutput::TakeName(bool replace) {
    const bool byHandle = m_deleteOnClose;
    const HANDLE handle = HandleOf(m_file.get());
    if (byHandle) {
        if (!SetDeleteOnClose(handle, false))
            return Fail(WindowsError());
        m_deleteOnClose = false;
    }
    // The streams go in before the file has its name, so that it never shows without them.
    const fs::path temporary = m_folder->Path() / m_temporary;
    if (!WriteStreams(temporary))
        return false;
    if (byHandle) {
        const DWORD error =
            RetryWhileBusy([&] { return RenameByHandle(handle, m_target, replace); });
        if (error == ERROR_SUCCESS) {
            m_file.reset();
            m_temporary.clear();
            pending::Unregister(m_slot);
            return true;
        }
        if (error == ERROR_ALREADY_EXISTS || error == ERROR_FILE_EXISTS || IsBusy(error))
            return Fail(RenameError(error, m_target, replace));
        // Otherwise by name, below.
    }
    if (std::fclose(m_file.release()) != 0)
        return Fail(LastError());
    const DWORD error = RetryWhileBusy([&] {
        return MoveFileExW(LongPath(temporary).c_str(), LongPath(m_target).c_str(),
                           replace ? MOVEFILE_REPLACE_EXISTING : 0) != 0;
    });
    if (error != ERROR_SUCCESS)
        return Fail(RenameError(error, m_target, replace));
    m_temporary.clear();
    pending::Unregister(m_slot);
    return true;
}

void CPendingOutput::Discard() {
    if (m_file && !m_deleteOnClose && !m_temporary.empty())
        m_deleteOnClose = SetDeleteOnClose(HandleOf(m_file.get()), true);
    RemoveTemporary();
}
