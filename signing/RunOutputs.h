#pragma once

#include "FileIdentity.h"

#include <filesystem>
#include <map>
#include <utility>
#include <vector>

// The outputs one run has written, so that none of them is replaced later in the same run.
// An output is identified only once a path is asked about after it was added: asking the
// system costs (under Wine, a round to the mount manager per file), and most runs never ask.
class CRunOutputs {
public:
    void Add(const std::filesystem::path& output, const std::filesystem::path& source);
    // The source of `output` when this run wrote it; null otherwise.
    const std::filesystem::path* WrittenFrom(const std::filesystem::path& output) const;

private:
    // Outputs added since the last question, with their sources, in the order written.
    mutable std::vector<std::pair<std::filesystem::path, std::filesystem::path>> m_added;
    mutable std::map<FileIdentity, std::filesystem::path> m_written;
};
