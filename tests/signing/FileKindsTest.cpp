// The recogniser of the kinds whose tools object to a trailer: the smallest images of each kind
// and the near misses beside them, from bytes, from a path and from an open stream.
#include "FileIo.h"
#include "FileKinds.h"
#include "TempDir.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <string_view>

namespace {

using namespace std::string_view_literals;

// `size` zero bytes with each text at its offset (from the end when negative) and each
// little-endian 32-bit word at its offset.
Bytes Image(std::size_t size, std::vector<std::pair<std::int64_t, std::string_view>> texts,
            std::vector<std::pair<std::size_t, std::uint32_t>> words = {}) {
    Bytes bytes(size, 0);
    for (const auto& [at, text] : texts)
        std::copy(text.begin(), text.end(),
                  bytes.begin() + static_cast<std::ptrdiff_t>(at < 0 ? size + at : at));
    for (const auto& [at, word] : words) {
        for (int i = 0; i < 4; ++i)
            bytes[at + i] = static_cast<std::uint8_t>(word >> (8 * i));
    }
    return bytes;
}

constexpr auto kFrame = "\xFF\xFB\x90\x64"sv; // MPEG-1 layer III, 128 kbit/s, 44.1 kHz: 417 bytes
const std::string kTag = "TAG" + std::string(125, ' ');
const std::string kApe = "APETAGEX" + std::string(24, '\0');

// Three MP3 frames, then `tail`.
Bytes Frames(std::string_view tail = {}) {
    const auto end = -static_cast<std::int64_t>(tail.size());
    return Image(3 * 417 + tail.size(), {{0, kFrame}, {417, kFrame}, {834, kFrame}, {end, tail}});
}

// A PE32+ (or PE32) program, its headers at `lfanew`, its security directory `offset`, `size`.
Bytes Program(std::uint32_t offset, std::uint32_t size, std::uint32_t lfanew = 0x80,
              bool pe32 = false) {
    const std::size_t count = lfanew + 24 + (pe32 ? 92 : 108); // of the data directories
    // clang-format off
    return Image(lfanew + 0x400, {{0, "MZ"}, {lfanew, "PE\0\0"sv}},
                 {{0x3C, lfanew}, {lfanew + 20, pe32 ? 224 : 240}, {lfanew + 24, pe32 ? 0x10B : 0x20B},
                  {count, 16}, {count + 36, offset}, {count + 40, size}});
    // clang-format on
}

struct Case {
    const char* name;
    Bytes bytes;
    FileKind kind;
};

std::vector<Case> Cases() {
    const auto bytes = [](std::string_view s) { return Bytes(s.begin(), s.end()); };
    using enum FileKind;
    // clang-format off
    return {
        {"empty", {}, Other},
        {"xz", Image(64, {{0, "\xFD\x37zXZ\0\0\x04"sv}}), Xz},
        {"lzma", Image(64, {{0, "\x5D\0\0\x80\0\xFF\xFF\xFF\xFF\xFF\xFF\xFF\xFF"sv}}), Lzma},
        {"lzma-like, odd dictionary", Image(64, {{0, "\x5D\x78\x56\x34\x12"sv}}), Other},
        {"zeros, then a 1 MiB word", Image(64, {{0, "\0\0\0\x10\0"sv}}), Other},
        {"zstd", Image(64, {{0, "\x28\xB5\x2F\xFD"sv}}), Zstd},
        {"gzip", Image(32, {{0, "\x1F\x8B\x08\x00"sv}}), Gzip},
        {"gzip magic in a 2-byte file", bytes("\x1F\x8B"), Other},
        {"bzip2", Image(64, {{0, "BZh9\x31\x41\x59\x26\x53\x59"sv}}), Bzip2},
        {"bzip2 magic, block size 0", Image(64, {{0, "BZh0\x31\x41\x59\x26\x53\x59"sv}}), Other},
        {"lz4", Image(64, {{0, "\x04\x22\x4D\x18"sv}}), Lz4},
        {"lzop", Image(64, {{0, "\x89LZO\0\r\n\x1A\n"sv}}), Lzop},
        {"7z", Image(64, {{0, "7z\xBC\xAF\x27\x1C"sv}}), SevenZip},
        {"signed program", Program(0x400, 0x100), SignedProgram},
        {"signed 32-bit program", Program(0x400, 0x100, 0x80, true), SignedProgram},
        {"program without a signature", Program(0, 0), Other},
        {"program whose headers lie past the head", Program(0x400, 0x100, 5000), Other},
        {"signed cabinet", Image(64, {{0, "MSCF"}, {40, "\0\0\x10\0"sv}},
                                 {{30, 4}, {36, 20}, {44, 9}, {48, 9}}), SignedCabinet},
        {"cabinet without a reserve", Image(64, {{0, "MSCF"}}, {{36, 20}, {44, 9}, {48, 9}}), Other},
        {"mp3", Frames(), Mp3},
        {"mp3 after an ID3v2 tag", Image(20, {{0, "ID3\x04\0\0\0\0\0\x06"sv}, {16, kFrame}}), Mp3},
        {"one frame header, then no frame", Image(900, {{0, kFrame}}), Other},
        {"ADTS, not mp3", Image(900, {{0, "\xFF\xF1\x50\x80"sv}}), Other},
        {"mp3 with ID3v1", Frames(kTag), Mp3WithEndTags},
        {"mp3 with TAG 130 bytes from the end", Frames(kTag + "xx"), Mp3},
        {"mp3 with an APE tag", Frames(kApe), Mp3WithEndTags},
        {"mp3 with APE and ID3v1", Frames(kApe + kTag), Mp3WithEndTags},
        {"mp3 with Lyrics3, no ID3v1", Frames("LYRICSBEGINla la000011LYRICS200"), Mp3WithEndTags},
        {"ID3v1 on a text", Image(400, {{-128, "TAG"}}), Other},
        {"AC-3", Image(64, {{0, "\x0B\x77\x12\x34\x14\x40"sv}}), Ac3},
        {"AC-3 sync, bit stream id 20", Image(64, {{0, "\x0B\x77\x12\x34\x14\xA0"sv}}), Other},
        {"WavPack", Image(64, {{0, "wvpk"}}), WavPack},
        {"TTA with an APE tag", bytes("TTA1" + std::string(100, '\0') + kApe), ApeTagged},
        {"fixed VHD", Image(2048, {{-512, "conectix"}}), Vhd},
        {"dynamic VHD", Image(2048, {{0, "conectix"}, {-512, "conectix"}}), Vhd},
        {"VHD footer one byte off", Image(2048, {{-511, "conectix"}}), Other},
    };
    // clang-format on
}

TEST(FileKinds, EachKindAndItsNearMissesFromBytesPathsAndStreams) {
    TempDir dir;
    for (const Case& c : Cases()) {
        SCOPED_TRACE(c.name);
        const auto size = static_cast<std::int64_t>(c.bytes.size());
        const std::size_t tail = std::min(c.bytes.size(), KindTailBytes);
        EXPECT_EQ(KindOfBytes(c.bytes.data(), std::min(c.bytes.size(), KindHeadBytes),
                              c.bytes.data() + c.bytes.size() - tail, tail, size),
                  c.kind);
        WriteBytes(dir / "sample", c.bytes);
        EXPECT_EQ(KindOfFile(dir / "sample"), c.kind);
        const UniqueFile file = OpenFile(dir / "sample", "rb");
        EXPECT_EQ(KindOfFile(file.get(), size), c.kind);
    }
    EXPECT_EQ(KindOfFile(dir / "missing"), FileKind::Other);
    EXPECT_EQ(KindOfFile(dir.Path()), FileKind::Other); // a folder
}

// Linux tells the bytes a process read (/proc/self/io); under Wine that file counts Wine's own
// reads too.
#ifdef _WIN32
constexpr bool kReadsCounted = false;
#else
constexpr bool kReadsCounted = true;
#endif

// The tags at the end of a file of several GiB are found, reading the two bounded ends alone.
TEST(FileKinds, AHugeFileIsJudgedFromItsEndsAlone) {
    TempDir dir;
    WriteBytes(dir / "huge.mp3", Frames());
    {
        UniqueFile file = OpenFile(dir / "huge.mp3", "r+b");
        ASSERT_TRUE(file && SeekFile(file.get(), (std::int64_t{5} << 30) - 128, SEEK_SET));
        ASSERT_EQ(std::fwrite(kTag.data(), 1, kTag.size(), file.get()), kTag.size());
    }
    const auto bytesRead = [] {
        std::ifstream io("/proc/self/io");
        std::string key;
        long long value = -1;
        while (io >> key >> value && key != "rchar:")
            value = -1;
        return value;
    };
    const long long before = bytesRead();
    EXPECT_EQ(KindOfFile(dir / "huge.mp3"), FileKind::Mp3WithEndTags);
    if (kReadsCounted && before >= 0) {
        const long long bound = KindHeadBytes + KindTailBytes + 256; // and /proc's text
        EXPECT_LE(bytesRead() - before, bound);
    }
}

} // namespace
