// The file operations of the signing engine, the same on every platform. Paths too long for
// the classic Windows limit get the \\?\ form there; elsewhere they pass unchanged.
#pragma once

#include "FileIo.h"

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <vector>

// `path` in a form the platform's file functions accept whatever its length.
std::filesystem::path LongPath(const std::filesystem::path& path);

bool IsDirectory(const std::filesystem::path& path);
// The access tests of the batch: the file exists; it may be read; it may be written.
bool FileExists(const std::filesystem::path& path);
bool CanReadFile(const std::filesystem::path& path);
bool CanWriteFile(const std::filesystem::path& path);
// True when both paths name one existing file or folder.
bool SameFile(const std::filesystem::path& a, const std::filesystem::path& b);

// Opens a file for reading in binary mode; null on failure and for a folder, which some
// systems open as a file that fails only when read.
UniqueFile OpenForReading(const std::filesystem::path& path);

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
};

// The byte I/O of the runs that name none: the plain one, or the one installed (tests slow
// or fail the copies of a whole program this way).
CByteIo& DefaultByteIo();
// Installs `io` (null: the plain one) and returns the one installed before (null: the plain).
CByteIo* SetDefaultByteIo(CByteIo* io);

// Told the bytes copied so far during a copy; false stops the copy.
using CopyProgress = std::function<bool(std::uint64_t copied)>;

// Copies `source` from its position to its end into `target` through `buffer`. False on a
// read or write error, and when `progress` stopped it.
bool CopyToEnd(CByteIo& io, std::FILE* source, std::FILE* target, std::vector<std::uint8_t>& buffer,
               const CopyProgress& progress = {});
// The size of an open file, or nothing when the system cannot tell.
std::optional<std::int64_t> FileSize(std::FILE* file);
// Copies exactly `count` bytes; false on an error or when the source ends early.
bool CopyCount(CByteIo& io, std::FILE* source, std::FILE* target, std::int64_t count,
               std::vector<std::uint8_t>& buffer);

// A new file that takes the place of `target` only when it is complete. It is written under a
// temporary name in the target's folder; Commit moves it into place, and a pending output that
// is not committed is removed, so `target` is either untouched or wholly replaced.
class CPendingOutput {
public:
    CPendingOutput() = default;
    ~CPendingOutput();
    CPendingOutput(const CPendingOutput&) = delete;
    CPendingOutput& operator=(const CPendingOutput&) = delete;

    // Creates the temporary file; false when the folder cannot take it.
    bool Create(const std::filesystem::path& target);
    std::FILE* File() const { return m_file.get(); }
    const std::filesystem::path& TemporaryPath() const { return m_temporary; }
    // Flushes through `io`, closes and moves the file over the target. With `durable`, the
    // bytes reach the disk before an existing target is replaced. False, with the temporary
    // file removed, on any failure.
    bool Commit(CByteIo& io, bool durable);
    // Removes the temporary file now.
    void Discard();

private:
    UniqueFile m_file;
    std::filesystem::path m_temporary;
    std::filesystem::path m_target;
};

// The block size of the copy: large enough that the system call cost disappears, small enough
// to stay in the processor's cache (1 MiB blocks copied four times slower here).
inline constexpr std::size_t kCopyBlockBytes = std::size_t{128} << 10;
