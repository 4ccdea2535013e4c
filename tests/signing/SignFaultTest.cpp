// Faults during a batch: a full disk, a source that cannot be read to its end, an output
// folder that disappears. After each, every source is as it was, no partial or temporary
// output is left, an existing output is unchanged and the count is exact; with nameless
// temporaries and with the named ones of file systems that cannot make nameless files.
#include "FaultyIo.h"
#include "FileIo.h"
#include "SignEngine.h"
#include "SignRecorder.h"
#include "Signature.h"
#include "Strip.h"
#include "RootOnly.h"
#include "TempDir.h"
#include "TestHooks.h"
#include "TextConvert.h"
#include "TrailerReaders.h"
#include "FileErrors.h"
#include "ByteIo.h"
#include "PendingOutput.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <functional>
#include <map>

#ifndef _WIN32
#include <sys/mount.h>
#include <sys/stat.h>
#endif

namespace fs = std::filesystem;

namespace {

class SignFaults : public testing::TestWithParam<bool> {
protected:
    SignFaults() {
        fs::create_directory(m_dir / "src");
        fs::create_directory(m_dir / "out");
        m_hooks->namedTemporaries = GetParam();
        m_hooks->clock = FixedClock(1234567);
    }

    fs::path AddSource(const std::string& name, std::size_t size) {
        const fs::path path = m_dir / "src" / name;
        WriteBytes(path, PatternBytes(size, static_cast<std::uint32_t>(m_sources.size() + 1)));
        m_sources[path] = ReadBytes(path);
        m_list.push_back(path);
        return path;
    }

    void ExpectSourcesUnchanged() {
        for (const auto& [path, bytes] : m_sources)
            EXPECT_EQ(ReadBytes(path), bytes) << Text(path);
    }

    // The names in `folder`, temporary files included.
    std::vector<std::string> Names(const fs::path& folder) {
        std::vector<std::string> names;
        if (!fs::exists(folder))
            return names;
        for (const auto& entry : fs::directory_iterator(folder))
            names.push_back(entry.path().filename().string());
        std::sort(names.begin(), names.end());
        return names;
    }

    TempDir m_dir;
    std::map<fs::path, Bytes> m_sources;
    std::vector<fs::path> m_list;
    CSignRecorder m_recorder;
    CScopedTestHooks m_hooks;
};

TEST_P(SignFaults, WriteErrorsLeaveNoOutputAndKeepAnExistingOne) {
    AddSource("small.txt", 1000);
    const fs::path big = AddSource("big.bin", 3 << 20);
    AddSource("after.txt", 2000);
    const Bytes existing = PatternBytes(123, 99);
    WriteBytes(m_dir / "out" / "big_signed.bin", existing);

    // A disk that takes 2 MiB per file: enough for the small ones, not for the big one.
    CFaultyIo io;
    io.writeLimit = 2 << 20;
    // Nothing of the failed copy is left while its message shows.
    m_recorder.onFailure = [&] {
        EXPECT_EQ(Names(m_dir / "out"),
                  (std::vector<std::string>{"big_signed.bin", "small_signed.txt"}));
    };
    CScopedTestHooks hooks;
    hooks->byteIo = &io;
    const SignResult result = RunSignBatch(m_list, m_dir / "out", u"sig", m_recorder);
    EXPECT_EQ(result.signedCount, 2u);
    EXPECT_EQ(m_recorder.Messages(),
              (std::vector<std::string>{
                  "ask Question question File " + Text(m_dir / "out" / "big_signed.bin") +
                      " already exists, overwrite?",
                  "message Error! error Could not sign file " + Text(big) + "!",
                  "summary Done done 2 files encrypted succesfully!"}));
    EXPECT_EQ(ReadBytes(m_dir / "out" / "big_signed.bin"), existing);
    EXPECT_EQ(Names(m_dir / "out"),
              (std::vector<std::string>{"after_signed.txt", "big_signed.bin", "small_signed.txt"}));
    ExpectSourcesUnchanged();
}

TEST_P(SignFaults, FailedFlushIsAFailedFile) {
    const fs::path only = AddSource("a.txt", 5000);
    CFaultyIo io;
    io.flushFails = true;
    CScopedTestHooks hooks;
    hooks->byteIo = &io;
    const SignResult result = RunSignBatch(m_list, m_dir / "out", u"sig", m_recorder);
    EXPECT_EQ(result.signedCount, 0u);
    EXPECT_EQ(
        m_recorder.Messages(),
        (std::vector<std::string>{"message Error! error Could not sign file " + Text(only) + "!",
                                  "summary Done done No files were encrypted!"}));
    EXPECT_TRUE(Names(m_dir / "out").empty());
}

// An output that another program makes after the file's turn found none is not replaced: the
// question was not asked about it.
TEST_P(SignFaults, OutputThatAppearsDuringTheCommitIsKept) {
    const fs::path source = AddSource("a.txt", 5000);
    const Bytes theirs = PatternBytes(50, 77);
    CFaultyIo io;
    io.duringCommit = [&] { WriteBytes(m_dir / "out" / "a_signed.txt", theirs); };
    CScopedTestHooks hooks;
    hooks->byteIo = &io;
    const SignResult result = RunSignBatch(m_list, m_dir / "out", u"sig", m_recorder);
    EXPECT_EQ(result.signedCount, 0u);
    EXPECT_EQ(
        m_recorder.Messages(),
        (std::vector<std::string>{"message Error! error Could not sign file " + Text(source) + "!",
                                  "summary Done done No files were encrypted!"}));
    EXPECT_EQ(ReadBytes(m_dir / "out" / "a_signed.txt"), theirs);
    EXPECT_EQ(Names(m_dir / "out"), std::vector<std::string>{"a_signed.txt"});
}

TEST_P(SignFaults, SourceThatCannotBeReadToItsEnd) {
    AddSource("first.txt", 100);
    const fs::path broken = AddSource("broken.bin", 3 << 20);
    AddSource("last.txt", 100);
    // A bad sector halfway through the big file.
    CFaultyIo io;
    io.readLimit = (1 << 20) + 17;
    CScopedTestHooks hooks;
    hooks->byteIo = &io;
    const SignResult result = RunSignBatch(m_list, m_dir / "out", u"sig", m_recorder);
    EXPECT_EQ(result.signedCount, 2u);
    EXPECT_EQ(result.outcomes[1], SignOutcome::SignFailed);
    EXPECT_EQ(
        m_recorder.Messages(),
        (std::vector<std::string>{"message Error! error Could not sign file " + Text(broken) + "!",
                                  "summary Done done 2 files encrypted succesfully!"}));
    EXPECT_EQ(Names(m_dir / "out"),
              (std::vector<std::string>{"first_signed.txt", "last_signed.txt"}));
    ExpectSourcesUnchanged();
    // The cause names the source, which could not be read, not the output.
    ASSERT_EQ(m_recorder.causes.size(), 1u);
    EXPECT_EQ(m_recorder.causes[0].first, broken);
    EXPECT_TRUE(m_recorder.causes[0].second);
}

// A source truncated, or rewritten, while it is copied fails, and nothing of it is left; a
// source that ends early is never padded or given a trailer.
TEST_P(SignFaults, SourceChangedWhileCopied) {
    AddSource("first.txt", 100);
    const fs::path changing = AddSource("log.bin", 3 << 20);
    AddSource("last.txt", 100);
    for (const bool truncate : {true, false}) {
        for (const auto& entry : fs::directory_iterator(m_dir / "out"))
            fs::remove(entry.path());
        CSignRecorder recorder;
        // The second copy begins with the changing file.
        struct CChangingIo : CFaultyIo {
            std::function<void()> change;
            int copies = 0;
            void Begin(std::FILE* source, std::FILE* target) override {
                CFaultyIo::Begin(source, target);
                if (++copies == 2)
                    change();
            }
        } changingIo;
        changingIo.change = [&] {
            if (truncate) {
                fs::resize_file(changing, 1 << 20);
                return;
            }
            UniqueFile file = OpenFile(changing, "r+b");
            ASSERT_TRUE(file);
            ASSERT_GE(std::fputs("rewritten", file.get()), 0);
            file.reset();
            // An editor's save moves the modification time.
            fs::last_write_time(changing, fs::last_write_time(changing) + std::chrono::seconds(5));
        };
        CScopedTestHooks hooks;
        hooks->byteIo = &changingIo;
        const SignResult result = RunSignBatch(m_list, m_dir / "out", u"sig", recorder);
        EXPECT_EQ(result.signedCount, 2u) << truncate;
        EXPECT_EQ(recorder.Messages(),
                  (std::vector<std::string>{"message Error! error Could not sign file " +
                                                Text(changing) + "!",
                                            "summary Done done 2 files encrypted succesfully!"}));
        ASSERT_EQ(recorder.causes.size(), 1u);
        EXPECT_EQ(recorder.causes[0].first, changing);
        EXPECT_EQ(recorder.causes[0].second, FileError::SourceChanged);
        EXPECT_EQ(Names(m_dir / "out"),
                  (std::vector<std::string>{"first_signed.txt", "last_signed.txt"}));
        WriteBytes(changing, m_sources[changing]);
    }
}

TEST_P(SignFaults, OutputFolderDisappearsBetweenFiles) {
    const fs::path out = m_dir / "out";
    AddSource("one.txt", 100);
    const fs::path two = AddSource("two.txt", 100);
    const fs::path three = AddSource("three.txt", 100);
    m_recorder.beforeFile = [&](std::size_t position) {
        if (position == 2)
            fs::remove_all(out);
    };
    const SignResult result = RunSignBatch(m_list, out, u"sig", m_recorder);
    EXPECT_EQ(result.signedCount, 1u);
    EXPECT_EQ(m_recorder.Messages(),
              (std::vector<std::string>{
                  "message Error error Could not open file " + Text(two) + " for writing!",
                  "message Error error Could not open file " + Text(three) + " for writing!",
                  "summary Done done File encrypted succesfully!"}));
    EXPECT_FALSE(fs::exists(out));
    ExpectSourcesUnchanged();
}

TEST_P(SignFaults, OutputFolderDisappearsDuringACopy) {
    const fs::path out = m_dir / "out";
    AddSource("one.txt", 100);
    const fs::path two = AddSource("two.bin", 3 << 20);
    CFaultyIo io;
    int copies = 0;
    // As the second copy begins the folder is deleted, temporary file and all.
    std::function<void()> strike = [&] {
        if (++copies == 2) {
            std::error_code ignored;
            fs::remove_all(out, ignored);
            return;
        }
        io.duringCopy = strike;
    };
    io.duringCopy = strike;
    CScopedTestHooks hooks;
    hooks->byteIo = &io;
    const SignResult result = RunSignBatch(m_list, out, u"sig", m_recorder);
#ifdef _WIN32
    // Windows deletes an open file only when it was opened for that: a copy that the system is
    // to delete itself stays with its folder and completes; a named one, shared for deleting,
    // goes. Either way no temporary file is left.
    EXPECT_EQ(result.signedCount, GetParam() ? 1u : 2u);
    EXPECT_EQ(fs::exists(out / "two_signed.bin"), !GetParam());
    for (const auto& name : Names(out))
        EXPECT_FALSE(IsPendingOutputName(name)) << name;
#else
    EXPECT_EQ(result.signedCount, 1u);
    EXPECT_EQ(
        m_recorder.Messages(),
        (std::vector<std::string>{"message Error! error Could not sign file " + Text(two) + "!",
                                  "summary Done done File encrypted succesfully!"}));
    EXPECT_FALSE(fs::exists(out));
#endif
    ExpectSourcesUnchanged();
}

// While a copy is written, its file has no name on Linux; a named temporary is the only other
// file there, and goes when the copy is committed or fails.
TEST_P(SignFaults, WhatTheOutputFolderHoldsDuringACopy) {
    AddSource("a.bin", 300000);
    const fs::path broken = AddSource("b.bin", 300000);
    CFaultyIo io;
    std::vector<std::vector<std::string>> seen;
    std::function<void()> look = [&] {
        seen.push_back(Names(m_dir / "out"));
        if (seen.size() == 1)
            io.duringCopy = look;
        else
            io.readLimit = 1000;
    };
    io.duringCopy = look;
    CScopedTestHooks hooks;
    hooks->byteIo = &io;
    RunSignBatch(m_list, m_dir / "out", u"sig", m_recorder);
    ASSERT_EQ(seen.size(), 2u);
#ifdef _WIN32
    const bool named = true;
#else
    const bool named = GetParam();
#endif
    EXPECT_EQ(seen[0].size(), named ? 1u : 0u);
    if (named) {
        EXPECT_TRUE(IsPendingOutputName(seen[0][0])) << seen[0][0];
    }
    EXPECT_EQ(seen[1].size(), named ? 2u : 1u);
    EXPECT_EQ(Names(m_dir / "out"), std::vector<std::string>{"a_signed.bin"}) << Text(broken);
}

#ifndef _WIN32
// A real full disk: a small tmpfs, where the machine lets us mount one.
class MountedTmpfs {
public:
    explicit MountedTmpfs(const fs::path& where) : m_where(where) {
        fs::create_directory(where);
        m_mounted = ::mount("tmpfs", where.c_str(), "tmpfs", 0, "size=1m") == 0;
    }
    ~MountedTmpfs() {
        if (m_mounted)
            ::umount2(m_where.c_str(), MNT_DETACH);
    }
    bool Mounted() const { return m_mounted; }

private:
    fs::path m_where;
    bool m_mounted = false;
};

// Copies keep the source's permission bits less the umask, as cp gives them; so do replaced
// outputs and stripped files.
TEST_P(SignFaults, PermissionBitsOfTheSource) {
    const mode_t previous = ::umask(022);
    const fs::path secret = AddSource("secret.txt", 100);
    const fs::path tool = AddSource("tool.sh", 100);
    const fs::path shared = AddSource("shared.txt", 100);
    ::chmod(secret.c_str(), 0600);
    ::chmod(tool.c_str(), 0755);
    ::chmod(shared.c_str(), 0666);
    WriteBytes(m_dir / "out" / "secret_signed.txt", {'o', 'l', 'd'});
    ::chmod((m_dir / "out" / "secret_signed.txt").c_str(), 0644);
    RunSignBatch(m_list, m_dir / "out", u"sig", m_recorder);
    fs::create_directory(m_dir / "back");
    StripFile(m_dir / "out" / "secret_signed.txt", m_dir / "back", false);
    ::umask(previous);
    const auto mode = [](const fs::path& path) {
        struct stat info {};
        ::stat(path.c_str(), &info);
        return info.st_mode & 07777;
    };
    EXPECT_EQ(mode(m_dir / "out" / "secret_signed.txt"), 0600u);
    EXPECT_EQ(mode(m_dir / "out" / "tool_signed.sh"), 0755u);
    EXPECT_EQ(mode(m_dir / "out" / "shared_signed.txt"), 0644u);
    EXPECT_EQ(mode(m_dir / "back" / "secret.txt"), 0600u);
}

TEST_P(SignFaults, RealFullDisk) {
    MountedTmpfs disk(m_dir / "disk");
    // Without root, WriteErrorsLeaveNoOutputAndKeepAnExistingOne fakes the full disk.
    QUORVANE_ROOT_ONLY(disk.Mounted(), "mounting a tmpfs");
    const fs::path out = m_dir / "disk";
    AddSource("a.txt", 100 << 10);
    const fs::path big = AddSource("big.bin", 2 << 20);
    AddSource("c.txt", 200 << 10);
    const Bytes existing = PatternBytes(300 << 10, 5);
    WriteBytes(out / "big_signed.bin", existing);

    const SignResult result = RunSignBatch(m_list, out, u"sig", m_recorder);
    EXPECT_EQ(result.signedCount, 2u);
    EXPECT_EQ(
        m_recorder.Messages(),
        (std::vector<std::string>{"ask Question question File " + Text(out / "big_signed.bin") +
                                      " already exists, overwrite?",
                                  "message Error! error Could not sign file " + Text(big) + "!",
                                  "summary Done done 2 files encrypted succesfully!"}));
    EXPECT_EQ(ReadBytes(out / "big_signed.bin"), existing);
    EXPECT_EQ(Names(out),
              (std::vector<std::string>{"a_signed.txt", "big_signed.bin", "c_signed.txt"}));
    EXPECT_EQ(ReadSignatureText(OpenFile(out / "c_signed.txt", "rb").get()), u"sig");
    ExpectSourcesUnchanged();
}

// The trailer itself does not fit: the copy fits, the last bytes do not.
TEST_P(SignFaults, RealFullDiskAtTheTrailer) {
    MountedTmpfs disk(m_dir / "disk");
    // Without root, WriteErrorsLeaveNoOutputAndKeepAnExistingOne fakes the full disk.
    QUORVANE_ROOT_ONLY(disk.Mounted(), "mounting a tmpfs");
    const fs::path out = m_dir / "disk";
    const fs::path exact = AddSource("exact.bin", 1 << 20);
    const SignResult result = RunSignBatch(m_list, out, u"sig", m_recorder);
    EXPECT_EQ(result.signedCount, 0u);
    EXPECT_EQ(m_recorder.Messages()[0],
              "message Error! error Could not sign file " + Text(exact) + "!");
    EXPECT_TRUE(Names(out).empty());
    ExpectSourcesUnchanged();
}
#endif

#if GTEST_HAS_DEATH_TEST && !defined(_WIN32)
// After a signal (which ends the process) no temporary may be made: a copy begun then with a
// named temporary, or a nameless one that needs a name to replace an output, fails and leaves
// nothing behind. A nameless copy may still begin: it goes with the process.
TEST_P(SignFaults, NoTemporaryIsMadeAfterASignal) {
    const fs::path out = m_dir / "out";
    WriteBytes(out / "old.bin", PatternBytes(10, 1));
    const auto afterTheSignal = [&] {
        StopAndRemovePendingOutputs();
        CPendingOutput fresh;
        const bool created = fresh.CreateWithMode(out / "new.bin", 0644);
        CPendingOutput replacing;
        CByteIo io;
        const bool replaced =
            replacing.CreateWithMode(out / "old.bin", 0644) && replacing.Commit(io, true);
        std::exit((created && GetParam()) || replaced ||
                          Names(out) != std::vector<std::string>{"old.bin"}
                      ? 1
                      : 0);
    };
    EXPECT_EXIT(afterTheSignal(), testing::ExitedWithCode(0), "");
}
#endif

INSTANTIATE_TEST_SUITE_P(Temporaries, SignFaults, testing::Values(false, true),
                         [](const testing::TestParamInfo<bool>& info) {
                             return info.param ? "Named" : "Nameless";
                         });

} // namespace
