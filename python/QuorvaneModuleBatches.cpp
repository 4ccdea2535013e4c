// quorvane._quorvane's batches, as quorvane-cli runs them, over any iterator pulled as the run
// goes, and its listings.
#include "QuorvaneModule.h"

#include <algorithm>
#include <cstddef>
#include <deque>
#include <exception>
#include <initializer_list>
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

// A batch whose files come from a Python iterator, pulled one at a time as the run asks for
// them, each result given to `onResult` as it comes and the progress to `progress` (None: not
// told). The GIL is held only while pulling and calling back, on whichever thread the library
// calls from. What Python raises there stops the run (the C API's negative answer), and is
// raised once the run has ended.
class CPythonRun {
public:
    CPythonRun(const py::iterator& files, py::object onResult, py::object progress)
        : m_files(files), m_onResult(std::move(onResult)), m_progress(std::move(progress)) {}

    static int NextItem(void* context, quorvane_item* item) {
        auto& run = *static_cast<CPythonRun*>(context);
        return run.Guard([&] {
            py::object pair;
            if (!run.Pull(pair))
                return 0;
            const auto [source, subfolder] = pair.cast<std::pair<py::object, py::object>>();
            run.m_source = TakePath(source).bytes;
            run.m_subfolder = subfolder.is_none() ? std::string() : TakePath(subfolder).bytes;
            *item = {run.m_source.c_str(), run.m_subfolder.c_str()};
            return 1;
        });
    }
    static int NextPath(void* context, const char** path) {
        auto& run = *static_cast<CPythonRun*>(context);
        return run.Guard([&] {
            py::object given;
            if (!run.Pull(given))
                return 0;
            run.m_source = TakePath(given).bytes;
            // Kept for its result (check gives each path back as given).
            run.m_given.push_back(std::move(given));
            *path = run.m_source.c_str();
            return 1;
        });
    }
    static void Reported(void* context, std::ptrdiff_t index, int status, const char* line) {
        auto& run = *static_cast<CPythonRun*>(context);
        run.Guard([&] {
            run.m_onResult(py::make_tuple(index, status, FsText(line)));
            return 0;
        });
    }
    static void Checked(void* context, const quorvane_check_result* result) {
        auto& run = *static_cast<CPythonRun*>(context);
        run.Guard([&] {
            const py::object path = std::move(run.m_given.front());
            run.m_given.pop_front();
            run.m_onResult(
                path,
                result->text != nullptr ? py::object(FromWtf8(result->text, result->text_size))
                                        : py::none(),
                TimeText(result->signed_at),
                result->reason != nullptr ? py::object(FsText(result->reason)) : py::none(),
                FsText(result->json_line));
            return 0;
        });
    }
    // Also where a callback's failure and Ctrl-C stop the run, after each file.
    static int Progress(void* context, const quorvane_progress* progress) {
        auto& run = *static_cast<CPythonRun*>(context);
        return run.Guard([&] {
            if (PyErr_CheckSignals() != 0)
                throw py::error_already_set();
            if (!run.m_progress.is_none())
                run.m_progress(progress->files_done, progress->files_known, progress->bytes_copied);
            return 0;
        });
    }

    // After the run, with the GIL: what a callback raised, or the library's failure unless it
    // is one of `reported` (told through the results).
    void Finish(int status, std::initializer_list<int> reported, const py::object& folder) {
        if (m_error) {
            py::error_already_set error = std::move(*m_error);
            m_error.reset();
            throw error;
        }
        if (status == QUORVANE_OK ||
            std::find(reported.begin(), reported.end(), status) != reported.end())
            return;
        Raise(status, status == QUORVANE_CANNOT_WRITE ? folder : py::none());
    }

private:
    // The next object of the iterator; false after the last.
    bool Pull(py::object& next) {
        PyObject* got = PyIter_Next(m_files.ptr());
        if (got == nullptr) {
            if (PyErr_Occurred() != nullptr)
                throw py::error_already_set();
            return false;
        }
        next = py::reinterpret_steal<py::object>(got);
        return true;
    }
    // Runs `call` with the GIL; once something was raised, nothing more runs and the run is
    // asked to stop.
    template <class Call> int Guard(Call call) noexcept {
        py::gil_scoped_acquire locked;
        if (m_error)
            return -1;
        try {
            return call();
        } catch (py::error_already_set& error) {
            m_error.emplace(std::move(error));
        } catch (py::builtin_exception& error) {
            error.set_error();
            m_error.emplace();
        } catch (const std::exception& error) {
            PyErr_SetString(PyExc_RuntimeError, error.what());
            m_error.emplace();
        }
        return -1;
    }

    py::iterator m_files;
    py::object m_onResult, m_progress;
    std::string m_source, m_subfolder;
    std::deque<py::object> m_given;
    std::optional<py::error_already_set> m_error;
};

// The (output, source) pairs that earlier parts of a run wrote, as the C API takes them.
struct Written {
    Items pairs;
    std::vector<quorvane_written> written;

    explicit Written(const py::iterable& given) : pairs(given) {
        for (const quorvane_item& item : pairs.items)
            written.push_back({item.source, item.subfolder});
    }
};

// A path or None, for the C API's optional folders.
std::optional<std::string> TakeOptionalPath(const py::object& path) {
    if (path.is_none())
        return std::nullopt;
    return TakePath(path).bytes;
}

// What quorvane_list_sign_items_with gives for `path`; raises what refuses it.
Listing SignItemsListed(const py::object& path, const py::object& outputFolder, int flags) {
    const Path from = TakePath(path);
    const std::optional<std::string> out = TakeOptionalPath(outputFolder);
    Listing listing;
    const int status = Unlocked(true, [&] {
        return quorvane_list_sign_items_with(from.bytes.c_str(), out ? out->c_str() : nullptr,
                                             flags, ListedFile, ListedProblem, &listing);
    });
    if (status != QUORVANE_OK && (status != QUORVANE_CANNOT_READ || listing.problems.empty()))
        Raise(status, from.shown);
    return listing;
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
    // The batches, over an iterator, with callbacks for results and progress.
    module.def("sign_batch", [](const py::iterator& pairs, std::size_t known,
                                const py::object& outputFolder, const py::object& text, int flags,
                                unsigned jobs, const py::iterable& writtenEarlier,
                                py::object onResult, py::object progress) {
        const Written earlier(writtenEarlier);
        const Path folder = TakePath(outputFolder);
        const std::string units = Wtf8(text);
        CPythonRun run(pairs, std::move(onResult), std::move(progress));
        std::size_t count = 0;
        const int status = Unlocked(true, [&] {
            return quorvane_sign_batch_from(
                CPythonRun::NextItem, known, folder.bytes.c_str(), units.data(), units.size(),
                flags, jobs, earlier.written.data(), earlier.written.size(), CPythonRun::Reported,
                CPythonRun::Progress, &run, &count);
        });
        run.Finish(status, {QUORVANE_FAILED}, folder.shown);
        return count;
    });
    module.def("check_batch", [](const py::iterator& paths, std::size_t known, unsigned jobs,
                                 py::object onResult, py::object progress) {
        CPythonRun run(paths, std::move(onResult), std::move(progress));
        std::size_t count = 0;
        const int status = Unlocked(true, [&] {
            return quorvane_check_batch_from(CPythonRun::NextPath, known, jobs, CPythonRun::Checked,
                                             CPythonRun::Progress, &run, &count);
        });
        run.Finish(status, {QUORVANE_NOT_SIGNED, QUORVANE_CANNOT_READ}, py::none());
        return count;
    });
    module.def("strip_batch", [](const py::iterator& sources, std::size_t known,
                                 const py::object& outputFolder, int flags, unsigned jobs,
                                 const py::iterable& writtenEarlier, py::object onResult,
                                 py::object progress) {
        const Written earlier(writtenEarlier);
        const Path folder = TakePath(outputFolder);
        CPythonRun run(sources, std::move(onResult), std::move(progress));
        std::size_t count = 0;
        const int status = Unlocked(true, [&] {
            return quorvane_strip_batch_from(CPythonRun::NextPath, known, folder.bytes.c_str(),
                                             flags, jobs, earlier.written.data(),
                                             earlier.written.size(), CPythonRun::Reported,
                                             CPythonRun::Progress, &run, &count);
        });
        run.Finish(status, {QUORVANE_FAILED}, folder.shown);
        return count;
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
    module.def("list_sign_items",
               [](const py::object& path, const py::object& outputFolder, int flags) {
                   return ListingOf(SignItemsListed(path, outputFolder, flags));
               });
    module.def("list_sign_entries",
               [](const py::object& path, const py::object& outputFolder, int flags) {
                   return EntriesOf(SignItemsListed(path, outputFolder, flags));
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
