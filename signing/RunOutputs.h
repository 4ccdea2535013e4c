#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <filesystem>
#include <optional>
#include <utility>
#include <vector>

// What tells one output file from another in a run, in 64 bits: on Linux its device and
// number (the same file whatever path names it), on Windows its full path as NTFS compares
// names (there, asking a file's number costs a round to Wine's mount manager per file).
std::optional<std::uint64_t> OutputKeyOf(const std::filesystem::path& path);

// The outputs one run has written, so that none of them is replaced later in the same run.
// Each costs eight bytes however long its path; the sources of the last kRemembered are kept
// to name in a message.
class CRunOutputs {
public:
    static constexpr std::size_t kRemembered = 1024;

    void Add(const std::filesystem::path& output, const std::filesystem::path& source);
    // When this run wrote `output`: the source it was written from, or an empty path when
    // that is no longer remembered. Null otherwise.
    const std::filesystem::path* WrittenFrom(const std::filesystem::path& output) const;

private:
    bool Holds(std::uint64_t key) const;

    // Sorted, and the keys added since, which join them a stretch at a time.
    std::vector<std::uint64_t> m_sorted;
    std::vector<std::uint64_t> m_recent;
    std::deque<std::pair<std::uint64_t, std::filesystem::path>> m_sources;
    std::filesystem::path m_forgotten;
};
