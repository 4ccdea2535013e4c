// Feeds arbitrary file contents to the trailer reader. The first two input bytes choose the
// caller's buffer size, the rest is the file. The reader must never read or write outside the
// file or the buffer, and what it reports must be consistent. The reader of a file's last bytes
// in memory must judge as the reader of the file does, from any number of last bytes.
#include "Signature.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

struct MemoryFile {
    explicit MemoryFile(const std::uint8_t* data, std::size_t size)
        : bytes(data, data + size),
          file(size == 0 ? nullptr : fmemopen(bytes.data(), bytes.size(), "rb")) {}
    ~MemoryFile() {
        if (file != nullptr)
            std::fclose(file);
    }
    std::vector<std::uint8_t> bytes;
    std::FILE* file;
};

void Check(bool condition) {
    if (!condition)
        std::abort();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 2)
        return 0;
    const std::size_t bufferBytes = data[0] | (data[1] << 8);
    MemoryFile input(data + 2, size - 2);
    if (input.file == nullptr)
        return 0;

    CSigCodeTable table;
    const std::size_t probed = ReadSignature(table, input.file, nullptr, 0);
    Check(probed % 2 == 0 && probed <= 2 * kMaxSignatureUnits);
    Check(probed == 0 || TrailerBytes(probed / 2) <= static_cast<std::int64_t>(size - 2));

    // Guard bytes on both sides catch a write outside the buffer.
    std::vector<std::uint8_t> guarded(bufferBytes + 32, 0xA5);
    std::uint8_t* buffer = guarded.data() + 16;
    const std::size_t read = ReadSignature(table, input.file, buffer, bufferBytes);
    Check(read == 0 || read == probed);
    for (std::size_t i = 0; i < 16; ++i)
        Check(guarded[i] == 0xA5 && guarded[16 + bufferBytes + i] == 0xA5);
    if (read != 0 && bufferBytes >= read + 2)
        Check(buffer[read] == 0 && buffer[read + 1] == 0);

    const auto text = ReadSignatureText(input.file);
    Check(!text || 2 * text->size() == probed);
    // A full buffer reads exactly what ReadSignatureText reads.
    if (bufferBytes >= probed + 2)
        Check((read != 0) == text.has_value());

    // Strip and the already-signed test judge as ReadSignatureText does.
    const auto length = UnsignedLength(input.file);
    Check(length.has_value() == text.has_value());
    Check(!length || *length + TrailerBytes(text->size()) == static_cast<std::int64_t>(size - 2));

    // In memory: the whole file, its last kMaxTrailerBytes, and its last `bufferBytes` bytes of
    // a file whose size is not known, asking for more when they do not settle it.
    const std::uint8_t* file = data + 2;
    const std::size_t fileBytes = size - 2;
    const auto fileSize = static_cast<std::int64_t>(fileBytes);
    const auto same = [&](const TailTrailer& tail) {
        return tail.kind == TailTrailer::Kind::Signed ? text && tail.text == *text : !text;
    };
    Check(same(ReadTrailerInTail(table, file, fileBytes, fileSize)));
    const std::size_t last = std::min(fileBytes, kMaxTrailerBytes);
    Check(same(ReadTrailerInTail(table, file + fileBytes - last, last, fileSize)));
    std::size_t some = std::min(fileBytes, bufferBytes);
    TailTrailer tail = ReadTrailerInTail(table, file + fileBytes - some, some, -1);
    // Fewer than 16 bytes first ask for the trailer's fixed part, then for the whole trailer.
    for (int round = 0; round < 2 && tail.kind == TailTrailer::Kind::NeedMore; ++round) {
        Check(tail.needed > some && tail.needed <= kMaxTrailerBytes);
        some = std::min(fileBytes, tail.needed);
        tail = ReadTrailerInTail(table, file + fileBytes - some, some,
                                 some < tail.needed ? fileSize : -1);
    }
    Check(tail.kind != TailTrailer::Kind::NeedMore && same(tail));
    return 0;
}
