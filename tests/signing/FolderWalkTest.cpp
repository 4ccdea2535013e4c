#include "FolderWalk.h"
#include "TempDir.h"
#include "TextConvert.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

namespace fs = std::filesystem;

namespace {

// Restores the working folder when the test ends.
class CWorkingFolder {
public:
    explicit CWorkingFolder(const fs::path& folder) : m_previous(fs::current_path()) {
        fs::current_path(folder);
    }
    ~CWorkingFolder() { fs::current_path(m_previous); }

private:
    fs::path m_previous;
};

TEST(FolderWalk, FilesAndTheSubfoldersOfTheirCopies) {
    TempDir dir;
    for (const char* name : {"docs/a.txt", "docs/sub/deeper/b.bin", "docs/sub/c", "docs/out/x"}) {
        fs::create_directories((dir / name).parent_path());
        WriteBytes(dir / name, {'z'});
    }
    // The working folder makes ".." name docs.
    CWorkingFolder here(dir / "docs" / "sub");
    const fs::path docs = dir / "docs";
    struct Case {
        fs::path folder;
        fs::path outputFolder;
        // Source below `dir`, then the subfolder of its copy.
        std::vector<std::pair<std::string, std::string>> expected;
    };
    const Case cases[] = {
        {docs,
         dir / "elsewhere",
         {{"docs/a.txt", "docs"},
          {"docs/out/x", "docs/out"},
          {"docs/sub/c", "docs/sub"},
          {"docs/sub/deeper/b.bin", "docs/sub/deeper"}}},
        // The output folder inside the tree is left out, its files and all.
        {docs,
         docs / "out",
         {{"docs/a.txt", "docs"},
          {"docs/sub/c", "docs/sub"},
          {"docs/sub/deeper/b.bin", "docs/sub/deeper"}}},
        {docs / "sub",
         docs / "out",
         {{"docs/sub/c", "sub"}, {"docs/sub/deeper/b.bin", "sub/deeper"}}},
        {docs / "sub" / "",
         docs / "out",
         {{"docs/sub/c", ""}, {"docs/sub/deeper/b.bin", "deeper"}}},
        {"..",
         docs / "out",
         {{"docs/a.txt", ""}, {"docs/sub/c", "sub"}, {"docs/sub/deeper/b.bin", "sub/deeper"}}},
        {dir / "missing", docs / "out", {}},
    };
    const fs::path base = fs::weakly_canonical(dir.Path());
    for (const Case& c : cases) {
        const FolderFiles files = FilesBelow(c.folder, c.outputFolder);
        std::vector<std::pair<std::string, std::string>> found;
        for (const SignItem& item : files.items)
            found.emplace_back(
                fs::weakly_canonical(item.source).lexically_relative(base).generic_string(),
                item.subfolder.generic_string());
        EXPECT_EQ(found, c.expected) << PathUtf8(c.folder);
    }
    EXPECT_FALSE(FilesBelow(dir / "missing", docs).complete);
    EXPECT_TRUE(FilesBelow(docs, docs).complete);
}

} // namespace
