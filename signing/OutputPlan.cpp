#include "OutputPlan.h"

#include "FileOps.h"

#include <algorithm>
#include <numeric>
#include <string>
#include <system_error>
#include <unordered_map>

namespace fs = std::filesystem;

namespace {

// Paths as keys that two names of one file are likely to share: the folder resolved as far as
// it exists, the name as given.
class CPathKeys {
public:
    fs::path::string_type KeyOf(const fs::path& path) {
        const fs::path name = path.filename();
        const fs::path folder = path.has_filename() ? path.parent_path() : path;
        auto found = m_folders.find(folder.native());
        if (found == m_folders.end()) {
            std::error_code error;
            fs::path resolved = fs::weakly_canonical(fs::absolute(folder, error), error);
            if (error)
                resolved = fs::absolute(folder, error).lexically_normal();
            found = m_folders.emplace(folder.native(), resolved.native()).first;
        }
        return (fs::path(found->second) / name).native();
    }
    // With ASCII letters folded, for file systems that take "A" and "a" for one name.
    static fs::path::string_type Folded(fs::path::string_type key) {
        std::transform(key.begin(), key.end(), key.begin(), [](fs::path::value_type c) {
            return c >= 'A' && c <= 'Z' ? static_cast<fs::path::value_type>(c - 'A' + 'a') : c;
        });
        return key;
    }

private:
    std::unordered_map<fs::path::string_type, fs::path::string_type> m_folders;
};

// Groups of items, merged as they are found to share a file.
class CGroups {
public:
    explicit CGroups(std::size_t count) : m_parent(count) {
        std::iota(m_parent.begin(), m_parent.end(), std::size_t{0});
    }
    std::size_t Find(std::size_t item) {
        while (m_parent[item] != item) {
            m_parent[item] = m_parent[m_parent[item]];
            item = m_parent[item];
        }
        return item;
    }
    // The group of the earlier item stays the root, so that roots are first items.
    void Join(std::size_t earlier, std::size_t later) {
        const std::size_t a = Find(earlier), b = Find(later);
        if (a != b)
            m_parent[std::max(a, b)] = std::min(a, b);
    }

private:
    std::vector<std::size_t> m_parent;
};

} // namespace

OutputPlan PlanOutputs(const std::vector<SignItem>& items, const fs::path& outputFolder,
                       std::size_t partSize) {
    partSize = std::max<std::size_t>(partSize, 1);
    const std::size_t count = items.size();
    OutputPlan plan;
    plan.outputs.reserve(count);
    plan.earlier.assign(count, -1);
    plan.parts.assign(count, 0);
    CPathKeys keys;
    CGroups groups(count);
    // Each file's first item, as an output and as any file the item touches.
    std::unordered_map<fs::path::string_type, std::size_t> firstOutput, firstTouch;
    for (std::size_t i = 0; i < count; ++i) {
        plan.outputs.push_back(OutputPathFor(outputFolder, items[i]));
        const fs::path::string_type output = keys.KeyOf(plan.outputs.back());
        const auto [sameOutput, newOutput] = firstOutput.emplace(output, i);
        if (!newOutput)
            plan.earlier[i] = static_cast<std::ptrdiff_t>(sameOutput->second);
        for (const fs::path::string_type& key :
             {CPathKeys::Folded(output), CPathKeys::Folded(keys.KeyOf(items[i].source))}) {
            const auto [touched, first] = firstTouch.emplace(key, i);
            if (!first)
                groups.Join(touched->second, i);
        }
    }
    std::vector<std::size_t> groupSize(count, 0);
    for (std::size_t i = 0; i < count; ++i)
        ++groupSize[groups.Find(i)];
    // Whole groups, taken in the order of their first items.
    std::size_t filled = 0;
    for (std::size_t i = 0; i < count; ++i) {
        const std::size_t root = groups.Find(i);
        if (root != i) {
            plan.parts[i] = plan.parts[root];
            continue;
        }
        if (filled > 0 && filled + groupSize[i] > partSize) {
            ++plan.partCount;
            filled = 0;
        }
        plan.parts[i] = plan.partCount;
        filled += groupSize[i];
    }
    if (count > 0)
        ++plan.partCount;
    return plan;
}
