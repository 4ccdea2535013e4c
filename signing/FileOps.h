// Opening files and asking about them, the same on every platform. Paths too long for the
// classic Windows limit get the \\?\ form there; elsewhere they pass unchanged.
#pragma once

#include "FileIo.h"

#include <cstdint>
#include <filesystem>
#include <mutex>
#include <system_error>

// `path` in a form the platform's file functions accept whatever its length.
std::filesystem::path LongPath(const std::filesystem::path& path);

bool IsDirectory(const std::filesystem::path& path);
// The access test of the batch: the file may be read.
bool CanReadFile(const std::filesystem::path& path);
// True when both paths name one existing file or folder.
bool SameFile(const std::filesystem::path& a, const std::filesystem::path& b);

// A subfolder below the output folder must not lead out of it (no root, no "..").
bool StaysInside(const std::filesystem::path& subfolder);

// What the one status query of an opened file tells.
struct FileFacts {
    std::int64_t size = 0;
    unsigned mode = 0666; // permission bits
    // The modification and change times, in the platform's finest units (zero where unknown).
    std::int64_t modified = 0;
    std::int64_t changed = 0;
};

// The source's error when what was copied may not be what it is now: its size, modification
// or change time differ from `opened` (FileError::SourceChanged), or it cannot be asked.
// Nothing when it is as it was opened.
std::error_code CheckUnchanged(std::FILE* source, const FileFacts& opened);

// The folder of the last listed file opened, held open for the next file: the files of a
// listing come folder by folder, and the next file of the same folder is then one call. One for
// a whole batch, shared by its threads: one held by each job would take the descriptors that a
// machine short of them needs for the files in flight. Used on POSIX systems only.
struct ListedFolder {
    std::mutex lock;
    std::filesystem::path path;
    unsigned depth = 0;
    int fd = -1;

    ListedFolder() = default;
    ~ListedFolder();
    ListedFolder(const ListedFolder&) = delete;
    ListedFolder& operator=(const ListedFolder&) = delete;
};

// Opens a regular (disk) file for reading in binary mode. Anything else is refused at once
// without blocking: a folder, a FIFO, a device, a socket, on Windows anything that is not a disk
// file. Null on failure, with the reason in `error` when given. `facts` receives the size and
// permission bits. `listedBelow` (a folder listing found a regular file this many names below
// the folder it walked; see SignItem::listed) spares the look before the open that keeps
// devices from being opened at all, and opens the file from that folder without following a
// link.
UniqueFile OpenForReading(const std::filesystem::path& path, std::error_code* error = nullptr,
                          FileFacts* facts = nullptr, unsigned listedBelow = 0,
                          ListedFolder* held = nullptr);
