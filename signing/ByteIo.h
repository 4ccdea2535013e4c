#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <system_error>
#include <vector>

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

// The engine's byte I/O: the plain one, or the test hooks' (tests slow or fail the copies of a
// whole program this way).
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
bool CopyCount(CByteIo& io, std::FILE* source, std::FILE* target, std::int64_t count,
               std::vector<std::uint8_t>& buffer, CopyFault* fault = nullptr,
               const CopyProgress& progress = {});

// Stops the process in the copy of `source` when a test asked for that moment
// (TestHooks::stopInCopyOf), once; does nothing otherwise.
void StopInCopyIfTestAsks(const std::filesystem::path& source);

// The block size of the copy: large enough that the system call cost disappears, small enough
// to stay in the processor's cache (1 MiB blocks copied four times slower here).
inline constexpr std::size_t kCopyBlockBytes = std::size_t{128} << 10;
