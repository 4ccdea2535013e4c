// The shared parts of libquorvane's entry points (LibSupport.h): the thread's last error, the
// texts in and out, and the engine's outcomes as statuses and messages.
#include "LibSupport.h"

#include "FileErrors.h"
#include "Signature.h"
#include "TextConvert.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <optional>

namespace fs = std::filesystem;

namespace libq {

namespace {

thread_local std::string t_lastError;
thread_local int t_lastErrno = 0;

} // namespace

const char* LastError() {
    return t_lastError.c_str();
}

int LastErrno() {
    return t_lastErrno;
}

int Succeed() {
    t_lastError.clear();
    t_lastErrno = 0;
    return QUORVANE_OK;
}

int ErrnoOf(const std::error_code& error) {
    if (error.category() == std::generic_category() || error.category() == std::system_category())
        return error.value();
    return 0;
}

// The message is for people: a name or text of a stranger's cannot drive their terminal.
int Fail(int status, const std::string& message, const std::error_code& error) {
    t_lastError = Visible(message);
    t_lastErrno = status == QUORVANE_OUTPUT_EXISTS ? EEXIST : ErrnoOf(error);
    return status;
}

std::error_code NotAFolder(const char* folder) {
    std::error_code error;
    const fs::file_status status = fs::status(fs::path(folder), error);
    if (!error && !fs::is_directory(status))
        error = std::make_error_code(std::errc::not_a_directory);
    return error;
}

std::string Why(const std::error_code& error) {
    return error ? ": " + ErrorText(error) : std::string();
}

TextIn Utf8In(const char* text) {
    return {text, text != nullptr ? std::strlen(text) : 0, false};
}
TextIn Wtf8In(const char* text, std::size_t size) {
    return {text, size, true};
}

int TakeText(const TextIn& in, std::u16string& text, bool crLf) {
    if (in.bytes == nullptr)
        return Fail(QUORVANE_INVALID_ARGUMENT, "no text given");
    const std::string_view bytes(in.bytes, in.size);
    std::optional<std::u16string> units = in.exact ? Wtf8ToUtf16(bytes) : Utf8ToUtf16(bytes);
    if (!units)
        return Fail(QUORVANE_INVALID_TEXT,
                    in.exact ? "the text is not valid WTF-8" : "the text is not valid UTF-8");
    switch (CheckText(*units, crLf)) {
    case TextProblem::None:
        break;
    case TextProblem::Empty:
        return Fail(QUORVANE_INVALID_TEXT, "the text is empty");
    default:
        return Fail(QUORVANE_INVALID_TEXT, "the text is longer than " +
                                               std::to_string(kMaxSignatureUnits) +
                                               " UTF-16 code units");
    }
    text = std::move(*units);
    return QUORVANE_OK;
}

void* Handed(std::string_view bytes, std::size_t size) {
    void* memory = std::calloc(std::max<std::size_t>(size, 1), 1);
    if (memory == nullptr)
        throw std::bad_alloc();
    if (!bytes.empty())
        std::memcpy(memory, bytes.data(), bytes.size());
    return memory;
}
void* Handed(const std::vector<std::uint8_t>& bytes) {
    return Handed({reinterpret_cast<const char*>(bytes.data()), bytes.size()}, bytes.size());
}

void TextOut::Clear() const {
    if (!exact)
        return;
    if (text != nullptr)
        *text = nullptr;
    if (size != nullptr)
        *size = 0;
    if (signedAt != nullptr)
        *signedAt = -1;
}

void TextOut::Give(const std::u16string& units, std::uint32_t seed) const {
    if (text != nullptr) {
        const std::string bytes = exact ? Utf16ToWtf8(units) : Utf16ToUtf8(units);
        *text = static_cast<char*>(Handed(bytes, bytes.size() + 1));
        if (size != nullptr)
            *size = bytes.size();
    } else if (size != nullptr) {
        *size = Utf16ToWtf8(units).size();
    }
    if (signedAt != nullptr)
        *signedAt = seed;
}

TextOut Utf8Out(char** text) {
    return {text, nullptr, nullptr, false};
}
TextOut Wtf8Out(char** text, std::size_t* size, std::int64_t* signedAt) {
    const TextOut out{text, size, signedAt, true};
    out.Clear();
    return out;
}

int LeftOutFor(FileKind found) {
    return Fail(QUORVANE_FAILED, "left out for its kind (" + std::string(InfoOf(found).id) +
                                     "): " + std::string(InfoOf(found).consequence));
}

int FromStream(const StreamResult& result, const TextOut* out) {
    switch (result.outcome) {
    case StreamOutcome::Done:
        if (out != nullptr)
            out->Give(result.text, result.seed);
        return Succeed();
    case StreamOutcome::NotSigned:
        return Fail(QUORVANE_NOT_SIGNED, "no signature");
    case StreamOutcome::AlreadySigned:
        return Fail(QUORVANE_ALREADY_SIGNED, "the input is already signed, cannot re-sign");
    case StreamOutcome::BadText:
        return Fail(QUORVANE_INVALID_TEXT, "the text cannot be stored");
    case StreamOutcome::LeftOut:
        return LeftOutFor(result.kind);
    case StreamOutcome::CannotOpen:
    case StreamOutcome::ReadFailed:
        return Fail(QUORVANE_CANNOT_READ, "cannot read the input" + Why(result.error),
                    result.error);
    case StreamOutcome::WriteFailed:
        return Fail(QUORVANE_CANNOT_WRITE, "cannot write the output" + Why(result.error),
                    result.error);
    }
    return Fail(QUORVANE_FAILED, "unexpected outcome");
}

int FromOutcome(StreamOutcome outcome) {
    StreamResult result;
    result.outcome = outcome;
    return FromStream(result);
}

int HandSigned(StreamOutcome outcome, const char* alreadySigned,
               const std::vector<std::uint8_t>& bytes, void** out, std::size_t* outSize) {
    if (outcome == StreamOutcome::AlreadySigned)
        return Fail(QUORVANE_ALREADY_SIGNED, alreadySigned);
    if (outcome != StreamOutcome::Done)
        return FromOutcome(outcome);
    *out = Handed(bytes);
    *outSize = bytes.size();
    return Succeed();
}

int FromTail(const TailTrailer& trailer, const TextOut& out, std::size_t* needed) {
    switch (trailer.kind) {
    case TailTrailer::Kind::Signed:
        out.Give(trailer.text, trailer.seed);
        return Succeed();
    case TailTrailer::Kind::NotSigned:
        return Fail(QUORVANE_NOT_SIGNED, "no signature");
    case TailTrailer::Kind::NeedMore:
        if (needed != nullptr)
            *needed = trailer.needed;
        return Fail(QUORVANE_NEED_MORE, "the trailer needs the file's last " +
                                            std::to_string(trailer.needed) + " bytes");
    }
    return Fail(QUORVANE_FAILED, "unexpected outcome");
}

int StatusOf(SignOutcome outcome, bool aboutSource) {
    switch (outcome) {
    case SignOutcome::Signed:
        return QUORVANE_OK;
    case SignOutcome::CannotOpenForReading:
    case SignOutcome::CannotOpenForSigning:
        return QUORVANE_CANNOT_READ;
    case SignOutcome::AlreadySigned:
        return QUORVANE_ALREADY_SIGNED;
    case SignOutcome::NotOverwritten:
        return QUORVANE_OUTPUT_EXISTS;
    case SignOutcome::CannotWrite:
        return QUORVANE_CANNOT_WRITE;
    case SignOutcome::SignFailed:
        return aboutSource ? QUORVANE_CANNOT_READ : QUORVANE_CANNOT_WRITE;
    case SignOutcome::Stopped:
    case SignOutcome::LeftOut:
        break;
    }
    return QUORVANE_FAILED;
}

int StatusOf(StripOutcome outcome) {
    switch (outcome) {
    case StripOutcome::Stripped:
        return QUORVANE_OK;
    case StripOutcome::Unreadable:
        return QUORVANE_CANNOT_READ;
    case StripOutcome::NotSigned:
        return QUORVANE_NOT_SIGNED;
    case StripOutcome::OutputExists:
        return QUORVANE_OUTPUT_EXISTS;
    case StripOutcome::WouldReplaceSource:
    case StripOutcome::WrittenThisRun:
    case StripOutcome::CannotWrite:
    case StripOutcome::WriteFailed:
        return QUORVANE_CANNOT_WRITE;
    case StripOutcome::Stopped:
        break;
    }
    return QUORVANE_FAILED;
}

int StatusOf(CheckOutcome outcome) {
    switch (outcome) {
    case CheckOutcome::Signed:
        return QUORVANE_OK;
    case CheckOutcome::NotSigned:
        return QUORVANE_NOT_SIGNED;
    case CheckOutcome::Unreadable:
        return QUORVANE_CANNOT_READ;
    }
    return QUORVANE_FAILED;
}

ExistingOutputs ExistingOf(int flags) {
    return (flags & QUORVANE_REPLACE) != 0        ? ExistingOutputs::Replace
           : (flags & QUORVANE_KEEP_QUIETLY) != 0 ? ExistingOutputs::KeepQuietly
                                                  : ExistingOutputs::Keep;
}

int CheckFlags(int flags, int allowed) {
    constexpr int kContradicting = QUORVANE_REPLACE | QUORVANE_KEEP_QUIETLY;
    if ((flags & ~allowed) != 0 || (flags & kContradicting) == kContradicting)
        return Fail(QUORVANE_INVALID_ARGUMENT, "unknown or contradicting flags");
    return QUORVANE_OK;
}

} // namespace libq
