// What the portable file operations (FileOps.cpp, PendingOutput.cpp) ask of the file of their
// platform: FileOpsPosix.cpp and PendingOutputPosix.cpp, or FileOpsWindows.cpp and
// PendingOutputWindows.cpp. Private to the engine.
#pragma once

#include "ByteIo.h"
#include "FileOps.h"
#include "OutputFolder.h"
#include "PendingOutput.h"

#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

namespace platform {

// Calls `call` again while it fails (-1) because a signal interrupted it: a host program's
// handler or a file system whose waits a signal cuts short would otherwise fail the file.
template <typename Call> auto Uninterrupted(Call call) {
    for (;;) {
        const auto result = call();
        if (result != -1 || errno != EINTR)
            return result;
    }
}

// `path` without separators at its end, unless that would change what it names ("/", "C:\").
std::filesystem::path WithoutTrailingSeparators(const std::filesystem::path& path);

enum class Access { Exists, Read };
// True when `path` exists and allows `access`.
bool HasAccess(const std::filesystem::path& path, Access access);

// The platform's own error number as an error code (errno; a Win32 error).
std::error_code SystemError(int code);
// The platform's words for `error`, as the platform gives them.
std::string MessageOf(const std::error_code& error);

// The system's named streams of a file (CFileStreams' plain behaviour).
std::optional<std::string> ReadStream(const std::filesystem::path& file, std::u16string_view name,
                                      std::error_code& error);
bool WriteStream(const std::filesystem::path& file, std::u16string_view name,
                 const std::string& bytes, std::error_code& error);

// Copies the rest of `source` to `target` the platform's own way (inside the kernel, keeping
// the holes of a sparse file). Nothing, with nothing written, when it cannot for these files:
// the caller then copies through `io`. On a failure `fault` tells why.
std::optional<bool> SystemCopyToEnd(CByteIo& io, std::FILE* source, std::FILE* target,
                                    std::vector<std::uint8_t>& buffer, const CopyProgress& progress,
                                    CopyFault& fault);

// The size, permission bits and times of an open file; nothing, with `error`, when the system
// cannot tell.
std::optional<FileFacts> FactsOf(std::FILE* file, std::error_code& error);

// Removes the file `name` of the open folder `folder` (POSIX), or at the path `name` when
// `folder` is -1, at once. Safe in a signal handler.
void RemoveFileNow(int folder, const std::filesystem::path::value_type* name);

// Stops the process where a test waits for it (TestHooks::stopInCopyOf says how).
void StopForTest();

// True when a request to end the process (SIGINT, SIGTERM, SIGHUP) waits, blocked, for the
// thread that takes it: a copy is then not given its name.
bool EndRequestWaiting();

// Writes what the system holds of `file` to the disk; false when it cannot.
bool SyncToDisk(std::FILE* file);

} // namespace platform

// The named temporaries of pending outputs, kept where RemovePendingOutputsNow finds them.
namespace pending {

// True when pending outputs get named temporaries instead of nameless files.
bool NamedTemporaries();
// Records the temporary `name` of `folder` before it exists; the slot to give Unregister, or
// -1 when all are taken. The folder stays open while its name is recorded.
int Register(const COutputFolder& folder, const std::filesystem::path& name);
// Forgets the name in `slot` and sets it to -1.
void Unregister(int& slot);
// A fresh temporary name, short so that it fits wherever the target's name fits.
std::filesystem::path TemporaryName();
// Held while a named temporary is made and registered, so that StopAndRemovePendingOutputs
// sees every one made before it; once it ran, MakingStopped is true and nothing is made.
std::unique_lock<std::mutex> LockMaking();
bool MakingStopped();

// Waits before try `attempt` (1, 2, ...) of a commit the system refused for a moment; false,
// without waiting, once the tries are over (about a second of waits in all).
bool WaitToRetry(int attempt);

} // namespace pending
