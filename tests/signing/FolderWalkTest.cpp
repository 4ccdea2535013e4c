#include "FileErrors.h"
#include "FileOps.h"
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
    // Files named like our temporaries are never taken for sources (and are reported).
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
        // The temporary in each tree, or the missing folder.
        EXPECT_EQ(files.problems.size(), 1u) << PathUtf8(c.folder);
    }
    fs::current_path(previous);
}

// A walk gives each entry when it comes to it, in the order of the paths, what it does not
// sign in its place: a folder's files come where its name and a separator sort ("a.txt", then
// "a/x", then "a0"). A run's operands are walked one after another.
TEST(FolderWalk, EntriesComeOneAtATimeInTheOrderOfTheirPaths) {
    TempDir dir;
    for (const char* name : {"tree/a/x", "tree/a.txt", "tree/a0", "tree/a-b/y", "tree/b",
                             "tree/a/.quorvane-0123456789ab.tmp", "tree/a/sub/z"}) {
        fs::create_directories((dir / name).parent_path());
        WriteBytes(dir / name, {'z'});
    }
    const auto walked = [&](auto& walk) {
        std::vector<std::string> seen;
        for (SignEntry entry; walk.Next(entry);)
            seen.push_back((entry.problem ? entry.problem->path : entry.item.source)
                               .lexically_relative(dir.Path())
                               .generic_string() +
                           (!entry.problem                   ? ""
                            : entry.problem->folderNotWalked ? " (folder)"
                                                             : " (not signed)"));
        return seen;
    };
    CFolderWalk walk(dir / "tree", dir / "out");
    EXPECT_EQ(walked(walk),
              (std::vector<std::string>{"tree/a-b/y", "tree/a.txt",
                                        "tree/a/.quorvane-0123456789ab.tmp (not signed)",
                                        "tree/a/sub/z", "tree/a/x", "tree/a0", "tree/b"}));
    for (const bool recursive : {false, true}) {
        std::vector<fs::path> operands = {dir / "tree/a0", dir / "tree/a-b", dir / "tree/b"};
        CSignEntries entries(
            [&](fs::path& operand) {
                if (operands.empty())
                    return false;
                operand = operands.front();
                operands.erase(operands.begin());
                return true;
            },
            dir / "out", recursive, false);
        EXPECT_EQ(walked(entries),
                  (std::vector<std::string>{
                      "tree/a0", recursive ? "tree/a-b/y" : "tree/a-b (folder)", "tree/b"}));
    }
}

#ifndef _WIN32
// Each kind of entry the listing tells, and the links: a plain file is listed as one (opened
// without a look first); what is no file to sign is a problem of its own kind; a link below the
// tree, to a file or a folder, is reported and not followed, unless asked for, and then a link
// to a folder that holds it is a loop.
TEST(FolderWalk, EachKindOfEntry) {
    TempDir dir;
    fs::create_directories(dir / "tree/sub");
    WriteBytes(dir / "tree/plain.txt", {'p'});
    WriteBytes(dir / "secret.txt", {'t'});
    WriteBytes(dir / "tree/sub/deep.txt", {'d'});
    WriteBytes(dir / "tree/.quorvane-0123456789ab.tmp", {'q'});
    fs::create_symlink(dir / "secret.txt", dir / "tree/file-link");
    fs::create_symlink(dir / "missing", dir / "tree/dangling");
    fs::create_directory_symlink(dir / "tree/sub", dir / "tree/folder-link");
    fs::create_directory_symlink(dir / "tree", dir / "tree/sub/loop");
    ASSERT_EQ(::mkfifo((dir / "tree/fifo").c_str(), 0600), 0);

    const std::string missing =
        std::make_error_code(std::errc::no_such_file_or_directory).message();
    const std::string loop =
        std::make_error_code(std::errc::too_many_symbolic_link_levels).message();
    const struct {
        bool followLinks;
        std::vector<std::string> items;    // path, subfolder, names below the folder opened
        std::vector<std::string> problems; // path and why
    } cases[] = {
        {false,
         {"tree/plain.txt tree 1", "tree/sub/deep.txt tree/sub 2"},
         {"tree/.quorvane-0123456789ab.tmp temporary", "tree/dangling " + missing,
          "tree/fifo not a regular file", "tree/file-link link to a file",
          "tree/folder-link link to a folder", "tree/sub/loop link to a folder"}},
        {true,
         {"tree/file-link tree 0", "tree/folder-link/deep.txt tree/folder-link 1",
          "tree/plain.txt tree 1", "tree/sub/deep.txt tree/sub 2"},
         {"tree/.quorvane-0123456789ab.tmp temporary", "tree/dangling " + missing,
          "tree/fifo not a regular file", "tree/folder-link/loop " + loop,
          "tree/sub/loop " + loop}},
    };
    for (const auto& c : cases) {
        const FolderFiles files = FilesBelow(dir / "tree", dir / "out", c.followLinks);
        std::vector<std::string> items, problems;
        for (const SignItem& item : files.items)
            items.push_back(item.source.lexically_relative(dir.Path()).generic_string() + " " +
                            item.subfolder.generic_string() + " " + std::to_string(item.listed));
        for (const WalkProblem& problem : files.problems)
            problems.push_back(problem.path.lexically_relative(dir.Path()).generic_string() + " " +
                               (problem.temporary                  ? "temporary"
                                : problem.link == LinkedTo::File   ? "link to a file"
                                : problem.link == LinkedTo::Folder ? "link to a folder"
                                                                   : problem.error.message()));
        EXPECT_EQ(items, c.items) << c.followLinks;
        EXPECT_EQ(problems, c.problems) << c.followLinks;
    }
}

// A tree filled by someone else may change between its listing and the opening of its files:
// a file or a folder on the way swapped for a link is not followed; the folder walked may be a
// link, as the user named it.
TEST(FolderWalk, FilesListedAreOpenedWithoutLinksSwappedInSince) {
    TempDir dir;
    for (const char* name :
         {"tree/a.txt", "tree/sub/deeper/b.txt", "elsewhere/a.txt", "elsewhere/deeper/b.txt"}) {
        fs::create_directories((dir / name).parent_path());
        WriteBytes(dir / name, {'x'});
    }
    fs::create_directory_symlink(dir / "tree", dir / "given");
    const FolderFiles files = FilesBelow(dir / "given", dir / "out");
    ASSERT_EQ(files.items.size(), 2u);
    for (const SignItem& item : files.items)
        EXPECT_TRUE(OpenForReading(item.source, nullptr, nullptr, item.listed)) << item.source;
    fs::rename(dir / "tree/a.txt", dir / "tree/was-a.txt");
    fs::create_symlink(dir / "elsewhere/a.txt", dir / "tree/a.txt");
    fs::rename(dir / "tree/sub", dir / "tree/was-sub");
    fs::create_directory_symlink(dir / "elsewhere", dir / "tree/sub");
    for (const SignItem& item : files.items) {
        std::error_code error;
        EXPECT_FALSE(OpenForReading(item.source, &error, nullptr, item.listed)) << item.source;
        EXPECT_EQ(error, std::errc::too_many_symbolic_link_levels) << item.source;
        // A path the user gave is followed.
        EXPECT_TRUE(OpenForReading(item.source)) << item.source;
    }
}
#endif

} // namespace
