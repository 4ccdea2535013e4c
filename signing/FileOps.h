// The file operations of the signing engine, the same on every platform. Paths too long for
// the classic Windows limit get the \\?\ form there; elsewhere they pass unchanged.
#pragma once

#include "FileIo.h"

#include <array>
#include <compare>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <mutex>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>
#include <utility>
#include <vector>

// Why a file operation failed where the system's error numbers have no word for it.
enum class FileError {
    NotRegularFile = 1,  // a folder, a FIFO, a device, a socket: only disk files are read
    NameTooLong,         // longer than file systems take (255 bytes or UTF-16 units)
    WrittenThisRun,      // the output was written earlier in the same run
    OutsideOutputFolder, // the path would leave the output folder
    ReadOnly,            // an existing file to be replaced is marked read-only (Windows)
    SourceChanged,       // the source's size or times changed while it was copied
    OutputIsSource,      // the output named is the source itself
    LinkInOutputFolder,  // a link or junction below the output folder, which is not followed
};
const std::error_category& FileErrorCategory();
std::error_code make_error_code(FileError error);
template <> struct std::is_error_code_enum<FileError> : std::true_type {};

// The system's last error as an error code: errno on Linux; on Windows the Win32 error behind
// a failed call of the C runtime (or GetLastError), so that a message can use Windows' words.
std::error_code LastError();
// Clears what LastError reports, before calls whose failure it will explain.
void ClearLastError();
// What went wrong, in words for a message (UTF-8): on Windows the system's own text in the
// user's language (FormatMessageW), on other systems the C library's (strerror).
std::string ErrorText(const std::error_code& error);

// `path` in a form the platform's file functions accept whatever its length.
std::filesystem::path LongPath(const std::filesystem::path& path);

bool IsDirectory(const std::filesystem::path& path);
// The access test of the batch: the file may be read.
bool CanReadFile(const std::filesystem::path& path);
// True when both paths name one existing file or folder.
bool SameFile(const std::filesystem::path& a, const std::filesystem::path& b);

// A subfolder below the output folder must not lead out of it (no root, no "..").
bool StaysInside(const std::filesystem::path& subfolder);

// A folder that outputs go into, open. The folder the caller named is followed wherever it
// leads (a link there was chosen); below it each folder is made and opened one name at a time,
// never through a link or a junction, so that one planted in a shared output folder cannot
// send a copy elsewhere. On POSIX every output is made and named relative to the open folder.
class COutputFolder {
public:
    // Opens `folder`, then the relative path `below` inside it, making the folders missing.
    // Null, with the reason in `error`, when it cannot: FileError::LinkInOutputFolder for a
    // link below `folder`.
    static std::shared_ptr<const COutputFolder> Open(const std::filesystem::path& folder,
                                                     const std::filesystem::path& below,
                                                     std::error_code& error);
    ~COutputFolder();
    COutputFolder(const COutputFolder&) = delete;
    COutputFolder& operator=(const COutputFolder&) = delete;

    // `folder` / `below`, as opened.
    const std::filesystem::path& Path() const { return m_path; }
    // True when it was opened as `folder` and `below` and has not been removed since.
    bool Serves(const std::filesystem::path& folder, const std::filesystem::path& below) const;
    // True when the folder has an entry `name`; a link counts as itself.
    bool Holds(const std::filesystem::path& name) const;
    // Why its existing entry `name` may not be replaced (a folder; a read-only file; on
    // Windows a link); empty when it may. A link on POSIX may: the link itself is replaced.
    std::error_code ReplaceRefusal(const std::filesystem::path& name) const;
    // Removes its file `name`.
    void Remove(const std::filesystem::path& name) const;
    // The open folder on POSIX; -1 on Windows, where outputs are made by path.
    int Descriptor() const { return m_fd; }

private:
    COutputFolder() = default;

    std::filesystem::path m_folder, m_below, m_path;
    int m_fd = -1;
    // Windows: the folders below `m_folder`, held open so that none is swapped meanwhile.
    std::vector<void*> m_held;
};
using OutputFolderPtr = std::shared_ptr<const COutputFolder>;

// What the one status query of an opened file tells.
struct FileFacts {
    std::int64_t size = 0;
    unsigned mode = 0666; // permission bits
    // The modification and change times, in the platform's finest units (zero where unknown).
    std::int64_t modified = 0;
    std::int64_t changed = 0;
};

// The source's error when what was copied may not be what it is now: its size, modification
// or change time differ from `opened` (FileError::SourceChanged), or it cannot be asked.
// Nothing when it is as it was opened.
std::error_code CheckUnchanged(std::FILE* source, const FileFacts& opened);

// The folder of the last listed file opened, held open for the next file: the files of a
// listing come folder by folder, and the next file of the same folder is then one call. One for
// a whole batch, shared by its threads: one held by each job would take the descriptors that a
// machine short of them needs for the files in flight. Used on POSIX systems only.
struct ListedFolder {
    std::mutex lock;
    std::filesystem::path path;
    unsigned depth = 0;
    int fd = -1;

    ListedFolder() = default;
    ~ListedFolder();
    ListedFolder(const ListedFolder&) = delete;
    ListedFolder& operator=(const ListedFolder&) = delete;
};

// Opens a regular (disk) file for reading in binary mode. Anything else is refused at once
// without blocking: a folder, a FIFO, a device, a socket, on Windows anything that is not a disk
// file. Null on failure, with the reason in `error` when given. `facts` receives the size and
// permission bits. `listedBelow` (a folder listing found a regular file this many names below
// the folder it walked; see SignItem::listed) spares the look before the open that keeps
// devices from being opened at all, and opens the file from that folder without following a
// link.
UniqueFile OpenForReading(const std::filesystem::path& path, std::error_code* error = nullptr,
                          FileFacts* facts = nullptr, unsigned listedBelow = 0,
                          ListedFolder* held = nullptr);

// Identifies a file whatever the path that names it: its volume and its number there (128 bits
// on Windows, where ReFS uses them all).
struct FileIdentity {
    std::uint64_t volume = 0;
    std::array<std::uint64_t, 2> file{};
    auto operator<=>(const FileIdentity&) const = default;
};
std::optional<FileIdentity> IdentityOf(const std::filesystem::path& path);

// The outputs one run has written, so that none of them is replaced later in the same run.
// An output is identified only once a path is asked about after it was added: asking the
// system costs (under Wine, a round to the mount manager per file), and most runs never ask.
class CRunOutputs {
public:
    void Add(const std::filesystem::path& output, const std::filesystem::path& source);
    // The source of `output` when this run wrote it; null otherwise.
    const std::filesystem::path* WrittenFrom(const std::filesystem::path& output) const;

private:
    // Outputs added since the last question, with their sources, in the order written.
    mutable std::vector<std::pair<std::filesystem::path, std::filesystem::path>> m_added;
    mutable std::map<FileIdentity, std::filesystem::path> m_written;
};

// The engine's reads and writes of file contents. Tests derive from it to make a read, a
// write or a flush fail the way a damaged disk or a full one does.
class CByteIo {
public:
    virtual ~CByteIo() = default;
    // A copy from `source` into `target` begins.
    virtual void Begin(std::FILE* source, std::FILE* target);
    // As fread and fwrite: the number of bytes moved; fewer means the end or an error.
    virtual std::size_t Read(std::FILE* file, void* buffer, std::size_t bytes);
    virtual std::size_t Write(std::FILE* file, const void* buffer, std::size_t bytes);
    // Pushes buffered bytes to the system; false when they could not be written.
    virtual bool Flush(std::FILE* file);
    // True when every byte copied must pass through Read and Write: the system may otherwise
    // copy a file without handing its bytes to this process.
    virtual bool SeesEveryByte() const { return false; }
    // True when the copies of one run must not be made at once (the plain one is called from
    // several threads in a run with several jobs).
    virtual bool OneFileAtATime() const { return SeesEveryByte(); }
};

// The byte I/O of the runs that name none: the plain one, or the test hooks' (tests slow or
// fail the copies of a whole program this way).
CByteIo& DefaultByteIo();

// Told the bytes copied so far during a copy; false stops the copy.
using CopyProgress = std::function<bool(std::uint64_t copied)>;

// Why a copy failed: the error that stopped it, and whether reading the source (or writing the
// target) failed.
struct CopyFault {
    bool reading = false;
    std::error_code error;
};

// Copies `source` from its position to its end into `target` through `buffer`. False on a
// read or write error (`fault` tells which), and when `progress` stopped it.
bool CopyToEnd(CByteIo& io, std::FILE* source, std::FILE* target, std::vector<std::uint8_t>& buffer,
               const CopyProgress& progress = {}, CopyFault* fault = nullptr);
// Copies exactly `count` bytes; false on an error, when the source ends early, and when
// `progress` stopped it.
// Stops the process in the copy of `source` when a test asked for that moment
// (TestHooks::stopInCopyOf), once; does nothing otherwise.
void StopInCopyIfTestAsks(const std::filesystem::path& source);

bool CopyCount(CByteIo& io, std::FILE* source, std::FILE* target, std::int64_t count,
               std::vector<std::uint8_t>& buffer, CopyFault* fault = nullptr,
               const CopyProgress& progress = {});

// A new file that takes the place of `target` only when it is complete, so that `target` is
// either untouched or wholly replaced, and a kill at any moment leaves nothing behind.
//   Linux: a file without a name (O_TMPFILE) in the target's folder, linked in at Commit; where
//   the file system cannot make one, a named temporary ".quorvane-*.tmp".
//   Windows: a temporary that the system deletes when its handle closes, also when the process
//   dies; Commit clears that and renames it through the handle.
// Named temporaries are removed on every failure, and by RemovePendingOutputsNow.
class CPendingOutput {
public:
    CPendingOutput();
    ~CPendingOutput();
    CPendingOutput(const CPendingOutput&) = delete;
    CPendingOutput& operator=(const CPendingOutput&) = delete;

    // Creates the new file that takes the name `name` in `folder`, with the permission bits
    // `mode` less the umask, as cp gives a new copy. False when the folder cannot take it.
    bool CreateIn(OutputFolderPtr folder, const std::filesystem::path& name, unsigned mode);
    // The same for the path `target`, whose folder is followed wherever it leads, with the
    // permission bits of `modeOf` (an open source; 0666 without one) or those given.
    bool Create(const std::filesystem::path& target, std::FILE* modeOf = nullptr);
    bool CreateWithMode(const std::filesystem::path& target, unsigned mode);
    std::FILE* File() const { return m_file.get(); }
    // Flushes through `io` and gives the file the target's name. With `replace` an existing
    // target is replaced, after the new bytes reached the disk; without it an existing target
    // is never replaced and the commit fails. False, with nothing left behind, on any failure.
    bool Commit(CByteIo& io, bool replace);
    // Drops the new file now.
    void Discard();
    // Gives the new file a copy of the named stream `name` of `source` (an NTFS alternate data
    // stream, such as the Mark of the Web) when `source` has one; written at Commit, before
    // the file takes its name on Windows. Call after Create. False, with the new file dropped,
    // when the source's stream could not be read: a copy never silently loses its mark.
    bool KeepStream(const std::filesystem::path& source, std::u16string_view name);
    // Why Create or Commit failed.
    const std::error_code& Error() const { return m_error; }
    // True when the file has a name of its own until Commit (the fallback).
    bool IsNamed() const { return !m_temporary.empty(); }

private:
    bool CreateNamed(unsigned mode);
    // Gives a new temporary name in the folder to a file that `make` creates under it,
    // answering the error of its try (std::errc::file_exists: another name is tried). The name
    // is known before the file exists, and none is made after StopAndRemovePendingOutputs.
    bool MakeTemporary(const std::function<std::error_code(const std::filesystem::path&)>& make);
    // The platform's part of Commit: gives the flushed file the target's name.
    bool TakeName(bool replace);
    bool Fail(std::error_code error);
    // Closes the file and removes its named temporary.
    void RemoveTemporary();
    // Writes the kept streams into `file`; false, with the file dropped, when one cannot be.
    bool WriteStreams(const std::filesystem::path& file);

    UniqueFile m_file;
    // The folder, the name the file takes there, and its path.
    OutputFolderPtr m_folder;
    std::filesystem::path m_name;
    std::filesystem::path m_target;
    // The named temporary's name in the folder; empty while the file has no name.
    std::filesystem::path m_temporary;
    // The file is deleted when closed (Windows).
    bool m_deleteOnClose = false;
    std::error_code m_error;
    int m_slot = -1;
    // The named streams to write at Commit: name and bytes.
    std::vector<std::pair<std::u16string, std::string>> m_streams;
};

// True for the names of our temporaries: a folder walk never takes them for sources.
bool IsPendingOutputName(const std::filesystem::path& name);

// Removes every named temporary of a pending output at once. Safe in a signal handler.
void RemovePendingOutputsNow();

// The named streams of files beside their contents: NTFS alternate data streams on Windows,
// none elsewhere. Tests give their own (TestHooks), since Wine keeps no streams.
class CFileStreams {
public:
    virtual ~CFileStreams() = default;
    // The bytes of stream `name` of `file`: nothing when it has none, an error when it has one
    // that cannot be read.
    virtual std::optional<std::string> Read(const std::filesystem::path& file,
                                            std::u16string_view name, std::error_code& error);
    // Writes stream `name` of `file`; false, with the reason in `error`, when it cannot.
    virtual bool Write(const std::filesystem::path& file, std::u16string_view name,
                       const std::string& bytes, std::error_code& error);
};
// The system's streams, or the test hooks'.
CFileStreams& DefaultFileStreams();

// The stream in which a downloaded file carries the Mark of the Web.
inline constexpr char16_t kZoneIdentifier[] = u"Zone.Identifier";

// For the end of the process on a signal or console event, from a thread of its own: no named
// temporary is made after it (their making takes the same lock), and every one made is removed.
void StopAndRemovePendingOutputs();
// True when a request to end the process waits, blocked, for the thread that takes it; no
// pending output is committed then.
bool EndRequestWaiting();

// The block size of the copy: large enough that the system call cost disappears, small enough
// to stay in the processor's cache (1 MiB blocks copied four times slower here).
inline constexpr std::size_t kCopyBlockBytes = std::size_t{128} << 10;
