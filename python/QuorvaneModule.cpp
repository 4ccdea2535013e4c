// quorvane._quorvane: the C API for Python. Paths are str or bytes (os.fsencode), texts str,
// which cross the C API exactly as WTF-8 with their size (an unpaired surrogate in its
// three-byte form, 'surrogatepass'); every failure raises quorvane.Error (or a subclass)
// carrying the library's message.
#include "quorvane.h"

#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace py = pybind11;

namespace {

struct FreeWithLibrary {
    void operator()(void* memory) const { quorvane_free(memory); }
};
using LibraryText = std::unique_ptr<char, FreeWithLibrary>;
using LibraryBytes = std::unique_ptr<void, FreeWithLibrary>;

// The exception classes, created once with the module and kept for the process's life.
PyObject* g_errors[QUORVANE_FAILED + 1] = {};

py::object ErrorType(int status) {
    PyObject* type = status > 0 && status <= QUORVANE_FAILED && g_errors[status] != nullptr
                         ? g_errors[status]
                         : g_errors[QUORVANE_FAILED];
    return py::reinterpret_borrow<py::object>(type);
}

[[noreturn]] void RaiseWith(int status, const std::string& message) {
    const py::object type = ErrorType(status);
    py::object error = type(message);
    error.attr("status") = status;
    PyErr_SetObject(type.ptr(), error.ptr());
    throw py::error_already_set();
}

[[noreturn]] void Raise(int status) {
    RaiseWith(status, quorvane_last_error());
}

void Require(int status) {
    if (status != QUORVANE_OK)
        Raise(status);
}

// A path as the file system takes it: str through os.fsencode, or bytes. A path holding a NUL
// names no file.
std::string FsPath(const py::object& path) {
    std::string bytes = py::module_::import("os").attr("fsencode")(path).cast<std::string>();
    if (bytes.find('\0') != std::string::npos)
        RaiseWith(QUORVANE_INVALID_ARGUMENT, "embedded null byte in a path");
    return bytes;
}

std::vector<std::string> FsPaths(const std::vector<py::object>& paths) {
    std::vector<std::string> bytes;
    for (const py::object& path : paths)
        bytes.push_back(FsPath(path));
    return bytes;
}

std::vector<const char*> Pointers(const std::vector<std::string>& strings) {
    std::vector<const char*> pointers;
    for (const std::string& string : strings)
        pointers.push_back(string.c_str());
    return pointers;
}

int Flags(bool replace) {
    return replace ? QUORVANE_REPLACE : 0;
}

// A text as the C API takes it: WTF-8, an unpaired surrogate in its three-byte form.
std::string Wtf8(const py::str& text) {
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
py::object Found(int status, char* text, std::size_t size, std::int64_t signedAt, bool withTime) {
    LibraryText owned(text);
    if (status == QUORVANE_NOT_SIGNED)
        return withTime ? py::object(py::make_tuple(py::none(), py::none())) : py::none();
    Require(status);
    py::str found = FromWtf8(owned.get(), size);
    return withTime ? py::object(py::make_tuple(found, TimeText(signedAt))) : py::object(found);
}

py::bytes Bytes(void* data, std::size_t size) {
    LibraryBytes owned(data);
    return py::bytes(static_cast<const char*>(owned.get()), size);
}

std::string_view View(const py::bytes& data) {
    char* buffer = nullptr;
    Py_ssize_t size = 0;
    if (PyBytes_AsStringAndSize(data.ptr(), &buffer, &size) != 0)
        throw py::error_already_set();
    return {buffer, static_cast<std::size_t>(size)};
}

struct BatchReport {
    std::vector<std::tuple<py::ssize_t, int, std::string>> messages;
};

void Collect(void* context, std::ptrdiff_t index, int status, const char* message) {
    static_cast<BatchReport*>(context)->messages.emplace_back(index, status, message);
}

struct Listing {
    std::vector<std::pair<py::bytes, py::bytes>> files;
    std::vector<std::string> problems;
};

// One file of a check batch, gathered while the GIL is released.
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

} // namespace

PYBIND11_MODULE(_quorvane, module) {
    module.doc() = "Quorvane's signature trailer: the C library libquorvane for Python";

    const py::object base = py::reinterpret_borrow<py::object>(PyExc_Exception);
    py::object error = py::reinterpret_steal<py::object>(
        PyErr_NewException("quorvane.Error", base.ptr(), nullptr));
    module.attr("Error") = error;
    const auto subclass = [&](const char* name, int status, PyObject* also = nullptr) {
        py::tuple bases =
            also != nullptr ? py::make_tuple(error, py::handle(also)) : py::make_tuple(error);
        py::object type = py::reinterpret_steal<py::object>(
            PyErr_NewException((std::string("quorvane.") + name).c_str(), bases.ptr(), nullptr));
        module.attr(name) = type;
        g_errors[status] = type.inc_ref().ptr();
    };
    g_errors[QUORVANE_FAILED] = error.inc_ref().ptr();
    subclass("NotSignedError", QUORVANE_NOT_SIGNED);
    subclass("AlreadySignedError", QUORVANE_ALREADY_SIGNED);
    subclass("NeedMoreBytesError", QUORVANE_NEED_MORE);
    subclass("InvalidArgumentError", QUORVANE_INVALID_ARGUMENT, PyExc_ValueError);
    subclass("TextError", QUORVANE_INVALID_TEXT, PyExc_ValueError);
    subclass("ReadError", QUORVANE_CANNOT_READ, PyExc_OSError);
    subclass("WriteError", QUORVANE_CANNOT_WRITE, PyExc_OSError);
    subclass("OutputExistsError", QUORVANE_OUTPUT_EXISTS, PyExc_FileExistsError);
    subclass("NoMemoryError", QUORVANE_NO_MEMORY, PyExc_MemoryError);

    module.attr("MAX_TRAILER_BYTES") = QUORVANE_MAX_TRAILER_BYTES;
    module.attr("__version__") = std::string(quorvane_version());

    module.def(
        "sign",
        [](const py::object& source, const py::object& target, const py::str& text, bool replace) {
            const std::string from = FsPath(source), to = FsPath(target), units = Wtf8(text);
            int status;
            {
                py::gil_scoped_release unlocked;
                status = quorvane_sign_file_n(from.c_str(), to.c_str(), units.data(), units.size(),
                                              Flags(replace));
            }
            Require(status);
        },
        py::arg("src"), py::arg("dst"), py::arg("text"), py::kw_only(), py::arg("replace") = false,
        "Writes dst: src's bytes followed by a trailer carrying text, whole or not at all.");
    module.def(
        "check",
        [](const py::object& path, bool withTime) {
            const std::string name = FsPath(path);
            char* text = nullptr;
            std::size_t size = 0;
            std::int64_t signedAt = -1;
            int status;
            {
                py::gil_scoped_release unlocked;
                status = quorvane_check_file_n(name.c_str(), &text, &size, &signedAt);
            }
            return Found(status, text, size, signedAt, withTime);
        },
        py::arg("path"), py::kw_only(), py::arg("with_time") = false,
        "The text signed into the file at path, or None. with_time: (text, signing time in ISO "
        "8601 UTC), (None, None) when not signed.");
    module.def(
        "strip",
        [](const py::object& source, const py::object& target, bool replace) {
            const std::string from = FsPath(source), to = FsPath(target);
            int status;
            {
                py::gil_scoped_release unlocked;
                status = quorvane_strip_file(from.c_str(), to.c_str(), Flags(replace));
            }
            Require(status);
        },
        py::arg("src"), py::arg("dst"), py::kw_only(), py::arg("replace") = false,
        "Writes dst: src without its trailer, whole or not at all.");
    module.def(
        "trailer",
        [](const py::str& text, std::uint32_t time) {
            const std::string units = Wtf8(text);
            void* data = nullptr;
            std::size_t size = 0;
            Require(quorvane_make_trailer_n(units.data(), units.size(), time, &data, &size));
            return Bytes(data, size);
        },
        py::arg("text"), py::arg("time"),
        "The trailer carrying text, with the code table of time (whole seconds).");
    module.def(
        "read_trailer",
        [](const py::bytes& tail, std::optional<std::int64_t> fileSize, bool withTime) {
            const std::string_view bytes = View(tail);
            char* text = nullptr;
            std::size_t size = 0, needed = 0;
            std::int64_t signedAt = -1;
            const int status =
                quorvane_check_tail_n(bytes.data(), bytes.size(), fileSize.value_or(-1), &text,
                                      &size, &signedAt, &needed);
            if (status == QUORVANE_NEED_MORE) {
                const py::object type = ErrorType(QUORVANE_NEED_MORE);
                py::object error = type(std::string(quorvane_last_error()));
                error.attr("status") = status;
                error.attr("needed") = needed;
                PyErr_SetObject(type.ptr(), error.ptr());
                throw py::error_already_set();
            }
            return Found(status, text, size, signedAt, withTime);
        },
        py::arg("tail_bytes"), py::arg("file_size") = py::none(), py::kw_only(),
        py::arg("with_time") = false,
        "The text of the trailer in a file's last bytes, or None (with_time: as check). Raises "
        "NeedMoreBytesError, whose needed says how many last bytes settle it, when tail_bytes "
        "is too short.");
    module.def(
        "sign_bytes",
        [](const py::bytes& data, const py::str& text) {
            const std::string_view bytes = View(data);
            const std::string units = Wtf8(text);
            void* out = nullptr;
            std::size_t size = 0;
            Require(quorvane_sign_memory_n(bytes.data(), bytes.size(), units.data(), units.size(),
                                           &out, &size));
            return Bytes(out, size);
        },
        py::arg("data"), py::arg("text"), "data followed by a trailer carrying text.");
    module.def(
        "strip_bytes",
        [](const py::bytes& data) {
            const std::string_view bytes = View(data);
            std::size_t size = 0;
            Require(quorvane_strip_memory(bytes.data(), bytes.size(), &size));
            return py::bytes(bytes.data(), size);
        },
        py::arg("data"), "data without its trailer.");
    module.def("_sign_batch",
               [](const std::vector<std::pair<py::object, std::optional<py::object>>>& items,
                  const py::object& outputFolder, const py::str& text, int flags, unsigned jobs) {
                   std::vector<std::string> sources, subfolders;
                   for (const auto& [source, subfolder] : items) {
                       sources.push_back(FsPath(source));
                       subfolders.push_back(subfolder ? FsPath(*subfolder) : std::string());
                   }
                   std::vector<quorvane_item> cItems;
                   for (std::size_t i = 0; i < items.size(); ++i)
                       cItems.push_back({sources[i].c_str(), subfolders[i].c_str()});
                   const std::string folder = FsPath(outputFolder), units = Wtf8(text);
                   BatchReport report;
                   std::size_t count = 0;
                   int status;
                   {
                       py::gil_scoped_release unlocked;
                       status = quorvane_sign_batch_n(cItems.data(), cItems.size(), folder.c_str(),
                                                      units.data(), units.size(), flags, jobs,
                                                      Collect, &report, &count);
                   }
                   if (status != QUORVANE_OK && status != QUORVANE_FAILED)
                       Raise(status);
                   return py::make_tuple(count, report.messages);
               });
    module.def("_check_batch", [](const std::vector<py::object>& paths, unsigned jobs) {
        const std::vector<std::string> names = FsPaths(paths);
        const std::vector<const char*> pointers = Pointers(names);
        std::vector<Checked> results;
        int status;
        {
            py::gil_scoped_release unlocked;
            status = quorvane_check_batch(pointers.data(), pointers.size(), jobs, CollectChecked,
                                          &results, nullptr);
        }
        if (status != QUORVANE_OK && status != QUORVANE_NOT_SIGNED &&
            status != QUORVANE_CANNOT_READ)
            Raise(status);
        py::list found;
        for (const Checked& result : results)
            found.append(py::make_tuple(
                result.text ? py::object(FromWtf8(result.text->data(), result.text->size()))
                            : py::none(),
                TimeText(result.signedAt),
                result.reason ? py::object(py::str(*result.reason)) : py::none(),
                py::str(result.json)));
        return found;
    });
    module.def("_strip_batch", [](const std::vector<py::object>& sources,
                                  const py::object& outputFolder, int flags, unsigned jobs) {
        const std::vector<std::string> names = FsPaths(sources);
        const std::vector<const char*> pointers = Pointers(names);
        const std::string folder = FsPath(outputFolder);
        BatchReport report;
        std::size_t count = 0;
        int status;
        {
            py::gil_scoped_release unlocked;
            status = quorvane_strip_batch(pointers.data(), pointers.size(), folder.c_str(), flags,
                                          jobs, Collect, &report, &count);
        }
        if (status != QUORVANE_OK && status != QUORVANE_FAILED)
            Raise(status);
        return py::make_tuple(count, report.messages);
    });
    module.def("_list_check_entries", [](const py::object& path) {
        const std::string name = FsPath(path);
        std::vector<std::pair<std::string, std::optional<std::string>>> entries;
        const int status = quorvane_list_check_entries(
            name.c_str(),
            [](void* context, const char* entry, const char* line) {
                static_cast<decltype(entries)*>(context)->emplace_back(
                    entry, line != nullptr ? std::optional<std::string>(line) : std::nullopt);
            },
            &entries);
        if (status != QUORVANE_OK && status != QUORVANE_CANNOT_READ)
            Raise(status);
        py::list found;
        for (const auto& [entry, line] : entries)
            found.append(
                py::make_tuple(py::bytes(entry), line ? py::object(py::str(*line)) : py::none()));
        return found;
    });
    module.def("_list_files", [](const py::object& folder, const py::object& outputFolder) {
        const std::string from = FsPath(folder);
        const std::string out = outputFolder.is_none() ? std::string() : FsPath(outputFolder);
        Listing listing;
        const int status = quorvane_list_files(
            from.c_str(), outputFolder.is_none() ? nullptr : out.c_str(),
            [](void* context, const char* path, const char* subfolder) {
                static_cast<Listing*>(context)->files.emplace_back(py::bytes(path),
                                                                   py::bytes(subfolder));
            },
            [](void* context, const char* message) {
                static_cast<Listing*>(context)->problems.emplace_back(message);
            },
            &listing);
        if (status != QUORVANE_OK && status != QUORVANE_CANNOT_READ)
            Raise(status);
        if (status == QUORVANE_CANNOT_READ && listing.problems.empty())
            Raise(status);
        return py::make_tuple(listing.files, listing.problems);
    });
    module.def(
        "summary",
        [](std::size_t count) {
            char* text = nullptr;
            Require(quorvane_sign_summary(count, &text));
            return std::string(LibraryText(text).get());
        },
        py::arg("signed_count"),
        "The summary quorvane-cli gives after signing signed_count files.");
}
