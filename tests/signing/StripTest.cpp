// Strip's faults; what it refuses is tested through quorvane-cli.
#include "FaultyIo.h"
#include "Signature.h"
#include "Strip.h"
#include "TempDir.h"

#include <gtest/gtest.h>

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
    for (const auto& [fault, outcome] : faults) {
        CFaultyIo io;
        fault(io);
        EXPECT_EQ(StripFile(source, out, true, nullptr, &io).outcome, outcome);
        EXPECT_EQ(ReadBytes(out / "big.bin"), (Bytes{'o', 'l', 'd'}));
        EXPECT_EQ(std::distance(fs::directory_iterator(out), fs::directory_iterator()), 1);
    }
    // A source cut short while it is copied: nothing is written, and the source is named.
    const Bytes whole = ReadBytes(source);
    CFaultyIo cut;
    cut.duringCopy = [&] { fs::resize_file(source, 1 << 20); };
    const StripResult result = StripFile(source, out, true, nullptr, &cut);
    EXPECT_EQ(result.outcome, StripOutcome::Unreadable);
    EXPECT_EQ(result.error, FileError::SourceChanged);
    EXPECT_EQ(ReadBytes(out / "big.bin"), (Bytes{'o', 'l', 'd'}));
    WriteBytes(source, whole);
    CFaultyIo sound;
    EXPECT_EQ(StripFile(source, out, true, nullptr, &sound).outcome, StripOutcome::Stripped);
    EXPECT_EQ(ReadBytes(out / "big.bin"), content);
}

} // namespace
