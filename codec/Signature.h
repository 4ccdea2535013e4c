// The signature trailer appended to signed files, read back from the file's end:
//
//   payload  4 n bytes  codes of the text's UTF-16LE bytes, two per code unit
//   length   4 bytes    codes of n's low and high byte
//   seed     4 bytes    the code table's seed, little-endian, not encoded
//   magic    8 bytes    codes of 'K', 'O', 'L', 'O'
//
// Each code is the table entry of the byte, stored little-endian.
#pragma once

#include "SigCodeTable.h"

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// The length is stored in 16 bits, of which the writer keeps 15.
inline constexpr std::size_t kMaxSignatureUnits = 32767;
// Magic, seed and length.
inline constexpr std::size_t kTrailerFixedBytes = 16;
// Shorter files are never taken as signed.
inline constexpr std::int64_t kMinSignedFileBytes = 20;

// Appends a trailer carrying `byteCount` bytes of UTF-16LE text at the end of `file`, with a
// table seeded from the clock. Returns false, writing nothing, when `file` or `data` is null,
// `byteCount` is odd or the text is longer than kMaxSignatureUnits; also false when the
// trailer could not be written in full. `atEnd`: the stream stands at the file's end already (a
// copy just written), which spares asking the system for the file's size.
bool AppendSignature(CSigCodeTable& table, std::FILE* file, const void* data, std::size_t byteCount,
                     bool atEnd = false);

// The text of the file's trailer and its seed (the signing time, in seconds since 1970 UTC,
// as the signer's clock had it: it proves nothing), or nothing when it holds no valid one.
struct SignatureInfo {
    std::u16string text;
    std::uint32_t seed = 0;
};
std::optional<SignatureInfo> ReadSignatureInfo(std::FILE* file);
// The number of bytes before the file's trailer, or nothing when it holds no valid one.
// A trailer is valid only when it decodes in full, payload included, exactly as
// ReadSignatureInfo reads it. The stream is left at no defined position.
std::optional<std::int64_t> UnsignedLength(std::FILE* file);
// The same with the caller's `table`, kept for the next file of the same seed, and the file's
// `size` when known (-1: asked). A file whose magic cannot match builds no table.
std::optional<std::int64_t> UnsignedLength(CSigCodeTable& table, std::FILE* file,
                                           std::int64_t size);

// The size of a trailer holding `units` code units.
constexpr std::int64_t TrailerBytes(std::size_t units) {
    return static_cast<std::int64_t>(4 * units + kTrailerFixedBytes);
}

// The longest trailer: the most bytes at a stream's end that can hold one.
inline constexpr std::size_t kMaxTrailerBytes = 4 * kMaxSignatureUnits + kTrailerFixedBytes;

// The trailer carrying `text` (UTF-16, 1 to kMaxSignatureUnits code units) with the table of
// `seed`, in memory; empty for a text that cannot be stored.
std::vector<std::uint8_t> MakeTrailer(CSigCodeTable& table, std::u16string_view text,
                                      std::uint32_t seed);

// What the last bytes of a file say about its trailer.
struct TailTrailer {
    enum class Kind { NotSigned, Signed, NeedMore };
    Kind kind = Kind::NotSigned;
    // Signed: the text, the seed (the signing time), and where the trailer starts in the tail.
    std::u16string text;
    std::uint32_t seed = 0;
    std::size_t trailerStart = 0;
    // NeedMore: how many of the file's last bytes settle it: given them, the answer is Signed
    // or NotSigned.
    std::size_t needed = 0;
};

// Reads the trailer from `tail`, the last `size` bytes of a file of `fileSize` bytes (-1 when
// not known: at least `size`). The same rules as the readers of files: a trailer is valid only
// when it decodes in full, and files shorter than kMinSignedFileBytes hold none. The file's
// last kMaxTrailerBytes bytes (or all of a shorter file) always settle it.
TailTrailer ReadTrailerInTail(CSigCodeTable& table, const std::uint8_t* tail, std::size_t size,
                              std::int64_t fileSize);
