// quorvane._quorvane's functions of one file, or of bytes and texts in memory.
#include "QuorvaneModule.h"

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <optional>
#include <string>

namespace quorvane_python {

namespace {

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

} // namespace

void BindFiles(py::module_& module) {
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

} // namespace quorvane_python
