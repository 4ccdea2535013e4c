#include "Signature.h"

#include "FileIo.h"
#include "SigClock.h"

#include <algorithm>
#include <array>
#include <climits>
#include <cstdint>
#include <vector>

namespace {

constexpr std::array<std::uint8_t, 4> kMagic = {'K', 'O', 'L', 'O'};

void PutCode(std::vector<std::uint8_t>& out, const CSigCodeTable& table, std::uint8_t byte) {
    const std::uint16_t code = table[byte];
    out.push_back(static_cast<std::uint8_t>(code & 0xFF));
    out.push_back(static_cast<std::uint8_t>(code >> 8));
}

std::optional<std::uint8_t> DecodeAt(const CSigCodeTable& table, const std::uint8_t* p) {
    return table.IndexOf(static_cast<std::uint16_t>(p[0] | (p[1] << 8)));
}

bool ReadExactly(std::FILE* file, void* buffer, std::size_t bytes) {
    return FileRead(file, buffer, bytes) == bytes;
}

// Where a trailer sits in its file.
struct Trailer {
    // The offset of its first byte: the length of the file's unsigned part.
    std::int64_t start = 0;
    std::size_t units = 0;
};

// The one reader of the trailer's fixed part, its last 16 bytes: builds `table` from the
// stored seed and checks the magic and the length against the file's `size`.
std::optional<Trailer> ParseFixedPart(CSigCodeTable& table, const std::uint8_t* tail,
                                      std::int64_t size) {
    if (size < kMinSignedFileBytes)
        return std::nullopt;
    // The magic's two O's share a code that neither K nor L has, whatever the table: most
    // files fail this without the cost of a table.
    const auto code = [&](std::size_t letter) {
        return tail[8 + 2 * letter] | tail[9 + 2 * letter] << 8;
    };
    if (code(1) != code(3) || code(0) == code(1) || code(2) == code(1) || code(0) == code(2))
        return std::nullopt;

    const std::uint32_t seed = std::uint32_t{tail[4]} | (std::uint32_t{tail[5]} << 8) |
                               (std::uint32_t{tail[6]} << 16) | (std::uint32_t{tail[7]} << 24);
    table.Build(seed);

    for (std::size_t i = 0; i < kMagic.size(); ++i) {
        const auto byte = DecodeAt(table, &tail[8 + 2 * i]);
        if (!byte || *byte != kMagic[i])
            return std::nullopt;
    }
    const auto low = DecodeAt(table, &tail[0]);
    const auto high = DecodeAt(table, &tail[2]);
    if (!low || !high)
        return std::nullopt;
    const std::size_t units = std::size_t{*low} | (std::size_t{*high} << 8);
    // A length that reaches before the file's first byte cannot be ours, nor one longer than
    // any writer stores: every reader, of a file or of a stream's last bytes, judges alike.
    if (units == 0 || units > kMaxSignatureUnits || TrailerBytes(units) > size)
        return std::nullopt;
    return Trailer{size - TrailerBytes(units), units};
}

// The trailer at the end of `file`. The payload is not read. `knownSize` spares asking for the
// size.
std::optional<Trailer> LocateTrailer(CSigCodeTable& table, std::FILE* file,
                                     std::int64_t knownSize = -1) {
    if (file == nullptr)
        return std::nullopt;
    std::int64_t size = knownSize;
    if (size < 0) {
        if (!SeekFile(file, 0, SEEK_END))
            return std::nullopt;
        size = TellFile(file);
    }
    if (size < kMinSignedFileBytes)
        return std::nullopt;

    std::array<std::uint8_t, kTrailerFixedBytes> tail{};
    if (!SeekFile(file, size - static_cast<std::int64_t>(tail.size()), SEEK_SET) ||
        !ReadExactly(file, tail.data(), tail.size()))
        return std::nullopt;
    return ParseFixedPart(table, tail.data(), size);
}

// Hands each of the 2 n text bytes of `payload` (4 n bytes) to `put(index, byte)`; false when a
// code is missing from the table.
template <class Put>
bool DecodeBytes(const CSigCodeTable& table, const std::uint8_t* payload, std::size_t units,
                 Put put) {
    for (std::size_t i = 0; i < 2 * units; ++i) {
        const auto byte = DecodeAt(table, &payload[2 * i]);
        if (!byte)
            return false;
        put(i, *byte);
    }
    return true;
}

// Reads the payload of `trailer` from `file` and decodes it as DecodeBytes does.
template <class Put>
bool DecodePayload(const CSigCodeTable& table, std::FILE* file, const Trailer& trailer, Put put) {
    std::vector<std::uint8_t> payload(4 * trailer.units);
    if (!SeekFile(file, trailer.start, SEEK_SET) ||
        !ReadExactly(file, payload.data(), payload.size()))
        return false;
    return DecodeBytes(table, payload.data(), trailer.units, put);
}

// Puts UTF-16LE bytes into `text`: the even byte of each unit is its low byte.
auto IntoText(std::u16string& text) {
    return [&text](std::size_t i, std::uint8_t byte) {
        text[i / 2] = static_cast<char16_t>(text[i / 2] | (byte << (8 * (i % 2))));
    };
}

void PutTrailer(std::vector<std::uint8_t>& trailer, const CSigCodeTable& table,
                const std::uint8_t* bytes, std::size_t byteCount, std::uint32_t seed) {
    trailer.reserve(trailer.size() + 2 * byteCount + kTrailerFixedBytes);
    for (std::size_t i = 0; i < byteCount; ++i)
        PutCode(trailer, table, bytes[i]);
    const auto units = static_cast<std::uint16_t>(byteCount / 2);
    PutCode(trailer, table, static_cast<std::uint8_t>(units & 0xFF));
    PutCode(trailer, table, static_cast<std::uint8_t>(units >> 8));
    for (int shift = 0; shift < 32; shift += 8)
        trailer.push_back(static_cast<std::uint8_t>(seed >> shift));
    for (std::uint8_t letter : kMagic)
        PutCode(trailer, table, letter);
}

} // namespace

bool AppendSignature(CSigCodeTable& table, std::FILE* file, const void* data, std::size_t byteCount,
                     bool atEnd) {
    if (file == nullptr || data == nullptr)
        return false;
    if (byteCount % 2 != 0 || byteCount / 2 > kMaxSignatureUnits)
        return false;

    const std::uint32_t seed = SigNow();
    table.Build(seed);

    std::vector<std::uint8_t> trailer;
    PutTrailer(trailer, table, static_cast<const std::uint8_t*>(data), byteCount, seed);

    if (!atEnd && !SeekFile(file, 0, SEEK_END))
        return false;
    return FileWrite(file, trailer.data(), trailer.size()) == trailer.size();
}

std::optional<SignatureInfo> ReadSignatureInfo(std::FILE* file) {
    CSigCodeTable table;
    const std::optional<Trailer> trailer = LocateTrailer(table, file);
    if (!trailer)
        return std::nullopt;
    std::u16string text(trailer->units, u'\0');
    if (!DecodePayload(table, file, *trailer, IntoText(text)))
        return std::nullopt;
    return SignatureInfo{std::move(text), table.BuiltSeed()};
}

std::optional<std::int64_t> UnsignedLength(std::FILE* file) {
    CSigCodeTable table;
    return UnsignedLength(table, file, -1);
}

std::optional<std::int64_t> UnsignedLength(CSigCodeTable& table, std::FILE* file,
                                           std::int64_t size) {
    const std::optional<Trailer> trailer = LocateTrailer(table, file, size);
    if (!trailer || !DecodePayload(table, file, *trailer, [](std::size_t, std::uint8_t) {}))
        return std::nullopt;
    return trailer->start;
}

std::vector<std::uint8_t> MakeTrailer(CSigCodeTable& table, std::u16string_view text,
                                      std::uint32_t seed) {
    if (text.empty() || text.size() > kMaxSignatureUnits)
        return {};
    std::vector<std::uint8_t> bytes;
    bytes.reserve(2 * text.size());
    for (const char16_t unit : text) {
        bytes.push_back(static_cast<std::uint8_t>(unit & 0xFF));
        bytes.push_back(static_cast<std::uint8_t>(unit >> 8));
    }
    table.Build(seed);
    std::vector<std::uint8_t> trailer;
    PutTrailer(trailer, table, bytes.data(), bytes.size(), seed);
    return trailer;
}

TailTrailer ReadTrailerInTail(CSigCodeTable& table, const std::uint8_t* tail, std::size_t size,
                              std::int64_t fileSize) {
    TailTrailer result;
    const auto have = static_cast<std::int64_t>(size);
    if ((tail == nullptr && size > 0) || (fileSize >= 0 && have > fileSize) ||
        (fileSize >= 0 && fileSize < kMinSignedFileBytes))
        return result;
    // Too few bytes to know the trailer's length: the most a trailer can occupy settles it.
    if (size < kTrailerFixedBytes) {
        result.kind = TailTrailer::Kind::NeedMore;
        result.needed = fileSize >= 0 ? static_cast<std::size_t>(std::min<std::int64_t>(
                                            fileSize, static_cast<std::int64_t>(kMaxTrailerBytes)))
                                      : kMaxTrailerBytes;
        return result;
    }
    // A trailer is never shorter than the shortest signed file: when it fits in a file of
    // unknown size, that file is long enough.
    const std::int64_t checkedSize = fileSize >= 0 ? fileSize : INT64_MAX;
    const std::optional<Trailer> trailer =
        ParseFixedPart(table, tail + size - kTrailerFixedBytes, checkedSize);
    if (!trailer)
        return result;
    const std::int64_t needed = TrailerBytes(trailer->units);
    if (needed > have) {
        result.kind = TailTrailer::Kind::NeedMore;
        result.needed = static_cast<std::size_t>(needed);
        return result;
    }
    std::u16string text(trailer->units, u'\0');
    if (!DecodeBytes(table, tail + (have - needed), trailer->units, IntoText(text)))
        return result;
    result.kind = TailTrailer::Kind::Signed;
    result.seed = table.BuiltSeed();
    result.trailerStart = size - static_cast<std::size_t>(needed);
    result.text = std::move(text);
    return result;
}
