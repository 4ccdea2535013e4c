#include "FolderWalk.h"

#include "FileErrors.h"
#include "FileIdentity.h"
#include "FileOps.h"
#include "PendingOutput.h"

#ifndef _WIN32
#include <dirent.h>
#endif

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <memory>
#include <optional>
#include <string_view>
#include <type_traits>
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

// What a listing found, by what the walk does with it.
enum class Found : unsigned char {
    File,         // a regular file, opened from the walked folder without following a link
    FileByPath,   // one reached through a link, or whose type the listing left unknown
    Folder,       // walked below, its files opened from the walked folder
    LinkedFolder, // a link to a folder that is followed
    Problem,      // not signed
};

bool IsFolder(Found found) {
    return found == Found::Folder || found == Found::LinkedFolder;
}

// Orders two names of one folder as their full paths order: a folder's name as if it ended
// in a separator, which is where the paths of its files part from those of its neighbours.
template <class Char>
bool PathOrder(std::basic_string_view<Char> a, bool aFolder, std::basic_string_view<Char> b,
               bool bFolder) {
    using Unit = std::make_unsigned_t<Char>;
    const auto at = [](std::basic_string_view<Char> name, bool folder, std::size_t i) -> long {
        if (i < name.size())
            return static_cast<Unit>(name[i]);
        return i == name.size() && folder ? long{'/'} : -1;
    };
    const std::size_t common = std::min(a.size(), b.size());
    if (const int order = a.substr(0, common).compare(b.substr(0, common)); order != 0)
        return order < 0;
    for (std::size_t i = common;; ++i) {
        const long x = at(a, aFolder, i), y = at(b, bFolder, i);
        if (x != y || x < 0)
            return x < y;
    }
}

} // namespace

namespace {

using NameView = std::basic_string_view<fs::path::value_type>;

// What a folder's listing tells of an entry's type without asking the file system again;
// anything else (another type, or one the listing leaves unknown) is asked once by path.
enum class Listed { File, Folder, Link, Other };

// Gives `take(name, listed)` each entry of `folder` but "." and ".."; `take` ends the listing
// with an error. The error that ended it, if any; `opened` tells whether the folder opened.
// On POSIX the folder is read here: libstdc++'s listing ends the process when it finds no
// memory (it allocates where it cannot throw), and a walk short of memory must throw instead.
template <class Take>
std::error_code ListFolder(const fs::path& folder, bool& opened, const Take& take) {
#ifdef _WIN32
    std::error_code error;
    fs::directory_iterator listing(LongPath(folder), error);
    opened = !error;
    for (; !error && listing != fs::directory_iterator(); listing.increment(error)) {
        std::error_code typeError;
        const Listed listed = listing->is_symlink(typeError)        ? Listed::Link
                              : listing->is_directory(typeError)    ? Listed::Folder
                              : listing->is_regular_file(typeError) ? Listed::File
                                                                    : Listed::Other;
        if (const std::error_code stop =
                take(NameView(listing->path().filename().native()), listed))
            return stop;
    }
    return error;
#else
    struct Closer {
        void operator()(DIR* dir) const { ::closedir(dir); }
    };
    const std::unique_ptr<DIR, Closer> dir(::opendir(folder.c_str()));
    opened = dir != nullptr;
    if (!opened)
        return {errno, std::generic_category()};
    for (;;) {
        errno = 0;
        const dirent* entry = ::readdir(dir.get());
        if (entry == nullptr)
            return errno == 0 ? std::error_code() : std::error_code(errno, std::generic_category());
        const NameView name(entry->d_name);
        if (name == "." || name == "..")
            continue;
        const Listed listed = entry->d_type == DT_REG   ? Listed::File
                              : entry->d_type == DT_DIR ? Listed::Folder
                              : entry->d_type == DT_LNK ? Listed::Link
                                                        : Listed::Other;
        if (const std::error_code stop = take(name, listed))
            return stop;
    }
#endif
}

} // namespace

// A folder that a walk following links is in, and the folders that one is in.
struct CFolderWalk::Ancestor {
    FileIdentity identity;
    std::shared_ptr<const Ancestor> up;
};

// A folder being walked: its entries' names one after another, sorted, and where the walk is.
struct CFolderWalk::Frame {
    using Char = fs::path::value_type;
    // Twelve bytes an entry beside its name, so that a folder of a million files lists in
    // some 25 MB.
    struct Entry {
        std::uint32_t offset;
        std::uint16_t length;
        Found found;
        std::uint32_t problem; // its place in `problems`
        std::basic_string_view<Char> Name(const fs::path::string_type& names) const {
            return std::basic_string_view<Char>(names).substr(offset, length);
        }
    };

    fs::path folder;
    // The subfolder its files' copies go to, its depth below the folder walked or the last
    // link followed (its files are opened from there without following a link), and, when
    // links are followed, the folders it lies in, so that a link to one of them is not walked
    // forever.
    fs::path subfolder;
    unsigned depth = 0;
    std::shared_ptr<const Ancestor> ancestors;
    fs::path::string_type names;
    std::vector<Entry> entries;
    std::vector<WalkProblem> problems;
    std::size_t next = 0;
    // A listing that failed part way, told after the entries it gave.
    std::error_code error;
};

CFolderWalk::CFolderWalk(const fs::path& folder, const fs::path& outputFolder, bool followLinks)
    : m_outputFolder(outputFolder), m_followLinks(followLinks) {
    std::shared_ptr<const Ancestor> ancestors;
    if (followLinks)
        if (const std::optional<FileIdentity> identity = IdentityOf(folder))
            ancestors = std::make_shared<const Ancestor>(Ancestor{*identity, nullptr});
    Enter(folder, TopName(folder), 0, std::move(ancestors));
}

CFolderWalk::~CFolderWalk() = default;

void CFolderWalk::Enter(const fs::path& folder, const fs::path& subfolder, unsigned depth,
                        std::shared_ptr<const Ancestor> ancestors) {
    auto frame = std::make_unique<Frame>();
    frame->folder = folder;
    frame->subfolder = subfolder;
    frame->depth = depth;
    frame->ancestors = std::move(ancestors);
    const auto problem = [&](WalkProblem found) {
        frame->problems.push_back(std::move(found));
        return Found::Problem;
    };
    bool opened = false;
    frame->error = ListFolder(folder, opened, [&](NameView name, Listed listed) {
        // A name longer than any file system's, or a listing past 4 GB of names, ends it.
        if (name.size() > UINT16_MAX || frame->names.size() + name.size() > UINT32_MAX)
            return std::make_error_code(std::errc::value_too_large);
        Found found = Found::Problem;
        const fs::path path = folder / name;
        if (listed == Listed::Other) {
            // Asked without following a link, which the walk takes for a link.
            std::error_code ownError;
            const fs::file_status own = fs::symlink_status(path, ownError);
            if (!ownError)
                listed = fs::is_symlink(own)        ? Listed::Link
                         : fs::is_directory(own)    ? Listed::Folder
                         : fs::is_regular_file(own) ? Listed::File
                                                    : Listed::Other;
        }
        if (IsPendingOutputName(path.filename())) {
            found = problem({path, {}, LinkedTo::Nothing, true});
        } else if (listed == Listed::Folder) {
            found = Found::Folder;
        } else if (listed == Listed::File) {
            found = Found::File;
        } else {
            std::error_code statusError;
            const fs::file_status target = fs::status(path, statusError);
            if (statusError)
                found = problem({path, statusError});
            else if (fs::is_regular_file(target) && (listed != Listed::Link || m_followLinks))
                found = Found::FileByPath;
            else if (fs::is_regular_file(target))
                found = problem({path, {}, LinkedTo::File});
            else if (!fs::is_directory(target))
                found = problem({path, make_error_code(FileError::NotRegularFile)});
            else if (!m_followLinks)
                found = problem({path, {}, LinkedTo::Folder});
            else
                found = Found::LinkedFolder;
        }
        frame->entries.push_back({static_cast<std::uint32_t>(frame->names.size()),
                                  static_cast<std::uint16_t>(name.size()), found,
                                  static_cast<std::uint32_t>(frame->problems.size() -
                                                             (found == Found::Problem ? 1 : 0))});
        frame->names += name;
        return std::error_code();
    });
    if (!opened) {
        m_pending = WalkProblem{folder, frame->error};
        return;
    }
    const fs::path::string_type& names = frame->names;
    std::sort(frame->entries.begin(), frame->entries.end(),
              [&names](const Frame::Entry& a, const Frame::Entry& b) {
                  return PathOrder(a.Name(names), IsFolder(a.found), b.Name(names),
                                   IsFolder(b.found));
              });
    m_frames.push_back(std::move(frame));
}

bool CFolderWalk::Next(SignEntry& entry) {
    for (;;) {
        if (m_pending) {
            entry.problem = std::move(m_pending);
            m_pending.reset();
            return true;
        }
        if (m_frames.empty())
            return false;
        Frame& frame = *m_frames.back();
        if (frame.next == frame.entries.size()) {
            std::optional<WalkProblem> failed;
            if (frame.error)
                failed = WalkProblem{std::move(frame.folder), frame.error};
            m_frames.pop_back();
            if (!failed)
                continue;
            entry.problem = std::move(failed);
            return true;
        }
        // The walk moves past an entry only once it is given or entered, so that a step that
        // found no memory is taken again.
        const Frame::Entry& found = frame.entries[frame.next];
        const fs::path name(found.Name(frame.names));
        fs::path path = frame.folder / name;
        switch (found.found) {
        case Found::File:
        case Found::FileByPath:
            entry.item = {std::move(path), frame.subfolder,
                          found.found == Found::File ? frame.depth + 1 : 0};
            entry.problem.reset();
            ++frame.next;
            return true;
        case Found::Problem:
            entry.problem = std::move(frame.problems[found.problem]);
            ++frame.next;
            return true;
        case Found::Folder:
        case Found::LinkedFolder:
            break;
        }
        if (SameFile(path, m_outputFolder)) {
            ++frame.next;
            continue;
        }
        const unsigned depth = found.found == Found::Folder ? frame.depth + 1 : 0;
        std::shared_ptr<const Ancestor> ancestors = frame.ancestors;
        fs::path subfolder = frame.subfolder / name;
        if (m_followLinks) {
            const std::optional<FileIdentity> identity = IdentityOf(path);
            bool loop = false;
            for (const Ancestor* up = ancestors.get(); identity && up != nullptr && !loop;
                 up = up->up.get())
                loop = up->identity == *identity;
            if (loop) {
                entry.problem =
                    WalkProblem{std::move(path),
                                std::make_error_code(std::errc::too_many_symbolic_link_levels)};
                ++frame.next;
                return true;
            }
            if (identity)
                ancestors = std::make_shared<const Ancestor>(Ancestor{*identity, ancestors});
        }
        Enter(path, subfolder, depth, std::move(ancestors));
        ++frame.next;
    }
}

FolderFiles FilesBelow(const fs::path& folder, const fs::path& outputFolder, bool followLinks) {
    FolderFiles files;
    CFolderWalk walk(folder, outputFolder, followLinks);
    SignEntry entry;
    while (walk.Next(entry)) {
        if (entry.problem)
            files.problems.push_back(std::move(*entry.problem));
        else
            files.items.push_back(std::move(entry.item));
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

CSignEntries::CSignEntries(NextOperand next, fs::path outputFolder, bool recursive,
                           bool followLinks)
    : m_next(std::move(next)), m_outputFolder(std::move(outputFolder)), m_recursive(recursive),
      m_followLinks(followLinks) {}

bool CSignEntries::Next(SignEntry& entry) {
    for (;;) {
        if (m_walk && m_walk->Next(entry))
            return true;
        m_walk.reset();
        if (!m_operand) {
            fs::path operand;
            if (!m_next(operand))
                return false;
            m_operand = std::move(operand);
        }
        fs::path& operand = *m_operand;
        if (!IsDirectory(operand)) {
            entry.item = {std::move(operand), {}};
            entry.problem.reset();
            m_operand.reset();
            return true;
        }
        if (!m_recursive) {
            entry.problem = WalkProblem{std::move(operand), {}, LinkedTo::Nothing, false, true};
            m_operand.reset();
            return true;
        }
        m_walk = std::make_unique<CFolderWalk>(operand, m_outputFolder, m_followLinks);
        m_operand.reset();
    }
}
