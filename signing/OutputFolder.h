#pragma once

#include <filesystem>
#include <memory>
#include <system_error>
#include <vector>

// A folder that outputs go into, open. The folder the caller named is followed wherever it
// leads (a link there was chosen); below it each folder is made and opened one name at a time,
// never through a link or a junction, so that one planted in a shared output folder cannot
// send a copy elsewhere. On POSIX every output is made and named relative to the open folder.
class COutputFolder {
public:
    // Opens `folder`, then the relative path `below` inside it, making the folders missing.
    // Null, with the reason in `error`, when it cannot: FileError::LinkInOutputFolder for a
    // link below `folder`.
    static std::shared_ptr<const COutputFolder> Open(const std::filesystem::path& folder,
                                                     const std::filesystem::path& below,
                                                     std::error_code& error);
    ~COutputFolder();
    COutputFolder(const COutputFolder&) = delete;
    COutputFolder& operator=(const COutputFolder&) = delete;

    // `folder` / `below`, as opened.
    const std::filesystem::path& Path() const { return m_path; }
    // True when it was opened as `folder` and `below` and has not been removed since.
    bool Serves(const std::filesystem::path& folder, const std::filesystem::path& below) const;
    // True when the folder has an entry `name`; a link counts as itself.
    bool Holds(const std::filesystem::path& name) const;
    // Why its existing entry `name` may not be replaced (a folder; a read-only file; on
    // Windows a link); empty when it may. A link on POSIX may: the link itself is replaced.
    std::error_code ReplaceRefusal(const std::filesystem::path& name) const;
    // Removes its file `name`.
    void Remove(const std::filesystem::path& name) const;
    // The open folder on POSIX; -1 on Windows, where outputs are made by path.
    int Descriptor() const { return m_fd; }

private:
    COutputFolder() = default;

    std::filesystem::path m_folder, m_below, m_path;
    int m_fd = -1;
    // Windows: the folders below `m_folder`, held open so that none is swapped meanwhile.
    std::vector<void*> m_held;
};
using OutputFolderPtr = std::shared_ptr<const COutputFolder>;
