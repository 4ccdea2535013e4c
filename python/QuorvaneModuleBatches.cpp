// quorvane._quorvane's batches, as quorvane-cli runs them, and its listings.
#include "QuorvaneModule.h"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

namespace quorvane_python {

namespace {

std::vector<std::string> TakePaths(const py::iterable& paths) {
    std::vector<std::string> bytes;
    for (const py::handle path : paths)
        bytes.push_back(TakePath(path).bytes);
    return bytes;
}

std::vector<const char*> Pointers(const std::vector<std::string>& strings) {
    std::vector<const char*> pointers;
    pointers.reserve(strings.size());
    for (const std::string& string : strings)
        pointers.push_back(string.c_str());
    return pointers;
}

using Lines = std::vector<std::tuple<std::ptrdiff_t, int, std::string>>;

void CollectLine(void* context, std::ptrdiff_t index, int status, const char* message) {
    static_cast<Lines*>(context)->emplace_back(index, status, message);
}

py::list LinesOf(const Lines& lines) {
    py::list out;
    for (const auto& [index, status, line] : lines)
        out.append(py::make_tuple(index, status, FsText(line)));
    return out;
}

// What a listing gathered without the GIL: (path, subfolder) pairs and problem lines.
struct Listing {
    std::vector<std::pair<std::string, std::string>> files;
    std::vector<std::string> problems;
    // Where each problem came among the files: how many came before it.
    std::vector<std::size_t> problemAt;
};

void ListedFile(void* context, const char* path, const char* subfolder) {
    static_cast<Listing*>(context)->files.emplace_back(path, subfolder);
}

void ListedProblem(void* context, const char* message) {
    auto* listing = static_cast<Listing*>(context);
    listing->problems.emplace_back(message);
    listing->problemAt.push_back(listing->files.size());
}

// The items of a listing handed out one at a time (a Python iterator), each made into Python
// objects only when asked for: a walk of many files costs Python no list of them all.
struct LazyItems {
    std::size_t size = 0;
    std::size_t next = 0;
    std::function<py::object(std::size_t)> at;
    std::function<void()> release;
};

py::object LazyItemsOf(std::size_t size, std::function<py::object(std::size_t)> at,
                       std::function<void()> release) {
    LazyItems items;
    items.size = size;
    items.at = std::move(at);
    items.release = std::move(release);
    return py::cast(std::move(items));
}

py::tuple ListingOf(const Listing& listing) {
    py::list files, problems;
    for (const auto& [path, subfolder] : listing.files)
        files.append(py::make_tuple(FsText(path), FsText(subfolder)));
    for (const std::string& problem : listing.problems)
        problems.append(FsText(problem));
    return py::make_tuple(files, problems);
}

// The same in the walk's order: (path, subfolder) for a file, quorvane-cli's line for what is
// not signed, in its place.
py::list EntriesOf(const Listing& listing) {
    py::list entries;
    std::size_t problem = 0;
    for (std::size_t file = 0; file <= listing.files.size(); ++file) {
        for (; problem < listing.problems.size() && listing.problemAt[problem] == file; ++problem)
            entries.append(FsText(listing.problems[problem]));
        if (file < listing.files.size())
            entries.append(py::make_tuple(FsText(listing.files[file].first),
                                          FsText(listing.files[file].second)));
    }
    return entries;
}

// One file of a check batch, gathered without the GIL.
struct Checked {
    int status;
    std::optional<std::string> text;
    std::int64_t signedAt;
    std::optional<std::string> reason;
    std::string json;
};

void CollectChecked(void* context, const quorvane_check_result* result) {
    static_cast<std::vector<Checked>*>(context)->push_back(
        {result->status,
         result->text != nullptr
             ? std::optional<std::string>(std::in_place, result->text, result->text_size)
             : std::nullopt,
         result->signed_at,
         result->reason != nullptr ? std::optional<std::string>(result->reason) : std::nullopt,
         result->json_line});
}

// Sign batch items: (source, subfolder or None) pairs, as the C API takes them.
struct Items {
    std::vector<std::string> sources, subfolders;
    std::vector<quorvane_item> items;

    explicit Items(const py::iterable& pairs) {
        for (const py::handle pair : pairs) {
            const auto [source, subfolder] = pair.cast<std::pair<py::object, py::object>>();
            sources.push_back(TakePath(source).bytes);
            subfolders.push_back(subfolder.is_none() ? std::string() : TakePath(subfolder).bytes);
        }
        for (std::size_t i = 0; i < sources.size(); ++i)
            items.push_back({sources[i].c_str(), subfolders[i].c_str()});
    }
};

// A path or None, for the C API's optional folders.
std::optional<std::string> TakeOptionalPath(const py::object& path) {
    if (path.is_none())
        return std::nullopt;
    return TakePath(path).bytes;
}

} // namespace

void BindBatches(py::module_& module) {
    py::class_<LazyItems>(module, "_LazyItems")
        .def("__iter__", [](py::object self) { return self; })
        .def("__next__", [](LazyItems& self) {
            if (self.next == self.size) {
                if (self.release)
                    self.release();
                self.release = nullptr;
                throw py::stop_iteration();
            }
            return self.at(self.next++);
        });
    // list_sign_items and list_check_entries with their items handed out lazily.
    module.def("walk_sign_items", [](const py::object& path, const py::object& outputFolder,
                                     int flags) {
        const Path from = TakePath(path);
        const std::optional<std::string> out = TakeOptionalPath(outputFolder);
        auto listing = std::make_shared<Listing>();
        const int status = Unlocked(true, [&] {
            return quorvane_list_sign_items_with(from.bytes.c_str(), out ? out->c_str() : nullptr,
                                                 flags, ListedFile, ListedProblem, listing.get());
        });
        if (status != QUORVANE_OK && (status != QUORVANE_CANNOT_READ || listing->problems.empty()))
            Raise(status, from.shown);
        // Each problem with the number of files before it, where quorvane-cli reports it.
        py::list problems;
        for (std::size_t i = 0; i < listing->problems.size(); ++i)
            problems.append(py::make_tuple(listing->problemAt[i], FsText(listing->problems[i])));
        return py::make_tuple(LazyItemsOf(
                                  listing->files.size(),
                                  [listing](std::size_t i) -> py::object {
                                      return py::make_tuple(FsText(listing->files[i].first),
                                                            FsText(listing->files[i].second));
                                  },
                                  [listing] {
                                      std::vector<std::pair<std::string, std::string>>().swap(
                                          listing->files);
                                  }),
                              problems);
    });
    module.def("walk_check_entries", [](const py::object& path, int flags) {
        const Path name = TakePath(path);
        auto entries =
            std::make_shared<std::vector<std::pair<std::string, std::optional<std::string>>>>();
        const int status = Unlocked(true, [&] {
            return quorvane_list_check_entries_with(
                name.bytes.c_str(), flags,
                [](void* context, const char* entry, const char* line) {
                    static_cast<std::vector<std::pair<std::string, std::optional<std::string>>>*>(
                        context)
                        ->emplace_back(entry, line != nullptr ? std::optional<std::string>(line)
                                                              : std::nullopt);
                },
                entries.get());
        });
        if (status != QUORVANE_OK && status != QUORVANE_CANNOT_READ)
            Raise(status, name.shown);
        return LazyItemsOf(
            entries->size(),
            [entries](std::size_t i) -> py::object {
                const auto& [entry, line] = (*entries)[i];
                return py::make_tuple(FsText(entry), line ? py::object(FsText(*line)) : py::none());
            },
            [entries] {
                entries->clear();
                entries->shrink_to_fit();
            });
    });
    module.def("sign_batch", [](const py::iterable& pairs, const py::object& outputFolder,
                                const py::object& text, int flags, unsigned jobs,
                                const py::iterable& written) {
        const Items items(pairs);
        // (output, source) pairs that earlier parts of the run wrote.
        const Items earlier(written);
        std::vector<quorvane_written> writtenEarlier;
        for (const quorvane_item& item : earlier.items)
            writtenEarlier.push_back({item.source, item.subfolder});
        const Path folder = TakePath(outputFolder);
        const std::string units = Wtf8(text);
        Lines lines;
        std::size_t count = 0;
        const int status = Unlocked(true, [&] {
            return quorvane_sign_batch_after(items.items.data(), items.items.size(),
                                             folder.bytes.c_str(), units.data(), units.size(),
                                             flags, jobs, writtenEarlier.data(),
                                             writtenEarlier.size(), CollectLine, &lines, &count);
        });
        if (status != QUORVANE_OK && status != QUORVANE_FAILED)
            Raise(status, status == QUORVANE_CANNOT_WRITE ? folder.shown : py::none());
        return py::make_tuple(count, LinesOf(lines));
    });
    module.def("check_batch", [](const py::iterable& paths, unsigned jobs) {
        const std::vector<std::string> names = TakePaths(paths);
        const std::vector<const char*> pointers = Pointers(names);
        std::vector<Checked> results;
        const int status = Unlocked(true, [&] {
            return quorvane_check_batch(pointers.data(), pointers.size(), jobs, CollectChecked,
                                        &results, nullptr);
        });
        if (status != QUORVANE_OK && status != QUORVANE_NOT_SIGNED &&
            status != QUORVANE_CANNOT_READ)
            Raise(status);
        py::list found;
        for (const Checked& result : results)
            found.append(py::make_tuple(
                result.text ? py::object(FromWtf8(result.text->data(), result.text->size()))
                            : py::none(),
                TimeText(result.signedAt),
                result.reason ? py::object(FsText(*result.reason)) : py::none(),
                FsText(result.json)));
        return found;
    });
    module.def("strip_batch", [](const py::iterable& sources, const py::object& outputFolder,
                                 int flags, unsigned jobs, const py::iterable& written) {
        const std::vector<std::string> names = TakePaths(sources);
        const std::vector<const char*> pointers = Pointers(names);
        const Items earlier(written);
        std::vector<quorvane_written> writtenEarlier;
        for (const quorvane_item& item : earlier.items)
            writtenEarlier.push_back({item.source, item.subfolder});
        const Path folder = TakePath(outputFolder);
        Lines lines;
        std::size_t count = 0;
        const int status = Unlocked(true, [&] {
            return quorvane_strip_batch_after(
                pointers.data(), pointers.size(), folder.bytes.c_str(), flags, jobs,
                writtenEarlier.data(), writtenEarlier.size(), CollectLine, &lines, &count);
        });
        if (status != QUORVANE_OK && status != QUORVANE_FAILED)
            Raise(status, status == QUORVANE_CANNOT_WRITE ? folder.shown : py::none());
        return py::make_tuple(count, LinesOf(lines));
    });
    module.def("list_check_entries", [](const py::object& path, int flags) {
        const Path name = TakePath(path);
        std::vector<std::pair<std::string, std::optional<std::string>>> entries;
        const int status = Unlocked(true, [&] {
            return quorvane_list_check_entries_with(
                name.bytes.c_str(), flags,
                [](void* context, const char* entry, const char* line) {
                    static_cast<decltype(entries)*>(context)->emplace_back(
                        entry, line != nullptr ? std::optional<std::string>(line) : std::nullopt);
                },
                &entries);
        });
        if (status != QUORVANE_OK && status != QUORVANE_CANNOT_READ)
            Raise(status, name.shown);
        py::list found;
        for (const auto& [entry, line] : entries)
            found.append(
                py::make_tuple(FsText(entry), line ? py::object(FsText(*line)) : py::none()));
        return found;
    });
    module.def("list_files", [](const py::object& folder, const py::object& outputFolder,
                                int flags) {
        const Path from = TakePath(folder);
        const std::optional<std::string> out = TakeOptionalPath(outputFolder);
        Listing listing;
        const int status = Unlocked(true, [&] {
            return quorvane_list_files_with(from.bytes.c_str(), out ? out->c_str() : nullptr, flags,
                                            ListedFile, ListedProblem, &listing);
        });
        if (status != QUORVANE_OK && (status != QUORVANE_CANNOT_READ || listing.problems.empty()))
            Raise(status, from.shown);
        return ListingOf(listing);
    });
    module.def("list_sign_items", [](const py::object& path, const py::object& outputFolder,
                                     int flags) {
        const Path from = TakePath(path);
        const std::optional<std::string> out = TakeOptionalPath(outputFolder);
        Listing listing;
        const int status = Unlocked(true, [&] {
            return quorvane_list_sign_items_with(from.bytes.c_str(), out ? out->c_str() : nullptr,
                                                 flags, ListedFile, ListedProblem, &listing);
        });
        if (status != QUORVANE_OK && (status != QUORVANE_CANNOT_READ || listing.problems.empty()))
            Raise(status, from.shown);
        return ListingOf(listing);
    });
    module.def("list_sign_entries", [](const py::object& path, const py::object& outputFolder,
                                       int flags) {
        const Path from = TakePath(path);
        const std::optional<std::string> out = TakeOptionalPath(outputFolder);
        Listing listing;
        const int status = Unlocked(true, [&] {
            return quorvane_list_sign_items_with(from.bytes.c_str(), out ? out->c_str() : nullptr,
                                                 flags, ListedFile, ListedProblem, &listing);
        });
        if (status != QUORVANE_OK && (status != QUORVANE_CANNOT_READ || listing.problems.empty()))
            Raise(status, from.shown);
        return EntriesOf(listing);
    });
    module.def("plan_sign_batch",
               [](const py::iterable& pairs, const py::object& outputFolder, std::size_t partSize) {
                   const Items items(pairs);
                   const Path folder = TakePath(outputFolder);
                   std::vector<std::tuple<std::string, std::ptrdiff_t, std::size_t>> planned;
                   std::size_t parts = 0;
                   const int status = Unlocked(true, [&] {
                       return quorvane_plan_sign_batch(
                           items.items.data(), items.items.size(), folder.bytes.c_str(), partSize,
                           [](void* context, const quorvane_planned_item* item) {
                               static_cast<decltype(planned)*>(context)->emplace_back(
                                   item->output, item->earlier, item->part);
                           },
                           &planned, &parts);
                   });
                   Require(status);
                   py::list outputs, earlier, partOf;
                   for (const auto& [output, first, part] : planned) {
                       outputs.append(FsText(output));
                       earlier.append(first >= 0 ? py::object(py::int_(first)) : py::none());
                       partOf.append(part);
                   }
                   return py::make_tuple(outputs, earlier, partOf, parts);
               });
    module.def("strip_output", [](const py::object& source, const py::object& outputFolder) {
        const Path name = TakePath(source);
        const Path folder = TakePath(outputFolder);
        char* output = nullptr;
        Require(quorvane_strip_output(name.bytes.c_str(), folder.bytes.c_str(), &output));
        return FsText(LibraryText(output).get());
    });
    module.def("summary", [](std::size_t count) {
        char* text = nullptr;
        Require(quorvane_sign_summary(count, &text));
        return std::string(LibraryText(text).get());
    });
}

} // namespace quorvane_python
