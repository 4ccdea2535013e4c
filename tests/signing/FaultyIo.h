// The fault tests' byte I/O, shared by the signing and strip tests.
#pragma once

#include "FileOps.h"

#include <algorithm>
#include <cstdint>
#include <functional>

// Fails the chosen operation the way a damaged disk or a full one does.
class CFaultyIo : public CByteIo {
public:
    // Reads of any one source stop short after this many bytes, its end not reached (-1: never).
    std::int64_t readLimit = -1;
    // Writes into any one output stop short after this many bytes (-1: never).
    std::int64_t writeLimit = -1;
    bool flushFails = false;
    // Runs once, as the next copy begins (its temporary output already open).
    std::function<void()> duringCopy;

    void Begin(std::FILE*, std::FILE*) override {
        m_read = 0;
        m_written = 0;
        if (duringCopy) {
            auto once = std::move(duringCopy);
            duringCopy = nullptr;
            once();
        }
    }
    std::size_t Read(std::FILE* file, void* buffer, std::size_t bytes) override {
        if (readLimit >= 0)
            bytes = std::min<std::size_t>(bytes, static_cast<std::size_t>(readLimit - m_read));
        const std::size_t got = CByteIo::Read(file, buffer, bytes);
        m_read += static_cast<std::int64_t>(got);
        return got;
    }
    std::size_t Write(std::FILE* file, const void* buffer, std::size_t bytes) override {
        if (writeLimit >= 0)
            bytes = std::min<std::size_t>(bytes, static_cast<std::size_t>(writeLimit - m_written));
        const std::size_t put = CByteIo::Write(file, buffer, bytes);
        m_written += static_cast<std::int64_t>(put);
        return put;
    }
    bool Flush(std::FILE* file) override { return !flushFails && CByteIo::Flush(file); }
    bool SeesEveryByte() const override { return true; }

private:
    std::int64_t m_read = 0;
    std::int64_t m_written = 0;
};
