#include "FolderWalk.h"
#include "TempDir.h"
#include "TextConvert.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

namespace fs = std::filesystem;

namespace {

using Found = std::vector<std::pair<std::string, std::string>>;

TEST(FolderWalk, FilesAndTheSubfoldersOfTheirCopies) {
    TempDir dir;
    // Our own temporary files are never taken for sources.
    for (const char* name : {"docs/a.txt", "docs/sub/deeper/b.bin", "docs/out/x",
                             "docs/sub/.quorvane-0123456789ab.tmp"}) {
        fs::create_directories((dir / name).parent_path());
        WriteBytes(dir / name, {'z'});
    }
    const fs::path docs = dir / "docs", base = fs::weakly_canonical(dir.Path());
    // Here ".." names docs.
    const fs::path previous = fs::current_path();
    fs::current_path(docs / "out");
    const struct {
        fs::path folder;
        fs::path outputFolder;
        Found expected; // each file below `dir`, then the subfolder of its copy
    } cases[] = {
        {docs,
         dir / "elsewhere",
         {{"docs/a.txt", "docs"},
          {"docs/out/x", "docs/out"},
          {"docs/sub/deeper/b.bin", "docs/sub/deeper"}}},
        // The output folder inside the tree is left out, files and all.
        {docs,
         docs / "out",
         {{"docs/a.txt", "docs"}, {"docs/sub/deeper/b.bin", "docs/sub/deeper"}}},
        // "sub/" is "sub", as with cp -r.
        {docs / "sub" / "", docs, {{"docs/sub/deeper/b.bin", "sub/deeper"}}},
        {"..", docs / "out", {{"docs/a.txt", ""}, {"docs/sub/deeper/b.bin", "sub/deeper"}}},
        {docs / "sub" / "..",
         docs / "out",
         {{"docs/a.txt", ""}, {"docs/sub/deeper/b.bin", "sub/deeper"}}},
        {dir / "missing", docs, {}},
    };
    for (const auto& c : cases) {
        const FolderFiles files = FilesBelow(c.folder, c.outputFolder);
        Found found;
        for (const SignItem& item : files.items)
            found.emplace_back(
                fs::weakly_canonical(item.source).lexically_relative(base).generic_string(),
                item.subfolder.generic_string());
        EXPECT_EQ(found, c.expected) << PathUtf8(c.folder);
        EXPECT_EQ(files.problems.size(), c.folder == dir / "missing" ? 1u : 0u)
            << PathUtf8(c.folder);
    }
    fs::current_path(previous);
}

} // namespace
