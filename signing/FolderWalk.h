// The files of a folder for a batch, as `-r` signs them: each copy goes below the output folder
// under the folder's own name and the file's path inside it, as cp -r places copies ("dir" and
// "dir/" alike). A folder given without a name of its own (".", "..", "/") puts its files
// directly below it.
#pragma once

#include "SignEngine.h"
#include "WalkProblem.h"

#include <cstddef>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <system_error>
#include <vector>

struct FolderFiles {
    // Sorted by path.
    std::vector<SignItem> items;
    // Sorted by path; empty when everything below the folder can be signed.
    std::vector<WalkProblem> problems;
};

// The regular files below `folder`, its subfolders included. A folder that is `outputFolder`
// is left out with everything in it, so that earlier outputs are not signed again.
// Links below `folder` are reported and not followed, as find and cp -r do not follow them:
// whoever filled the tree could otherwise have another file of the user's signed (and its
// copy handed to them), or a folder walked forever. With `followLinks` they are followed,
// and a link to a folder that holds it is reported as a loop.
FolderFiles FilesBelow(const std::filesystem::path& folder,
                       const std::filesystem::path& outputFolder, bool followLinks = false);

// The entries of FilesBelow one at a time, in the order of their paths, what is not signed in
// its place among the files: each folder is listed when the walk comes to it, so that what it
// holds is a few folders' names, however many files lie below.
class CFolderWalk {
public:
    CFolderWalk(const std::filesystem::path& folder, const std::filesystem::path& outputFolder,
                bool followLinks = false);
    ~CFolderWalk();
    CFolderWalk(const CFolderWalk&) = delete;
    CFolderWalk& operator=(const CFolderWalk&) = delete;
    // The next entry; false after the last. One that throws (no memory) is given again at the
    // next call.
    bool Next(SignEntry& entry);

private:
    struct Ancestor;
    struct Frame;
    // Lists `folder` onto the walk, or reports why it cannot be.
    void Enter(const std::filesystem::path& folder, const std::filesystem::path& subfolder,
               unsigned depth, std::shared_ptr<const Ancestor> ancestors);

    const std::filesystem::path m_outputFolder;
    const bool m_followLinks;
    std::vector<std::unique_ptr<Frame>> m_frames;
    // A problem met on entering a folder, given before anything else.
    std::optional<WalkProblem> m_pending;
};

// The entries of a sign run, operand after operand (`next` gives each in turn), each taken as
// the run comes to it: a folder stands for the regular files below it (CFolderWalk, with what
// it skips) when `recursive`, and is otherwise a problem of its own (folderNotWalked); anything
// else stands for itself, its copy directly in the output folder (a file that is missing or
// cannot be read is then refused by the run). Like every source of a run's entries, a call that
// throws (no memory) leaves the entry to the next call: `next` must do the same.
class CSignEntries {
public:
    using NextOperand = std::function<bool(std::filesystem::path& operand)>;
    CSignEntries(NextOperand next, std::filesystem::path outputFolder, bool recursive,
                 bool followLinks);
    bool Next(SignEntry& entry);

private:
    NextOperand m_next;
    const std::filesystem::path m_outputFolder;
    const bool m_recursive;
    const bool m_followLinks;
    std::unique_ptr<CFolderWalk> m_walk;
    // An operand taken from `next` and not yet given or walked.
    std::optional<std::filesystem::path> m_operand;
};
