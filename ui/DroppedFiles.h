// Files and folders handed to Quorvane by the shell (a drop, Send To, the command line), turned
// into the files the add-signature step lists.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct DroppedFiles {
    // Each file as it was named, and each folder's own files (not its subfolders; hidden and
    // system files left out, as Explorer leaves them out of its view) in Explorer's order.
    std::vector<std::wstring> files;
    // The paths that named nothing that exists, in their order.
    std::vector<std::wstring> missing;
};

DroppedFiles FilesOfDrop(const std::vector<std::wstring>& paths);

// The size of the file at `path`; 0 when it cannot be asked.
std::uint64_t FileSizeOf(const std::wstring& path);
// Paths that differ only in letter case name the same file: equal keys, equal files.
std::wstring PathKey(const std::wstring& path);
