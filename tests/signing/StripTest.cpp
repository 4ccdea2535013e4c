// Strip's faults and the file it never replaces; what else it refuses is tested through
// quorvane-cli.
#include "ByteIo.h"
#include "FaultyIo.h"
#include "FileErrors.h"
#include "Signature.h"
#include "Strip.h"
#include "TempDir.h"
#include "TestHooks.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <functional>
#include <utility>

namespace fs = std::filesystem;

namespace {

TEST(Strip, FaultsLeaveNoOutputAndKeepAnExistingOne) {
    TempDir dir;
    const fs::path source = dir / "big_signed.bin", out = dir / "out";
    const Bytes content = PatternBytes(3 << 20, 4);
    WriteBytes(source, content);
    {
        UniqueFile file = OpenFile(source, "r+b");
        CSigCodeTable table;
        ASSERT_TRUE(AppendSignature(table, file.get(), u"sig", 6));
    }
    fs::create_directory(out);
    WriteBytes(out / "big.bin", {'o', 'l', 'd'});
    // A read that fails is the source's fault, a write or flush the output's.
    const std::pair<std::function<void(CFaultyIo&)>, StripOutcome> faults[] = {
        {[](CFaultyIo& io) { io.readLimit = (1 << 20) + 17; }, StripOutcome::Unreadable},
        {[](CFaultyIo& io) { io.writeLimit = 2 << 20; }, StripOutcome::WriteFailed},
        {[](CFaultyIo& io) { io.flushFails = true; }, StripOutcome::WriteFailed},
    };
    // Strips through `io`, the byte I/O of the test hooks for the call.
    const auto strip = [&](CByteIo& io) {
        CScopedTestHooks hooks;
        hooks->byteIo = &io;
        return StripFile(source, out, true);
    };
    for (const auto& [fault, outcome] : faults) {
        CFaultyIo io;
        fault(io);
        EXPECT_EQ(strip(io).outcome, outcome);
        EXPECT_EQ(ReadBytes(out / "big.bin"), (Bytes{'o', 'l', 'd'}));
        EXPECT_EQ(std::distance(fs::directory_iterator(out), fs::directory_iterator()), 1);
    }
    const Bytes whole = ReadBytes(source);
    // A source rewritten in place while it is copied (an editor's save: the same size, a later
    // time), or cut short: nothing is written, and the source is named.
    CFaultyIo rewrite;
    rewrite.duringCopy = [&] {
        UniqueFile file = OpenFile(source, "r+b");
        ASSERT_GE(std::fputs("rewritten", file.get()), 0);
        file.reset();
        fs::last_write_time(source, fs::last_write_time(source) + std::chrono::seconds(5));
    };
    EXPECT_EQ(strip(rewrite).error, FileError::SourceChanged);
    EXPECT_EQ(ReadBytes(out / "big.bin"), (Bytes{'o', 'l', 'd'}));
    WriteBytes(source, whole);
    CFaultyIo cut;
    cut.duringCopy = [&] { fs::resize_file(source, 1 << 20); };
    const StripResult result = strip(cut);
    EXPECT_EQ(result.outcome, StripOutcome::Unreadable);
    EXPECT_EQ(result.error, FileError::SourceChanged);
    EXPECT_EQ(ReadBytes(out / "big.bin"), (Bytes{'o', 'l', 'd'}));
    WriteBytes(source, whole);
    CFaultyIo sound;
    EXPECT_EQ(strip(sound).outcome, StripOutcome::Stripped);
    EXPECT_EQ(ReadBytes(out / "big.bin"), content);
}

// A signed file without _signed in its name, stripped into its own folder even with --force:
// the output would be the file itself, which keeps its signature.
TEST(Strip, NeverReplacesItsSource) {
    TempDir dir;
    const fs::path source = dir / "kept.txt";
    WriteBytes(source, PatternBytes(100, 2));
    {
        UniqueFile file = OpenFile(source, "r+b");
        CSigCodeTable table;
        ASSERT_TRUE(AppendSignature(table, file.get(), u"sig", 6));
    }
    const Bytes signedBytes = ReadBytes(source);
    EXPECT_EQ(StripFile(source, dir.Path(), true).outcome, StripOutcome::WouldReplaceSource);
    EXPECT_EQ(ReadBytes(source), signedBytes);
}

} // namespace
