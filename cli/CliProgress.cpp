#include "CliProgress.h"

#include "CliPlatform.h"
#include "Progress.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <new>

namespace {

// At most ten redraws a second on a terminal; a log gets a line a second at most.
constexpr std::uint64_t kTerminalMilliseconds = 100;
constexpr std::uint64_t kLinesMilliseconds = 1000;

std::uint64_t SteadyMilliseconds() {
    return static_cast<std::uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                          std::chrono::steady_clock::now().time_since_epoch())
                                          .count());
}

// 1,234,567
std::string Count(std::uint64_t value) {
    const std::string digits = std::to_string(value);
    std::string grouped;
    for (std::size_t i = 0; i < digits.size(); ++i) {
        if (i > 0 && (digits.size() - i) % 3 == 0)
            grouped += ',';
        grouped += digits[i];
    }
    return grouped;
}

// 512 B, 2.0 KiB, 1.4 GiB
std::string Bytes(double bytes) {
    static const char* const units[] = {"B", "KiB", "MiB", "GiB", "TiB", "PiB"};
    std::size_t unit = 0;
    while (bytes >= 1024 && unit + 1 < std::size(units)) {
        bytes /= 1024;
        ++unit;
    }
    const auto tenths = static_cast<std::uint64_t>(std::llround(bytes * 10));
    if (unit == 0)
        return std::to_string((tenths + 5) / 10) + " " + units[unit];
    return std::to_string(tenths / 10) + "." + std::to_string(tenths % 10) + " " + units[unit];
}

// 42 s, 3 min 5 s, 2 h 7 min
std::string Duration(double seconds) {
    const auto whole = static_cast<std::uint64_t>(std::llround(std::max(seconds, 1.0)));
    if (whole < 60)
        return std::to_string(whole) + " s";
    if (whole < 3600)
        return std::to_string(whole / 60) + " min " + std::to_string(whole % 60) + " s";
    return std::to_string(whole / 3600) + " h " + std::to_string(whole % 3600 / 60) + " min";
}

} // namespace

CProgressLine::CProgressLine(ICliOutput& err, Mode mode, std::string_view verb, Clock clock)
    : m_err(err), m_mode(mode), m_verb(verb),
      m_clock(clock ? std::move(clock) : Clock(SteadyMilliseconds)) {
    m_start = m_clock();
}

void CProgressLine::Known(std::uint64_t files, std::uint64_t bytes) noexcept {
    const std::lock_guard<std::mutex> lock(m_lock);
    m_filesKnown += files;
    m_bytesKnown += bytes;
    try {
        DrawLocked();
    } catch (const std::bad_alloc&) {
    }
}

void CProgressLine::FileDone(std::uint64_t bytes) {
    const std::lock_guard<std::mutex> lock(m_lock);
    ++m_filesDone;
    m_bytesDone += bytes;
    DrawLocked();
}

void CProgressLine::Copied(std::uint64_t bytes) {
    const std::lock_guard<std::mutex> lock(m_lock);
    m_bytesCopied = std::max(m_bytesCopied, bytes);
    DrawLocked();
}

void CProgressLine::Line(std::string_view text) {
    const std::lock_guard<std::mutex> lock(m_lock);
    EraseLocked();
    m_err.Write(std::string(text) + std::string(kCliNewline));
}

void CProgressLine::Clear() {
    const std::lock_guard<std::mutex> lock(m_lock);
    EraseLocked();
}

void CProgressLine::Finish() {
    const std::lock_guard<std::mutex> lock(m_lock);
    EraseLocked();
}

std::string CProgressLine::Text() {
    const std::lock_guard<std::mutex> lock(m_lock);
    return TextLocked();
}

std::string CProgressLine::TextLocked() const {
    ProgressFacts facts;
    facts.filesDone = m_filesDone;
    facts.filesKnown = m_filesKnown;
    facts.bytesDone = std::max(m_bytesDone, m_bytesCopied);
    facts.bytesKnown = m_bytesKnown;
    facts.seconds = static_cast<double>(m_clock() - m_start) / 1000.0;
    const ProgressEstimate estimate = Estimate(facts);
    std::string text = m_verb + " " + Count(m_filesDone) + " of " + Count(m_filesKnown) + " files";
    if (m_bytesKnown > 0)
        text += ", " + Bytes(static_cast<double>(std::min(facts.bytesDone, m_bytesKnown))) +
                " of " + Bytes(static_cast<double>(m_bytesKnown));
    if (estimate.bytesPerSecond && m_bytesKnown > 0)
        text += ", " + Bytes(*estimate.bytesPerSecond) + "/s";
    if (estimate.secondsLeft)
        text += ", " + Duration(*estimate.secondsLeft) + " left";
    return text;
}

void CProgressLine::DrawLocked() {
    if (m_mode == Mode::Off)
        return;
    const std::uint64_t now = m_clock();
    const std::uint64_t interval =
        m_mode == Mode::Terminal ? kTerminalMilliseconds : kLinesMilliseconds;
    if (m_drawn && now - m_lastDraw < interval)
        return;
    m_drawn = true;
    m_lastDraw = now;
    const std::string text = TextLocked();
    if (m_mode == Mode::Lines) {
        m_err.Write(text + std::string(kCliNewline));
        return;
    }
    // Plain carriage returns and blanks: every console understands them.
    std::string line = "\r" + text;
    if (text.size() < m_width)
        line += std::string(m_width - text.size(), ' ');
    m_width = std::max(m_width, text.size());
    m_err.Write(line);
}

void CProgressLine::EraseLocked() {
    if (m_mode == Mode::Terminal && m_width > 0) {
        std::string blank(m_width + 2, ' ');
        blank.front() = blank.back() = '\r';
        m_err.Write(blank);
    }
    m_width = 0;
}

CProgressLine::Mode ProgressMode(bool asked, bool refused, bool errIsTerminal) {
    if (refused)
        return CProgressLine::Mode::Off;
    if (errIsTerminal)
        return CProgressLine::Mode::Terminal;
    return asked ? CProgressLine::Mode::Lines : CProgressLine::Mode::Off;
}

std::uint64_t SizeOfFile(const std::filesystem::path& path) {
    std::error_code error;
    const std::uintmax_t size = std::filesystem::file_size(path, error);
    return error ? 0 : static_cast<std::uint64_t>(size);
}

void CProgressLine::KnownFile(const std::filesystem::path& source) noexcept {
    if (m_mode == Mode::Off)
        return;
    std::uint64_t size = 0;
    try {
        size = SizeOfFile(source);
    } catch (const std::bad_alloc&) {
    }
    Known(1, size);
}
