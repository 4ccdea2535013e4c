#include "Signature.h"

#include "FileIo.h"
#include "SigClock.h"

#include <array>
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
    return std::fread(buffer, 1, bytes, file) == bytes;
}

// Where a trailer sits in its file.
struct Trailer {
    // The offset of its first byte: the length of the file's unsigned part.
    std::int64_t start = 0;
    std::size_t units = 0;
};

// The one reader of the trailer's fixed part: builds `table` from the stored seed and checks
// the magic and the length. The payload is not read. `knownSize` spares asking for the size.
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
    // A length that reaches before the file's first byte cannot be ours.
    if (units == 0 || TrailerBytes(units) > size)
        return std::nullopt;
    return Trailer{size - TrailerBytes(units), units};
}

// Reads the payload of `trailer` and hands each of its 2 n text bytes to `put(index, byte)`;
// false when it cannot be read or a code is missing from the table.
template <class Put>
bool DecodePayload(const CSigCodeTable& table, std::FILE* file, const Trailer& trailer, Put put) {
    std::vector<std::uint8_t> payload(4 * trailer.units);
    if (!SeekFile(file, trailer.start, SEEK_SET) ||
        !ReadExactly(file, payload.data(), payload.size()))
        return false;
    for (std::size_t i = 0; i < 2 * trailer.units; ++i) {
        const auto byte = DecodeAt(table, &payload[2 * i]);
        if (!byte)
            return false;
        put(i, *byte);
    }
    return true;
}

} // namespace

bool AppendSignature(CSigCodeTable& table, std::FILE* file, const void* data,
                     std::size_t byteCount) {
    if (file == nullptr || data == nullptr)
        return false;
    if (byteCount % 2 != 0 || byteCount / 2 > kMaxSignatureUnits)
        return false;

    const std::uint32_t seed = SigNow();
    table.Build(seed);

    std::vector<std::uint8_t> trailer;
    trailer.reserve(2 * byteCount + kTrailerFixedBytes);
    const auto* bytes = static_cast<const std::uint8_t*>(data);
    for (std::size_t i = 0; i < byteCount; ++i)
        PutCode(trailer, table, bytes[i]);
    const auto units = static_cast<std::uint16_t>(byteCount / 2);
    PutCode(trailer, table, static_cast<std::uint8_t>(units & 0xFF));
    PutCode(trailer, table, static_cast<std::uint8_t>(units >> 8));
    for (int shift = 0; shift < 32; shift += 8)
        trailer.push_back(static_cast<std::uint8_t>(seed >> shift));
    for (std::uint8_t letter : kMagic)
        PutCode(trailer, table, letter);

    if (!SeekFile(file, 0, SEEK_END))
        return false;
    return std::fwrite(trailer.data(), 1, trailer.size(), file) == trailer.size();
}

std::size_t ReadSignature(CSigCodeTable& table, std::FILE* file, void* buffer,
                          std::size_t bufferBytes) {
    const std::optional<Trailer> trailer = LocateTrailer(table, file);
    if (!trailer)
        return 0;
    const std::size_t textBytes = 2 * trailer->units;
    if (buffer == nullptr || bufferBytes < textBytes + 2)
        return textBytes;

    auto* text = static_cast<std::uint8_t*>(buffer);
    if (!DecodePayload(table, file, *trailer,
                       [text](std::size_t i, std::uint8_t byte) { text[i] = byte; })) {
        text[0] = text[1] = 0;
        return 0;
    }
    text[textBytes] = text[textBytes + 1] = 0;
    return textBytes;
}

std::optional<SignatureInfo> ReadSignatureInfo(std::FILE* file) {
    CSigCodeTable table;
    const std::optional<Trailer> trailer = LocateTrailer(table, file);
    if (!trailer)
        return std::nullopt;
    std::u16string text(trailer->units, u'\0');
    // UTF-16LE: the even byte of each unit is its low byte.
    if (!DecodePayload(table, file, *trailer, [&text](std::size_t i, std::uint8_t byte) {
            text[i / 2] = static_cast<char16_t>(text[i / 2] | (byte << (8 * (i % 2))));
        }))
        return std::nullopt;
    return SignatureInfo{std::move(text), table.BuiltSeed()};
}

std::optional<std::u16string> ReadSignatureText(std::FILE* file) {
    std::optional<SignatureInfo> info = ReadSignatureInfo(file);
    if (!info)
        return std::nullopt;
    return std::move(info->text);
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
