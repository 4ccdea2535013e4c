// The files of a folder for a batch, as `-r` signs them: each copy goes below the output folder
// under the folder's own name and the file's path inside it, as cp -r places copies ("dir" and
// "dir/" alike). A folder given without a name of its own (".", "..", "/") puts its files
// directly below it.
#pragma once

#include "SignEngine.h"

#include <filesystem>
#include <system_error>
#include <vector>

// Something below the folder that is not signed: a folder that cannot be listed, or an entry
// that is not a regular file (a FIFO, a device, a socket, a dangling link).
struct WalkProblem {
    std::filesystem::path path;
    std::error_code error;
};

struct FolderFiles {
    // Sorted by path.
    std::vector<SignItem> items;
    // In the order found; empty when everything below the folder can be signed.
    std::vector<WalkProblem> problems;
};

// The regular files below `folder`, its subfolders included. A folder that is `outputFolder`
// is left out with everything in it, so that earlier outputs are not signed again, and so are
// our own temporary files. Links to folders are not followed.
FolderFiles FilesBelow(const std::filesystem::path& folder,
                       const std::filesystem::path& outputFolder);
