#include "CliList.h"

#include "CliPlatform.h"
#include "FileErrors.h"
#include "FileOps.h"
#include "FileIo.h"

#include "TextConvert.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string_view>

namespace {

const std::string_view kNewline = kCliNewline;

// A list of paths longer than this is refused: no one means one, and a list that never ends
// (NUL bytes from /dev/zero with -0, all of them empty entries) would be read forever.
constexpr std::uint64_t kMaxListBytes = std::uint64_t{1} << 30;
constexpr std::string_view kMaxListText = "1 GiB";

} // namespace

bool CCliOperands::ListFrom(const std::filesystem::path& list, bool nulSeparated, std::FILE* in,
                            std::string& problem) {
    const bool standardInput = list == "-";
    if (standardInput && std::any_of(m_given.begin(), m_given.end(),
                                     [](const CliArg& path) { return path == CliArg(1, '-'); })) {
        problem = "standard input cannot hold both the list of files and a file";
        return false;
    }
    m_name = standardInput ? "standard input" : ShownPath(list);
    if (!standardInput)
        m_opened = OpenFile(LongPath(list), "rb");
    m_list = standardInput ? in : m_opened.get();
    if (m_list == nullptr) {
        problem = "cannot read the list of files from " + m_name + ": " +
                  (standardInput ? std::string("it is closed") : ErrorText(LastError()));
        return false;
    }
    m_nulSeparated = nulSeparated;
    m_block.resize(std::size_t{64} << 10);
    m_ended = false;
    // A list that names no path at its start is refused before anything is done.
    for (; m_nextGiven < m_given.size(); ++m_nextGiven)
        m_ahead.push_back(m_given[m_nextGiven]);
    if (!ReadEntry() && !m_problem.empty()) {
        problem = m_problem;
        return false;
    }
    return true;
}

bool CCliOperands::Refuse(std::string problem) {
    m_problem = std::move(problem);
    m_ended = true;
    m_at = m_end;
    m_entry.clear();
    m_entryRead = false;
    m_opened.reset();
    return false;
}

bool CCliOperands::ReadEntry() {
    const char separator = m_nulSeparated ? '\0' : '\n';
    std::string& entry = m_entry;
    // A line of a list written on Windows ends in CR LF.
    const auto whole = [&] {
        if (!m_nulSeparated && kNewline == "\r\n" && !entry.empty() && entry.back() == '\r')
            entry.pop_back();
        m_entryRead = true;
    };
    for (;; m_entryRead = false) {
        while (!m_entryRead) {
            if (m_at == m_end) {
                if (m_ended) {
                    whole();
                    break;
                }
                const std::ptrdiff_t read = ReadSome(m_list, m_block.data(), m_block.size());
                if (read < 0)
                    return Refuse("cannot read the list of files from " + m_name + ": " +
                                  ErrorText(LastError()));
                const auto got = static_cast<std::size_t>(read);
                m_total += got;
                if (m_total > kMaxListBytes)
                    return Refuse("the list of files from " + m_name + " is longer than " +
                                  std::string(kMaxListText));
                // A list of lines that holds a NUL byte is no list of paths: refused as soon as
                // what holds it is read, before the entries ahead of the byte are taken.
                if (!m_nulSeparated && std::memchr(m_block.data(), '\0', got) != nullptr)
                    return Refuse("the list of files from " + m_name +
                                  " holds a NUL byte; give -0 for a list separated by NUL bytes");
                m_at = 0;
                m_end = got;
                if (got == 0) {
                    m_ended = true;
                    m_opened.reset();
                }
                continue;
            }
            const char* const next = m_block.data() + m_at;
            const char* const end = m_block.data() + m_end;
            // Runs of empty entries (a list of NUL bytes) are skipped a stretch at a time.
            if (entry.empty() && *next == separator) {
                const char* skip = next;
                while (skip < end && *skip == separator)
                    ++skip;
                m_at = static_cast<std::size_t>(skip - m_block.data());
                continue;
            }
            const auto* separated =
                static_cast<const char*>(std::memchr(next, separator, end - next));
            const char* part = separated != nullptr ? separated : end;
            if (entry.size() + static_cast<std::size_t>(part - next) > kMaxListedBytes)
                return Refuse("an entry of the list of files from " + m_name +
                              " is longer than the longest path (" + std::string(kLongestPathText) +
                              ")");
            entry.append(next, part);
            m_at = static_cast<std::size_t>((separated != nullptr ? separated + 1 : end) -
                                            m_block.data());
            if (separated != nullptr)
                whole();
        }
        if (!entry.empty())
            break;
        // A line of a CR alone is an empty entry too: the list goes on after it.
        if (m_ended && m_at == m_end)
            return false;
    }
    std::optional<CliArg> path = ListedPath(entry);
    if (!path)
        return Refuse("an entry of the list of files from " + m_name +
                      " is longer than the longest path (" + std::string(kLongestPathText) + ")");
    m_ahead.push_back(std::move(*path));
    entry.clear();
    m_entryRead = false;
    return true;
}

bool CCliOperands::Ahead(std::size_t count) {
    while (m_ahead.size() < count) {
        if (m_nextGiven < m_given.size()) {
            m_ahead.push_back(m_given[m_nextGiven]);
            ++m_nextGiven;
        } else if (!ReadEntry())
            return false;
    }
    return true;
}

bool CCliOperands::Next(CliArg& operand) {
    if (!Ahead(1))
        return false;
    operand = std::move(m_ahead.front());
    m_ahead.pop_front();
    return true;
}

bool CCliOperands::NextPath(std::filesystem::path& path) {
    if (!Ahead(1))
        return false;
    path = std::filesystem::path(m_ahead.front());
    m_ahead.pop_front();
    return true;
}

bool CCliOperands::All(std::vector<CliArg>& operands) {
    for (CliArg operand; Next(operand);)
        operands.push_back(std::move(operand));
    return m_problem.empty();
}
