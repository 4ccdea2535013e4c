#include "FolderWalk.h"

#include "FileErrors.h"
#include "FileIdentity.h"
#include "FileOps.h"
#include "PendingOutput.h"

#include <algorithm>
#include <memory>
#include <optional>
#include <utility>

namespace fs = std::filesystem;

namespace {

// The name a copy of `folder` takes below the output folder: its last name as given, whatever
// separators end it; none for ".", ".." and roots, whose names would lead out of the output
// folder.
fs::path TopName(fs::path folder) {
    while (!folder.has_filename() && folder.has_relative_path())
        folder = folder.parent_path();
    fs::path name = folder.filename();
    if (name == "." || name == "..")
        name.clear();
    return name;
}

// A folder that a walk following links is in, and the folders that one is in.
struct Ancestor {
    FileIdentity identity;
    std::shared_ptr<const Ancestor> up;
};

} // namespace

FolderFiles FilesBelow(const fs::path& folder, const fs::path& outputFolder, bool followLinks) {
    FolderFiles files;
    // Each folder still to list, with the subfolder its files' copies go to, its depth below
    // the folder walked or the last link followed (its files are opened from there without
    // following a link) and, when links are followed, the folders it lies in, so that a link
    // to one of them is not walked forever.
    struct Pending {
        fs::path folder;
        fs::path subfolder;
        unsigned depth;
        std::shared_ptr<const Ancestor> ancestors;
    };
    std::vector<Pending> pending{{folder, TopName(folder), 0, nullptr}};
    const auto descend = [&](const fs::path& path, const fs::path& subfolder, unsigned depth,
                             const std::shared_ptr<const Ancestor>& ancestors) {
        if (!followLinks) {
            pending.push_back({path, subfolder, depth, nullptr});
            return;
        }
        const std::optional<FileIdentity> identity = IdentityOf(path);
        for (const Ancestor* up = ancestors.get(); identity && up != nullptr; up = up->up.get())
            if (up->identity == *identity) {
                files.problems.push_back(
                    {path, std::make_error_code(std::errc::too_many_symbolic_link_levels)});
                return;
            }
        pending.push_back({path, subfolder, depth,
                           identity
                               ? std::make_shared<const Ancestor>(Ancestor{*identity, ancestors})
                               : ancestors});
    };
    while (!pending.empty()) {
        auto [current, subfolder, depth, ancestors] = std::move(pending.back());
        pending.pop_back();
        if (followLinks && ancestors == nullptr)
            if (const std::optional<FileIdentity> identity = IdentityOf(current))
                ancestors = std::make_shared<const Ancestor>(Ancestor{*identity, nullptr});
        std::error_code error;
        fs::directory_iterator entries(LongPath(current), error);
        if (error) {
            files.problems.push_back({current, error});
            continue;
        }
        for (; entries != fs::directory_iterator(); entries.increment(error)) {
            const fs::path name = entries->path().filename();
            const fs::path path = current / name;
            if (IsPendingOutputName(name)) {
                files.problems.push_back({path, {}, LinkedTo::Nothing, true});
                continue;
            }
            // The listing tells most entries' type (a Linux file system's d_type), so that a
            // plain file or folder costs no system call here; a link, and an entry whose type
            // the listing leaves unknown, is asked once.
            std::error_code statusError;
            const bool link = entries->is_symlink(statusError);
            if (!link && entries->is_directory(statusError)) {
                if (!SameFile(path, outputFolder))
                    descend(path, subfolder / name, depth + 1, ancestors);
                continue;
            }
            if (!link && entries->is_regular_file(statusError)) {
                files.items.push_back({path, subfolder, depth + 1});
                continue;
            }
            const fs::file_status target = entries->status(statusError);
            if (statusError)
                files.problems.push_back({path, statusError});
            else if (fs::is_regular_file(target) && (!link || followLinks))
                files.items.push_back({path, subfolder, 0});
            else if (fs::is_regular_file(target))
                files.problems.push_back({path, {}, LinkedTo::File});
            else if (!fs::is_directory(target))
                files.problems.push_back({path, make_error_code(FileError::NotRegularFile)});
            else if (!followLinks)
                files.problems.push_back({path, {}, LinkedTo::Folder});
            else if (!SameFile(path, outputFolder))
                descend(path, subfolder / name, 0, ancestors);
        }
        if (error)
            files.problems.push_back({current, error});
    }
    std::sort(files.items.begin(), files.items.end(), [](const SignItem& a, const SignItem& b) {
        return a.source.native() < b.source.native();
    });
    std::sort(files.problems.begin(), files.problems.end(),
              [](const WalkProblem& a, const WalkProblem& b) {
                  return a.path.native() < b.path.native();
              });
    return files;
}

FolderFiles SignItemsOf(const fs::path& operand, const fs::path& outputFolder, bool recursive,
                        bool followLinks) {
    FolderFiles files;
    if (!IsDirectory(operand))
        files.items.push_back({operand, {}});
    else if (recursive)
        files = FilesBelow(operand, outputFolder, followLinks);
    else
        files.problems.push_back({operand, {}, LinkedTo::Nothing, false, true});
    return files;
}
