#pragma once

#include "FileIo.h"
#include "OutputFolder.h"

#include <filesystem>
#include <functional>
#include <string>
#include <string_view>
#include <system_error>
#include <utility>
#include <vector>

class CByteIo;

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

// For the end of the process on a signal or console event, from a thread of its own: no named
// temporary is made after it (their making takes the same lock), and every one made is removed.
void StopAndRemovePendingOutputs();
// True when a request to end the process waits, blocked, for the thread that takes it; no
// pending output is committed then.
bool EndRequestWaiting();
