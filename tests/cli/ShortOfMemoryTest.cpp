// The sources of a run's entries when memory runs out part of the way. A worker short of memory
// asks the source again for the entry it could not make, so a source may move past an entry
// only once the entry is made: a source that moved on first lost that file, and a run under
// ulimit -v signed 121 of 300 files and said it had signed them all.
//
// This program fails its allocations on purpose: its operator new fails the one that the test
// arms, on the test's thread.
#include "CheckEngine.h"
#include "CliHarness.h"
#include "CliList.h"
#include "FileIo.h"
#include "FolderWalk.h"
#include "TempDir.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <functional>
#include <memory>
#include <new>
#include <string>
#include <utility>
#include <vector>

namespace {
// Counts down at each allocation on this thread; the one that brings it to 0 fails.
thread_local std::size_t t_failIn = 0;
} // namespace

void* operator new(std::size_t size) {
    if (t_failIn != 0 && --t_failIn == 0)
        throw std::bad_alloc();
    if (void* block = std::malloc(size == 0 ? 1 : size))
        return block;
    throw std::bad_alloc();
}
void operator delete(void* block) noexcept {
    std::free(block);
}
void operator delete(void* block, std::size_t) noexcept {
    std::free(block);
}

namespace fs = std::filesystem;

namespace {

// What a source gives, entry after entry, with its `failAt`th allocation failing (0: none);
// `failed` tells whether one did. One entry is filled again and again, as a run's ring does.
template <class Source, class Entry>
std::vector<std::string> Entries(const std::function<std::unique_ptr<Source>()>& make,
                                 const std::function<std::string(const Entry&)>& show,
                                 std::size_t failAt, bool& failed) {
    const std::unique_ptr<Source> source = make();
    std::vector<std::string> entries;
    Entry entry{};
    failed = false;
    t_failIn = failAt;
    for (;;) {
        try {
            if (!source->Next(entry))
                break;
        } catch (const std::bad_alloc&) {
            failed = true;
            continue;
        }
        const std::size_t pending = std::exchange(t_failIn, 0);
        entries.push_back(show(entry));
        t_failIn = pending;
    }
    t_failIn = 0;
    return entries;
}

// Each allocation of a whole pass failing in turn gives the entries of a pass where none fails.
template <class Source, class Entry>
void ExpectEveryEntryOnce(const std::function<std::unique_ptr<Source>()>& make,
                          const std::function<std::string(const Entry&)>& show,
                          std::size_t atLeast) {
    bool failed = false;
    const std::vector<std::string> whole = Entries(make, show, 0, failed);
    ASSERT_GE(whole.size(), atLeast);
    std::size_t failAt = 1;
    for (;; ++failAt) {
        const std::vector<std::string> entries = Entries(make, show, failAt, failed);
        if (!failed)
            break;
        ASSERT_EQ(entries, whole) << "allocation " << failAt << " failed";
    }
    // The pass allocates: the failures reached every step.
    EXPECT_GT(failAt, whole.size());
}

std::string PathShown(const fs::path& path) {
    return Utf16ToUtf8(PathText(path));
}

std::string ShowProblem(const WalkProblem& problem) {
    return "problem " + PathShown(problem.path) + " " + std::to_string(problem.error.value()) +
           " " + std::to_string(static_cast<int>(problem.link)) +
           (problem.temporary ? " temp" : "") + (problem.folderNotWalked ? " not walked" : "");
}

class ShortOfMemory : public ::testing::Test {
protected:
    void SetUp() override {
        for (const char* file :
             {"one.txt", "src/a.txt", "src/b/c.txt", "src/b/d/e.txt", "src/z.txt", "plain/f.txt"}) {
            fs::create_directories((m_dir / file).parent_path());
            WriteBytes(m_dir / file, Bytes{1, 2, 3});
        }
        fs::create_directories(m_dir / "src/empty");
        fs::create_directories(m_dir / "src/out");
#ifndef _WIN32
        fs::create_symlink("../a.txt", m_dir / "src/b/link");
#endif
        m_operands = {m_dir / "one.txt", m_dir / "src", m_dir / "missing.txt", m_dir / "plain"};
    }

    // The operands, from a list that moves on only once an operand is copied.
    std::function<bool(fs::path&)> Operands() {
        return [this, next = std::size_t{0}](fs::path& operand) mutable {
            if (next == m_operands.size())
                return false;
            operand = m_operands[next];
            ++next;
            return true;
        };
    }

    TempDir m_dir;
    std::vector<fs::path> m_operands;
};

// A sign run's entries, walked or not, and a check run's, skip nothing and double nothing.
TEST_F(ShortOfMemory, EntriesOfARunKeepTheirPlace) {
#ifdef _WIN32
    // On Windows the walk lists folders through libstdc++, which ends the process when an
    // allocation fails there (it allocates where it cannot throw): only operands are given.
    for (const bool recursive : {false}) {
#else
    for (const bool recursive : {true, false}) {
#endif
        SCOPED_TRACE(recursive ? "-r" : "without -r");
        ExpectEveryEntryOnce<CSignEntries, SignEntry>(
            [&] {
                return std::make_unique<CSignEntries>(Operands(), m_dir / "src/out", recursive,
                                                      false);
            },
            [](const SignEntry& entry) {
                if (entry.problem)
                    return ShowProblem(*entry.problem);
                return PathShown(entry.item.source) + " in " + PathShown(entry.item.subfolder) +
                       " " + std::to_string(entry.item.listed);
            },
            recursive ? 7 : 4);
        ExpectEveryEntryOnce<CCheckEntries, CheckItem>(
            [&] {
                return std::make_unique<CCheckEntries>(
                    [next = Operands()](CheckItem& item) mutable {
                        fs::path path;
                        if (!next(path))
                            return false;
                        item = {std::move(path)};
                        return true;
                    },
                    recursive, false);
            },
            [](const CheckItem& item) {
                return PathShown(item.path) + " " + std::to_string(item.error.value()) + " " +
                       std::to_string(static_cast<int>(item.link));
            },
            recursive ? 7 : 4);
    }
}

// The operands of quorvane-cli: those given, then a list's, one of them across the reader's
// blocks (64 KiB) and after a run of empty lines.
TEST_F(ShortOfMemory, OperandsOfAListKeepTheirPlace) {
    std::string list = PathShown(m_dir / "one.txt") + kNewline;
    list += std::string(65530, '\n');
    list += PathShown(m_dir / "src" / std::string(40, 'n')) + kNewline + kNewline;
    list += PathShown(m_dir / "src/a.txt") + kNewline + "tail.txt";
    const fs::path listFile = m_dir / "list.txt";
    WriteBytes(listFile, Bytes(list.begin(), list.end()));
    struct Operands {
        explicit Operands(std::vector<CliArg> given) : operands(std::move(given)) {}
        bool Next(fs::path& path) { return operands.NextPath(path); }
        CCliOperands operands;
    };
    ExpectEveryEntryOnce<Operands, fs::path>(
        [&] {
            auto operands = std::make_unique<Operands>(
                std::vector<CliArg>{Arg(m_dir / "plain"), Arg("given.txt")});
            std::string problem;
            EXPECT_TRUE(operands->operands.ListFrom(listFile, false, nullptr, problem)) << problem;
            return operands;
        },
        [](const fs::path& path) { return PathShown(path); }, 6);
}

} // namespace
