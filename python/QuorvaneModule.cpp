// quorvane._quorvane: the C API for Python, under the package's own functions (quorvane/
// __init__.py), which give them their signatures and documentation.
//
// Paths are str, bytes or path-like objects, taken as os.fsencode gives them (a NUL in one
// raises ValueError, as open() does). Texts are str and cross the C API exactly, as WTF-8 with
// their size (an unpaired surrogate in its three-byte form, 'surrogatepass'). Bytes are any
// bytes-like object, read in place. Every call that reads or writes files, or more than a few
// KiB of memory, runs without the GIL. Every failure raises the exception that the package's
// error factory makes from the library's status, message and errno (quorvane.Error or a
// subclass, for files also the matching OSError subclass with errno and filename).
#include "quorvane.h"

#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <tuple>
#include <utility>
#include <vector>

namespace py = pybind11;

namespace {

struct FreeWithLibrary {
    void operator()(void* memory) const { quorvane_free(memory); }
};
using LibraryText = std::unique_ptr<char, FreeWithLibrary>;

// Set once by the package (quorvane._error): (status, message, errno, filename, needed) to the
// exception to raise. Kept for the process's life.
PyObject* g_errorFactory = nullptr;

[[noreturn]] void RaiseWith(int status, const std::string& message, int error,
                            const py::object& filename, std::size_t needed = 0) {
    if (g_errorFactory == nullptr)
        throw std::runtime_error(message);
    const py::object made = py::reinterpret_borrow<py::object>(g_errorFactory)(
        status, message, error, filename, needed);
    PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(made.ptr())), made.ptr());
    throw py::error_already_set();
}

// The library's failure of the calling thread, about `filename` (None when about no file).
[[noreturn]] void Raise(int status, const py::object& filename = py::none()) {
    RaiseWith(status, quorvane_last_error(), quorvane_last_errno(), filename);
}

void Require(int status, const py::object& filename = py::none()) {
    if (status != QUORVANE_OK)
        Raise(status, filename);
}

PyObject* Leaked(const char* module, const char* name) {
    py::object found = py::module_::import(module).attr(name);
    return found.release().ptr();
}

// A path as the file system takes it, and as an error names it (os.fspath's value).
struct Path {
    std::string bytes;
    py::object shown;
};

Path TakePath(const py::handle& path) {
    static PyObject* const fspath = Leaked("os", "fspath");
    static PyObject* const fsencode = Leaked("os", "fsencode");
    Path taken;
    taken.shown = py::reinterpret_borrow<py::object>(fspath)(path);
    taken.bytes = py::reinterpret_borrow<py::object>(fsencode)(taken.shown).cast<std::string>();
    if (taken.bytes.find('\0') != std::string::npos)
        RaiseWith(QUORVANE_INVALID_ARGUMENT, "embedded null byte", 0, py::none());
    return taken;
}

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

// Bytes the system gave (paths, and lines that name them), as os.fsdecode gives them, so that
// os.fsencode gives them back exactly.
py::str FsText(std::string_view bytes) {
    PyObject* decoded =
        PyUnicode_DecodeFSDefaultAndSize(bytes.data(), static_cast<Py_ssize_t>(bytes.size()));
    if (decoded == nullptr)
        throw py::error_already_set();
    return py::reinterpret_steal<py::str>(decoded);
}

// A text as the C API takes it: WTF-8, an unpaired surrogate in its three-byte form.
std::string Wtf8(const py::handle& text) {
    if (!PyUnicode_Check(text.ptr()))
        throw py::type_error("a text must be str, not " +
                             std::string(Py_TYPE(text.ptr())->tp_name));
    const auto bytes = py::reinterpret_steal<py::bytes>(
        PyUnicode_AsEncodedString(text.ptr(), "utf-8", "surrogatepass"));
    if (!bytes)
        throw py::error_already_set();
    return std::string(bytes);
}

py::str FromWtf8(const char* text, std::size_t size) {
    const auto decoded = py::reinterpret_steal<py::str>(
        PyUnicode_DecodeUTF8(text, static_cast<Py_ssize_t>(size), "surrogatepass"));
    if (!decoded)
        throw py::error_already_set();
    return decoded;
}

// A bytes-like object, read in place for as long as this lives (a bytearray cannot be resized
// meanwhile).
class CBuffer {
public:
    explicit CBuffer(const py::handle& object) {
        if (PyObject_GetBuffer(object.ptr(), &m_view, PyBUF_SIMPLE) != 0)
            throw py::error_already_set();
    }
    ~CBuffer() { PyBuffer_Release(&m_view); }
    CBuffer(const CBuffer&) = delete;
    CBuffer& operator=(const CBuffer&) = delete;

    const void* Data() const { return m_view.buf; }
    std::size_t Size() const { return static_cast<std::size_t>(m_view.len); }

private:
    Py_buffer m_view{};
};

// Runs `call` without the GIL when it handles more than a few KiB, or any file.
constexpr std::size_t kSmallBytes = 16 << 10;
template <class Call> int Unlocked(bool unlock, Call call) {
    if (!unlock)
        return call();
    py::gil_scoped_release released;
    return call();
}

// A new bytes object of `size` bytes to fill.
py::bytes NewBytes(std::size_t size) {
    PyObject* bytes = PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(size));
    if (bytes == nullptr) {
        PyErr_Clear();
        RaiseWith(QUORVANE_NO_MEMORY, "out of memory", 0, py::none());
    }
    return py::reinterpret_steal<py::bytes>(bytes);
}

// A signing time as the C API spells it: ISO 8601 UTC.
py::object TimeText(std::int64_t seconds) {
    if (seconds < 0)
        return py::none();
    char* text = nullptr;
    Require(quorvane_time_text(seconds, &text));
    return py::str(LibraryText(text).get());
}

// What a check found: the text, or None when not signed; with `withTime`, the pair of the
// text and its signing time, (None, None) when not signed.
py::object Found(int status, char* text, std::size_t size, std::int64_t signedAt, bool withTime,
                 const py::object& filename) {
    LibraryText owned(text);
    if (status == QUORVANE_NOT_SIGNED)
        return withTime ? py::object(py::make_tuple(py::none(), py::none())) : py::none();
    Require(status, filename);
    py::str found = FromWtf8(owned.get(), size);
    return withTime ? py::object(py::make_tuple(found, TimeText(signedAt))) : py::object(found);
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
};

void ListedFile(void* context, const char* path, const char* subfolder) {
    static_cast<Listing*>(context)->files.emplace_back(path, subfolder);
}

void ListedProblem(void* context, const char* message) {
    static_cast<Listing*>(context)->problems.emplace_back(message);
}

py::tuple ListingOf(const Listing& listing) {
    py::list files, problems;
    for (const auto& [path, subfolder] : listing.files)
        files.append(py::make_tuple(FsText(path), FsText(subfolder)));
    for (const std::string& problem : listing.problems)
        problems.append(FsText(problem));
    return py::make_tuple(files, problems);
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

// The file a failure of a copy from `from` to `to` is about: the source for its refusals,
// the output for the output's, none for a text or the flags.
py::object Culprit(int status, const Path& from, const Path& to) {
    switch (status) {
    case QUORVANE_CANNOT_READ:
    case QUORVANE_NOT_SIGNED:
    case QUORVANE_ALREADY_SIGNED:
        return from.shown;
    case QUORVANE_CANNOT_WRITE:
    case QUORVANE_OUTPUT_EXISTS:
        return to.shown;
    default:
        return py::none();
    }
}

// A path or None, for the C API's optional folders.
std::optional<std::string> TakeOptionalPath(const py::object& path) {
    if (path.is_none())
        return std::nullopt;
    return TakePath(path).bytes;
}

} // namespace

PYBIND11_MODULE(_quorvane, module) {
    module.doc() = "libquorvane for the package quorvane; use the package's functions.";

    module.attr("MAX_TRAILER_BYTES") = QUORVANE_MAX_TRAILER_BYTES;
    module.attr("MAX_TEXT_UNITS") = QUORVANE_MAX_TEXT_UNITS;
    module.attr("MAX_TEXT_FILE_BYTES") = QUORVANE_MAX_TEXT_FILE_BYTES;
    module.attr("MAX_JOBS") = QUORVANE_MAX_JOBS;
    module.attr("version") = std::string(quorvane_version());

    module.def("set_error_factory", [](const py::object& factory) {
        Py_XDECREF(g_errorFactory);
        g_errorFactory = factory.inc_ref().ptr();
    });
    module.def("status_text", [](int status) { return std::string(quorvane_status_text(status)); });

    module.def("sign", [](const py::object& source, const py::object& target,
                          const py::object& text, bool replace) {
        const Path from = TakePath(source), to = TakePath(target);
        const std::string units = Wtf8(text);
        const int status = Unlocked(true, [&] {
            return quorvane_sign_file_n(from.bytes.c_str(), to.bytes.c_str(), units.data(),
                                        units.size(), replace ? QUORVANE_REPLACE : 0);
        });
        if (status != QUORVANE_OK)
            Raise(status, Culprit(status, from, to));
    });
    module.def("check", [](const py::object& path, bool withTime) {
        const Path name = TakePath(path);
        char* text = nullptr;
        std::size_t size = 0;
        std::int64_t signedAt = -1;
        const int status = Unlocked(true, [&] {
            return quorvane_check_file_n(name.bytes.c_str(), &text, &size, &signedAt);
        });
        return Found(status, text, size, signedAt, withTime, name.shown);
    });
    module.def("strip", [](const py::object& source, const py::object& target, bool replace) {
        const Path from = TakePath(source), to = TakePath(target);
        const int status = Unlocked(true, [&] {
            return quorvane_strip_file(from.bytes.c_str(), to.bytes.c_str(),
                                       replace ? QUORVANE_REPLACE : 0);
        });
        if (status != QUORVANE_OK)
            Raise(status, Culprit(status, from, to));
    });
    module.def("trailer", [](const py::object& text, long long time) {
        if (time < 0 || time > 0xFFFFFFFFLL)
            RaiseWith(QUORVANE_INVALID_ARGUMENT,
                      "a signing time is 0 to 4294967295 seconds since 1970", 0, py::none());
        const std::string units = Wtf8(text);
        void* data = nullptr;
        std::size_t size = 0;
        const int status = Unlocked(units.size() > kSmallBytes, [&] {
            return quorvane_make_trailer_n(units.data(), units.size(),
                                           static_cast<std::uint32_t>(time), &data, &size);
        });
        const std::unique_ptr<void, FreeWithLibrary> owned(data);
        Require(status);
        return py::bytes(static_cast<const char*>(owned.get()), size);
    });
    module.def("read_trailer", [](const py::object& tail, std::optional<long long> fileSize,
                                  bool withTime) {
        const CBuffer bytes(tail);
        if (fileSize && *fileSize < 0)
            RaiseWith(QUORVANE_INVALID_ARGUMENT, "a file size is not negative", 0, py::none());
        char* text = nullptr;
        std::size_t size = 0, needed = 0;
        std::int64_t signedAt = -1;
        const int status = Unlocked(bytes.Size() > kSmallBytes, [&] {
            return quorvane_check_tail_n(bytes.Data(), bytes.Size(), fileSize.value_or(-1), &text,
                                         &size, &signedAt, &needed);
        });
        if (status == QUORVANE_NEED_MORE)
            RaiseWith(status, quorvane_last_error(), 0, py::none(), needed);
        return Found(status, text, size, signedAt, withTime, py::none());
    });
    // (the signed bytes, (kind, consequence) or None), judged as files are.
    module.def("sign_bytes", [](const py::object& data, const py::object& text, int flags) {
        const CBuffer bytes(data);
        const std::string units = Wtf8(text);
        const bool large = bytes.Size() > kSmallBytes;
        std::size_t needed = 0;
        quorvane_kind kind{};
        Require(Unlocked(large, [&] {
            return quorvane_sign_memory_with(bytes.Data(), bytes.Size(), units.data(), units.size(),
                                             flags, nullptr, 0, &needed, &kind);
        }));
        py::bytes out = NewBytes(needed);
        char* room = PyBytes_AS_STRING(out.ptr());
        std::size_t size = 0;
        Require(Unlocked(large, [&] {
            return quorvane_sign_memory_with(bytes.Data(), bytes.Size(), units.data(), units.size(),
                                             flags, room, needed, &size, &kind);
        }));
        if (kind.id == nullptr)
            return py::make_tuple(out, py::none());
        return py::make_tuple(out,
                              py::make_tuple(std::string(kind.id), std::string(kind.consequence)));
    });
    module.def("strip_bytes", [](const py::object& data) {
        const CBuffer bytes(data);
        const bool large = bytes.Size() > kSmallBytes;
        std::size_t size = 0;
        Require(Unlocked(large,
                         [&] { return quorvane_strip_memory(bytes.Data(), bytes.Size(), &size); }));
        py::bytes out = NewBytes(size);
        char* room = PyBytes_AS_STRING(out.ptr());
        Unlocked(large, [&] {
            if (size > 0)
                std::memcpy(room, bytes.Data(), size);
            return 0;
        });
        return out;
    });
    module.def("text_from_file_bytes", [](const py::object& data) {
        const CBuffer bytes(data);
        char* text = nullptr;
        std::size_t size = 0;
        const int status = Unlocked(bytes.Size() > kSmallBytes, [&] {
            return quorvane_text_from_file_bytes(bytes.Data(), bytes.Size(), &text, &size);
        });
        const LibraryText owned(text);
        Require(status);
        return FromWtf8(owned.get(), size);
    });
    module.def("text_to_sign", [](const py::object& text) {
        const std::string units = Wtf8(text);
        char* out = nullptr;
        std::size_t size = 0;
        const int status = quorvane_text_to_sign(units.data(), units.size(), &out, &size);
        const LibraryText owned(out);
        Require(status);
        return FromWtf8(owned.get(), size);
    });
    module.def("with_crlf", [](const py::object& text) {
        const std::string units = Wtf8(text);
        char* out = nullptr;
        std::size_t size = 0;
        const int status = quorvane_with_crlf(units.data(), units.size(), &out, &size);
        const LibraryText owned(out);
        Require(status);
        return FromWtf8(owned.get(), size);
    });

    module.def("sign_batch", [](const py::iterable& pairs, const py::object& outputFolder,
                                const py::object& text, int flags, unsigned jobs) {
        const Items items(pairs);
        const Path folder = TakePath(outputFolder);
        const std::string units = Wtf8(text);
        Lines lines;
        std::size_t count = 0;
        const int status = Unlocked(true, [&] {
            return quorvane_sign_batch_n(items.items.data(), items.items.size(),
                                         folder.bytes.c_str(), units.data(), units.size(), flags,
                                         jobs, CollectLine, &lines, &count);
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
                                 int flags, unsigned jobs) {
        const std::vector<std::string> names = TakePaths(sources);
        const std::vector<const char*> pointers = Pointers(names);
        const Path folder = TakePath(outputFolder);
        Lines lines;
        std::size_t count = 0;
        const int status = Unlocked(true, [&] {
            return quorvane_strip_batch(pointers.data(), pointers.size(), folder.bytes.c_str(),
                                        flags, jobs, CollectLine, &lines, &count);
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
    module.def("summary", [](std::size_t count) {
        char* text = nullptr;
        Require(quorvane_sign_summary(count, &text));
        return std::string(LibraryText(text).get());
    });
    module.def("file_kind", [](const py::object& path) -> py::object {
        const Path name = TakePath(path);
        const char* kind = nullptr;
        const char* consequence = nullptr;
        const int status = Unlocked(
            false, [&] { return quorvane_file_kind(name.bytes.c_str(), &kind, &consequence); });
        Require(status, name.shown);
        if (kind == nullptr)
            return py::none();
        return py::make_tuple(std::string(kind), std::string(consequence));
    });
    module.def("time_text", [](long long seconds) {
        if (seconds < 0 || seconds > 0xFFFFFFFFLL)
            RaiseWith(QUORVANE_INVALID_ARGUMENT,
                      "a signing time is 0 to 4294967295 seconds since 1970", 0, py::none());
        return TimeText(seconds);
    });
}
