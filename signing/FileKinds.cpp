#include "FileKinds.h"

#include "FileOps.h"
#include "SignEngine.h"

#include <algorithm>
#include <array>
#include <string_view>

namespace {

// What the recogniser sees of a file: its first and last bytes, and its size.
struct Sample {
    std::span<const std::uint8_t> head;
    std::span<const std::uint8_t> tail;
    std::int64_t size = 0;

    // The `count` bytes at `offset` from the start; empty when they are not all in `head`.
    std::span<const std::uint8_t> At(std::size_t offset, std::size_t count) const {
        if (offset > head.size() || count > head.size() - offset)
            return {};
        return head.subspan(offset, count);
    }
    // The `count` bytes that begin `back` bytes before the end; empty when not all in `tail`.
    std::span<const std::uint8_t> FromEnd(std::size_t back, std::size_t count) const {
        if (back > tail.size() || count > back)
            return {};
        return tail.subspan(tail.size() - back, count);
    }
};

bool Equals(std::span<const std::uint8_t> bytes, std::string_view magic) {
    return !bytes.empty() && bytes.size() == magic.size() &&
           std::equal(magic.begin(), magic.end(), bytes.begin(),
                      [](char a, std::uint8_t b) { return static_cast<std::uint8_t>(a) == b; });
}
bool StartsWith(const Sample& s, std::string_view magic, std::size_t offset = 0) {
    return Equals(s.At(offset, magic.size()), magic);
}
bool EndsWith(const Sample& s, std::string_view magic, std::size_t back) {
    return Equals(s.FromEnd(back, magic.size()), magic);
}

std::uint32_t Le16(std::span<const std::uint8_t> b) {
    return b[0] | b[1] << 8;
}
std::uint32_t Le32(std::span<const std::uint8_t> b) {
    return b[0] | b[1] << 8 | b[2] << 16 | static_cast<std::uint32_t>(b[3]) << 24;
}

using namespace std::string_view_literals;

// --- Compressors and archives: a magic number, and what their headers must hold. ---

bool IsXz(const Sample& s) {
    // Magic, then stream flags: a zero byte and a check type of 0 to 15.
    const auto flags = s.At(6, 2);
    return StartsWith(s, "\xFD\x37zXZ\0"sv) && !flags.empty() && flags[0] == 0 && flags[1] < 16;
}

bool IsLzma(const Sample& s) {
    // No magic number: the properties every encoder writes (lc 3, lp 0, pb 2: 0x5D), a
    // dictionary size of 2^n or 2^n + 2^(n-1) from 4 KiB, and an uncompressed size that is
    // unknown (all ones) or below 256 GiB, as xz accepts them.
    const auto header = s.At(0, 13);
    if (header.empty() || header[0] != 0x5D)
        return false;
    const std::uint32_t dictionary = Le32(header.subspan(1, 4));
    bool dictionaryOk = false;
    for (int bit = 12; bit < 31; ++bit) {
        const std::uint32_t low = std::uint32_t{1} << bit;
        dictionaryOk |= dictionary == low || dictionary == low + (low >> 1);
    }
    const auto sizeBytes = header.subspan(5, 8);
    const bool unknownSize =
        std::all_of(sizeBytes.begin(), sizeBytes.end(), [](std::uint8_t b) { return b == 0xFF; });
    const bool smallSize =
        sizeBytes[5] == 0 && sizeBytes[6] == 0 && sizeBytes[7] == 0 && sizeBytes[4] < 0x40;
    // The range coder's first byte, always 0: where the head shows it, it must be.
    if (const auto coder = s.At(13, 1); !coder.empty() && coder[0] != 0)
        return false;
    return dictionaryOk && (unknownSize || smallSize) && s.size > 13;
}

bool IsZstd(const Sample& s) {
    // The frame header's reserved bit is clear.
    if (const auto descriptor = s.At(4, 1); !descriptor.empty() && (descriptor[0] & 0x08) != 0)
        return false;
    return StartsWith(s, "\x28\xB5\x2F\xFD"sv) && s.size > 5;
}

bool IsGzip(const Sample& s) {
    // Magic, deflate, no reserved flag; the smallest member is 18 bytes.
    const auto header = s.At(0, 4);
    return s.size >= 18 && !header.empty() && StartsWith(s, "\x1F\x8B\x08"sv) &&
           (header[3] & 0xE0) == 0;
}

bool IsBzip2(const Sample& s) {
    // "BZh", a block size of 1 to 9, then a block or the end of the stream.
    const auto level = s.At(3, 1);
    return StartsWith(s, "BZh"sv) && !level.empty() && level[0] >= '1' && level[0] <= '9' &&
           (StartsWith(s, "\x31\x41\x59\x26\x53\x59"sv, 4) ||
            StartsWith(s, "\x17\x72\x45\x38\x50\x90"sv, 4));
}

// The largest block of the legacy format: 8 MiB that did not compress, as LZ4_compressBound.
constexpr std::uint32_t kLz4LegacyBlockBound = (8u << 20) + (8u << 20) / 255 + 16;

bool IsLz4(const Sample& s) {
    // A frame: version 01 and the reserved bits clear in its flags, a block size of 64 KiB to
    // 4 MiB (codes 4 to 7) and the reserved bits clear in the next byte.
    if (const auto d = s.At(4, 2); StartsWith(s, "\x04\x22\x4D\x18"sv) && !d.empty() &&
                                   ((d[0] & 0xC2) != 0x40 || (d[1] & 0x8F) != 0 || d[1] < 0x40))
        return false;
    // The legacy format of `lz4 -l`: the first block's compressed size.
    if (const auto block = s.At(4, 4);
        StartsWith(s, "\x02\x21\x4C\x18"sv) && !block.empty() && Le32(block) > kLz4LegacyBlockBound)
        return false;
    return s.size > 7 &&
           (StartsWith(s, "\x04\x22\x4D\x18"sv) || StartsWith(s, "\x02\x21\x4C\x18"sv));
}

bool IsLzop(const Sample& s) {
    return StartsWith(s, "\x89LZO\0\r\n\x1A\n"sv);
}

bool IsSevenZip(const Sample& s) {
    return StartsWith(s, "7z\xBC\xAF\x27\x1C"sv) && s.size >= 32;
}

// --- Windows programs and cabinets with an Authenticode signature. ---

// A PE program or library whose security data directory (the Authenticode certificate table)
// is not empty. Its headers must lie in the first KindHeadBytes, as every linker puts them.
bool IsSignedProgram(const Sample& s) {
    const auto lfanew = s.At(0x3C, 4);
    if (!StartsWith(s, "MZ"sv) || lfanew.empty())
        return false;
    const std::size_t pe = Le32(lfanew);
    const auto coff = s.At(pe, 24);
    if (!StartsWith(s, "PE\0\0"sv, pe) || coff.empty())
        return false;
    const std::size_t optionalSize = Le16(coff.subspan(20, 2));
    const std::size_t optional = pe + 24;
    const auto magic = s.At(optional, 2);
    if (magic.empty())
        return false;
    // PE32 or PE32+: where the count of data directories and the directories begin.
    std::size_t countAt = 0;
    if (Le16(magic) == 0x10B)
        countAt = 92;
    else if (Le16(magic) == 0x20B)
        countAt = 108;
    else
        return false;
    const std::size_t security = countAt + 4 + 4 * 8; // directory 4, 8 bytes each
    const auto count = s.At(optional + countAt, 4);
    const auto entry = s.At(optional + security, 8);
    if (count.empty() || entry.empty() || Le32(count) <= 4 || optionalSize < security + 8)
        return false;
    return Le32(entry.subspan(0, 4)) != 0 && Le32(entry.subspan(4, 4)) != 0;
}

// A cabinet with a reserved header of the shape osslsigncode and signtool give it: 20 bytes
// starting 00 00 10 00, then the signature's offset and size.
bool IsSignedCabinet(const Sample& s) {
    const auto header = s.At(0, 56);
    if (!StartsWith(s, "MSCF\0\0\0\0"sv) || header.empty())
        return false;
    const bool reserved = (Le16(header.subspan(30, 2)) & 0x0004) != 0;
    return reserved && Le16(header.subspan(36, 2)) == 20 &&
           Equals(header.subspan(40, 4), "\0\0\x10\0"sv) && Le32(header.subspan(44, 4)) != 0 &&
           Le32(header.subspan(48, 4)) != 0;
}

// --- Audio. ---

// The length of the MPEG audio frame (layer I, II or III) whose header is `h`; 0 when `h` is
// not a frame header or names no bit rate (free format).
std::size_t MpegFrameLength(std::span<const std::uint8_t> h) {
    if (h.size() < 4 || h[0] != 0xFF || (h[1] & 0xE0) != 0xE0)
        return 0;
    const int version = (h[1] >> 3) & 3; // 0: 2.5, 1: reserved, 2: 2, 3: 1
    const int layer = (h[1] >> 1) & 3;   // 0: reserved (ADTS has it), 1: III, 2: II, 3: I
    const int rateIndex = h[2] >> 4;
    const int sampleIndex = (h[2] >> 2) & 3;
    if (version == 1 || layer == 0 || rateIndex == 0 || rateIndex == 15 || sampleIndex == 3)
        return 0;
    static constexpr std::array<std::array<int, 15>, 5> kBitRates{{
        {0, 32, 64, 96, 128, 160, 192, 224, 256, 288, 320, 352, 384, 416, 448}, // 1, I
        {0, 32, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320, 384},    // 1, II
        {0, 32, 40, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320},     // 1, III
        {0, 32, 48, 56, 64, 80, 96, 112, 128, 144, 160, 176, 192, 224, 256},    // 2, 2.5, I
        {0, 8, 16, 24, 32, 40, 48, 56, 64, 80, 96, 112, 128, 144, 160},         // 2, 2.5, II, III
    }};
    static constexpr std::array<int, 3> kSampleRates{44100, 48000, 32000};
    const bool mpeg1 = version == 3;
    const int row = mpeg1 ? 3 - layer : (layer == 3 ? 3 : 4);
    const long bitRate = kBitRates[row][rateIndex] * 1000L;
    const long sampleRate = kSampleRates[sampleIndex] >> (mpeg1 ? 0 : version == 2 ? 1 : 2);
    const long padding = (h[2] >> 1) & 1;
    if (layer == 3)
        return static_cast<std::size_t>((12 * bitRate / sampleRate + padding) * 4);
    const long perFrame = (layer == 1 && !mpeg1) ? 72 : 144;
    return static_cast<std::size_t>(perFrame * bitRate / sampleRate + padding);
}

// A tag that follows the last frame of a tagged file: an ID3v1 tag that ends it, an APE tag with
// its header, or Lyrics3.
bool TagAt(const Sample& s, std::size_t at) {
    return (static_cast<std::int64_t>(at) + 128 == s.size && EndsWith(s, "TAG"sv, 128)) ||
           StartsWith(s, "APETAGEX"sv, at) || StartsWith(s, "LYRICSBEGIN"sv, at);
}

// MPEG audio: an ID3v2 tag followed by a frame (or by more than the head holds), or a frame
// confirmed by the next one of the same stream or by a tag right after it. One frame alone
// is no evidence: many texts in UTF-16 begin with a valid header (FF FE and a letter).
bool IsMpegAudio(const Sample& s) {
    std::size_t frame = 0;
    if (StartsWith(s, "ID3"sv)) {
        const auto header = s.At(0, 10);
        // Versions 2.2 to 2.4: a text that begins with "ID3" has no control character next.
        if (header.empty() || header[3] < 2 || header[3] > 4 || header[4] == 0xFF)
            return false;
        std::size_t size = 0;
        for (int i = 6; i < 10; ++i) {
            if (header[i] & 0x80)
                return false;
            size = size << 7 | header[i];
        }
        frame = 10 + size + ((header[5] & 0x10) ? 10 : 0);
        while (frame < s.head.size() && s.head[frame] == 0) // padding after the tag
            ++frame;
        if (frame >= s.head.size())
            return static_cast<std::int64_t>(frame) < s.size;
        return MpegFrameLength(s.At(frame, 4)) != 0;
    }
    const auto first = s.At(0, 4);
    const std::size_t length = MpegFrameLength(first);
    if (length == 0)
        return false;
    // A head shorter than the file that ends before the next header: the rest is unknown.
    if (length + 4 > s.head.size() && static_cast<std::int64_t>(s.head.size()) < s.size)
        return static_cast<std::int64_t>(length) < s.size;
    // The next frame keeps the version, layer and sample rate.
    const auto next = s.At(length, 4);
    const bool nextFrame = !next.empty() && MpegFrameLength(next) != 0 &&
                           ((next[1] ^ first[1]) & 0x1E) == 0 && ((next[2] ^ first[2]) & 0x0C) == 0;
    return nextFrame || TagAt(s, length);
}

// An APE tag's footer at the end, or just before an ID3v1 tag.
bool HasApeTag(const Sample& s) {
    return EndsWith(s, "APETAGEX"sv, 32) || EndsWith(s, "APETAGEX"sv, 128 + 32);
}

// An ID3v1 tag (the last 128 bytes), an APE tag, or the end of a Lyrics3 block (before an
// ID3v1 tag, or last where the ID3v1 tag was removed).
bool IsMpegAudioWithEndTags(const Sample& s) {
    const bool id3v1 = s.size >= 128 + 4 && EndsWith(s, "TAG"sv, 128);
    const bool lyrics3 = EndsWith(s, "LYRICS200"sv, 9) || EndsWith(s, "LYRICSEND"sv, 9) ||
                         EndsWith(s, "LYRICS200"sv, 128 + 9) || EndsWith(s, "LYRICSEND"sv, 128 + 9);
    return (id3v1 || lyrics3 || HasApeTag(s)) && IsMpegAudio(s);
}

// The length of the AC-3 or E-AC-3 frame whose header is `h`; 0 when `h` is not one. After the
// sync word, a bit stream id of at most 16 (AC-3 up to 10, E-AC-3 11 to 16); E-AC-3 gives its
// frame's size in words, AC-3 a sample rate and a frame size code.
std::size_t Ac3FrameLength(std::span<const std::uint8_t> h) {
    if (h.size() < 6 || h[0] != 0x0B || h[1] != 0x77)
        return 0;
    const int bsid = h[5] >> 3;
    if (bsid > 16)
        return 0;
    if (bsid > 10)
        return (((h[2] & 7u) << 8 | h[3]) + 1) * 2;
    const int sampleCode = h[4] >> 6;
    const int sizeCode = h[4] & 0x3F;
    if (sampleCode == 3 || sizeCode >= 38)
        return 0;
    static constexpr std::array<long, 19> kBitRates{32,  40,  48,  56,  64,  80,  96,
                                                    112, 128, 160, 192, 224, 256, 320,
                                                    384, 448, 512, 576, 640}; // kbit/s
    const long rate = kBitRates[static_cast<std::size_t>(sizeCode >> 1)];
    // 1536 samples a frame, in 16-bit words; at 44.1 kHz odd codes add the word rounded off.
    const long words = sampleCode == 0   ? rate * 2
                       : sampleCode == 2 ? rate * 3
                                         : rate * 96000 / 44100 + (sizeCode & 1);
    return static_cast<std::size_t>(words * 2);
}

// AC-3: a frame confirmed by the next sync word where its length says, or one that runs past
// a head shorter than the file.
bool IsAc3(const Sample& s) {
    const std::size_t length = Ac3FrameLength(s.At(0, 6));
    if (length == 0)
        return false;
    if (length + 2 > s.head.size() && static_cast<std::int64_t>(s.head.size()) < s.size)
        return static_cast<std::int64_t>(length) < s.size;
    return StartsWith(s, "\x0B\x77"sv, length);
}

bool IsWavPack(const Sample& s) {
    // The block's size, then a stream version of 0x402 to 0x410.
    if (const auto version = s.At(8, 2);
        !version.empty() && (Le16(version) < 0x402 || Le16(version) > 0x410))
        return false;
    return StartsWith(s, "wvpk"sv) && s.size >= 32;
}

bool IsApeTagged(const Sample& s) {
    return HasApeTag(s) && s.size > 64;
}

// --- Disk images. ---

// The footer's cookie, its features (bit 1 always set) and the file format version 1.0.
constexpr auto kVhdFooter = "conectix\0\0\0\x02\0\x01\0\0"sv;

bool IsVhd(const Sample& s) {
    // A fixed image has its footer only at the end; a dynamic one a copy at the start too.
    return (s.size >= 512 && EndsWith(s, kVhdFooter, 512)) ||
           (s.size >= 1024 && StartsWith(s, kVhdFooter));
}

// The rules, tried in order: the more particular before the more general.
struct Rule {
    FileKind kind;
    bool (*matches)(const Sample&);
};
constexpr Rule kRules[] = {
    {FileKind::Xz, IsXz},
    {FileKind::Zstd, IsZstd},
    {FileKind::Gzip, IsGzip},
    {FileKind::Bzip2, IsBzip2},
    {FileKind::Lz4, IsLz4},
    {FileKind::Lzop, IsLzop},
    {FileKind::SevenZip, IsSevenZip},
    {FileKind::SignedProgram, IsSignedProgram},
    {FileKind::SignedCabinet, IsSignedCabinet},
    {FileKind::Vhd, IsVhd},
    {FileKind::WavPack, IsWavPack},
    {FileKind::Mp3WithEndTags, IsMpegAudioWithEndTags},
    {FileKind::Mp3, IsMpegAudio},
    {FileKind::Ac3, IsAc3},
    {FileKind::ApeTagged, IsApeTagged},
    {FileKind::Lzma, IsLzma}, // no magic number: last
};

// What each kind's own tools were seen to do with a signed copy (tests/kinds measures it).
constexpr KindInfo kKinds[] = {
    {FileKind::Other, "other", "other file", ""},
    {FileKind::Xz, "xz", "xz", "xz will report the signed copy as corrupt"},
    {FileKind::Lzma, "lzma", "lzma", "xz will report the signed copy as corrupt"},
    {FileKind::Zstd, "zstd", "zstd", "zstd will fail on the signed copy (\"unsupported format\")"},
    {FileKind::Gzip, "gzip", "gzip",
     "gzip will warn of trailing garbage and end with exit status 2"},
    {FileKind::Bzip2, "bzip2", "bzip2", "bzip2 will warn of trailing garbage"},
    {FileKind::Lz4, "lz4", "lz4", "lz4 will fail on the undecodable data after the stream"},
    {FileKind::Lzop, "lzop", "lzop",
     "lzop will warn of trailing garbage and end with exit status 2"},
    {FileKind::SevenZip, "7z", "7z", "7-Zip will warn of data after the end of the archive"},
    {FileKind::SignedProgram, "signed-program", "program with an Authenticode signature",
     "its Authenticode signature is no longer at the end: osslsigncode finds none, and Windows "
     "may show the signed copy as coming from an unknown publisher"},
    {FileKind::SignedCabinet, "signed-cabinet", "cabinet with an Authenticode signature",
     "its Authenticode signature no longer verifies, and Windows may show the signed copy as "
     "coming from an unknown publisher"},
    {FileKind::Mp3, "mp3", "MP3",
     "ffmpeg will report a damaged frame at the end of the signed copy (\"Header missing\")"},
    {FileKind::Mp3WithEndTags, "mp3-end-tags", "MP3 with an ID3v1, APE or Lyrics3 tag",
     "its tag is no longer at the end: players and tag readers will show the signed copy "
     "without its title, artist and other tags"},
    {FileKind::Ac3, "ac3", "AC-3 audio",
     "ffmpeg will report an error decoding the end of the signed copy"},
    {FileKind::WavPack, "wavpack", "WavPack",
     "ffmpeg will report the signed copy as damaged (\"Invalid block header\") and lose its "
     "tags"},
    {FileKind::ApeTagged, "ape-tag", "audio with an APE tag",
     "its APE tag is no longer at the end: players and tag readers will show the signed copy "
     "without its title, artist and other tags"},
    {FileKind::Vhd, "vhd", "VHD disk image",
     "its footer is no longer at the end: qemu-img or 7-Zip will not open the signed copy as "
     "a VHD"},
};

// One row per kind, in the order of FileKind, each with its own id; words for all but Other.
constexpr bool TableIsWhole() {
    for (std::size_t i = 0; i < std::size(kKinds); ++i) {
        if (static_cast<std::size_t>(kKinds[i].kind) != i || kKinds[i].name.empty() ||
            kKinds[i].consequence.empty() != (i == 0))
            return false;
        for (std::size_t j = 0; j < i; ++j) {
            if (kKinds[j].id == kKinds[i].id)
                return false;
        }
    }
    return std::size(kKinds) == std::size(kRules) + 1;
}
static_assert(TableIsWhole(), "one row per kind, in order, each with its own id and words");

} // namespace

FileKind KindOfBytes(const std::uint8_t* head, std::size_t headSize, const std::uint8_t* tail,
                     std::size_t tailSize, std::int64_t size) {
    if (size <= 0)
        return FileKind::Other;
    const std::size_t fileBytes =
        static_cast<std::uint64_t>(size) < SIZE_MAX ? static_cast<std::size_t>(size) : SIZE_MAX;
    Sample sample;
    sample.size = size;
    sample.head = {head, std::min({headSize, KindHeadBytes, fileBytes})};
    const std::size_t tailKept = std::min({tailSize, KindTailBytes, fileBytes});
    sample.tail = {tail + (tailSize - tailKept), tailKept};
    for (const Rule& rule : kRules) {
        if (rule.matches(sample))
            return rule.kind;
    }
    return FileKind::Other;
}

FileKind KindOfHead(const std::uint8_t* head, std::size_t headSize) {
    return KindOfBytes(head, headSize, nullptr, 0, INT64_MAX);
}

FileKind KindOfFile(std::FILE* file, std::int64_t size) {
    if (file == nullptr || size <= 0)
        return FileKind::Other;
    // The head, then the tail; a file that fits both whole is read at once.
    std::array<std::uint8_t, KindHeadBytes + KindTailBytes> bytes;
    if (size <= static_cast<std::int64_t>(bytes.size())) {
        const auto whole = static_cast<std::size_t>(size);
        if (!SeekFile(file, 0, SEEK_SET) || FileRead(file, bytes.data(), whole) != whole)
            return FileKind::Other;
        return KindOfBytes(bytes.data(), whole, bytes.data(), whole, size);
    }
    std::uint8_t* const tail = bytes.data() + KindHeadBytes;
    if (!SeekFile(file, 0, SEEK_SET) ||
        FileRead(file, bytes.data(), KindHeadBytes) != KindHeadBytes ||
        !SeekFile(file, size - static_cast<std::int64_t>(KindTailBytes), SEEK_SET) ||
        FileRead(file, tail, KindTailBytes) != KindTailBytes)
        return FileKind::Other;
    return KindOfBytes(bytes.data(), KindHeadBytes, tail, KindTailBytes, size);
}

FileKind KindOfFile(const std::filesystem::path& path) {
    FileFacts facts;
    const UniqueFile file = OpenForReading(path, nullptr, &facts);
    if (!file)
        return FileKind::Other;
    // Unbuffered, the two reads are two system calls, without stdio's reads to align its buffer.
    std::setvbuf(file.get(), nullptr, _IONBF, 0);
    return KindOfFile(file.get(), facts.size);
}

const KindInfo& InfoOf(FileKind kind) {
    const auto index = static_cast<std::size_t>(kind);
    return index < std::size(kKinds) ? kKinds[index] : kKinds[0];
}

std::span<const KindInfo> AllKinds() {
    return kKinds;
}

std::vector<std::pair<FileKind, std::size_t>>
CountObjectingKinds(const std::vector<SignItem>& items, const std::atomic<bool>* stop) {
    std::vector<std::size_t> counts(AllKinds().size());
    ListedFolder held;
    for (const SignItem& item : items) {
        if (stop != nullptr && stop->load(std::memory_order_relaxed))
            break;
        FileFacts facts;
        const UniqueFile file = OpenForReading(item.source, nullptr, &facts, item.listed, &held);
        if (file)
            ++counts[static_cast<std::size_t>(KindOfFile(file.get(), facts.size))];
    }
    std::vector<std::pair<FileKind, std::size_t>> found;
    for (std::size_t i = 0; i < counts.size(); ++i)
        if (counts[i] > 0 && KindObjects(AllKinds()[i].kind))
            found.emplace_back(AllKinds()[i].kind, counts[i]);
    return found;
}
