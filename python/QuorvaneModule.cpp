// quorvane._quorvane: the C API for Python. Paths are str or bytes (os.fsencode), texts str;
// every failure raises quorvane.Error (or a subclass) carrying the library's message.
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

[[noreturn]] void Raise(int status) {
    const py::object type = ErrorType(status);
    py::object error = type(std::string(quorvane_last_error()));
    error.attr("status") = status;
    PyErr_SetObject(type.ptr(), error.ptr());
    throw py::error_already_set();
}

void Require(int status) {
    if (status != QUORVANE_OK)
        Raise(status);
}

// A path as the file system takes it: str through os.fsencode, or bytes.
std::string FsPath(const py::object& path) {
    return py::module_::import("os").attr("fsencode")(path).cast<std::string>();
}

int Flags(bool replace) {
    return replace ? QUORVANE_REPLACE : 0;
}

std::optional<std::string> TextOrNone(int status, char* text) {
    LibraryText owned(text);
    if (status == QUORVANE_NOT_SIGNED)
        return std::nullopt;
    Require(status);
    return std::string(owned.get());
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
        [](const py::object& source, const py::object& target, const std::string& text,
           bool replace) {
            const std::string from = FsPath(source), to = FsPath(target);
            int status;
            {
                py::gil_scoped_release unlocked;
                status = quorvane_sign_file(from.c_str(), to.c_str(), text.c_str(), Flags(replace));
            }
            Require(status);
        },
        py::arg("src"), py::arg("dst"), py::arg("text"), py::kw_only(), py::arg("replace") = false,
        "Writes dst: src's bytes followed by a trailer carrying text, whole or not at all.");
    module.def(
        "check",
        [](const py::object& path) {
            const std::string name = FsPath(path);
            char* text = nullptr;
            int status;
            {
                py::gil_scoped_release unlocked;
                status = quorvane_check_file(name.c_str(), &text);
            }
            return TextOrNone(status, text);
        },
        py::arg("path"), "The text signed into the file at path, or None.");
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
        [](const std::string& text, std::uint32_t time) {
            void* data = nullptr;
            std::size_t size = 0;
            Require(quorvane_make_trailer(text.c_str(), time, &data, &size));
            return Bytes(data, size);
        },
        py::arg("text"), py::arg("time"),
        "The trailer carrying text, with the code table of time (whole seconds).");
    module.def(
        "read_trailer",
        [](const py::bytes& tail, std::optional<std::int64_t> fileSize) {
            const std::string_view bytes = View(tail);
            char* text = nullptr;
            std::size_t needed = 0;
            const int status = quorvane_check_tail(bytes.data(), bytes.size(),
                                                   fileSize.value_or(-1), &text, &needed);
            if (status == QUORVANE_NEED_MORE) {
                const py::object type = ErrorType(QUORVANE_NEED_MORE);
                py::object error = type(std::string(quorvane_last_error()));
                error.attr("status") = status;
                error.attr("needed") = needed;
                PyErr_SetObject(type.ptr(), error.ptr());
                throw py::error_already_set();
            }
            return TextOrNone(status, text);
        },
        py::arg("tail_bytes"), py::arg("file_size") = py::none(),
        "The text of the trailer in a file's last bytes, or None. Raises NeedMoreBytesError, "
        "whose needed says how many last bytes settle it, when tail_bytes is too short.");
    module.def(
        "sign_bytes",
        [](const py::bytes& data, const std::string& text) {
            const std::string_view bytes = View(data);
            void* out = nullptr;
            std::size_t size = 0;
            Require(quorvane_sign_memory(bytes.data(), bytes.size(), text.c_str(), &out, &size));
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
    module.def(
        "_sign_batch",
        [](const std::vector<std::pair<py::bytes, std::optional<py::bytes>>>& items,
           const py::object& outputFolder, const std::string& text, int flags, unsigned jobs) {
            std::vector<std::string> sources, subfolders;
            for (const auto& [source, subfolder] : items) {
                sources.emplace_back(source);
                subfolders.emplace_back(subfolder ? std::string(*subfolder) : std::string());
            }
            std::vector<quorvane_item> cItems;
            for (std::size_t i = 0; i < items.size(); ++i)
                cItems.push_back({sources[i].c_str(), subfolders[i].c_str()});
            const std::string folder = FsPath(outputFolder);
            BatchReport report;
            std::size_t count = 0;
            int status;
            {
                py::gil_scoped_release unlocked;
                status = quorvane_sign_batch(cItems.data(), cItems.size(), folder.c_str(),
                                             text.c_str(), flags, jobs, Collect, &report, &count);
            }
            if (status != QUORVANE_OK && status != QUORVANE_FAILED)
                Raise(status);
            return py::make_tuple(count, report.messages);
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
