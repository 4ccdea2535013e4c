// The real program in a hostile world: closed standard streams, broken pipes, limits of the
// machine, signals, full disks and sources that change while they are read.
#include "CliHarness.h"

#include "FileIo.h"
#include "PendingOutput.h"
#include "SigCodeTable.h"
#include "Signature.h"
#include "Sanitizers.h"
#include "TempDir.h"

#include <gtest/gtest.h>

#ifndef _WIN32
#include <csignal>
#include <fcntl.h>
#include <linux/falloc.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>
#include <random>
#include <string>

namespace fs = std::filesystem;

namespace {

std::vector<CliArg> SignArgs(const fs::path& out, const std::vector<fs::path>& files,
                             std::vector<std::string> more = {}) {
    std::vector<CliArg> args = {Arg("sign"), Arg("--text"), Arg("x"), Arg("--out"), Arg(out)};
    for (const std::string& option : more)
        args.push_back(Arg(option));
    for (const fs::path& file : files)
        args.push_back(Arg(file));
    return args;
}

std::vector<fs::path> MakeFiles(const fs::path& folder, int count, std::size_t size) {
    fs::create_directories(folder);
    std::vector<fs::path> files;
    for (int i = 0; i < count; ++i) {
        char name[32];
        std::snprintf(name, sizeof name, "f%03d.bin", i);
        files.push_back(folder / name);
        WriteBytes(files.back(), PatternBytes(size + static_cast<std::size_t>(i), i));
    }
    return files;
}

// Every file in `out` is its source followed by one trailer, and nothing else is there.
void ExpectExactCopies(const fs::path& out, const fs::path& sources) {
    for (const auto& entry : fs::directory_iterator(out)) {
        const fs::path copy = entry.path();
        std::string name = copy.filename().native();
        ASSERT_NE(name.find("_signed"), std::string::npos) << name;
        name.erase(name.find("_signed"), 7);
        const Bytes signedBytes = ReadBytes(copy);
        const Bytes original = ReadBytes(sources / name);
        UniqueFile file = OpenFile(copy, "rb");
        const auto length = UnsignedLength(file.get());
        ASSERT_TRUE(length) << name;
        ASSERT_EQ(*length, static_cast<std::int64_t>(original.size())) << name;
        EXPECT_TRUE(std::equal(original.begin(), original.end(), signedBytes.begin())) << name;
    }
}

CliRun Finished(CProcess& process, double seconds = 120) {
    auto run = process.Wait(seconds);
    EXPECT_TRUE(run) << "the run did not end";
    return run.value_or(CliRun{});
}

// Started without standard streams, the program never writes a message into a copy.
TEST(CliHostile, ClosedStandardStreamsNeverReachACopy) {
    TempDir dir;
    std::vector<fs::path> files = MakeFiles(dir / "src", 200, 3000);
    fs::create_directory(dir / "pre");
    // Some sources are signed already: each gives a message.
    for (int i = 9; i < 200; i += 20) {
        ASSERT_EQ(RunProcess(SignArgs(dir / "pre", {files[i]})).status, 0);
        fs::path name = files[i].filename();
        name.replace_extension();
        fs::rename(dir / "pre" / (name.native() + "_signed.bin"), files[i]);
    }
    fs::create_directory(dir / "out");
    ProcessOptions closed;
    closed.closedStreams = true;
    CProcess run(SignArgs(dir / "out", files, {"--jobs", "8"}), closed);
    EXPECT_EQ(Finished(run).status, 1);
    EXPECT_EQ(Names(dir / "out").size(), 190u);
    for (const auto& entry : fs::directory_iterator(dir / "out")) {
        std::string name = entry.path().filename().native();
        name.erase(name.find("_signed"), 7);
        // The signed sources are the originals of their own earlier runs.
        EXPECT_EQ(ReadBytes(entry.path()).size(), fs::file_size(dir / "src" / name) + 4 * 1 + 16)
            << name;
    }

    // Standard input closed: no text to read.
    fs::create_directory(dir / "none");
    CProcess textless(
        {Arg("sign"), Arg("--text-file"), Arg("-"), Arg("--out"), Arg(dir / "none"), Arg(files[0])},
        closed);
    EXPECT_EQ(Finished(textless).status, 2);
    EXPECT_TRUE(fs::is_empty(dir / "none"));
}

// Started with standard output closed (>&-), what would go there is refused at once, before a
// list, a text or a file is read (a FIFO that nobody writes to would hold the run); a folder
// still takes copies.
TEST(CliHostile, ClosedStandardOutputRefusesWhatWouldGoThere) {
    TempDir dir;
    const fs::path fifo = dir / "fifo", a = dir / "a.txt", out = dir / "out";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    WriteBytes(a, PatternBytes(100, 1));
    fs::create_directories(out / "back");
    ProcessOptions closed;
    closed.closedOutput = true;
    const std::vector<CliArg> fromFifo = {Arg("--files-from"), Arg(fifo)};
    const std::vector<std::vector<CliArg>> refused = {
        {Arg("check"), fromFifo[0], fromFifo[1], Arg(a)},
        {Arg("check"), Arg("--json"), Arg(a)},
        {Arg("sign"), Arg("--text-file"), Arg(fifo), Arg("--out"), Arg("-"), Arg(a)},
        {Arg("sign"), Arg("--text"), Arg("x"), Arg("--out"), Arg("-"), fromFifo[0], fromFifo[1]},
        {Arg("strip"), Arg("--out"), Arg("-"), fromFifo[0], fromFifo[1]},
        {Arg("--version")},
        {Arg("--help")},
        {Arg("strip"), Arg("--help")},
    };
    for (const auto& args : refused) {
        CProcess run(args, closed);
        const auto ended = run.Wait(20);
        ASSERT_TRUE(ended) << Shown(args[0]) << " " << args.size() << " waited";
        EXPECT_EQ(ended->status, 2) << Shown(args[0]) << " " << args.size();
        EXPECT_EQ(ended->err, "quorvane-cli: standard output is closed\n");
    }
    CProcess sign(SignArgs(out, {a}), closed);
    const CliRun signedRun = Finished(sign);
    EXPECT_EQ(signedRun.status, 0);
    EXPECT_EQ(signedRun.err, "File encrypted succesfully!\n");
    CProcess strip({Arg("strip"), Arg("--out"), Arg(out / "back"), Arg(out / "a_signed.txt")},
                   closed);
    EXPECT_EQ(Finished(strip).status, 0);
    EXPECT_EQ(ReadBytes(out / "back" / "a.txt"), ReadBytes(a));
}

// A list that never ends, or names no path (a device), is refused as a usage error naming it,
// in little memory (ulimit -v 262144): never an abort for want of memory. A list of many
// paths is read as the run goes, in the same memory.
TEST(CliHostile, EndlessListsAreRefusedInBoundedMemory) {
    TempDir dir;
    fs::create_directory(dir / "out");
    ProcessOptions limited;
#ifndef QUORVANE_SANITIZED
    limited.addressSpace = std::uint64_t{262144} << 10;
#endif
    // 8 MiB of random bytes separated by NUL bytes: some 30,000 paths of no file.
    Bytes noise(std::size_t{8} << 20);
    std::mt19937 random(7);
    for (std::uint8_t& byte : noise)
        byte = static_cast<std::uint8_t>(random());
    const fs::path noiseList = dir / "noise";
    WriteBytes(noiseList, noise);
    const struct {
        std::string list;
        bool nul;
        const char* why; // null: a run of the paths, none of them a file
    } cases[] = {
        {"/dev/zero", false, "holds a NUL byte; give -0"},
        {"/dev/urandom", false, "holds a NUL byte; give -0"},
        {"/dev/zero", true, "is longer than 1 GiB"},
        {Text(noiseList), true, nullptr},
    };
    for (const auto& c : cases) {
        for (const bool check : {true, false}) {
            std::vector<CliArg> args = {Arg("check")};
            if (!check)
                args = SignArgs(dir / "out", {});
            args.insert(args.end(), {Arg("--files-from"), Arg(c.list)});
            if (c.nul)
                args.push_back(Arg("-0"));
            CProcess run(args, limited);
            const CliRun ended = Finished(run);
            const std::string line = ended.err.substr(0, ended.err.find('\n'));
            if (c.why == nullptr) {
                EXPECT_EQ(ended.status, 1) << c.list << line;
                EXPECT_EQ(ended.err.find("list of files"), std::string::npos) << line;
                continue;
            }
            EXPECT_EQ(ended.status, 2) << c.list << c.nul << line;
            EXPECT_NE(line.find("list of files from " + c.list), std::string::npos) << line;
            EXPECT_NE(line.find(c.why), std::string::npos) << line;
        }
    }
    EXPECT_TRUE(fs::is_empty(dir / "out"));
}

// Standard error on a pipe nobody reads: the messages stop, the work goes on, nothing is left.
TEST(CliHostile, BrokenPipeOnStandardErrorKillsNothing) {
    TempDir dir;
    std::vector<fs::path> files = MakeFiles(dir / "src", 30, 1000);
    fs::create_directory(dir / "out");
    WriteBytes(dir / "out" / "f003_signed.bin", {1, 2, 3});
    ProcessOptions options;
    options.errToBrokenPipe = true;
    options.environment.push_back("QUORVANE_NAMED_TEMPORARIES=1");
    CProcess run(SignArgs(dir / "out", files, {"--jobs", "4"}), options);
    EXPECT_EQ(Finished(run).status, 1);
    EXPECT_EQ(Names(dir / "out").size(), 30u);
    EXPECT_EQ(ReadBytes(dir / "out" / "f003_signed.bin"), (Bytes{1, 2, 3}));
}

// A copy beyond the file size limit is one failed file; the batch goes on.
TEST(CliHostile, FileSizeLimitFailsOneFile) {
    TempDir dir;
    const std::vector<fs::path> files = {dir / "a.bin", dir / "big.bin", dir / "c.bin"};
    WriteBytes(files[0], PatternBytes(1000, 1));
    WriteBytes(files[1], PatternBytes(3 << 20, 2));
    WriteBytes(files[2], PatternBytes(1000, 3));
    fs::create_directory(dir / "out");
    for (const bool named : {false, true}) {
        for (const char* jobs : {"1", "3"}) {
            fs::remove_all(dir / "out");
            fs::create_directory(dir / "out");
            ProcessOptions options;
            options.fileSize = 1 << 20;
            if (named)
                options.environment.push_back("QUORVANE_NAMED_TEMPORARIES=1");
            CProcess run(SignArgs(dir / "out", files, {"--jobs", jobs}), options);
            const CliRun ended = Finished(run);
            EXPECT_EQ(ended.status, 1) << jobs;
            EXPECT_EQ(ended.err, "Could not sign file " + files[1].native() + "! (" +
                                     (dir / "out" / "big_signed.bin").native() +
                                     ": File too large)\n2 files encrypted succesfully!\n")
                << jobs;
            EXPECT_EQ(Names(dir / "out"), (std::vector<fs::path>{"a_signed.bin", "c_signed.bin"}));
        }
    }
}

// Fewer files in flight when descriptors or memory run short: the result of --jobs 1.
TEST(CliHostile, LimitsOfTheMachineTakeFewerFilesAtOnce) {
    TempDir dir;
    const std::vector<fs::path> files = MakeFiles(dir / "src", 300, 2000);
#ifdef QUORVANE_SANITIZED
    // The sanitizers' checks need descriptors of their own (a pipe to probe memory).
    GTEST_SKIP() << "not under the sanitizers";
#endif
    // The files named, and the same files from a walk of their folder.
    for (const bool walked : {false, true})
        for (const char* jobs : {"16", "64"}) {
            fs::remove_all(dir / "out");
            fs::create_directory(dir / "out");
            ProcessOptions options;
            options.openFiles = 64;
            CProcess run(walked ? SignArgs(dir / "out", {dir / "src"}, {"--jobs", jobs, "-r"})
                                : SignArgs(dir / "out", files, {"--jobs", jobs}),
                         options);
            const CliRun ended = Finished(run);
            EXPECT_EQ(ended.status, 0) << jobs << ended.err;
            EXPECT_EQ(ended.err, "300 files encrypted succesfully!\n") << jobs;
            EXPECT_EQ(Names(walked ? dir / "out" / "src" : dir / "out").size(), 300u);
        }
    fs::remove_all(dir / "out");
    fs::create_directory(dir / "out");
    ProcessOptions options;
    options.addressSpace = std::uint64_t{256} << 20;
    CProcess run(SignArgs(dir / "out", files, {"--jobs", "64"}), options);
    const CliRun ended = Finished(run);
    EXPECT_EQ(ended.status, 0) << ended.err;
    EXPECT_EQ(Names(dir / "out").size(), 300u);
}

// An interruption while several jobs write named temporaries leaves none of them, and ends the
// run with the signal's status, whichever copy it comes in.
TEST(CliHostile, InterruptedJobsLeaveNoTemporary) {
    TempDir dir;
    const std::vector<fs::path> files = MakeFiles(dir / "src", 400, 64 << 10);
    for (int round = 0; round < 6; ++round) {
        fs::remove_all(dir / "out");
        fs::create_directory(dir / "out");
        ProcessOptions options;
        options.environment.push_back("QUORVANE_NAMED_TEMPORARIES=1");
        options.stopInCopyOf = files[static_cast<std::size_t>(60 * round + 7)].filename().native();
        CProcess run(SignArgs(dir / "out", files, {"--jobs", "8"}), options);
        const int signal = round % 3 == 0 ? SIGINT : round % 3 == 1 ? SIGTERM : SIGHUP;
        ASSERT_TRUE(run.WaitUntilStopped(120)) << "round " << round;
        run.End(signal);
        run.Continue();
        const CliRun ended = Finished(run);
        EXPECT_EQ(ended.status, 128 + signal) << "round " << round << ": " << ended.err;
        EXPECT_EQ(ended.err.find("Interrupted"), std::string::npos) << ended.err;
        const std::vector<fs::path> names = Names(dir / "out");
        EXPECT_LT(names.size(), files.size()) << "round " << round;
        for (const fs::path& name : names)
            EXPECT_FALSE(IsPendingOutputName(name)) << "round " << round << ": " << name;
    }
}

// A full disk fed from another file system: --jobs 8 signs what --jobs 1 signs, and each
// failure names its own cause.
TEST(CliHostile, FullDiskGivesTheSetOfOneJob) {
    if (::geteuid() != 0)
        GTEST_SKIP() << "mounting a small file system needs root";
    TempDir dir;
    std::vector<fs::path> files;
    fs::create_directory(dir / "src");
    for (int i = 0; i < 40; ++i) {
        files.push_back(dir / "src" / ("f" + std::to_string(100 + i) + ".bin"));
        const std::size_t size = static_cast<std::size_t>((i * 7919) % 23 + 1) << 17;
        WriteBytes(files.back(), PatternBytes(size, static_cast<std::uint32_t>(i)));
        // Every third one sparse: data, a hole, data (copied range by range).
        if (i % 3 == 0) {
            UniqueFile file = OpenFile(files.back(), "r+b");
            ASSERT_TRUE(file);
            ASSERT_EQ(::fallocate(::fileno(file.get()), FALLOC_FL_PUNCH_HOLE | FALLOC_FL_KEEP_SIZE,
                                  64 << 10, static_cast<off_t>(size / 2)),
                      0);
        }
    }
    fs::create_directory(dir / "disk");
    if (::mount("tmpfs", (dir / "disk").c_str(), "tmpfs", 0, "size=24m") != 0)
        GTEST_SKIP() << "cannot mount a tmpfs here";
    std::vector<fs::path> firstSet;
    std::string firstErr;
    for (const char* jobs : {"1", "8", "8", "8"}) {
        for (const auto& entry : fs::directory_iterator(dir / "disk"))
            fs::remove(entry.path());
        CProcess run(SignArgs(dir / "disk", files, {"--jobs", jobs}));
        const CliRun ended = Finished(run);
        EXPECT_EQ(ended.status, 1);
        EXPECT_EQ(ended.err.find("Invalid cross-device link"), std::string::npos) << ended.err;
        EXPECT_NE(ended.err.find("No space left on device"), std::string::npos) << ended.err;
        if (firstSet.empty()) {
            firstSet = Names(dir / "disk");
            firstErr = ended.err;
        } else {
            EXPECT_EQ(Names(dir / "disk"), firstSet) << jobs;
            EXPECT_EQ(ended.err, firstErr) << jobs;
        }
    }
    ExpectExactCopies(dir / "disk", dir / "src");
    ::umount((dir / "disk").c_str());
}

// A source cut short, rewritten or written on (a log) while the kernel copies it fails, and
// nothing of it is left. The run stops itself past the first 64 MiB of its copy, the source is
// changed, and the run goes on.
TEST(CliHostile, SourceChangedWhileReadFails) {
    TempDir dir;
    const fs::path big = dir / "big.bin", out = dir / "out";
    constexpr off_t kBig = off_t{160} << 20;
    fs::create_directory(out);
    WriteBytes(dir / "after.bin", PatternBytes(500, 1));
    enum class Change { Truncate, Rewrite, Append };
    for (const Change change : {Change::Truncate, Change::Rewrite, Change::Append}) {
        {
            const int fd = ::open(big.c_str(), O_CREAT | O_TRUNC | O_WRONLY | O_CLOEXEC, 0644);
            ASSERT_GE(fd, 0);
            const int allocated = ::posix_fallocate(fd, 0, kBig);
            ::close(fd);
            if (allocated != 0)
                GTEST_SKIP() << "this file system cannot allocate the source";
        }
        ProcessOptions options;
        options.stopInCopyOf = "big.bin";
        CProcess run(SignArgs(out, {big, dir / "after.bin"}), options);
        ASSERT_TRUE(run.WaitUntilStopped(60)) << static_cast<int>(change);
        if (change == Change::Truncate) {
            ASSERT_EQ(::truncate(big.c_str(), 1 << 20), 0);
        } else {
            UniqueFile file = OpenFile(big, change == Change::Rewrite ? "r+b" : "ab");
            ASSERT_TRUE(file);
            ASSERT_EQ(std::fputs("new bytes", file.get()) >= 0, true);
        }
        run.Continue();
        const CliRun ended = Finished(run);
        EXPECT_EQ(ended.status, 1);
        EXPECT_EQ(ended.err, "Could not sign file " + big.native() + "! (" + big.native() +
                                 " changed while it was read)\nFile encrypted succesfully!\n")
            << static_cast<int>(change);
        EXPECT_EQ(Names(out), std::vector<fs::path>{"after_signed.bin"});
        for (const auto& entry : fs::directory_iterator(out))
            fs::remove(entry.path());
    }
}

} // namespace
#endif
