// Signing, checking and stripping a stream of unknown length (a pipe, standard input, a socket,
// memory): everything but the last bytes a trailer can occupy passes straight through, so
// memory stays flat however long the stream is.
#pragma once

#include "FileKinds.h"
#include "Signature.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <span>
#include <string>
#include <string_view>
#include <system_error>
#include <utility>
#include <vector>

class CStreamSource {
public:
    virtual ~CStreamSource() = default;
    // Up to `bytes` bytes; 0 at the end; -1 on an error, with the reason in `error`.
    virtual std::ptrdiff_t Read(void* buffer, std::size_t bytes, std::error_code& error) = 0;
};

class CStreamSink {
public:
    virtual ~CStreamSink() = default;
    // False, with the reason in `error`, when not every byte was written.
    virtual bool Write(const void* data, std::size_t bytes, std::error_code& error) = 0;
    virtual bool Flush(std::error_code& /*error*/) { return true; }
};

// A C stream, read or written in large blocks.
class CFileStreamSource : public CStreamSource {
public:
    explicit CFileStreamSource(std::FILE* file) : m_file(file) {}
    std::ptrdiff_t Read(void* buffer, std::size_t bytes, std::error_code& error) override;
    std::FILE* File() const { return m_file; }

private:
    std::FILE* m_file;
};
class CFileStreamSink : public CStreamSink {
public:
    explicit CFileStreamSink(std::FILE* file) : m_file(file) {}
    bool Write(const void* data, std::size_t bytes, std::error_code& error) override;
    bool Flush(std::error_code& error) override;

private:
    std::FILE* m_file;
};

// A file descriptor (POSIX only), read and written through interruptions; it stays open.
class CDescriptorSource : public CStreamSource {
public:
    explicit CDescriptorSource(int fd) : m_fd(fd) {}
    std::ptrdiff_t Read(void* buffer, std::size_t bytes, std::error_code& error) override;

private:
    int m_fd;
};
class CDescriptorSink : public CStreamSink {
public:
    explicit CDescriptorSink(int fd) : m_fd(fd) {}
    bool Write(const void* data, std::size_t bytes, std::error_code& error) override;

private:
    int m_fd;
};

enum class StreamOutcome {
    Done,          // signed, stripped, or checked as signed
    NotSigned,     // check and strip: the stream holds no valid trailer
    AlreadySigned, // sign: the stream ends in a valid trailer; its last bytes were held back
    BadText,       // sign: empty or longer than kMaxSignatureUnits
    CannotOpen,    // a named source could not be opened, or is not a regular file
    ReadFailed,    // also a named source that changed while it was read
    LeftOut,       // sign: of a kind whose tools object to a signed copy, and the caller leaves
                   // such streams out (StreamKinds::leaveOut)

    WriteFailed,
};

struct StreamResult {
    StreamOutcome outcome = StreamOutcome::Done;
    std::error_code error;
    // Check: the text of the trailer and its signing time.
    std::u16string text;
    std::uint32_t seed = 0;
    // The bytes read from the source.
    std::uint64_t bytesRead = 0;
    // Sign: the kind that left the stream out.
    FileKind kind = FileKind::Other;
};

// What signing a stream does about the kinds whose tools object to a signed copy, as a batch
// does about files. A kind known from the first KindHeadBytes (or from a stream shorter than
// the bytes held back) is decided before the first byte goes out; one known only from the last
// bytes (tags, a fixed VHD's footer) before the held-back tail and the trailer go out.
struct StreamKinds {
    bool leaveOut = false;
    // Told of each kind found when the stream is signed anyway; at most once for the head and
    // once more for another kind found at the end.
    std::function<void(FileKind)> warn;
};

// The one rule of every door that signs a stream or bytes about their kinds, as `kinds` asks
// (nothing when null): decided from the first bytes, then from the last ones.
class CStreamKindWatch {
public:
    explicit CStreamKindWatch(const StreamKinds* kinds);
    bool Watching() const { return m_watching; }
    // The first bytes (up to KindHeadBytes are kept), once: before the first byte goes out, or
    // with `whole` when none did, to be judged at the end with the stream's size. False when
    // the stream is left out.
    bool Head(std::span<const std::uint8_t> head, bool whole);
    // The last bytes (up to KindTailBytes are looked at) of `total`; false when left out.
    bool AtEnd(std::span<const std::uint8_t> tail, std::uint64_t total);
    bool LeftOut() const { return m_leftOut; }
    // The kind that left the stream out, else the last one told, else Other.
    FileKind Kind() const { return m_kind; }

private:
    bool Decide(FileKind kind);

    StreamKinds m_kinds;
    bool m_watching = false;
    bool m_leftOut = false;
    std::vector<std::uint8_t> m_head;
    FileKind m_kind = FileKind::Other;
};

// Copies `source` to `sink` followed by a trailer carrying `text` with the table of the clock's
// second. A stream that already ends in a trailer is refused: everything but its last
// kMaxTrailerBytes has been written by then, the rest never is.
StreamResult SignStream(CStreamSource& source, CStreamSink& sink, std::u16string_view text,
                        const StreamKinds* kinds = nullptr);
// Writes `source` without its trailer; nothing of its last kMaxTrailerBytes when it has none.
StreamResult StripStream(CStreamSource& source, CStreamSink& sink);
// Reads `source` to its end and gives its trailer's text.
StreamResult CheckStream(CStreamSource& source);

// A named file as a stream, with the rules of files: only a regular file is opened, and one that
// changed while it was read (size, modification or change time) fails with
// FileError::SourceChanged before its last kMaxTrailerBytes go out, so that no torn copy ends
// in a trailer. A file is judged as a batch judges it, before anything is written: already
// signed, then its kind.
StreamResult SignFileToStream(const std::filesystem::path& path, CStreamSink& sink,
                              std::u16string_view text, const StreamKinds* kinds = nullptr);
StreamResult StripFileToStream(const std::filesystem::path& path, CStreamSink& sink);

// Bytes in memory: what their end holds.
struct BytesTrailer {
    bool isSigned = false;
    std::u16string text;
    std::uint32_t seed = 0;
    // The bytes before the trailer (all of them when unsigned).
    std::size_t unsignedSize = 0;
};
BytesTrailer TrailerOfBytes(const void* data, std::size_t size);
// `data` followed by a trailer carrying `text` with the table of `seconds`; AlreadySigned or
// BadText (empty or too long) refuse it. The signed bytes go to `out`.
StreamOutcome SignBytes(const void* data, std::size_t size, std::u16string_view text,
                        std::uint32_t seconds, std::vector<std::uint8_t>& out);
// The same into the caller's memory: `signedSize` receives the size of the signed bytes, which
// are written to `out` only when it holds them (WriteFailed when it is too small); a null `out`
// asks for the size alone. With `watch`, the bytes are judged whole as a file is, after already
// signed and before anything is written (LeftOut).
StreamOutcome SignBytesInto(const void* data, std::size_t size, std::u16string_view text,
                            std::uint32_t seconds, void* out, std::size_t outSize,
                            std::size_t& signedSize, CStreamKindWatch* watch = nullptr);

// A file's last `size` bytes (of `fileSize`, -1 when not known): its trailer, or how many of
// its last bytes settle it (see ReadTrailerInTail).
TailTrailer CheckTail(const void* tail, std::size_t size, std::int64_t fileSize);

// The last kMaxTrailerBytes bytes of a stream, for a trailer test at its end, in a ring with
// room for one block more: a block is read straight into it, and the bytes that are no longer
// among the last are handed on (to the stream's sink) or dropped.
class CStreamTail {
public:
    CStreamTail();
    // Where the next bytes go: at most one block, never empty after Spill or Add.
    std::span<std::uint8_t> Room();
    // `count` bytes were put at the start of Room().
    void Added(std::size_t count) { m_total += count; }
    // Hands the bytes that are no longer among the last to `put(data, count)`, in at most two
    // pieces; false as soon as `put` returns false.
    template <class Put> bool Spill(Put put) {
        if (m_total - m_spilled <= kMaxTrailerBytes)
            return true;
        const std::uint64_t until = m_total - kMaxTrailerBytes;
        while (m_spilled < until) {
            const std::size_t at = static_cast<std::size_t>(m_spilled % m_ring.size());
            const auto count = static_cast<std::size_t>(
                std::min<std::uint64_t>(until - m_spilled, m_ring.size() - at));
            if (!put(m_ring.data() + at, count))
                return false;
            m_spilled += count;
        }
        return true;
    }
    // The first bytes, until the first are handed on or dropped.
    std::span<const std::uint8_t> Start() const {
        return {m_ring.data(), static_cast<std::size_t>(m_spilled == 0 ? m_total : 0)};
    }
    // Copies bytes in, dropping what is no longer among the last.
    void Add(const void* data, std::size_t bytes);
    // The last min(Total(), kMaxTrailerBytes) bytes, in order.
    std::vector<std::uint8_t> Tail() const;
    std::uint64_t Total() const { return m_total; }

private:
    std::vector<std::uint8_t> m_ring;
    std::uint64_t m_total = 0;   // bytes added
    std::uint64_t m_spilled = 0; // bytes handed on or dropped: [m_spilled, m_total) are held
};

// An incremental signer: it is fed the bytes as they go out and then gives the trailer to
// append. It keeps only the last kMaxTrailerBytes bytes fed (and the first KindHeadBytes when
// it judges kinds). Kinds are judged as SignStream judges them: from the first bytes once more
// than kMaxTrailerBytes were fed (Update gives false when that leaves the bytes out), the rest
// at Finish.
class CStreamSigner {
public:
    explicit CStreamSigner(std::u16string text, const StreamKinds* kinds = nullptr)
        : m_text(std::move(text)), m_watch(kinds) {}
    bool Update(const void* data, std::size_t bytes);
    // The trailer, with the table of `seconds`; AlreadySigned when the bytes fed end in one,
    // LeftOut for their kind.
    StreamOutcome Finish(std::uint32_t seconds, std::vector<std::uint8_t>& trailer);
    const CStreamKindWatch& Kinds() const { return m_watch; }

private:
    std::u16string m_text;
    CStreamTail m_tail;
    CStreamKindWatch m_watch;
    std::vector<std::uint8_t> m_head;
    bool m_headShown = false;
};
