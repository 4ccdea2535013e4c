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
    if (file == nullptr || !SeekFile(file, 0, SEEK_END))
        return 0;
    const std::int64_t size = TellFile(file);
    if (size < kMinSignedFileBytes)
        return 0;

    std::array<std::uint8_t, kTrailerFixedBytes> tail{};
    if (!SeekFile(file, size - static_cast<std::int64_t>(tail.size()), SEEK_SET) ||
        !ReadExactly(file, tail.data(), tail.size()))
        return 0;

    const std::uint32_t seed = std::uint32_t{tail[4]} | (std::uint32_t{tail[5]} << 8) |
                               (std::uint32_t{tail[6]} << 16) | (std::uint32_t{tail[7]} << 24);
    table.Build(seed);

    for (std::size_t i = 0; i < kMagic.size(); ++i) {
        const auto byte = DecodeAt(table, &tail[8 + 2 * i]);
        if (!byte || *byte != kMagic[i])
            return 0;
    }
    const auto low = DecodeAt(table, &tail[0]);
    const auto high = DecodeAt(table, &tail[2]);
    if (!low || !high)
        return 0;
    const std::size_t units = std::size_t{*low} | (std::size_t{*high} << 8);
    // A length that reaches before the file's first byte cannot be ours.
    if (units == 0 || TrailerBytes(units) > size)
        return 0;

    const std::size_t textBytes = 2 * units;
    if (buffer == nullptr || bufferBytes < textBytes + 2)
        return textBytes;

    std::vector<std::uint8_t> payload(4 * units);
    if (!SeekFile(file, size - TrailerBytes(units), SEEK_SET) ||
        !ReadExactly(file, payload.data(), payload.size()))
        return 0;
    std::vector<std::uint8_t> text(textBytes + 2, 0);
    for (std::size_t i = 0; i < textBytes; ++i) {
        const auto byte = DecodeAt(table, &payload[2 * i]);
        if (!byte)
            return 0;
        text[i] = *byte;
    }
    std::copy(text.begin(), text.end(), static_cast<std::uint8_t*>(buffer));
    return textBytes;
}

std::optional<std::u16string> ReadSignatureText(std::FILE* file) {
    CSigCodeTable table;
    const std::size_t bytes = ReadSignature(table, file, nullptr, 0);
    if (bytes == 0)
        return std::nullopt;
    std::vector<std::uint8_t> buffer(bytes + 2);
    if (ReadSignature(table, file, buffer.data(), buffer.size()) != bytes)
        return std::nullopt;
    std::u16string text(bytes / 2, u'\0');
    for (std::size_t k = 0; k < text.size(); ++k)
        text[k] = static_cast<char16_t>(buffer[2 * k] | (buffer[2 * k + 1] << 8));
    return text;
}
