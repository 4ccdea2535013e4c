#include "FaultyIo.h"
#include "FileIo.h"
#include "OutputName.h"
#include "SigClock.h"
#include "Signature.h"
#include "Strip.h"
#include "TempDir.h"
#include "TextConvert.h"

#include <gtest/gtest.h>

#include <functional>
#include <iterator>

namespace fs = std::filesystem;

namespace {

class Strip : public testing::Test {
protected:
    Strip() { fs::create_directory(m_dir / "out"); }

    // `content` followed by a trailer of `text`.
    fs::path SignedFile(const std::string& name, const Bytes& content,
                        const std::u16string& text = u"sig") {
        const fs::path path = m_dir / name;
        WriteBytes(path, content);
        UniqueFile file = OpenFile(path, "r+b");
        CSigCodeTable table;
        EXPECT_TRUE(AppendSignature(table, file.get(), text.data(), 2 * text.size()));
        return path;
    }
    fs::path Out() const { return m_dir / "out"; }
    std::size_t FilesInOut() const {
        return static_cast<std::size_t>(
            std::distance(fs::directory_iterator(Out()), fs::directory_iterator()));
    }

    TempDir m_dir;
    CScopedSigClock m_clock{0x67000000};
};

TEST_F(Strip, GivesBackTheBytesBeforeTheTrailer) {
    for (const std::size_t size : {0u, 1u, 5000u, 300000u}) {
        const Bytes content = PatternBytes(size, static_cast<std::uint32_t>(size));
        const fs::path source = SignedFile("file_signed.bin", content);
        const Bytes signedBytes = ReadBytes(source);
        const StripResult result = StripFile(source, Out(), true);
        EXPECT_EQ(result.outcome, StripOutcome::Stripped) << size;
        EXPECT_EQ(result.output, Out() / "file.bin");
        EXPECT_EQ(ReadBytes(Out() / "file.bin"), content) << size;
        EXPECT_EQ(ReadBytes(source), signedBytes);
    }
    EXPECT_EQ(FilesInOut(), 1u);
}

TEST_F(Strip, RefusalsLeaveEverythingAsItWas) {
    WriteBytes(m_dir / "plain.txt", PatternBytes(100, 1));
    SignedFile("kept_signed.txt", PatternBytes(100, 2));
    WriteBytes(Out() / "kept.txt", {'o', 'l', 'd'});
    SignedFile("out/inside.txt", PatternBytes(100, 3));
    struct Case {
        fs::path source;
        fs::path folder;
        StripOutcome expected;
    };
    const Case cases[] = {
        {m_dir / "plain.txt", Out(), StripOutcome::NotSigned},
        {m_dir / "missing.txt", Out(), StripOutcome::Unreadable},
        {Out(), Out(), StripOutcome::Unreadable},
        {m_dir / "kept_signed.txt", Out(), StripOutcome::OutputExists},
        {Out() / "inside.txt", Out(), StripOutcome::WouldReplaceSource},
        {m_dir / "kept_signed.txt", m_dir / "missing", StripOutcome::CannotWrite},
    };
    const Bytes inside = ReadBytes(Out() / "inside.txt");
    for (const Case& c : cases)
        EXPECT_EQ(StripFile(c.source, c.folder, false).outcome, c.expected) << PathUtf8(c.source);
    EXPECT_EQ(ReadBytes(Out() / "kept.txt"), (Bytes{'o', 'l', 'd'}));
    EXPECT_EQ(ReadBytes(Out() / "inside.txt"), inside);
    EXPECT_EQ(FilesInOut(), 2u);
}

TEST_F(Strip, FaultsLeaveNoOutputAndKeepAnExistingOne) {
    const fs::path source = SignedFile("big_signed.bin", PatternBytes(3 << 20, 4));
    WriteBytes(Out() / "big.bin", {'o', 'l', 'd'});
    const std::function<void(CFaultyIo&)> faults[] = {
        [](CFaultyIo& io) { io.readLimit = (1 << 20) + 17; },
        [](CFaultyIo& io) { io.writeLimit = 2 << 20; },
        [](CFaultyIo& io) { io.flushFails = true; },
    };
    for (const auto& fault : faults) {
        CFaultyIo io;
        fault(io);
        EXPECT_EQ(StripFile(source, Out(), true, &io).outcome, StripOutcome::WriteFailed);
        EXPECT_EQ(ReadBytes(Out() / "big.bin"), (Bytes{'o', 'l', 'd'}));
        EXPECT_EQ(FilesInOut(), 1u);
    }
}

} // namespace
