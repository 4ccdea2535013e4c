#include "FileIo.h"
#include "Signature.h"
#include "TempDir.h"
#include "TestHooks.h"
#include "TrailerReaders.h"

#include <gtest/gtest.h>

namespace {

constexpr std::int64_t kFiveGiB = std::int64_t{5} << 30;

// A file of `size` bytes that occupies almost no disk: a hole followed by one byte.
void MakeSparseFile(const std::filesystem::path& path, std::int64_t size) {
    UniqueFile file = OpenFile(path, "wb");
    ASSERT_TRUE(file);
    ASSERT_TRUE(SeekFile(file.get(), size - 1, SEEK_SET));
    ASSERT_EQ(std::fputc('x', file.get()), 'x');
}

TEST(LargeFile, SignedFiveGiBFileReadsBack) {
    TempDir dir;
    const auto path = dir / "large.bin";
    MakeSparseFile(path, kFiveGiB);
    ASSERT_EQ(std::filesystem::file_size(path), static_cast<std::uintmax_t>(kFiveGiB));

    const std::u16string text = u"beyond 4 GiB \x00E9";
    {
        CScopedTestHooks hooks;
        hooks->clock = FixedClock(0x5EED);
        UniqueFile file = OpenFile(path, "r+b");
        ASSERT_TRUE(file);
        CSigCodeTable table;
        ASSERT_TRUE(AppendSignature(table, file.get(), text.data(), 2 * text.size()));
    }
    EXPECT_EQ(std::filesystem::file_size(path),
              static_cast<std::uintmax_t>(kFiveGiB + TrailerBytes(text.size())));

    UniqueFile file = OpenFile(path, "rb");
    ASSERT_TRUE(file);
    EXPECT_EQ(ReadSignatureText(file.get()), text);

    // The trailer starts right after the original last byte.
    ASSERT_TRUE(SeekFile(file.get(), kFiveGiB - 1, SEEK_SET));
    EXPECT_EQ(TellFile(file.get()), kFiveGiB - 1);
    EXPECT_EQ(std::fgetc(file.get()), 'x');
}

TEST(LargeFile, UnsignedFiveGiBFileIsNotSigned) {
    TempDir dir;
    const auto path = dir / "large.bin";
    MakeSparseFile(path, kFiveGiB + 3);
    UniqueFile file = OpenFile(path, "rb");
    ASSERT_TRUE(file);
    CSigCodeTable table;
    EXPECT_EQ(ReadSignature(table, file.get(), nullptr, 0), 0u);
}

} // namespace
