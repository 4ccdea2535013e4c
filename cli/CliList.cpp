#include "CliList.h"

#include "CliPlatform.h"
#include "FileErrors.h"
#include "FileOps.h"
#include "FileIo.h"

#include "TextConvert.h"

#include <algorithm>
#include <cstdint>
#include <new>
#include <cstring>
#include <string_view>

namespace {

const std::string_view kNewline = kCliNewline;

// A list of paths longer than this is refused: no one means one, and its paths would take
// more memory than a machine has to give.
constexpr std::uint64_t kMaxListBytes = std::uint64_t{1} << 30;
constexpr std::string_view kMaxListText = "1 GiB";

} // namespace

// Reads the entries of a list into `paths`; false, with the problem, for a list that cannot
// name paths: an entry longer than any path, a NUL byte in a list of lines, or too long a list.
bool ReadList(std::FILE* file, bool nulSeparated, const std::string& name,
              std::vector<CliArg>& paths, std::string& problem) {
    const char separator = nulSeparated ? '\0' : '\n';
    std::string entry;
    bool tooLong = false;
    const auto take = [&] {
        // A line of a list written on Windows ends in CR LF.
        if (!nulSeparated && kNewline == "\r\n" && !entry.empty() && entry.back() == '\r')
            entry.pop_back();
        if (!entry.empty()) {
            std::optional<CliArg> path = ListedPath(entry);
            if (!path)
                tooLong = true;
            else
                paths.push_back(std::move(*path));
        }
        entry.clear();
    };
    const std::string longEntry = "an entry of the list of files from " + name +
                                  " is longer than the longest path (" +
                                  std::string(kLongestPathText) + ")";
    std::vector<char> block(std::size_t{64} << 10);
    // Runs of empty entries (a list of NUL bytes) are skipped a stretch at a time.
    const std::string separators(4096, separator);
    std::uint64_t total = 0;
    for (;;) {
        const std::size_t got = FileRead(file, block.data(), block.size());
        total += got;
        if (total > kMaxListBytes) {
            problem =
                "the list of files from " + name + " is longer than " + std::string(kMaxListText);
            return false;
        }
        for (const char *next = block.data(), *end = block.data() + got; next < end;) {
            // Empty entries, a run at a time.
            if (entry.empty() && *next == separator) {
                while (static_cast<std::size_t>(end - next) >= separators.size() &&
                       std::memcmp(next, separators.data(), separators.size()) == 0)
                    next += separators.size();
                while (next < end && *next == separator)
                    ++next;
                continue;
            }
            const auto* separated =
                static_cast<const char*>(std::memchr(next, separator, end - next));
            const char* part = separated != nullptr ? separated : end;
            if (!nulSeparated && std::memchr(next, '\0', part - next) != nullptr) {
                problem = "the list of files from " + name +
                          " holds a NUL byte; give -0 for a list separated by NUL bytes";
                return false;
            }
            tooLong = entry.size() + static_cast<std::size_t>(part - next) > kMaxListedBytes;
            if (!tooLong) {
                entry.append(next, part);
                if (separated != nullptr)
                    take();
            }
            if (tooLong) {
                problem = longEntry;
                return false;
            }
            next = separated != nullptr ? separated + 1 : end;
        }
        if (got < block.size())
            break;
    }
    if (std::ferror(file)) {
        problem = "cannot read the list of files from " + name + ": " + ErrorText(LastError());
        return false;
    }
    take();
    if (tooLong)
        problem = longEntry;
    return !tooLong;
}

bool AddListedPaths(const std::filesystem::path& list, bool nulSeparated, std::FILE* in,
                    std::vector<CliArg>& paths, std::string& problem) {
    const bool standardInput = list == "-";
    if (standardInput && std::any_of(paths.begin(), paths.end(),
                                     [](const CliArg& path) { return path == CliArg(1, '-'); })) {
        problem = "standard input cannot hold both the list of files and a file";
        return false;
    }
    const std::string name = standardInput ? "standard input" : ShownPath(list);
    UniqueFile opened;
    if (!standardInput)
        opened = OpenFile(LongPath(list), "rb");
    std::FILE* file = standardInput ? in : opened.get();
    if (file == nullptr) {
        problem = "cannot read the list of files from " + name + ": " +
                  (standardInput ? std::string("it is closed") : ErrorText(LastError()));
        return false;
    }
    bool read = false;
    bool memory = true;
    try {
        read = ReadList(file, nulSeparated, name, paths, problem);
    } catch (const std::bad_alloc&) {
        memory = false;
    }
    if (read)
        return true;
    // What was read goes before the message is made.
    std::vector<CliArg>().swap(paths);
    if (!memory)
        problem = "the list of files from " + name + " holds more paths than memory takes";
    return false;
}
