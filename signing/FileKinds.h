// The kinds of files whose own tools object to bytes after their end, told from a few of their
// bytes. A signed copy is the file followed by a trailer; most formats' readers ignore it, these
// do not (each kind's consequence says what its tools were seen to do with a signed copy). The
// recogniser reads at most the first KindHeadBytes and the last KindTailBytes of a file.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <span>
#include <string_view>

enum class FileKind {
    Other,          // nothing known objects to a trailer
    Xz,             // .xz
    Lzma,           // .lzma (the format before xz)
    Zstd,           // .zst
    Gzip,           // .gz
    Bzip2,          // .bz2
    Lz4,            // .lz4
    Lzop,           // .lzo
    SevenZip,       // .7z
    SignedProgram,  // a Windows program or library carrying an Authenticode signature
    SignedCabinet,  // a Windows cabinet (.cab) carrying an Authenticode signature
    Mp3,            // MPEG audio (MP3, MP2)
    Mp3WithEndTags, // MPEG audio with an ID3v1 tag, an APE tag or Lyrics3 at its end
    Ac3,            // AC-3 and E-AC-3 audio
    WavPack,        // .wv
    ApeTagged,      // other audio with an APE tag at its end (TTA, Monkey's Audio, Musepack)
    Vhd,            // a Virtual PC / Hyper-V disk image (.vhd), whose footer is its last bytes
};

struct KindInfo {
    FileKind kind;
    std::string_view id;          // for options and scripts: "xz", "signed-program"
    std::string_view name;        // in a sentence: "xz", "program with an Authenticode signature"
    std::string_view consequence; // "xz will report the signed copy as damaged"
};

// What a door adds after a consequence, for the command-line tool.
inline constexpr std::string_view kKindRemedyCli = "`quorvane-cli strip` gives the original back";

// The recogniser reads no more than these from the start and from the end of a file.
inline constexpr std::size_t KindHeadBytes = 4096;
inline constexpr std::size_t KindTailBytes = 512;

// The kind of a file of `size` bytes from its first bytes (`head`, up to KindHeadBytes) and its
// last bytes (`tail`, up to KindTailBytes, ending at the file's end). Shorter spans are fine:
// what lies outside them counts as unknown.
FileKind KindOfBytes(const std::uint8_t* head, std::size_t headSize, const std::uint8_t* tail,
                     std::size_t tailSize, std::int64_t size);
// The kind of a stream from its first KindHeadBytes, more bytes following: what its end holds
// (tags, a footer) is not known yet.
FileKind KindOfHead(const std::uint8_t* head, std::size_t headSize);
// The kind of an open file of `size` bytes, read with two bounded reads (one when the file is
// at most KindHeadBytes + KindTailBytes). The stream is left at no defined position. A read that
// fails gives Other: the copy will report it. On a stream made unbuffered right after it was
// opened (setvbuf _IONBF) the reads cost about half as much: stdio reads no more to align its
// buffer.
FileKind KindOfFile(std::FILE* file, std::int64_t size);
// The kind of the regular file `path`; Other when it cannot be opened (nor a regular file).
FileKind KindOfFile(const std::filesystem::path& path);

// True for every kind but Other: its tools object to a signed copy.
constexpr bool KindObjects(FileKind kind) {
    return kind != FileKind::Other;
}
// The row of the table for `kind`.
const KindInfo& InfoOf(FileKind kind);
// Every row, in the order of FileKind (Other first).
std::span<const KindInfo> AllKinds();
