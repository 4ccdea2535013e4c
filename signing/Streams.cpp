#include "Streams.h"

#include "ByteIo.h"
#include "FileErrors.h"
#include "FileOps.h"
#include "SigClock.h"
#include "SigCodeTable.h"
#include "Signature.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace {

std::error_code ErrorOr(std::errc fallback) {
    return errno != 0 ? LastError() : std::make_error_code(fallback);
}

// Reads `source` to its end, writing everything but its last kMaxTrailerBytes to `sink` (when
// given); `tail` receives those, `result` the outcome of a failure. Blocks are read as cp and
// cat read them, straight into the ring of the tail, and passed on as soon as they are not
// among the last bytes: every process of a pipeline keeps working, and the ring stays in the
// processor's cache. `head`, when given, is shown the first bytes once, before the first of
// them goes out or at the end when none did (`whole`); false from it ends the pump there.
using HeadHook = std::function<bool(std::span<const std::uint8_t> head, bool whole)>;
bool Pump(CStreamSource& source, CStreamSink* sink, std::vector<std::uint8_t>& tail,
          StreamResult& result, const HeadHook& head = {}) {
    CStreamTail ring;
    bool headShown = !head;
    const auto showHead = [&](bool whole) {
        headShown = true;
        const auto start = ring.Start();
        return head(start.first(std::min(start.size(), KindHeadBytes)), whole);
    };
    const auto write = [&](const std::uint8_t* data, std::size_t count) {
        return sink == nullptr || sink->Write(data, count, result.error);
    };
    for (;;) {
        const std::span<std::uint8_t> room = ring.Room();
        const std::ptrdiff_t got = source.Read(room.data(), room.size(), result.error);
        if (got < 0) {
            result.outcome = StreamOutcome::ReadFailed;
            return false;
        }
        if (got == 0)
            break;
        ring.Added(static_cast<std::size_t>(got));
        result.bytesRead = ring.Total();
        if (!headShown && ring.Total() > kMaxTrailerBytes && !showHead(false))
            return false;
        if (!ring.Spill(write)) {
            result.outcome = StreamOutcome::WriteFailed;
            return false;
        }
    }
    if (!headShown && !showHead(true))
        return false;
    tail = ring.Tail();
    return true;
}

TailTrailer TrailerOf(const std::vector<std::uint8_t>& tail, std::uint64_t total) {
    return CheckTail(tail.data(), tail.size(), static_cast<std::int64_t>(total));
}

// A named file read as a stream: at its end it must still be what it was when opened, or the
// read fails, so that the bytes held back (and a trailer) never follow a torn copy.
class CCheckedFileSource : public CStreamSource {
public:
    CCheckedFileSource(std::FILE* file, const FileFacts& opened) : m_file(file), m_opened(opened) {}
    std::ptrdiff_t Read(void* buffer, std::size_t bytes, std::error_code& error) override {
        const std::ptrdiff_t got = m_file.Read(buffer, bytes, error);
        if (got != 0)
            return got;
        error = CheckUnchanged(m_file.File(), m_opened);
        return error ? -1 : 0;
    }

private:
    CFileStreamSource m_file;
    FileFacts m_opened;
};

// Opens `path` as signing opens sources and runs `work` over it.
template <class Work> StreamResult OverFile(const std::filesystem::path& path, Work work) {
    StreamResult result;
    FileFacts facts;
    const UniqueFile file = OpenForReading(path, &result.error, &facts);
    if (!file) {
        result.outcome = StreamOutcome::CannotOpen;
        return result;
    }
    CCheckedFileSource source(file.get(), facts);
    return work(source);
}

bool WriteAll(CStreamSink& sink, const std::uint8_t* data, std::size_t bytes,
              StreamResult& result) {
    if ((bytes == 0 || sink.Write(data, bytes, result.error)) && sink.Flush(result.error))
        return true;
    result.outcome = StreamOutcome::WriteFailed;
    return false;
}

} // namespace

std::ptrdiff_t CFileStreamSource::Read(void* buffer, std::size_t bytes, std::error_code& error) {
    ClearLastError();
    const std::size_t got = FileRead(m_file, buffer, bytes);
    if (got == 0 && std::ferror(m_file)) {
        error = ErrorOr(std::errc::io_error);
        return -1;
    }
    return static_cast<std::ptrdiff_t>(got);
}

bool CFileStreamSink::Write(const void* data, std::size_t bytes, std::error_code& error) {
    ClearLastError();
    if (FileWrite(m_file, data, bytes) == bytes)
        return true;
    error = ErrorOr(std::errc::io_error);
    return false;
}

bool CFileStreamSink::Flush(std::error_code& error) {
    ClearLastError();
    if (std::fflush(m_file) == 0)
        return true;
    error = ErrorOr(std::errc::io_error);
    return false;
}

StreamResult SignStream(CStreamSource& source, CStreamSink& sink, std::u16string_view text,
                        const StreamKinds* kinds) {
    StreamResult result;
    if (text.empty() || text.size() > kMaxSignatureUnits) {
        result.outcome = StreamOutcome::BadText;
        return result;
    }
    std::vector<std::uint8_t> tail;
    CStreamKindWatch watch(kinds);
    HeadHook hook;
    if (watch.Watching())
        hook = [&](std::span<const std::uint8_t> head, bool whole) {
            return watch.Head(head, whole);
        };
    const auto leftOut = [&] {
        result.outcome = StreamOutcome::LeftOut;
        result.kind = watch.Kind();
        return result;
    };
    if (!Pump(source, &sink, tail, result, hook))
        return watch.LeftOut() ? leftOut() : result;
    if (TrailerOf(tail, result.bytesRead).kind == TailTrailer::Kind::Signed) {
        result.outcome = StreamOutcome::AlreadySigned;
        return result;
    }
    if (!watch.AtEnd(tail, result.bytesRead))
        return leftOut();
    CSigCodeTable table;
    const std::vector<std::uint8_t> trailer = MakeTrailer(table, text, SigNow());
    tail.insert(tail.end(), trailer.begin(), trailer.end());
    WriteAll(sink, tail.data(), tail.size(), result);
    return result;
}

CStreamKindWatch::CStreamKindWatch(const StreamKinds* kinds) : m_watching(kinds != nullptr) {
    if (kinds != nullptr)
        m_kinds = *kinds;
}

bool CStreamKindWatch::Head(std::span<const std::uint8_t> head, bool whole) {
    m_head.assign(head.begin(), head.begin() + std::min(head.size(), KindHeadBytes));
    // A stream none of whose bytes went out is judged whole at its end, as a file is.
    return whole || Decide(KindOfHead(m_head.data(), m_head.size()));
}

bool CStreamKindWatch::AtEnd(std::span<const std::uint8_t> tail, std::uint64_t total) {
    const std::size_t kept = std::min(tail.size(), KindTailBytes);
    return Decide(KindOfBytes(m_head.data(), m_head.size(), tail.data() + tail.size() - kept, kept,
                              static_cast<std::int64_t>(total)));
}

bool CStreamKindWatch::Decide(FileKind kind) {
    if (!m_watching || !KindObjects(kind) || kind == m_kind)
        return true;
    m_kind = kind;
    if (m_kinds.leaveOut) {
        m_leftOut = true;
        return false;
    }
    if (m_kinds.warn)
        m_kinds.warn(kind);
    return true;
}

StreamResult StripStream(CStreamSource& source, CStreamSink& sink) {
    StreamResult result;
    std::vector<std::uint8_t> tail;
    if (!Pump(source, &sink, tail, result))
        return result;
    const TailTrailer trailer = TrailerOf(tail, result.bytesRead);
    if (trailer.kind != TailTrailer::Kind::Signed) {
        result.outcome = StreamOutcome::NotSigned;
        return result;
    }
    WriteAll(sink, tail.data(), trailer.trailerStart, result);
    return result;
}

StreamResult CheckStream(CStreamSource& source) {
    StreamResult result;
    std::vector<std::uint8_t> tail;
    if (!Pump(source, nullptr, tail, result))
        return result;
    TailTrailer trailer = TrailerOf(tail, result.bytesRead);
    if (trailer.kind != TailTrailer::Kind::Signed)
        result.outcome = StreamOutcome::NotSigned;
    result.text = std::move(trailer.text);
    result.seed = trailer.seed;
    return result;
}

StreamResult SignFileToStream(const std::filesystem::path& path, CStreamSink& sink,
                              std::u16string_view text, const StreamKinds* kinds) {
    StreamResult result;
    if (text.empty() || text.size() > kMaxSignatureUnits) {
        result.outcome = StreamOutcome::BadText;
        return result;
    }
    FileFacts facts;
    const UniqueFile file = OpenForReading(path, &result.error, &facts);
    if (!file) {
        result.outcome = StreamOutcome::CannotOpen;
        return result;
    }
    // A file is judged whole before its first byte goes out, in the order of a batch.
    if (UnsignedLength(file.get())) {
        result.outcome = StreamOutcome::AlreadySigned;
        return result;
    }
    if (kinds != nullptr) {
        const FileKind kind = KindOfFile(file.get(), facts.size);
        if (KindObjects(kind) && kinds->leaveOut) {
            result.outcome = StreamOutcome::LeftOut;
            result.kind = kind;
            return result;
        }
        if (KindObjects(kind) && kinds->warn)
            kinds->warn(kind);
    }
    if (!SeekFile(file.get(), 0, SEEK_SET)) {
        result.outcome = StreamOutcome::ReadFailed;
        result.error = LastError();
        return result;
    }
    CCheckedFileSource source(file.get(), facts);
    return SignStream(source, sink, text);
}

StreamResult StripFileToStream(const std::filesystem::path& path, CStreamSink& sink) {
    return OverFile(path, [&](CStreamSource& source) { return StripStream(source, sink); });
}

TailTrailer CheckTail(const void* tail, std::size_t size, std::int64_t fileSize) {
    CSigCodeTable table;
    return ReadTrailerInTail(table, static_cast<const std::uint8_t*>(tail), size, fileSize);
}

BytesTrailer TrailerOfBytes(const void* data, std::size_t size) {
    const std::size_t tailSize = std::min(size, kMaxTrailerBytes);
    const std::size_t before = size - tailSize;
    TailTrailer trailer = CheckTail(static_cast<const std::uint8_t*>(data) + before, tailSize,
                                    static_cast<std::int64_t>(size));
    BytesTrailer result;
    result.unsignedSize = size;
    if (trailer.kind != TailTrailer::Kind::Signed)
        return result;
    result.isSigned = true;
    result.text = std::move(trailer.text);
    result.seed = trailer.seed;
    result.unsignedSize = before + trailer.trailerStart;
    return result;
}

StreamOutcome SignBytesInto(const void* data, std::size_t size, std::u16string_view text,
                            std::uint32_t seconds, void* out, std::size_t outSize,
                            std::size_t& signedSize, CStreamKindWatch* watch) {
    signedSize = 0;
    if (text.empty() || text.size() > kMaxSignatureUnits)
        return StreamOutcome::BadText;
    if (TrailerOfBytes(data, size).isSigned)
        return StreamOutcome::AlreadySigned;
    if (watch != nullptr) {
        const std::span<const std::uint8_t> bytes(static_cast<const std::uint8_t*>(data), size);
        if (!watch->Head(bytes, true) || !watch->AtEnd(bytes, size))
            return StreamOutcome::LeftOut;
    }
    CSigCodeTable table;
    const std::vector<std::uint8_t> trailer = MakeTrailer(table, text, seconds);
    signedSize = size + trailer.size();
    if (out == nullptr)
        return StreamOutcome::Done;
    if (outSize < signedSize)
        return StreamOutcome::WriteFailed;
    if (size > 0)
        std::memcpy(out, data, size);
    std::memcpy(static_cast<std::uint8_t*>(out) + size, trailer.data(), trailer.size());
    return StreamOutcome::Done;
}

StreamOutcome SignBytes(const void* data, std::size_t size, std::u16string_view text,
                        std::uint32_t seconds, std::vector<std::uint8_t>& out) {
    std::size_t signedSize = 0;
    const StreamOutcome sized = SignBytesInto(data, size, text, seconds, nullptr, 0, signedSize);
    if (sized != StreamOutcome::Done)
        return sized;
    out.resize(signedSize);
    return SignBytesInto(data, size, text, seconds, out.data(), out.size(), signedSize);
}

bool CStreamSigner::Update(const void* data, std::size_t bytes) {
    if (m_watch.LeftOut())
        return false;
    if (m_watch.Watching() && !m_headShown) {
        const auto* p = static_cast<const std::uint8_t*>(data);
        m_head.insert(m_head.end(), p, p + std::min(bytes, KindHeadBytes - m_head.size()));
        // Where SignStream lets its first byte go out.
        if (m_tail.Total() + bytes > kMaxTrailerBytes) {
            m_headShown = true;
            if (!m_watch.Head(m_head, false))
                return false;
        }
    }
    m_tail.Add(data, bytes);
    return true;
}

StreamOutcome CStreamSigner::Finish(std::uint32_t seconds, std::vector<std::uint8_t>& trailer) {
    if (m_text.empty() || m_text.size() > kMaxSignatureUnits)
        return StreamOutcome::BadText;
    if (m_watch.LeftOut())
        return StreamOutcome::LeftOut;
    const std::vector<std::uint8_t> tail = m_tail.Tail();
    if (TrailerOf(tail, m_tail.Total()).kind == TailTrailer::Kind::Signed)
        return StreamOutcome::AlreadySigned;
    if (!m_headShown) {
        m_headShown = true;
        m_watch.Head(m_head, true);
    }
    if (!m_watch.AtEnd(tail, m_tail.Total()))
        return StreamOutcome::LeftOut;
    CSigCodeTable table;
    trailer = MakeTrailer(table, m_text, seconds);
    return StreamOutcome::Done;
}

CStreamTail::CStreamTail() : m_ring(kMaxTrailerBytes + kCopyBlockBytes) {}

std::span<std::uint8_t> CStreamTail::Room() {
    const std::size_t size = m_ring.size();
    const std::size_t at = static_cast<std::size_t>(m_total % size);
    const auto free = static_cast<std::size_t>(size - (m_total - m_spilled));
    return {m_ring.data() + at, std::min({kCopyBlockBytes, size - at, free})};
}

void CStreamTail::Add(const void* data, std::size_t bytes) {
    const auto* p = static_cast<const std::uint8_t*>(data);
    if (bytes > kMaxTrailerBytes) {
        // Only the last bytes can stay: the ones before them are dropped unread.
        const std::size_t skipped = bytes - kMaxTrailerBytes;
        m_total += skipped;
        m_spilled = m_total;
        p += skipped;
        bytes = kMaxTrailerBytes;
    }
    while (bytes > 0) {
        const std::span<std::uint8_t> room = Room();
        const std::size_t count = std::min(bytes, room.size());
        std::memcpy(room.data(), p, count);
        Added(count);
        Spill([](const std::uint8_t*, std::size_t) { return true; });
        p += count;
        bytes -= count;
    }
}

std::vector<std::uint8_t> CStreamTail::Tail() const {
    std::vector<std::uint8_t> tail;
    tail.reserve(static_cast<std::size_t>(m_total - m_spilled));
    for (std::uint64_t at = m_spilled; at < m_total;) {
        const std::size_t from = static_cast<std::size_t>(at % m_ring.size());
        const auto count =
            static_cast<std::size_t>(std::min<std::uint64_t>(m_total - at, m_ring.size() - from));
        tail.insert(tail.end(), m_ring.begin() + static_cast<std::ptrdiff_t>(from),
                    m_ring.begin() + static_cast<std::ptrdiff_t>(from + count));
        at += count;
    }
    return tail;
}
