// The file operations on Windows: Win32 handles and the C runtime's wide functions.
// Files only: nothing of windows or drawing in the engine.
#define WIN32_LEAN_AND_MEAN
#define NOUSER
#define NOGDI

#include "ByteIo.h"
#include "FileErrors.h"
#include "FileIdentity.h"
#include "FileOps.h"
#include "RunOutputs.h"
#include "FileOpsPlatform.h"
#include "OutputFolder.h"
#include "PendingOutput.h"
#include "TextConvert.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <cerrno>
#include <io.h>
#include <optional>
#include <string>
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

struct HandleCloser {
    void operator()(HANDLE handle) const { CloseHandle(handle); }
};
using UniqueHandle = std::unique_ptr<void, HandleCloser>;

UniqueHandle OpenHandle(const std::wstring& path, DWORD access, DWORD share, DWORD disposition,
                        DWORD flags = FILE_ATTRIBUTE_NORMAL) {
    const HANDLE handle =
        CreateFileIdentifyingOnly(path.c_str(), access, share, disposition, flags);
    return UniqueHandle(handle == INVALID_HANDLE_VALUE ? nullptr : handle);
}

// What the one status query of an open file tells, with what only Windows keeps.
struct HandleFacts {
    FileFacts facts;
    bool directory = false;
    bool sparse = false;
};

// Two calls that Windows answers from the file alone. GetFileInformationByHandle would also
// ask for the volume's serial number: under Wine a round to the mount manager, 16 server
// requests each time.
std::optional<HandleFacts> FactsOfHandle(HANDLE handle) {
    FILE_STANDARD_INFO standard{};
    FILE_BASIC_INFO basic{};
    if (!GetFileInformationByHandleEx(handle, FileStandardInfo, &standard, sizeof standard) ||
        !GetFileInformationByHandleEx(handle, FileBasicInfo, &basic, sizeof basic))
        return std::nullopt;
    HandleFacts known;
    known.facts.size = standard.EndOfFile.QuadPart;
    known.facts.mode = (basic.FileAttributes & FILE_ATTRIBUTE_READONLY) != 0 ? 0444u : 0666u;
    known.facts.modified = basic.LastWriteTime.QuadPart;
    known.facts.changed = basic.ChangeTime.QuadPart;
    known.directory = standard.Directory || (basic.FileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    known.sparse = (basic.FileAttributes & FILE_ATTRIBUTE_SPARSE_FILE) != 0;
    return known;
}

// "An operation is not supported on a directory." (ERROR_DIRECTORY_NOT_SUPPORTED, missing from
// older headers).
constexpr DWORD kErrorDirectoryNotSupported = 336;

// The Win32 error that the C runtime's errno stands for, for the errors that reach a message
// without one (the C++ library's file functions, our own std::errc codes).
DWORD Win32ErrorOf(int crtError) {
    switch (crtError) {
    case ENOENT:
        return ERROR_FILE_NOT_FOUND;
    case ENOTDIR:
        return ERROR_PATH_NOT_FOUND;
    case EACCES:
    case EPERM:
        return ERROR_ACCESS_DENIED;
    case EEXIST:
        return ERROR_FILE_EXISTS;
    case ENOSPC:
        return ERROR_DISK_FULL;
    case EBADF:
        return ERROR_INVALID_HANDLE;
    case ENOMEM:
        return ERROR_NOT_ENOUGH_MEMORY;
    case EMFILE:
        return ERROR_TOO_MANY_OPEN_FILES;
    case ENAMETOOLONG:
        return ERROR_FILENAME_EXCED_RANGE;
    case EISDIR:
        return kErrorDirectoryNotSupported;
    case ENOTEMPTY:
        return ERROR_DIR_NOT_EMPTY;
    case EXDEV:
        return ERROR_NOT_SAME_DEVICE;
    case EROFS:
        return ERROR_WRITE_PROTECT;
    case EFBIG:
        return ERROR_FILE_TOO_LARGE;
    case EPIPE:
        return ERROR_BROKEN_PIPE;
    case EBUSY:
        return ERROR_BUSY;
    case EDEADLOCK:
        return ERROR_LOCK_VIOLATION;
    case EINTR:
    case ECANCELED:
        return ERROR_OPERATION_ABORTED;
    case ENOTSUP:
        return ERROR_NOT_SUPPORTED;
    case EINVAL:
        return ERROR_INVALID_PARAMETER;
    case EIO:
        return ERROR_IO_DEVICE;
    default:
        return ERROR_SUCCESS;
    }
}

// Windows' text for `code` in the user's language; empty when it has none.
std::wstring SystemText(DWORD code) {
    wchar_t* buffer = nullptr;
    const DWORD length = FormatMessageW(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
        nullptr, code, 0, reinterpret_cast<wchar_t*>(&buffer), 0, nullptr);
    if (buffer == nullptr)
        return {};
    std::wstring text(buffer, length);
    LocalFree(buffer);
    return text;
}

} // namespace

std::error_code LastError() {
    // A failed call of the C runtime leaves the system's error behind its errno in _doserrno.
    const int crtError = errno;
    const unsigned long systemError = _doserrno;
    if (systemError != 0)
        return {static_cast<int>(systemError), std::system_category()};
    if (crtError != 0)
        return {crtError, std::generic_category()};
    return {static_cast<int>(GetLastError()), std::system_category()};
}

void ClearLastError() {
    errno = 0;
    _doserrno = 0;
    SetLastError(ERROR_SUCCESS);
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

// Windows denies reading through access lists and locks, not attributes: a file that exists
// may be read as far as a test before the open can tell.
bool HasAccess(const fs::path& path, Access) {
    return GetFileAttributesW(LongPath(path).c_str()) != INVALID_FILE_ATTRIBUTES;
}

std::error_code SystemError(int code) {
    return {code, std::system_category()};
}

std::string MessageOf(const std::error_code& error) {
    DWORD code = ERROR_SUCCESS;
    if (error.category() == std::system_category())
        code = static_cast<DWORD>(error.value());
    else if (error.category() == std::generic_category())
        code = Win32ErrorOf(error.value());
    std::wstring text = code != ERROR_SUCCESS ? SystemText(code) : std::wstring();
    // A code this Windows has no text for (ERROR_DIRECTORY_NOT_SUPPORTED came late).
    if (text.empty() && error == std::errc::is_a_directory)
        text = SystemText(ERROR_ACCESS_DENIED);
    if (text.empty() && code != ERROR_SUCCESS && error.category() == std::system_category())
        return "error " + std::to_string(code);
    if (text.empty())
        return error.message();
    return Utf16ToUtf8(FromWide(text));
}

std::optional<std::string> ReadStream(const fs::path& file, std::u16string_view name,
                                      std::error_code& error) {
    error.clear();
    const UniqueHandle stream =
        OpenHandle(LongPath(file).native() + L":" + ToWide(name), GENERIC_READ,
                   FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, OPEN_EXISTING);
    if (!stream) {
        const DWORD why = GetLastError();
        if (why == ERROR_FILE_NOT_FOUND || why == ERROR_PATH_NOT_FOUND || why == ERROR_INVALID_NAME)
            return std::nullopt; // no such stream, or a file system without streams
        error = SystemError(static_cast<int>(why));
        return std::nullopt;
    }
    std::string bytes;
    std::vector<char> buffer(4096);
    for (;;) {
        DWORD got = 0;
        if (!ReadFile(stream.get(), buffer.data(), static_cast<DWORD>(buffer.size()), &got,
                      nullptr)) {
            error = SystemError(static_cast<int>(GetLastError()));
            return std::nullopt;
        }
        if (got == 0)
            return bytes;
        bytes.append(buffer.data(), got);
    }
}

bool WriteStream(const fs::path& file, std::u16string_view name, const std::string& bytes,
                 std::error_code& error) {
    const UniqueHandle stream =
        OpenHandle(LongPath(file).native() + L":" + ToWide(name), GENERIC_WRITE, 0, CREATE_ALWAYS);
    DWORD written = 0;
    if (!stream ||
        !WriteFile(stream.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written,
                   nullptr) ||
        written != bytes.size()) {
        error = SystemError(static_cast<int>(GetLastError()));
        return false;
    }
    error.clear();
    return true;
}

void RemoveFileNow(int, const wchar_t* name) {
    DeleteFileW(name);
}

// A console event runs its handler on a thread of its own at once: nothing waits.
bool EndRequestWaiting() {
    return false;
}

// Windows has no stopped state a parent can wait for: the copying thread says where it is in a
// file and waits there; the test ends the process.
void StopForTest() {
    if (const wchar_t* notice = _wgetenv(L"QUORVANE_TEST_STOPPED")) {
        const HANDLE file =
            CreateFileIdentifyingOnly(notice, GENERIC_WRITE, 0, CREATE_NEW, FILE_ATTRIBUTE_NORMAL);
        if (file != INVALID_HANDLE_VALUE)
            CloseHandle(file);
    }
    Sleep(INFINITE);
}

} // namespace platform

ListedFolder::~ListedFolder() = default;

UniqueFile OpenForReading(const fs::path& path, std::error_code* error, FileFacts* facts,
                          unsigned /*listedBelow*/, ListedFolder* /*held*/) {
    std::error_code ignored;
    std::error_code& why = error != nullptr ? *error : ignored;
    why.clear();
    // As the C runtime opens for reading: others may read and write meanwhile. A file another
    // program holds without sharing is refused with Windows' reason. Pipes and devices open
    // without waiting here; they are refused once open.
    UniqueHandle handle =
        OpenHandle(LongPath(path).native(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                   OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_SEQUENTIAL_SCAN);
    if (!handle) {
        why = platform::SystemError(static_cast<int>(GetLastError()));
        return nullptr;
    }
    std::optional<HandleFacts> known;
    if (GetFileType(handle.get()) != FILE_TYPE_DISK || !(known = FactsOfHandle(handle.get())) ||
        known->directory) {
        why = FileError::NotRegularFile;
        return nullptr;
    }
    const int fd = _open_osfhandle(reinterpret_cast<intptr_t>(handle.get()), _O_RDONLY | _O_BINARY);
    if (fd < 0) {
        why = LastError();
        return nullptr;
    }
    handle.release();
    UniqueFile file(_fdopen(fd, "rb"));
    if (!file) {
        why = LastError();
        _close(fd);
        return nullptr;
    }
    if (facts != nullptr)
        *facts = known->facts;
    return file;
}

std::optional<FileFacts> platform::FactsOf(std::FILE* file, std::error_code& error) {
    const std::optional<HandleFacts> known = FactsOfHandle(HandleOf(file));
    if (!known) {
        error = platform::SystemError(static_cast<int>(GetLastError()));
        return std::nullopt;
    }
    return known->facts;
}

namespace {

std::error_code LastWindowsError() {
    return platform::SystemError(static_cast<int>(GetLastError()));
}

// A folder below an output folder, held open without sharing its deletion, so that it is not
// renamed or replaced while copies go into it; null where it is missing or cannot be opened.
UniqueHandle HoldFolder(const std::wstring& path) {
    constexpr DWORD kShare = FILE_SHARE_READ | FILE_SHARE_WRITE;
    constexpr DWORD kFlags = FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT;
    UniqueHandle held =
        OpenHandle(path, FILE_TRAVERSE | FILE_READ_ATTRIBUTES, kShare, OPEN_EXISTING, kFlags);
    // Allowed to make files in it, not to pass through it by name: it can still be looked at.
    if (!held && GetLastError() == ERROR_ACCESS_DENIED)
        held = OpenHandle(path, FILE_READ_ATTRIBUTES, kShare, OPEN_EXISTING, kFlags);
    return held;
}

} // namespace

std::shared_ptr<const COutputFolder>
COutputFolder::Open(const fs::path& folder, const fs::path& below, std::error_code& error) {
    error.clear();
    if (!StaysInside(below)) {
        error = FileError::OutsideOutputFolder;
        return nullptr;
    }
    std::shared_ptr<COutputFolder> result(new COutputFolder());
    result->m_folder = folder;
    result->m_below = below;
    result->m_path = below.empty() ? folder : folder / below;
    // The folder named is taken as it is: whoever named it chose it. Below it, each folder
    // is made when missing, and refused when it is a junction or a link.
    fs::path current = folder;
    for (const fs::path& part : below) {
        if (part.empty() || part == ".")
            continue;
        current /= part;
        const std::wstring path = LongPath(current).native();
        UniqueHandle held = HoldFolder(path);
        if (!held && GetLastError() == ERROR_FILE_NOT_FOUND) {
            if (!CreateDirectoryW(path.c_str(), nullptr) &&
                GetLastError() != ERROR_ALREADY_EXISTS) {
                error = LastWindowsError();
                return nullptr;
            }
            held = HoldFolder(path);
        }
        FILE_BASIC_INFO basic{};
        if (!held ||
            !GetFileInformationByHandleEx(held.get(), FileBasicInfo, &basic, sizeof basic)) {
            error = LastWindowsError();
            return nullptr;
        }
        if (basic.FileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) {
            error = FileError::LinkInOutputFolder;
            return nullptr;
        }
        if (!(basic.FileAttributes & FILE_ATTRIBUTE_DIRECTORY)) {
            error = platform::SystemError(ERROR_DIRECTORY);
            return nullptr;
        }
        result->m_held.push_back(held.release());
    }
    return result;
}

COutputFolder::~COutputFolder() {
    for (void* held : m_held)
        CloseHandle(held);
}

bool COutputFolder::Serves(const fs::path& folder, const fs::path& below) const {
    return folder == m_folder && below == m_below;
}

bool COutputFolder::Holds(const fs::path& name) const {
    return GetFileAttributesW(LongPath(m_path / name).c_str()) != INVALID_FILE_ATTRIBUTES;
}

std::error_code COutputFolder::ReplaceRefusal(const fs::path& name) const {
    const DWORD attributes = GetFileAttributesW(LongPath(m_path / name).c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES)
        return LastWindowsError();
    if (attributes & FILE_ATTRIBUTE_REPARSE_POINT)
        return FileError::LinkInOutputFolder;
    if (attributes & FILE_ATTRIBUTE_DIRECTORY)
        return std::make_error_code(std::errc::is_a_directory);
    if (attributes & FILE_ATTRIBUTE_READONLY)
        return FileError::ReadOnly;
    return {};
}

void COutputFolder::Remove(const fs::path& name) const {
    DeleteFileW(LongPath(m_path / name).c_str());
}

// FileIdInfo gives the whole 128-bit number of the file. Under Wine it still asks the mount
// manager for the volume's serial number: CRunOutputs keys outputs by their paths instead.
std::optional<FileIdentity> IdentityOf(const fs::path& path) {
    const UniqueHandle handle = OpenHandle(LongPath(path).native(), 0,
                                           FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                           OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS);
    FILE_ID_INFO info{};
    if (!handle || !GetFileInformationByHandleEx(handle.get(), FileIdInfo, &info, sizeof info))
        return std::nullopt;
    FileIdentity identity;
    identity.volume = info.VolumeSerialNumber;
    static_assert(sizeof identity.file == sizeof info.FileId.Identifier);
    std::memcpy(identity.file.data(), info.FileId.Identifier, sizeof identity.file);
    return identity;
}

std::optional<std::uint64_t> OutputKeyOf(const fs::path& path) {
    std::error_code error;
    std::wstring name = fs::absolute(path, error).lexically_normal().native();
    if (error || name.empty())
        return std::nullopt;
    // NTFS compares names without case.
    std::wstring upper(name.size(), L'\0');
    const int length = LCMapStringEx(LOCALE_NAME_INVARIANT, LCMAP_UPPERCASE, name.data(),
                                     static_cast<int>(name.size()), upper.data(),
                                     static_cast<int>(upper.size()), nullptr, nullptr, 0);
    if (length > 0)
        upper.resize(static_cast<std::size_t>(length));
    return std::hash<std::wstring>()(length > 0 ? upper : name);
}

namespace {

// Copies the allocated ranges of a sparse `source` into a sparse `target` through `io`, so
// that the holes stay holes. Nothing, with nothing written, when either file system cannot.
std::optional<bool> SparseCopyToEnd(CByteIo& io, std::FILE* source, std::FILE* target,
                                    std::vector<std::uint8_t>& buffer, const CopyProgress& progress,
                                    CopyFault& fault) {
    // Answered inside the process, also under Wine: the facts of the open do not reach here.
    const std::optional<HandleFacts> known = FactsOfHandle(HandleOf(source));
    if (!known || !known->sparse)
        return std::nullopt;
    const std::int64_t size = known->facts.size;
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
