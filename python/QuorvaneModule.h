// What the binding files of quorvane._quorvane share: paths, texts and bytes as the C API takes
// them, and the library's failures raised through the package's error factory.
#pragma once

#include "quorvane.h"

#include <pybind11/pybind11.h>
// In every file alike: the STL casters change how a file converts containers.
#include <pybind11/stl.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

namespace quorvane_python {

namespace py = pybind11;

struct FreeWithLibrary {
    void operator()(void* memory) const { quorvane_free(memory); }
};
using LibraryText = std::unique_ptr<char, FreeWithLibrary>;

// Kept by the package's set_error_factory: (status, message, errno, filename, needed) to the
// exception to raise.
void SetErrorFactory(const py::object& factory);

[[noreturn]] void RaiseWith(int status, const std::string& message, int error,
                            const py::object& filename, std::size_t needed = 0);
// The library's failure of the calling thread, about `filename` (None when about no file).
[[noreturn]] void Raise(int status, const py::object& filename = py::none());
void Require(int status, const py::object& filename = py::none());

// A path as the file system takes it, and as an error names it (os.fspath's value).
struct Path {
    std::string bytes;
    py::object shown;
};

Path TakePath(const py::handle& path);
// Bytes the system gave (paths, and lines that name them), as os.fsdecode gives them, so that
// os.fsencode gives them back exactly.
py::str FsText(std::string_view bytes);
// A text as the C API takes it: WTF-8, an unpaired surrogate in its three-byte form.
std::string Wtf8(const py::handle& text);
py::str FromWtf8(const char* text, std::size_t size);
// A new bytes object of `size` bytes to fill.
py::bytes NewBytes(std::size_t size);
// A signing time as the C API spells it: ISO 8601 UTC; None for none (negative).
py::object TimeText(std::int64_t seconds);

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
inline constexpr std::size_t kSmallBytes = 16 << 10;
template <class Call> int Unlocked(bool unlock, Call call) {
    if (!unlock)
        return call();
    py::gil_scoped_release released;
    return call();
}

// The functions of one file or of bytes in memory (QuorvaneModuleFiles.cpp), and the batches
// and listings (QuorvaneModuleBatches.cpp).
void BindFiles(py::module_& module);
void BindBatches(py::module_& module);

} // namespace quorvane_python
