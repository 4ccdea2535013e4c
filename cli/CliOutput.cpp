// The standard streams' writes, the same on every platform but for a Windows console.
#include "CliPlatform.h"

#include "FileErrors.h"

#include <cerrno>

void CStdOutput::Write(std::string_view utf8) {
    if (m_error || EndRequested() || WriteToConsole(utf8))
        return;
    errno = 0;
    if (std::fwrite(utf8.data(), 1, utf8.size(), m_stream) != utf8.size() ||
        std::fflush(m_stream) != 0)
        m_error = errno != 0 ? LastError() : std::make_error_code(std::errc::io_error);
}
