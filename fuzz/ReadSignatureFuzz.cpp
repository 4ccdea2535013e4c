// Feeds arbitrary file contents to the trailer readers of the engine. The first two input bytes
// choose how many of the file's last bytes the reader in memory is given first, the rest is the
// file. No reader may read outside the file, and all must judge alike: the reader of the text,
// the unsigned length (with the file's size asked or known), and the reader of a file's last
// bytes in memory, from any number of them.
#include "Signature.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
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
    const std::size_t firstBytes = data[0] | (data[1] << 8);
    MemoryFile input(data + 2, size - 2);
    if (input.file == nullptr)
        return 0;

    const std::optional<SignatureInfo> info = ReadSignatureInfo(input.file);
    Check(!info || (!info->text.empty() && info->text.size() <= kMaxSignatureUnits));

    // Strip and the already-signed test judge as the reader of the text does.
    const auto length = UnsignedLength(input.file);
    Check(length.has_value() == info.has_value());
    Check(!length ||
          *length + TrailerBytes(info->text.size()) == static_cast<std::int64_t>(size - 2));
    CSigCodeTable table;
    Check(UnsignedLength(table, input.file, static_cast<std::int64_t>(size - 2)) == length);

    // In memory: the whole file, its last kMaxTrailerBytes, and its last `firstBytes` bytes of
    // a file whose size is not known, asking for more when they do not settle it.
    const std::uint8_t* file = data + 2;
    const std::size_t fileBytes = size - 2;
    const auto fileSize = static_cast<std::int64_t>(fileBytes);
    const auto same = [&](const TailTrailer& tail) {
        return tail.kind == TailTrailer::Kind::Signed
                   ? info && tail.text == info->text && tail.seed == info->seed
                   : !info;
    };
    Check(same(ReadTrailerInTail(table, file, fileBytes, fileSize)));
    const std::size_t last = std::min(fileBytes, kMaxTrailerBytes);
    Check(same(ReadTrailerInTail(table, file + fileBytes - last, last, fileSize)));
    std::size_t some = std::min(fileBytes, firstBytes);
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
