// The files of a folder for a batch, as `-r` signs them: each copy goes below the output folder
// under the folder's own name and the file's path inside it, as cp -r places copies ("dir" and
// "dir/" alike). A folder given without a name of its own (".", "..", "/") puts its files
// directly below it.
#pragma once

#include "SignEngine.h"

#include <filesystem>
#include <system_error>
#include <vector>

// Something below the folder that is not signed: a folder that cannot be listed, an entry
// that is not a regular file (a FIFO, a device, a socket, a dangling link), or a link to a
// folder, which is not followed.
struct WalkProblem {
    std::filesystem::path path;
    std::error_code error;
    bool linkToFolder = false;
};

struct FolderFiles {
    // Sorted by path.
    std::vector<SignItem> items;
    // Sorted by path; empty when everything below the folder can be signed.
    std::vector<WalkProblem> problems;
};

// The regular files below `folder`, its subfolders included. A folder that is `outputFolder`
// is left out with everything in it, so that earlier outputs are not signed again, and so are
// our own temporary files. Links to folders below it are not followed, as find and cp -r do
// not: each is reported as a problem (following them could walk a folder twice, or forever).
FolderFiles FilesBelow(const std::filesystem::path& folder,
                       const std::filesystem::path& outputFolder);
