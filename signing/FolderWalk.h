// The files of a folder for a batch, as `-r` signs them: each copy goes below the output folder
// under the folder's own name and the file's path inside it, as cp -r places copies ("dir" and
// "dir/" alike). A folder given without a name of its own (".", "..", "/") puts its files
// directly below it.
#pragma once

#include "SignEngine.h"

#include <filesystem>
#include <system_error>
#include <vector>

// What a link met below the folder leads to; links are not followed unless asked for.
enum class LinkedTo { Nothing, Folder, File };

// Something below the folder that is not signed: a folder that cannot be listed, an entry
// that is not a regular file (a FIFO, a device, a socket, a dangling link), a link (to a
// file or a folder) that is not followed, or a file named like a copy of ours in the making.
struct WalkProblem {
    std::filesystem::path path;
    std::error_code error;
    LinkedTo link = LinkedTo::Nothing;
    bool temporary = false;
    // A folder given where its files were not asked for (without -r).
    bool folderNotWalked = false;
};

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

// The items a sign run takes for one operand as the user gave it: a folder stands for the
// regular files below it (FilesBelow, with what it skips) when `recursive`, and is otherwise
// refused as a problem of its own (folderNotWalked); anything else stands for itself, its copy
// directly in the output folder (a file that is missing or cannot be read is then refused by
// the run).
FolderFiles SignItemsOf(const std::filesystem::path& operand,
                        const std::filesystem::path& outputFolder, bool recursive,
                        bool followLinks = false);
