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
//
// This file holds the helpers of QuorvaneModule.h and the module itself; the functions are
// bound in QuorvaneModuleFiles.cpp and QuorvaneModuleBatches.cpp.
#include "QuorvaneModule.h"

#include <cstddef>
#include <stdexcept>
#include <string>

namespace quorvane_python {

namespace {

// Set once by the package (quorvane._error). Kept for the process's life.
PyObject* g_errorFactory = nullptr;

PyObject* Leaked(const char* module, const char* name) {
    py::object found = py::module_::import(module).attr(name);
    return found.release().ptr();
}

} // namespace

void SetErrorFactory(const py::object& factory) {
    Py_XDECREF(g_errorFactory);
    g_errorFactory = factory.inc_ref().ptr();
}

void RaiseWith(int status, const std::string& message, int error, const py::object& filename,
               std::size_t needed) {
    if (g_errorFactory == nullptr)
        throw std::runtime_error(message);
    const py::object made = py::reinterpret_borrow<py::object>(g_errorFactory)(
        status, message, error, filename, needed);
    PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(made.ptr())), made.ptr());
    throw py::error_already_set();
}

void Raise(int status, const py::object& filename) {
    RaiseWith(status, quorvane_last_error(), quorvane_last_errno(), filename);
}

void Require(int status, const py::object& filename) {
    if (status != QUORVANE_OK)
        Raise(status, filename);
}

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

py::str FsText(std::string_view bytes) {
    PyObject* decoded =
        PyUnicode_DecodeFSDefaultAndSize(bytes.data(), static_cast<Py_ssize_t>(bytes.size()));
    if (decoded == nullptr)
        throw py::error_already_set();
    return py::reinterpret_steal<py::str>(decoded);
}

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

py::bytes NewBytes(std::size_t size) {
    PyObject* bytes = PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(size));
    if (bytes == nullptr) {
        PyErr_Clear();
        RaiseWith(QUORVANE_NO_MEMORY, "out of memory", 0, py::none());
    }
    return py::reinterpret_steal<py::bytes>(bytes);
}

py::object TimeText(std::int64_t seconds) {
    if (seconds < 0)
        return py::none();
    char* text = nullptr;
    Require(quorvane_time_text(seconds, &text));
    return py::str(LibraryText(text).get());
}

} // namespace quorvane_python

PYBIND11_MODULE(_quorvane, module) {
    namespace qp = quorvane_python;
    module.doc() = "libquorvane for the package quorvane; use the package's functions.";

    module.attr("MAX_TRAILER_BYTES") = QUORVANE_MAX_TRAILER_BYTES;
    module.attr("MAX_TEXT_UNITS") = QUORVANE_MAX_TEXT_UNITS;
    module.attr("MAX_TEXT_FILE_BYTES") = QUORVANE_MAX_TEXT_FILE_BYTES;
    module.attr("MAX_JOBS") = QUORVANE_MAX_JOBS;
    module.attr("version") = std::string(quorvane_version());

    module.def("set_error_factory", &qp::SetErrorFactory);
    module.def("status_text", [](int status) { return std::string(quorvane_status_text(status)); });
    qp::BindFiles(module);
    qp::BindBatches(module);
}
