// The fault tests' byte I/O, shared by the signing and strip tests.
#pragma once

#include "ByteIo.h"

#include <algorithm>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <utility>

#include <sys/stat.h>

// Fails the chosen operation the way a damaged disk or a full one does. Copies may run at once
// on several threads (a run with several jobs): each copy keeps its own counts.
class CFaultyIo : public CByteIo {
public:
    // Reads of any one source stop short after this many bytes, its end not reached (-1: never).
    std::int64_t readLimit = -1;
    // Writes into any one output stop short after this many bytes (-1: never).
    std::int64_t writeLimit = -1;
    bool flushFails = false;
    // The faults above strike only the copies of sources of this size (-1: every copy).
    std::int64_t onlySourceSize = -1;
    // Runs once, as the next copy begins (its temporary output already open).
    std::function<void()> duringCopy;
    // Runs once, as the next copy is committed (after the turn's tests of its output).
    std::function<void()> duringCommit;
    // Runs as every copy begins, on the thread that makes it, with its source's size.
    std::function<void(std::int64_t sourceSize)> onBegin;

    void Begin(std::FILE* source, std::FILE* target) override {
        const std::int64_t size = SizeOf(source);
        std::function<void()> once;
        {
            std::lock_guard lock(m_mutex);
            const bool faulty = onlySourceSize < 0 || size == onlySourceSize;
            m_copies[source] = {faulty, 0};
            m_copies[target] = {faulty, 0};
            once = std::exchange(duringCopy, nullptr);
        }
        if (once)
            once();
        if (onBegin)
            onBegin(size);
    }
    std::size_t Read(std::FILE* file, void* buffer, std::size_t bytes) override {
        bytes = Allowed(file, readLimit, bytes);
        const std::size_t got = CByteIo::Read(file, buffer, bytes);
        Count(file, got);
        return got;
    }
    std::size_t Write(std::FILE* file, const void* buffer, std::size_t bytes) override {
        bytes = Allowed(file, writeLimit, bytes);
        const std::size_t put = CByteIo::Write(file, buffer, bytes);
        Count(file, put);
        return put;
    }
    bool Flush(std::FILE* file) override {
        bool faulty = false;
        std::function<void()> once;
        {
            std::lock_guard lock(m_mutex);
            once = std::exchange(duringCommit, nullptr);
            const auto found = m_copies.find(file);
            faulty = found != m_copies.end() ? found->second.faulty : onlySourceSize < 0;
        }
        if (once)
            once();
        return !(flushFails && faulty) && CByteIo::Flush(file);
    }
    bool SeesEveryByte() const override { return true; }
    // Each copy has its own counts: the copies of a run with several jobs may run at once.
    bool OneFileAtATime() const override { return false; }

private:
    struct Copy {
        bool faulty = true;
        std::int64_t bytes = 0;
    };

    static std::int64_t SizeOf(std::FILE* file) {
#ifdef _WIN32
        struct _stat64 info {};
        return _fstat64(_fileno(file), &info) == 0 ? info.st_size : -1;
#else
        struct stat info {};
        return ::fstat(::fileno(file), &info) == 0 ? info.st_size : -1;
#endif
    }
    std::size_t Allowed(std::FILE* file, std::int64_t limit, std::size_t bytes) {
        std::lock_guard lock(m_mutex);
        const Copy& copy = m_copies[file];
        if (limit < 0 || !copy.faulty)
            return bytes;
        return std::min<std::size_t>(bytes, static_cast<std::size_t>(limit - copy.bytes));
    }
    void Count(std::FILE* file, std::size_t bytes) {
        std::lock_guard lock(m_mutex);
        m_copies[file].bytes += static_cast<std::int64_t>(bytes);
    }

    std::mutex m_mutex;
    std::map<const std::FILE*, Copy> m_copies;
};
