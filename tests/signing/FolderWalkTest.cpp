#include "FolderWalk.h"
#include "TempDir.h"
#include "TextConvert.h"

#include <gtest/gtest.h>

#ifndef _WIN32
#include <sys/stat.h>
#endif

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

#ifndef _WIN32
// Each kind of entry the listing tells, and the links it does not follow: a plain file is
// listed as one (opened without a look first), a link to a file is signed through the link but
// looked at before it is opened, and what is no file to sign is a problem of its own kind.
TEST(FolderWalk, EachKindOfEntry) {
    TempDir dir;
    fs::create_directories(dir / "tree/sub");
    WriteBytes(dir / "tree/plain.txt", {'p'});
    WriteBytes(dir / "target.txt", {'t'});
    WriteBytes(dir / "tree/sub/deep.txt", {'d'});
    fs::create_symlink(dir / "target.txt", dir / "tree/file-link");
    fs::create_symlink(dir / "missing", dir / "tree/dangling");
    fs::create_directory_symlink(dir / "tree/sub", dir / "tree/folder-link");
    ASSERT_EQ(::mkfifo((dir / "tree/fifo").c_str(), 0600), 0);

    const FolderFiles files = FilesBelow(dir / "tree", dir / "out");
    std::vector<std::pair<std::string, bool>> items;
    for (const SignItem& item : files.items)
        items.emplace_back(item.source.lexically_relative(dir.Path()).generic_string(),
                           item.listed);
    EXPECT_EQ(items, (std::vector<std::pair<std::string, bool>>{{"tree/file-link", false},
                                                                {"tree/plain.txt", true},
                                                                {"tree/sub/deep.txt", true}}));
    std::vector<std::string> problems;
    for (const WalkProblem& problem : files.problems)
        problems.push_back(problem.path.filename().string() + " " +
                           (problem.linkToFolder ? "link to folder" : problem.error.message()));
    EXPECT_EQ(
        problems,
        (std::vector<std::string>{
            "dangling " + std::make_error_code(std::errc::no_such_file_or_directory).message(),
            "fifo not a regular file", "folder-link link to folder"}));
}
#endif

} // namespace
