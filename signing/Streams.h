// Signing, checking and stripping a stream of unknown length (a pipe, standard input, a socket,
// memory): everything but the last bytes a trailer can occupy passes straight through, so
// memory stays flat however long the stream is.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>
#include <system_error>
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

// Bytes in memory, and a growing buffer.
class CMemorySource : public CStreamSource {
public:
    CMemorySource(const void* data, std::size_t size)
        : m_data(static_cast<const std::uint8_t*>(data)), m_size(size) {}
    std::ptrdiff_t Read(void* buffer, std::size_t bytes, std::error_code& error) override;

private:
    const std::uint8_t* m_data;
    std::size_t m_size;
    std::size_t m_offset = 0;
};
class CMemorySink : public CStreamSink {
public:
    bool Write(const void* data, std::size_t bytes, std::error_code& error) override;
    std::vector<std::uint8_t> bytes;
};

enum class StreamOutcome {
    Done,          // signed, stripped, or checked as signed
    NotSigned,     // check and strip: the stream holds no valid trailer
    AlreadySigned, // sign: the stream ends in a valid trailer; its last bytes were held back
    BadText,       // sign: empty or longer than kMaxSignatureUnits
    ReadFailed,
    WriteFailed,
};

struct StreamResult {
    StreamOutcome outcome = StreamOutcome::Done;
    std::error_code error;
    // Check: the text of the trailer.
    std::u16string text;
    // The bytes read from the source.
    std::uint64_t bytesRead = 0;
};

// Copies `source` to `sink` followed by a trailer carrying `text` with the table of the clock's
// second. A stream that already ends in a trailer is refused: everything but its last
// kMaxTrailerBytes has been written by then, the rest never is.
StreamResult SignStream(CStreamSource& source, CStreamSink& sink, std::u16string_view text);
// Writes `source` without its trailer; nothing of its last kMaxTrailerBytes when it has none.
StreamResult StripStream(CStreamSource& source, CStreamSink& sink);
// Reads `source` to its end and gives its trailer's text.
StreamResult CheckStream(CStreamSource& source);

// The last bytes of whatever was fed to it, for a trailer test at the end.
class CTailKeeper {
public:
    void Add(const void* data, std::size_t bytes);
    // The last min(total, kMaxTrailerBytes) bytes, in order.
    std::vector<std::uint8_t> Tail() const;
    std::uint64_t Total() const { return m_total; }

private:
    std::vector<std::uint8_t> m_ring;
    std::size_t m_next = 0;
    std::uint64_t m_total = 0;
};
