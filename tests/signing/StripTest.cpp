// Strip's faults and the file it never replaces; what else it refuses is tested through
// quorvane-cli.
#include "FaultyIo.h"
#include "Signature.h"
#include "Strip.h"
#include "TempDir.h"

#include <gtest/gtest.h>

#include <functional>

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
    const std::function<void(CFaultyIo&)> faults[] = {
        [](CFaultyIo& io) { io.readLimit = (1 << 20) + 17; },
        [](CFaultyIo& io) { io.writeLimit = 2 << 20; },
        [](CFaultyIo& io) { io.flushFails = true; },
    };
    for (const auto& fault : faults) {
        CFaultyIo io;
        fault(io);
        EXPECT_EQ(StripFile(source, out, true, nullptr, &io).outcome, StripOutcome::WriteFailed);
        EXPECT_EQ(ReadBytes(out / "big.bin"), (Bytes{'o', 'l', 'd'}));
        EXPECT_EQ(std::distance(fs::directory_iterator(out), fs::directory_iterator()), 1);
    }
    CFaultyIo sound;
    EXPECT_EQ(StripFile(source, out, true, nullptr, &sound).outcome, StripOutcome::Stripped);
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
