// The files of a folder for a batch, as `-r` signs them: each copy goes below the output folder
// under the folder's own name and the file's path inside it, as cp -r places copies. A folder
// given without a name of its own ("dir/", ".", "..") puts its files directly below it.
#pragma once

#include "SignEngine.h"

#include <filesystem>
#include <vector>

struct FolderFiles {
    // Sorted by path.
    std::vector<SignItem> items;
    // False when the folder could not be listed in full; `items` holds what was found.
    bool complete = true;
};

// The regular files below `folder`, its subfolders included. A folder that is `outputFolder`
// is left out with everything in it, so that earlier outputs are not signed again. Subfolders
// that cannot be read are skipped.
FolderFiles FilesBelow(const std::filesystem::path& folder,
                       const std::filesystem::path& outputFolder);
