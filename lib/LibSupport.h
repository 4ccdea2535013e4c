// What every entry point of libquorvane shares: the thread's last error, the guard that turns
// exceptions into statuses, the texts as callers give and take them, and the engine's outcomes
// as statuses. Hidden like the rest: only quorvane_* leaves the library.
#pragma once

#include "quorvane.h"

#include "CheckEngine.h"
#include "Command.h"
#include "FileKinds.h"
#include "SignEngine.h"
#include "Streams.h"
#include "Strip.h"

#include <cstddef>
#include <cstdint>
#include <exception>
#include <new>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

namespace libq {

const char* LastError();
int LastErrno();

int Succeed();
// The system's error number behind `error`; 0 for Quorvane's own reasons.
int ErrnoOf(const std::error_code& error);
int Fail(int status, const std::string& message, const std::error_code& error = {});
// Why `folder` is not a folder, as the system tells it: its own error, or ENOTDIR.
std::error_code NotAFolder(const char* folder);
std::string Why(const std::error_code& error);

// Runs `body`, turning what it throws into a status.
template <class Body> int Guarded(Body body) noexcept {
    try {
        return body();
    } catch (const std::bad_alloc&) {
        return Fail(QUORVANE_NO_MEMORY, "out of memory");
    } catch (const std::exception& error) {
        return Fail(QUORVANE_FAILED, error.what());
    } catch (...) {
        return Fail(QUORVANE_FAILED, "unexpected failure");
    }
}

// A text as a caller gives it: NUL-terminated UTF-8 (1.0) or WTF-8 with its size (1.1).
struct TextIn {
    const char* bytes = nullptr;
    std::size_t size = 0;
    bool exact = false;
};
TextIn Utf8In(const char* text);
TextIn Wtf8In(const char* text, std::size_t size);

// The text to sign, or the status that refuses it. Stored exactly as given unless `crLf`.
int TakeText(const TextIn& in, std::u16string& text, bool crLf = false);

// `size` bytes of malloc'd memory (for quorvane_free) holding `bytes` and zeros after them.
void* Handed(std::string_view bytes, std::size_t size);
void* Handed(const std::vector<std::uint8_t>& bytes);

// Where a check puts what it found: NUL-terminated UTF-8 (1.0) or WTF-8 with its size and the
// signing time (1.1). Null places are not filled.
struct TextOut {
    char** text = nullptr;
    std::size_t* size = nullptr;
    std::int64_t* signedAt = nullptr;
    bool exact = false;

    // 1.1 clears its places first, so that they hold nothing after a failure.
    void Clear() const;
    void Give(const std::u16string& units, std::uint32_t seed) const;
};
TextOut Utf8Out(char** text);
TextOut Wtf8Out(char** text, std::size_t* size, std::int64_t* signedAt);

int LeftOutFor(FileKind found);
int FromStream(const StreamResult& result, const TextOut* out = nullptr);
int FromOutcome(StreamOutcome outcome);
// Hands the bytes a signing made to the caller (for quorvane_free); the status of a signing
// that made none, with `alreadySigned` for bytes that carry a signature already.
int HandSigned(StreamOutcome outcome, const char* alreadySigned,
               const std::vector<std::uint8_t>& bytes, void** out, std::size_t* outSize);
int FromTail(const TailTrailer& trailer, const TextOut& out, std::size_t* needed);

// The status of a file the engine did not sign. A failure of the copy is the source's when the
// source was at fault.
int StatusOf(SignOutcome outcome, bool aboutSource);
int StatusOf(StripOutcome outcome);
int StatusOf(CheckOutcome outcome);

// The policy for existing outputs that the flags ask for.
ExistingOutputs ExistingOf(int flags);
// Replacing an existing output and keeping it contradict each other, whatever else is asked.
int CheckFlags(int flags, int allowed);

} // namespace libq
