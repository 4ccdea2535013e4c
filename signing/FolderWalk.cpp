#include "FolderWalk.h"

#include "FileOps.h"

#include <algorithm>
#include <system_error>

namespace fs = std::filesystem;

FolderFiles FilesBelow(const fs::path& folder, const fs::path& outputFolder) {
    const fs::path name = folder.lexically_normal().filename();
    // "." and ".." have no name of their own, and ".." below the output folder would be outside it.
    const fs::path top = (name.empty() || name == "." || name == "..") ? fs::path() : name;
    FolderFiles files;
    std::error_code error;
    fs::recursive_directory_iterator walk(folder, fs::directory_options::skip_permission_denied,
                                          error);
    for (; !error && walk != fs::recursive_directory_iterator(); walk.increment(error)) {
        const fs::directory_entry& entry = *walk;
        std::error_code ignored;
        if (entry.is_directory(ignored) && SameFile(entry.path(), outputFolder)) {
            walk.disable_recursion_pending();
            continue;
        }
        if (!entry.is_regular_file(ignored))
            continue;
        const fs::path relative = entry.path().lexically_relative(folder).parent_path();
        fs::path subfolder = relative.empty() ? top : (top / relative).lexically_normal();
        if (subfolder == ".")
            subfolder.clear();
        files.items.push_back({entry.path(), std::move(subfolder)});
    }
    files.complete = !error;
    std::sort(files.items.begin(), files.items.end(), [](const SignItem& a, const SignItem& b) {
        return a.source.native() < b.source.native();
    });
    return files;
}
