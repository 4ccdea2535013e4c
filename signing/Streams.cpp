#include "Streams.h"

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
// cat read them, into a ring that holds the tail and one block, and passed on as soon as they
// are not among the last bytes: every process of a pipeline keeps working, and the ring stays
// in the processor's cache.
bool Pump(CStreamSource& source, CStreamSink* sink, std::vector<std::uint8_t>& tail,
          StreamResult& result) {
    std::vector<std::uint8_t> ring(kMaxTrailerBytes + kCopyBlockBytes);
    const std::uint64_t size = ring.size();
    // Bytes [written, read) of the stream are in the ring, at their offset modulo its size.
    std::uint64_t written = 0;
    std::uint64_t& read = result.bytesRead;
    // Hands bytes [from, to) of the stream to `put(data, count)`, in at most two pieces.
    const auto pieces = [&](std::uint64_t from, std::uint64_t to, auto put) {
        while (from < to) {
            const std::size_t at = static_cast<std::size_t>(from % size);
            const std::size_t count = static_cast<std::size_t>(std::min(to - from, size - at));
            if (!put(ring.data() + at, count))
                return false;
            from += count;
        }
        return true;
    };
    for (;;) {
        const std::size_t at = static_cast<std::size_t>(read % size);
        const auto room =
            static_cast<std::size_t>(std::min<std::uint64_t>(size - at, size - (read - written)));
        const std::ptrdiff_t got =
            source.Read(ring.data() + at, std::min(kCopyBlockBytes, room), result.error);
        if (got < 0) {
            result.outcome = StreamOutcome::ReadFailed;
            return false;
        }
        if (got == 0)
            break;
        read += static_cast<std::uint64_t>(got);
        if (read - written <= kMaxTrailerBytes)
            continue;
        const std::uint64_t until = read - kMaxTrailerBytes;
        if (sink != nullptr &&
            !pieces(written, until, [&](const std::uint8_t* data, std::size_t count) {
                return sink->Write(data, count, result.error);
            })) {
            result.outcome = StreamOutcome::WriteFailed;
            return false;
        }
        written = until;
    }
    tail.clear();
    pieces(written, read, [&](const std::uint8_t* data, std::size_t count) {
        tail.insert(tail.end(), data, data + count);
        return true;
    });
    return true;
}

TailTrailer TrailerOf(const std::vector<std::uint8_t>& tail, std::uint64_t total) {
    CSigCodeTable table;
    return ReadTrailerInTail(table, tail.data(), tail.size(), static_cast<std::int64_t>(total));
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
    const std::size_t got = std::fread(buffer, 1, bytes, m_file);
    if (got == 0 && std::ferror(m_file)) {
        error = ErrorOr(std::errc::io_error);
        return -1;
    }
    return static_cast<std::ptrdiff_t>(got);
}

bool CFileStreamSink::Write(const void* data, std::size_t bytes, std::error_code& error) {
    ClearLastError();
    if (std::fwrite(data, 1, bytes, m_file) == bytes)
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

std::ptrdiff_t CMemorySource::Read(void* buffer, std::size_t bytes, std::error_code&) {
    const std::size_t count = std::min(bytes, m_size - m_offset);
    if (count > 0)
        std::memcpy(buffer, m_data + m_offset, count);
    m_offset += count;
    return static_cast<std::ptrdiff_t>(count);
}

bool CMemorySink::Write(const void* data, std::size_t count, std::error_code&) {
    const auto* begin = static_cast<const std::uint8_t*>(data);
    bytes.insert(bytes.end(), begin, begin + count);
    return true;
}

StreamResult SignStream(CStreamSource& source, CStreamSink& sink, std::u16string_view text) {
    StreamResult result;
    if (text.empty() || text.size() > kMaxSignatureUnits) {
        result.outcome = StreamOutcome::BadText;
        return result;
    }
    std::vector<std::uint8_t> tail;
    if (!Pump(source, &sink, tail, result))
        return result;
    if (TrailerOf(tail, result.bytesRead).kind == TailTrailer::Kind::Signed) {
        result.outcome = StreamOutcome::AlreadySigned;
        return result;
    }
    CSigCodeTable table;
    const std::vector<std::uint8_t> trailer = MakeTrailer(table, text, SigNow());
    tail.insert(tail.end(), trailer.begin(), trailer.end());
    WriteAll(sink, tail.data(), tail.size(), result);
    return result;
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
    return result;
}

void CTailKeeper::Add(const void* data, std::size_t bytes) {
    const auto* p = static_cast<const std::uint8_t*>(data);
    m_total += bytes;
    if (bytes >= kMaxTrailerBytes) {
        m_ring.assign(p + bytes - kMaxTrailerBytes, p + bytes);
        m_next = 0;
        return;
    }
    while (bytes > 0 && m_ring.size() < kMaxTrailerBytes) {
        const std::size_t room = std::min(bytes, kMaxTrailerBytes - m_ring.size());
        m_ring.insert(m_ring.end(), p, p + room);
        p += room;
        bytes -= room;
    }
    while (bytes > 0) {
        const std::size_t run = std::min(bytes, kMaxTrailerBytes - m_next);
        std::memcpy(m_ring.data() + m_next, p, run);
        m_next = (m_next + run) % kMaxTrailerBytes;
        p += run;
        bytes -= run;
    }
}

std::vector<std::uint8_t> CTailKeeper::Tail() const {
    std::vector<std::uint8_t> tail(m_ring.begin() + static_cast<std::ptrdiff_t>(m_next),
                                   m_ring.end());
    tail.insert(tail.end(), m_ring.begin(), m_ring.begin() + static_cast<std::ptrdiff_t>(m_next));
    return tail;
}
