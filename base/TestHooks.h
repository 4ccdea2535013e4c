// What tests replace in the engine, in one place: the clock of the trailers, the byte I/O of
// the copies, the named streams beside a file, the wait between the tries of a commit,
// nameless temporaries, and the moment a copy stops for a test. Without a CScopedTestHooks the
// engine runs as it ships.
#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>

class CByteIo;
class CFileStreams;

struct TestHooks {
    // The seconds that seed the code table of every trailer written; empty: the system clock.
    std::function<std::uint32_t()> clock;
    // The reads and writes of the copies; null: the plain one.
    CByteIo* byteIo = nullptr;
    // The named streams of files (Wine keeps none); null: the system's.
    CFileStreams* fileStreams = nullptr;
    // Waits before the next try of a commit the system refused for a moment; empty: a sleep.
    std::function<void(std::chrono::milliseconds wait)> commitRetryWait;
    // Named temporaries even where nameless files can be made. QUORVANE_NAMED_TEMPORARIES=1
    // in the environment sets it for a whole process.
    bool namedTemporaries = false;
    // The file name of a source whose copy stops the whole process in its middle, once, for a
    // test that needs that moment: on POSIX systems the process stops itself (SIGSTOP), which
    // its parent sees with waitpid(WUNTRACED), and goes on at SIGCONT; on Windows the copying
    // thread creates the file named by QUORVANE_TEST_STOPPED and waits until the process ends.
    // QUORVANE_TEST_STOP_IN_COPY=NAME in the environment sets it for a whole process.
    std::filesystem::path stopInCopyOf;
};

// The hooks in force: those of the innermost CScopedTestHooks, or the ones the engine ships
// with. Cheap enough to ask for every file and every trailer.
const TestHooks& ActiveTestHooks();

// Puts a copy of the hooks in force in their place for its lifetime, and the previous ones
// back after. A test sets fields through -> before it starts the work that reads them (the
// threads of a run started afterwards see them) and ends the scope after that work ended.
// Scopes nest on one thread.
class CScopedTestHooks {
public:
    CScopedTestHooks();
    ~CScopedTestHooks();
    CScopedTestHooks(const CScopedTestHooks&) = delete;
    CScopedTestHooks& operator=(const CScopedTestHooks&) = delete;

    TestHooks* operator->() { return &m_hooks; }
    TestHooks& operator*() { return m_hooks; }

private:
    TestHooks m_hooks;
    const TestHooks* m_previous;
};

// A clock that always tells `seconds`: trailers written under it are reproducible.
std::function<std::uint32_t()> FixedClock(std::uint32_t seconds);
