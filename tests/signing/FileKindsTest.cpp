// The recogniser of the kinds whose tools object to a trailer: the smallest images of each kind
// and the near misses beside them, from bytes, from a path and from an open stream.
#include "FileIo.h"
#include "FileKinds.h"
#include "TempDir.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <string_view>

namespace {

using namespace std::string_literals;
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
constexpr auto kShortFrame = "\xFF\xE3\x18\x00"sv; // MPEG-2.5 layer III, 8 kbit/s, 8 kHz: 72 bytes
const std::string kTag = "TAG" + std::string(125, ' ');
const std::string kApe = "APETAGEX" + std::string(24, '\0');
constexpr auto kVhd = "conectix\0\0\0\x02\0\x01\0\0"sv; // features 2, version 1.0

Bytes Literal(std::string_view s) {
    return Bytes(s.begin(), s.end());
}

// Three MP3 frames, then `tail`.
Bytes Frames(std::string_view tail = {}) {
    const auto end = -static_cast<std::int64_t>(tail.size());
    return Image(3 * 417 + tail.size(), {{0, kFrame}, {417, kFrame}, {834, kFrame}, {end, tail}});
}

// An ID3v2 tag with `header` and `body` bytes that are not zero, then `after`.
Bytes AfterId3v2(std::string_view after, std::size_t body = 6,
                 std::string_view header = "ID3\x04\0\0\0\0\0\x06"sv) {
    return Literal(std::string(header) + std::string(body, 'x') + std::string(after));
}

// An .lzma header: properties, dictionary size, uncompressed size, in a file of `size` bytes.
Bytes LzmaHeader(std::uint32_t dictionary, std::uint64_t uncompressed = ~std::uint64_t{0},
                 std::size_t size = 64, std::uint8_t properties = 0x5D) {
    Bytes bytes = Image(size, {}, {{1, dictionary}});
    bytes[0] = properties;
    for (int i = 0; i < 8; ++i)
        bytes[5 + i] = static_cast<std::uint8_t>(uncompressed >> (8 * i));
    return bytes;
}

// A PE program (PE32+ unless its magic says PE32), its headers at `lfanew`, its security
// directory `offset`, `size`; an optional header size of 0 stands for the usual one.
struct PeFields {
    std::uint32_t offset = 0x400, size = 0x100, lfanew = 0x80, directories = 16, optionalSize = 0;
    std::uint32_t magic = 0x20B;
    std::string_view mz = "MZ", signature = "PE\0\0"sv;
};
Bytes Program(const PeFields& p) {
    const bool pe32 = p.magic == 0x10B;
    const std::size_t count = p.lfanew + 24 + (pe32 ? 92 : 108); // of the data directories
    const std::uint32_t optional = p.optionalSize != 0 ? p.optionalSize : pe32 ? 224 : 240;
    return Image(p.lfanew + 0x400, {{0, p.mz}, {p.lfanew, p.signature}},
                 {{0x3C, p.lfanew},
                  {p.lfanew + 20, optional},
                  {p.lfanew + 24, p.magic},
                  {count, p.directories},
                  {count + 36, p.offset},
                  {count + 40, p.size}});
}

// A cabinet whose reserved header holds a signature's offset and size, as signing tools write it.
struct CabFields {
    std::size_t size = 64;
    std::uint32_t flags = 4, reserve = 20, offset = 9, length = 9;
    std::string_view magic = "MSCF\0\0\0\0"sv, reserved = "\0\0\x10\0"sv;
};
Bytes Cabinet(const CabFields& c) {
    return Image(c.size, {{0, c.magic}, {40, c.reserved}},
                 {{30, c.flags}, {36, c.reserve}, {44, c.offset}, {48, c.length}});
}

FileKind KindOfImage(const Bytes& bytes) {
    return KindOfBytes(bytes.data(), bytes.size(), bytes.data(), bytes.size(),
                       static_cast<std::int64_t>(bytes.size()));
}

struct Case {
    const char* name;
    Bytes bytes;
    FileKind kind;
};

// Each recognised image has a near miss one byte or one bit away, so that a bound that moves
// makes one of them fail.
std::vector<Case> Cases() {
    using enum FileKind;
    constexpr auto kUnknown = ~std::uint64_t{0};
    constexpr std::uint32_t kLastLfanew = KindHeadBytes - 24 - 152; // PE32+ headers end the head
    // Two frames of `length` bytes: sync word, CRC (E-AC-3: 1130 bytes), the rest.
    const auto ac3 = [](std::string_view rest, std::size_t length = 1130, std::size_t at = 0) {
        const auto next = static_cast<std::int64_t>(at != 0 ? at : length);
        return Image(
            length + 64,
            {{0, "\x0B\x77\x12\x34"sv}, {4, rest}, {next, "\x0B\x77\x12\x34"sv}, {next + 4, rest}});
    };
    constexpr auto kLz4 = "\x04\x22\x4D\x18\x64\x40"sv; // version 01, 64 KiB blocks
    const auto lz4Legacy = [](std::uint32_t block) {
        return Image(16, {{0, "\x02\x21\x4C\x18"sv}}, {{4, block}});
    };
    constexpr auto kWavPack = "wvpk\0\0\0\0\x10\x04"sv; // version 0x410
    const auto wavPack = [](std::uint32_t version) {
        return Image(32, {{0, "wvpk"sv}}, {{8, version}});
    };
    const auto vhd = [](std::size_t size, std::string_view end, std::string_view start = {}) {
        return Image(size, {{0, start}, {-512, end}});
    };
    const auto id3 = [](char version) {
        return AfterId3v2(kFrame, 6, std::string("ID3") + version + "\0\0\0\0\0\x06"s);
    };
    // A text in UTF-16 LE with its byte order mark, of `size` bytes: "Hello World ...".
    const auto utf16 = [](std::size_t size, char first) {
        Bytes bytes{0xFF, 0xFE};
        for (std::size_t i = 0; bytes.size() < size; ++i)
            bytes.insert(bytes.end(),
                         {static_cast<std::uint8_t>(i == 0 ? first : "ello World "[i % 11]), 0});
        return bytes;
    };
    const std::string tta = "TTA1" + std::string(100, '\0');
    const std::string frame(kFrame);
    constexpr auto kBigTag = "ID3\x04\0\0\0\0\x26\x7E"sv; // 4990 bytes: the first frame at 5000
    const auto thenHeader = [](std::string_view next) {
        return Image(421, {{0, kFrame}, {417, next}});
    };
    const auto shortFramesAndTag = [](std::size_t size) {
        return Image(size, {{0, kShortFrame}, {72, kShortFrame}, {-128, "TAG"}});
    };
    // clang-format off
    return {
        {"empty", {}, Other},
        {"xz", Image(64, {{0, "\xFD\x37zXZ\0\0\x04"sv}}), Xz},
        {"xz, check type 15", Image(8, {{0, "\xFD\x37zXZ\0\0\x0F"sv}}), Xz},
        {"xz, check type 16", Image(8, {{0, "\xFD\x37zXZ\0\0\x10"sv}}), Other},
        {"xz, first flag byte not zero", Image(8, {{0, "\xFD\x37zXZ\0\x01\x04"sv}}), Other},
        {"lzma", Image(64, {{0, "\x5D\0\0\x80\0\xFF\xFF\xFF\xFF\xFF\xFF\xFF\xFF"sv}}), Lzma},
        {"lzma-like, odd dictionary", Image(64, {{0, "\x5D\x78\x56\x34\x12"sv}}), Other},
        {"zeros, then a 1 MiB word", Image(64, {{0, "\0\0\0\x10\0"sv}}), Other},
        {"lzma, 4 KiB dictionary", LzmaHeader(0x1000), Lzma},
        {"lzma, 2 KiB dictionary", LzmaHeader(0x800), Other},
        {"lzma, 12 KiB dictionary", LzmaHeader(0x3000), Lzma},
        {"lzma, 1.5 GiB dictionary", LzmaHeader(0x60000000), Lzma},
        {"lzma, 2 GiB dictionary", LzmaHeader(0x80000000), Other},
        {"lzma, 256 GiB less a byte", LzmaHeader(0x800000, (std::uint64_t{1} << 38) - 1), Lzma},
        {"lzma, 256 GiB", LzmaHeader(0x800000, std::uint64_t{1} << 38), Other},
        {"lzma, 2^40 bytes", LzmaHeader(0x800000, std::uint64_t{1} << 40), Other},
        {"lzma, 2^48 bytes", LzmaHeader(0x800000, std::uint64_t{1} << 48), Other},
        {"lzma, 2^56 bytes", LzmaHeader(0x800000, std::uint64_t{1} << 56), Other},
        {"lzma, size all ones but a bit", LzmaHeader(0x800000, ~(std::uint64_t{1} << 56)), Other},
        {"lzma, 14 bytes", LzmaHeader(0x800000, kUnknown, 14), Lzma},
        {"lzma header alone", LzmaHeader(0x800000, kUnknown, 13), Other},
        {"lzma, properties 0x5E", LzmaHeader(0x800000, kUnknown, 64, 0x5E), Other},
        {"lzma, range coder's first byte not 0", Image(64, {{0, "\x5D\0\0\x80\0\xFF\xFF\xFF\xFF\xFF\xFF\xFF\xFF\x01"sv}}), Other},
        {"zstd", Image(6, {{0, "\x28\xB5\x2F\xFD"sv}}), Zstd},
        {"zstd magic in 5 bytes", Image(5, {{0, "\x28\xB5\x2F\xFD"sv}}), Other},
        {"zstd, reserved bit set", Image(6, {{0, "\x28\xB5\x2F\xFD\x08"sv}}), Other},
        {"gzip", Image(32, {{0, "\x1F\x8B\x08\x00"sv}}), Gzip},
        {"gzip, 18 bytes, every flag", Image(18, {{0, "\x1F\x8B\x08\x1F"sv}}), Gzip},
        {"gzip, 17 bytes", Image(17, {{0, "\x1F\x8B\x08\x00"sv}}), Other},
        {"gzip, a reserved flag", Image(18, {{0, "\x1F\x8B\x08\x20"sv}}), Other},
        {"gzip magic in a 2-byte file", Literal("\x1F\x8B"), Other},
        {"bzip2", Image(64, {{0, "BZh9\x31\x41\x59\x26\x53\x59"sv}}), Bzip2},
        {"bzip2, block size 1", Image(64, {{0, "BZh1\x31\x41\x59\x26\x53\x59"sv}}), Bzip2},
        {"bzip2 magic, block size 0", Image(64, {{0, "BZh0\x31\x41\x59\x26\x53\x59"sv}}), Other},
        {"bzip2 magic, block size :", Image(64, {{0, "BZh:\x31\x41\x59\x26\x53\x59"sv}}), Other},
        {"bzip2 of nothing", Image(14, {{0, "BZh9\x17\x72\x45\x38\x50\x90"sv}}), Bzip2},
        {"bzip2, block magic a bit off", Image(64, {{0, "BZh9\x31\x41\x59\x26\x53\x58"sv}}), Other},
        {"lz4", Image(64, {{0, kLz4}}), Lz4},
        {"lz4, 4 MiB blocks, every flag", Image(64, {{0, "\x04\x22\x4D\x18\x7D\x70"sv}}), Lz4},
        {"lz4, version 00", Image(64, {{0, "\x04\x22\x4D\x18\x24\x40"sv}}), Other},
        {"lz4, version 11", Image(64, {{0, "\x04\x22\x4D\x18\xE4\x40"sv}}), Other},
        {"lz4, reserved flag", Image(64, {{0, "\x04\x22\x4D\x18\x66\x40"sv}}), Other},
        {"lz4, block size code 3", Image(64, {{0, "\x04\x22\x4D\x18\x64\x30"sv}}), Other},
        {"lz4, reserved bit of the block byte", Image(64, {{0, "\x04\x22\x4D\x18\x64\x41"sv}}), Other},
        {"lz4, high reserved bit of the block byte", Image(64, {{0, "\x04\x22\x4D\x18\x64\xC0"sv}}), Other},
        {"lz4 legacy frame, 8 bytes", Image(8, {{0, "\x02\x21\x4C\x18"sv}}), Lz4},
        {"lz4 legacy, largest block", lz4Legacy(8421520), Lz4},
        {"lz4 legacy, a block a byte larger", lz4Legacy(8421521), Other},
        {"lz4 magic in 7 bytes", Image(7, {{0, kLz4}}), Other},
        {"lzop magic alone", Literal("\x89LZO\0\r\n\x1A\n"sv), Lzop},
        {"lzop magic less its last byte", Literal("\x89LZO\0\r\n\x1A"sv), Other},
        {"7z", Image(32, {{0, "7z\xBC\xAF\x27\x1C"sv}}), SevenZip},
        {"7z magic in 31 bytes", Image(31, {{0, "7z\xBC\xAF\x27\x1C"sv}}), Other},
        {"signed program", Program({}), SignedProgram},
        {"signed 32-bit program", Program({.magic = 0x10B}), SignedProgram},
        {"program without a signature", Program({.offset = 0, .size = 0}), Other},
        {"security directory with an offset alone", Program({.size = 0}), Other},
        {"security directory with a size alone", Program({.offset = 0}), Other},
        {"five data directories", Program({.directories = 5}), SignedProgram},
        {"four data directories", Program({.directories = 4}), Other},
        {"optional header ending with its entry", Program({.optionalSize = 152}), SignedProgram},
        {"optional header a byte shorter", Program({.optionalSize = 151}), Other},
        {"optional header neither PE32 nor PE32+", Program({.magic = 0x30B}), Other},
        {"PE signature a byte off", Program({.signature = "PE\0\x01"sv}), Other},
        {"ZM, not MZ", Program({.mz = "ZM"}), Other},
        {"headers that end with the head", Program({.lfanew = kLastLfanew}), SignedProgram},
        {"headers that end a byte later", Program({.lfanew = kLastLfanew + 1}), Other},
        {"program whose headers lie past the head", Program({.lfanew = 5000}), Other},
        {"signed cabinet", Cabinet({}), SignedCabinet},
        {"signed cabinet of 56 bytes", Cabinet({.size = 56}), SignedCabinet},
        {"signed cabinet of 55 bytes", Cabinet({.size = 55}), Other},
        {"cabinet of a set, without a reserve", Cabinet({.flags = 3}), Other},
        {"cabinet with a reserve of 21 bytes", Cabinet({.reserve = 21}), Other},
        {"cabinet with another reserve", Cabinet({.reserved = "\0\0\x11\0"sv}), Other},
        {"cabinet, signature at 0", Cabinet({.offset = 0}), Other},
        {"cabinet, signature of 0 bytes", Cabinet({.length = 0}), Other},
        {"cabinet, reserved field not 0", Cabinet({.magic = "MSCF\0\0\0\x01"sv}), Other},
        {"mp3", Frames(), Mp3},
        {"UTF-16 text of one layer I frame", utf16(192, 'H'), Other},
        {"the same with T in 160 bytes", utf16(160, 'T'), Other},
        {"the same with D in 128 bytes", utf16(128, 'D'), Other},
        {"a frame, then one at another sample rate", thenHeader("\xFF\xFB\x94\x64"sv), Other},
        {"a frame, then an APE tag", Image(430, {{0, kFrame}, {417, "APETAGEX"}}), Mp3},
        {"a frame, then Lyrics3", Image(430, {{0, kFrame}, {417, "LYRICSBEGIN"}}), Mp3},
        {"a frame, then ID3v1", Image(417 + 128, {{0, kFrame}, {417, "TAG"}}), Mp3WithEndTags},
        {"a frame, then ID3v1 and a byte", Image(418 + 128, {{0, kFrame}, {417, "TAG"}}), Other},
        {"a frame, then a layer II header", thenHeader("\xFF\xFD\x90\x64"sv), Other},
        {"a frame, then an MPEG-2 header", thenHeader("\xFF\xF3\x90\x64"sv), Other},
        {"a frame, then one without a CRC", thenHeader("\xFF\xFA\x90\x64"sv), Mp3},
        {"a frame, then a broken sync", thenHeader("\xFE\xFB\x90\x64"sv), Other},
        {"one frame header, then no frame", Image(900, {{0, kFrame}}), Other},
        {"ADTS, not mp3", Image(900, {{0, "\xFF\xF1\x50\x80"sv}}), Other},
        {"mp3 after an ID3v2 tag", Image(20, {{0, "ID3\x04\0\0\0\0\0\x06"sv}, {16, kFrame}}), Mp3},
        {"after a 128-byte ID3v2 tag", AfterId3v2(kFrame, 128, "ID3\x04\0\0\0\0\x01\0"sv), Mp3},
        {"after an ID3v2 tag and its footer",
         AfterId3v2("3DI\x04\0\x10\0\0\0\x06"s + frame, 6, "ID3\x04\0\x10\0\0\0\x06"sv), Mp3},
        {"after an ID3v2 tag and zeros", AfterId3v2("\0\0\0"s + frame), Mp3},
        {"ID3v2 size byte over 127", AfterId3v2(kFrame, 134, "ID3\x04\0\0\0\0\0\x86"sv), Other},
        {"ID3v2 tag, version 255", AfterId3v2(kFrame, 6, "ID3\xFF\0\0\0\0\0\x06"sv), Other},
        {"ID3v2 tag, version 1", id3('\x01'), Other},
        {"ID3v2 tag, version 2", id3('\x02'), Mp3},
        {"ID3v2 tag, version 5", id3('\x05'), Other},
        {"ID3v2 tag, revision 255", AfterId3v2(kFrame, 6, "ID3\x04\xFF\0\0\0\0\x06"sv), Other},
        {"ID3v2 tag past the head, to the end", Image(5000, {{0, kBigTag}}), Other},
        {"ID3v2 tag past the head, then a byte", Image(5001, {{0, kBigTag}}), Mp3},
        {"ID3v2 tag, then a reserved MPEG version", AfterId3v2("\xFF\xEB\x90\x64"sv), Other},
        {"ID3v2 tag, then ADTS (layer 0)", AfterId3v2("\xFF\xF1\x50\x80"sv), Other},
        {"ID3v2 tag, then free format, padded", AfterId3v2("\xFF\xFB\x02\x64"sv), Other},
        {"ID3v2 tag, then bit rate 15, padded", AfterId3v2("\xFF\xFB\xF2\x64"sv), Other},
        {"ID3v2 tag, then sample rate 3", AfterId3v2("\xFF\xFB\x9C\x64"sv), Other},
        {"ID3v2 tag, then a sync a bit short", AfterId3v2("\xFF\xDB\x90\x64"sv), Other},
        {"ID3v2 tag, then a sync a bit off", AfterId3v2("\xFE\xFB\x90\x64"sv), Other},
        {"mp3 with ID3v1", Frames(kTag), Mp3WithEndTags},
        {"mp3 with TAG 130 bytes from the end", Frames(kTag + "xx"), Mp3},
        {"132 bytes of mp3 with ID3v1", shortFramesAndTag(132), Mp3WithEndTags},
        {"131 bytes, TAG on the first header", shortFramesAndTag(131), Mp3},
        {"mp3 with an APE tag", Frames(kApe), Mp3WithEndTags},
        {"mp3 with APE and ID3v1", Frames(kApe + kTag), Mp3WithEndTags},
        {"mp3 with Lyrics3, no ID3v1", Frames("LYRICSBEGINla la000011LYRICS200"), Mp3WithEndTags},
        {"mp3 with Lyrics3 v1, no ID3v1", Frames("LYRICSBEGINla laLYRICSEND"), Mp3WithEndTags},
        {"ID3v1 on a text", Image(400, {{-128, "TAG"}}), Other},
        {"AC-3", ac3("\x14\x40"sv, 768), Ac3},
        {"AC-3, the next sync a byte later", ac3("\x14\x40"sv, 768, 769), Other},
        {"AC-3, the next sync a byte sooner", ac3("\x14\x40"sv, 768, 767), Other},
        {"AC-3, one frame alone", Image(768, {{0, "\x0B\x77\x12\x34\x14\x40"sv}}), Other},
        {"AC-3 sync, bit stream id 20", ac3("\x14\xA0"sv), Other},
        {"AC-3, frame size code 37", ac3("\x25\x40"sv, 2560), Ac3},
        {"AC-3, frame size code 38", ac3("\x26\x40"sv, 2560), Other},
        {"AC-3 at 32 kHz", ac3("\x94\x40"sv, 1152), Ac3},
        {"AC-3 at 44.1 kHz, an odd code", ac3("\x55\x40"sv, 836), Ac3},
        {"AC-3 at 44.1 kHz, an even code", ac3("\x54\x40"sv, 834), Ac3},
        {"AC-3, sample rate code 3", ac3("\xD4\x40"sv, 834), Other},
        {"bit stream id 10, sample rate code 3", ac3("\xD4\x50"sv, 834), Other},
        {"E-AC-3 (id 11) at a reduced sample rate", ac3("\xD4\x58"sv), Ac3},
        {"E-AC-3, bit stream id 16", ac3("\x14\x80"sv), Ac3},
        {"E-AC-3, the next sync a byte later", ac3("\x14\x80"sv, 1130, 1131), Other},
        {"bit stream id 17", ac3("\x14\x88"sv), Other},
        {"WavPack", Image(32, {{0, kWavPack}}), WavPack},
        {"WavPack, version 0x402", wavPack(0x402), WavPack},
        {"WavPack, version 0x401", wavPack(0x401), Other},
        {"WavPack, version 0x411", wavPack(0x411), Other},
        {"wvpk in 31 bytes", Image(31, {{0, kWavPack}}), Other},
        {"TTA with an APE tag", Literal(tta + kApe), ApeTagged},
        {"TTA with an APE tag, then ID3v1", Literal(tta + kApe + kTag), ApeTagged},
        {"APE footer a byte before the end", Literal(tta + kApe + "x"), Other},
        {"APE footer in 65 bytes", Image(65, {{-32, "APETAGEX"}}), ApeTagged},
        {"APE footer in 64 bytes", Image(64, {{-32, "APETAGEX"}}), Other},
        {"fixed VHD", vhd(2048, kVhd), Vhd},
        {"fixed VHD of 512 bytes", vhd(512, kVhd), Vhd},
        {"dynamic VHD", vhd(2048, kVhd, kVhd), Vhd},
        {"VHD footer's copy at the start alone", Image(1024, {{0, kVhd}}), Vhd},
        {"the same in 1023 bytes", Image(1023, {{0, kVhd}}), Other},
        {"VHD footer one byte off", Image(2048, {{-511, kVhd}}), Other},
        {"VHD footer of version 1.1", vhd(2048, "conectix\0\0\0\x02\0\x01\0\x01"sv), Other},
        {"VHD footer without its features", vhd(2048, "conectix\0\0\0\0\0\x01\0\0"sv), Other},
        {"the word conectix at the end", vhd(2048, "conectix"), Other},
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
        EXPECT_EQ(KindOfFile(file.get(), size + 1), FileKind::Other); // a short read
    }
    EXPECT_EQ(KindOfFile(dir / "missing"), FileKind::Other);
    EXPECT_EQ(KindOfFile(dir.Path()), FileKind::Other); // a folder
}

// An MPEG audio frame is recognised by the next one where its length says, and a file of one
// frame by the ID3v1 tag right after it: each a byte sooner or later is not.
TEST(FileKinds, EachMpegFrameLengthIsExact) {
    struct Frame {
        const char* name;
        std::string_view header;
        std::size_t length;
    };
    constexpr Frame kFrames[] = {
        {"MPEG-1 layer III, 128 kbit/s, 44.1 kHz", kFrame, 417},
        {"the same, padded", "\xFF\xFB\x92\x64"sv, 418},
        {"MPEG-1 layer III, 320 kbit/s, 32 kHz", "\xFF\xFB\xE8\x64"sv, 1440},
        {"MPEG-1 layer II, 192 kbit/s, 48 kHz", "\xFF\xFD\xA4\x64"sv, 576},
        {"MPEG-1 layer I, 384 kbit/s, 44.1 kHz", "\xFF\xFF\xC0\x64"sv, 416},
        {"the same, padded by a 4-byte slot", "\xFF\xFF\xC2\x64"sv, 420},
        {"MPEG-2 layer III, 64 kbit/s, 22.05 kHz", "\xFF\xF3\x80\x64"sv, 208},
        {"MPEG-2 layer II, 64 kbit/s, 24 kHz", "\xFF\xF5\x84\x64"sv, 384},
        {"MPEG-2 layer I, 256 kbit/s, 16 kHz", "\xFF\xF7\xE8\x64"sv, 768},
        {"MPEG-2.5 layer III, 32 kbit/s, 12 kHz", "\xFF\xE3\x44\x64"sv, 192},
        {"MPEG-2.5 layer III, 8 kbit/s, 8 kHz", kShortFrame, 72},
    };
    for (const auto& [name, header, length] : kFrames) {
        for (const std::size_t at : {length - 1, length, length + 1}) {
            SCOPED_TRACE(testing::Message() << name << ", next at " << at);
            const auto expected = at == length ? FileKind::Mp3 : FileKind::Other;
            EXPECT_EQ(
                KindOfImage(Image(at + 4, {{0, header}, {static_cast<std::int64_t>(at), header}})),
                expected);
            EXPECT_EQ(
                KindOfImage(Image(at + 128, {{0, header}, {static_cast<std::int64_t>(at), "TAG"}})),
                at == length ? FileKind::Mp3WithEndTags : FileKind::Other);
        }
    }
}

// What lies outside shorter spans is unknown: a frame running past the head is taken on trust,
// a tag before the tail is not seen.
TEST(FileKinds, ShorterSpansLeaveTheRestUnknown) {
    const Bytes mp3 = Frames(kTag);
    const auto kind = [&](std::size_t head, std::size_t tail) {
        return KindOfBytes(mp3.data(), head, mp3.data() + mp3.size() - tail, tail,
                           static_cast<std::int64_t>(mp3.size()));
    };
    EXPECT_EQ(kind(4, 128), FileKind::Mp3WithEndTags);
    EXPECT_EQ(kind(417, 127), FileKind::Mp3);
}

// A text in one of six encodings: UTF-8, UTF-16 LE, UTF-16 BE, each without and with its byte
// order mark.
Bytes Encode(std::u32string_view text, int encoding) {
    Bytes bytes;
    const auto unit = [&](std::uint32_t u) {
        if (encoding < 2) {
            bytes.push_back(static_cast<std::uint8_t>(u));
            return;
        }
        const std::uint8_t low = u & 0xFF, high = static_cast<std::uint8_t>(u >> 8);
        bytes.insert(bytes.end(), encoding < 4 ? std::initializer_list{low, high}
                                               : std::initializer_list{high, low});
    };
    if (encoding % 2 == 1)
        for (const std::uint8_t b : encoding == 1   ? Bytes{0xEF, 0xBB, 0xBF}
                                    : encoding == 3 ? Bytes{0xFF, 0xFE}
                                                    : Bytes{0xFE, 0xFF})
            bytes.push_back(b);
    for (const char32_t c : text) {
        if (encoding >= 2 && c >= 0x10000) {
            unit(0xD800 + ((c - 0x10000) >> 10));
            unit(0xDC00 + ((c - 0x10000) & 0x3FF));
        } else if (encoding >= 2 || c < 0x80) {
            unit(c);
        } else if (c < 0x800) {
            unit(0xC0 | c >> 6), unit(0x80 | (c & 0x3F));
        } else if (c < 0x10000) {
            unit(0xE0 | c >> 12), unit(0x80 | (c >> 6 & 0x3F)), unit(0x80 | (c & 0x3F));
        } else {
            unit(0xF0 | c >> 18), unit(0x80 | (c >> 12 & 0x3F)), unit(0x80 | (c >> 6 & 0x3F)),
                unit(0x80 | (c & 0x3F));
        }
    }
    return bytes;
}

// Common files that no reader objects to, none of which may be named: texts in every encoding
// beginning with every printable letter, at every size from 1 to 4096 bytes (Notepad's "Unicode"
// begins FF FE, a valid MPEG audio header with many letters); CSV, JSON, XML and RTF of every
// length to 1000 rows; random bytes. Prints the count.
TEST(FileKinds, NoCommonFileIsNamed) {
    std::size_t count = 0, namedCount = 0;
    std::vector<std::string> named; // the first few
    const auto judge = [&](const Bytes& bytes, std::size_t size, auto what) {
        const std::size_t tail = std::min(size, KindTailBytes);
        const FileKind kind =
            KindOfBytes(bytes.data(), std::min(size, KindHeadBytes), bytes.data() + size - tail,
                        tail, static_cast<std::int64_t>(size));
        ++count;
        namedCount += kind != FileKind::Other;
        if (kind != FileKind::Other && named.size() < 20)
            named.push_back(what() + ", " + std::to_string(size) +
                            " bytes: " + std::string(InfoOf(kind).id));
    };
    constexpr std::u32string_view kWords[] = {
        U"Hello", U"World",  U"Grüße",  U"naïve", U"ÿes",  U"Ελληνικά", U"Русский",
        U"中文",  U"日本語", U"한국어", U"😀",     U"42,5", U"\r\n",     U"\t"};
    for (int encoding = 0; encoding < 6; ++encoding) {
        for (char32_t first = 0x20; first < 0x7F; ++first) {
            std::u32string text(1, first);
            for (std::size_t i = first; text.size() < 4096; ++i)
                text += std::u32string(kWords[i % std::size(kWords)]) + U' ';
            const Bytes bytes = Encode(text, encoding);
            for (std::size_t size = 1; size <= KindHeadBytes; ++size)
                judge(bytes, size, [&] {
                    return "text " + std::to_string(encoding) + " " + std::to_string(first);
                });
        }
    }
    for (int rows = 1; rows <= 1000; ++rows) {
        std::string csv = "id,name,city,amount\r\n", json = "{\"items\": [",
                    xml = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<items>\n",
                    rtf = "{\\rtf1\\ansi{\\fonttbl\\f0 Arial;}\\f0 ";
        for (int i = 0; i < rows; ++i) {
            const std::string n = std::to_string(i * 7919 % 1000);
            csv += n + ",\"Name " + n + "\",Zürich," + n + ".25\r\n";
            json +=
                std::string(i ? ", " : "") + "{\"id\": " + n + ", \"name\": \"Name " + n + "\"}";
            xml += "  <item id=\"" + n + "\">Name " + n + "</item>\n";
            rtf += "Line " + n + "\\par\n";
        }
        for (const std::string& doc : {csv, json + "]}\n", xml + "</items>\n", rtf + "}\n"})
            judge(Bytes(doc.begin(), doc.end()), doc.size(), [&] { return doc.substr(0, 5); });
    }
    // Random files: windows of one random megabyte, at every offset and of many sizes.
    const Bytes random = PatternBytes(1 << 20, 1);
    for (std::size_t at = 0; at < 60000; ++at) {
        const std::size_t size = 1 + at * 2654435761u % 9000;
        const Bytes bytes(random.begin() + static_cast<std::ptrdiff_t>(at * 16),
                          random.begin() + static_cast<std::ptrdiff_t>(at * 16 + size));
        judge(bytes, size, [&] { return "random at " + std::to_string(at * 16); });
    }
    std::printf("negatives: %zu, named: %zu\n", count, namedCount);
    EXPECT_GE(count, 100000u);
    EXPECT_EQ(named, std::vector<std::string>{});
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
