#include "TrailerReaders.h"

#include "FileIo.h"
#include "Signature.h"

#include <array>
#include <cstdint>
#include <vector>

namespace {

bool ReadLast(std::FILE* file, std::int64_t size, std::uint8_t* buffer, std::size_t bytes) {
    return SeekFile(file, size - static_cast<std::int64_t>(bytes), SEEK_SET) &&
           FileRead(file, buffer, bytes) == bytes;
}

} // namespace

std::size_t ReadSignature(CSigCodeTable& table, std::FILE* file, void* buffer,
                          std::size_t bufferBytes) {
    if (file == nullptr || !SeekFile(file, 0, SEEK_END))
        return 0;
    const std::int64_t size = TellFile(file);
    std::array<std::uint8_t, kTrailerFixedBytes> fixed{};
    if (size < kMinSignedFileBytes || !ReadLast(file, size, fixed.data(), fixed.size()))
        return 0;
    // A valid fixed part alone asks for the whole trailer, which tells the text's length.
    const TailTrailer head = ReadTrailerInTail(table, fixed.data(), fixed.size(), size);
    if (head.kind != TailTrailer::Kind::NeedMore)
        return 0;
    const std::size_t textBytes = (head.needed - kTrailerFixedBytes) / 2;
    if (buffer == nullptr || bufferBytes < textBytes + 2)
        return textBytes;

    auto* text = static_cast<std::uint8_t*>(buffer);
    std::vector<std::uint8_t> trailer(head.needed);
    const TailTrailer whole = ReadLast(file, size, trailer.data(), trailer.size())
                                  ? ReadTrailerInTail(table, trailer.data(), trailer.size(), size)
                                  : TailTrailer{};
    if (whole.kind != TailTrailer::Kind::Signed) {
        text[0] = text[1] = 0;
        return 0;
    }
    for (std::size_t i = 0; i < whole.text.size(); ++i) {
        text[2 * i] = static_cast<std::uint8_t>(whole.text[i] & 0xFF);
        text[2 * i + 1] = static_cast<std::uint8_t>(whole.text[i] >> 8);
    }
    text[textBytes] = text[textBytes + 1] = 0;
    return textBytes;
}

std::optional<std::u16string> ReadSignatureText(std::FILE* file) {
    std::optional<SignatureInfo> info = ReadSignatureInfo(file);
    if (!info)
        return std::nullopt;
    return std::move(info->text);
}

bool IsSigned(std::FILE* file) {
    return UnsignedLength(file).has_value();
}
