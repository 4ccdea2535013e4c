#pragma once

#include <filesystem>
#include <system_error>

// What a link met below a folder leads to; links are not followed unless asked for.
enum class LinkedTo { Nothing, Folder, File };

// Something below a folder that is not signed: a folder that cannot be listed, an entry
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
