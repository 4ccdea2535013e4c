// Streams over file descriptors, for callers that hold descriptors rather than C streams
// (libquorvane).
#include "Streams.h"

#include "FileErrors.h"

#include <cerrno>

#include <unistd.h>

std::ptrdiff_t CDescriptorSource::Read(void* buffer, std::size_t bytes, std::error_code& error) {
    auto* p = static_cast<char*>(buffer);
    std::size_t got = 0;
    while (got < bytes) {
        const ssize_t n = ::read(m_fd, p + got, bytes - got);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            error = LastError();
            return -1;
        }
        if (n == 0)
            break;
        got += static_cast<std::size_t>(n);
    }
    return static_cast<std::ptrdiff_t>(got);
}

bool CDescriptorSink::Write(const void* data, std::size_t bytes, std::error_code& error) {
    const auto* p = static_cast<const char*>(data);
    while (bytes > 0) {
        const ssize_t n = ::write(m_fd, p, bytes);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            error = n < 0 ? LastError() : std::make_error_code(std::errc::io_error);
            return false;
        }
        p += n;
        bytes -= static_cast<std::size_t>(n);
    }
    return true;
}
