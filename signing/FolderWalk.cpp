#include "FolderWalk.h"

#include "FileOps.h"

#include <algorithm>
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

} // namespace

FolderFiles FilesBelow(const fs::path& folder, const fs::path& outputFolder) {
    FolderFiles files;
    // Each folder still to list, with the subfolder its files' copies go to.
    std::vector<std::pair<fs::path, fs::path>> pending{{folder, TopName(folder)}};
    while (!pending.empty()) {
        auto [current, subfolder] = std::move(pending.back());
        pending.pop_back();
        std::error_code error;
        fs::directory_iterator entries(LongPath(current), error);
        if (error) {
            files.problems.push_back({current, error});
            continue;
        }
        for (; entries != fs::directory_iterator(); entries.increment(error)) {
            const fs::path name = entries->path().filename();
            const fs::path path = current / name;
            if (IsPendingOutputName(name))
                continue;
            // The listing tells most entries' type (a Linux file system's d_type), so that a
            // plain file or folder costs no system call here; a link is followed, and an entry
            // whose type the listing leaves unknown is asked once.
            std::error_code statusError;
            const bool link = entries->is_symlink(statusError);
            if (!link && entries->is_directory(statusError)) {
                if (!SameFile(path, outputFolder))
                    pending.emplace_back(path, subfolder / name);
                continue;
            }
            if (entries->is_regular_file(statusError)) {
                files.items.push_back({path, subfolder, !link});
                continue;
            }
            const fs::file_status target = entries->status(statusError);
            if (fs::is_regular_file(target))
                files.items.push_back({path, subfolder, false});
            else if (statusError)
                files.problems.push_back({path, statusError});
            else if (!fs::is_directory(target))
                files.problems.push_back({path, make_error_code(FileError::NotRegularFile)});
            else
                files.problems.push_back({path, {}, true});
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
