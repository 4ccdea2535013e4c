// The C API over the engine: every entry point parses its arguments, calls the engine (the
// streams, the codec, one file at a time) and turns its results into a status and a message;
// no exception leaves it. The batches and walks are in QuorvaneBatch.cpp, the texts in
// QuorvaneText.cpp, what they all share in LibSupport.h.
#include "quorvane.h"

#include "CheckEngine.h"
#include "CliReport.h"
#include "FileOps.h"
#include "LibSupport.h"
#include "SigClock.h"
#include "SigCodeTable.h"
#include "Signature.h"
#include "Streams.h"
#include "Strip.h"
#include "TextConvert.h"

#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace fs = std::filesystem;
using namespace libq;

// The header's promises are the codec's facts.
static_assert(QUORVANE_MAX_TEXT_UNITS == kMaxSignatureUnits);
static_assert(QUORVANE_MAX_TRAILER_BYTES == kMaxTrailerBytes);
static_assert(QUORVANE_MAX_TEXT_FILE_BYTES == kMaxTextFileBytes);
static_assert(QUORVANE_MAX_JOBS == kMaxJobs);
static_assert(QUORVANE_MAX_TRAILER_BYTES == TrailerBytes(QUORVANE_MAX_TEXT_UNITS));

struct quorvane_signer {
    CStreamSigner signer;
};

namespace {

int CheckPath(const char* path, const TextOut& out) {
    if (path == nullptr)
        return Fail(QUORVANE_INVALID_ARGUMENT, "no path given");
    const CheckResult result = CheckFile(fs::path(path));
    switch (result.outcome) {
    case CheckOutcome::Signed:
        out.Give(result.text, result.seed);
        return Succeed();
    case CheckOutcome::NotSigned:
        return Fail(QUORVANE_NOT_SIGNED, std::string(path) + ": no signature");
    case CheckOutcome::Unreadable:
        break;
    }
    return Fail(QUORVANE_CANNOT_READ,
                "cannot read " + std::string(path) + ": " + CheckReason(result), result.error);
}

int SignFd(int input, int output, const TextIn& text) {
    std::u16string units;
    if (const int status = TakeText(text, units))
        return status;
    CDescriptorSource source(input);
    CDescriptorSink sink(output);
    return FromStream(SignStream(source, sink, units));
}

// The kinds a caller's flags ask for: warned (told to `found`) or left out.
int TakeKinds(int flags, quorvane_kind* kind, StreamKinds& kinds, FileKind& found) {
    if (kind != nullptr)
        *kind = quorvane_kind{nullptr, nullptr};
    if (const int status = CheckFlags(flags, QUORVANE_SKIP_KINDS))
        return status;
    kinds.leaveOut = (flags & QUORVANE_SKIP_KINDS) != 0;
    kinds.warn = [&found](FileKind told) { found = told; };
    return QUORVANE_OK;
}

void GiveKind(FileKind found, quorvane_kind* kind) {
    // The table's words are static and end in a 00 byte.
    if (kind != nullptr && KindObjects(found))
        *kind = quorvane_kind{InfoOf(found).id.data(), InfoOf(found).consequence.data()};
}

int CheckFd(int input, const TextOut& out) {
    CDescriptorSource source(input);
    return FromStream(CheckStream(source), &out);
}

int SignMemory(const void* data, std::size_t size, const TextIn& text, void** signedData,
               std::size_t* signedSize) {
    if ((data == nullptr && size > 0) || signedData == nullptr || signedSize == nullptr)
        return Fail(QUORVANE_INVALID_ARGUMENT, "no data or no place for the result");
    *signedData = nullptr;
    *signedSize = 0;
    std::u16string units;
    if (const int status = TakeText(text, units))
        return status;
    std::vector<std::uint8_t> out;
    return HandSigned(SignBytes(data, size, units, SigNow(), out),
                      "the data is already signed, cannot re-sign", out, signedData, signedSize);
}

int CheckMemory(const void* data, std::size_t size, const TextOut& out) {
    if (data == nullptr && size > 0)
        return Fail(QUORVANE_INVALID_ARGUMENT, "no data given");
    const BytesTrailer trailer = TrailerOfBytes(data, size);
    if (!trailer.isSigned)
        return Fail(QUORVANE_NOT_SIGNED, "no signature");
    out.Give(trailer.text, trailer.seed);
    return Succeed();
}

int MakeTrailerOf(const TextIn& text, std::uint32_t seconds, void** trailer,
                  std::size_t* trailerSize) {
    if (trailer == nullptr || trailerSize == nullptr)
        return Fail(QUORVANE_INVALID_ARGUMENT, "no place for the trailer");
    std::u16string units;
    if (const int status = TakeText(text, units))
        return status;
    CSigCodeTable table;
    const std::vector<std::uint8_t> bytes = MakeTrailer(table, units, seconds);
    *trailer = Handed(bytes);
    *trailerSize = bytes.size();
    return Succeed();
}

int CheckTailOf(const void* tail, std::size_t tailSize, std::int64_t fileSize, const TextOut& out,
                std::size_t* needed) {
    if (tail == nullptr && tailSize > 0)
        return Fail(QUORVANE_INVALID_ARGUMENT, "no bytes given");
    if (fileSize >= 0 && static_cast<std::uint64_t>(fileSize) < tailSize)
        return Fail(QUORVANE_INVALID_ARGUMENT, "more last bytes than the file holds");
    return FromTail(CheckTail(tail, tailSize, fileSize < 0 ? -1 : fileSize), out, needed);
}

int SignerNew(const TextIn& text, quorvane_signer** signer) {
    if (signer == nullptr)
        return Fail(QUORVANE_INVALID_ARGUMENT, "no place for the signer");
    *signer = nullptr;
    std::u16string units;
    if (const int status = TakeText(text, units))
        return status;
    *signer = new quorvane_signer{CStreamSigner(std::move(units))};
    return Succeed();
}

} // namespace

extern "C" {

const char* quorvane_version(void) {
    return QUORVANE_VERSION;
}

unsigned quorvane_version_number(void) {
    return QUORVANE_VERSION_MAJOR * 10000 + QUORVANE_VERSION_MINOR * 100 + QUORVANE_VERSION_PATCH;
}

const char* quorvane_status_text(int status) {
    switch (status) {
    case QUORVANE_OK:
        return "done";
    case QUORVANE_NOT_SIGNED:
        return "not signed";
    case QUORVANE_ALREADY_SIGNED:
        return "already signed";
    case QUORVANE_NEED_MORE:
        return "more of the file's last bytes are needed";
    case QUORVANE_INVALID_ARGUMENT:
        return "invalid argument";
    case QUORVANE_INVALID_TEXT:
        return "the text cannot be stored";
    case QUORVANE_CANNOT_READ:
        return "cannot read";
    case QUORVANE_CANNOT_WRITE:
        return "cannot write";
    case QUORVANE_OUTPUT_EXISTS:
        return "the output exists";
    case QUORVANE_NO_MEMORY:
        return "out of memory";
    case QUORVANE_FAILED:
        return "failed";
    default:
        return "unknown status";
    }
}

const char* quorvane_last_error(void) {
    return LastError();
}

void quorvane_free(void* memory) {
    std::free(memory);
}

int quorvane_check_file(const char* path, char** text) {
    return Guarded([&] { return CheckPath(path, Utf8Out(text)); });
}

int quorvane_check_file_n(const char* path, char** text, size_t* textSize, int64_t* signedAt) {
    return Guarded([&] { return CheckPath(path, Wtf8Out(text, textSize, signedAt)); });
}

int quorvane_strip_file(const char* source, const char* target, int flags) {
    return Guarded([&] {
        if (source == nullptr || target == nullptr)
            return Fail(QUORVANE_INVALID_ARGUMENT, "no source or target given");
        if (const int status = CheckFlags(flags, QUORVANE_REPLACE))
            return status;
        const StripResult result =
            StripTo(fs::path(source), fs::path(target), (flags & QUORVANE_REPLACE) != 0);
        if (result.outcome == StripOutcome::Stripped)
            return Succeed();
        if (result.outcome == StripOutcome::OutputExists)
            return Fail(QUORVANE_OUTPUT_EXISTS, ShownPath(result.output) + " already exists, kept");
        return Fail(StatusOf(result.outcome), StripProblemLine(source, result, false),
                    result.error);
    });
}

int quorvane_sign_fd(int input, int output, const char* text) {
    return Guarded([&] { return SignFd(input, output, Utf8In(text)); });
}

int quorvane_sign_fd_n(int input, int output, const char* text, size_t textSize) {
    return Guarded([&] { return SignFd(input, output, Wtf8In(text, textSize)); });
}

int quorvane_check_fd(int input, char** text) {
    return Guarded([&] { return CheckFd(input, Utf8Out(text)); });
}

int quorvane_check_fd_n(int input, char** text, size_t* textSize, int64_t* signedAt) {
    return Guarded([&] { return CheckFd(input, Wtf8Out(text, textSize, signedAt)); });
}

int quorvane_strip_fd(int input, int output) {
    return Guarded([&] {
        CDescriptorSource source(input);
        CDescriptorSink sink(output);
        return FromStream(StripStream(source, sink));
    });
}

int quorvane_sign_memory(const void* data, size_t size, const char* text, void** signedData,
                         size_t* signedSize) {
    return Guarded([&] { return SignMemory(data, size, Utf8In(text), signedData, signedSize); });
}

int quorvane_sign_memory_n(const void* data, size_t size, const char* text, size_t textSize,
                           void** signedData, size_t* signedSize) {
    return Guarded(
        [&] { return SignMemory(data, size, Wtf8In(text, textSize), signedData, signedSize); });
}

int quorvane_check_memory(const void* data, size_t size, char** text) {
    return Guarded([&] { return CheckMemory(data, size, Utf8Out(text)); });
}

int quorvane_check_memory_n(const void* data, size_t size, char** text, size_t* textSize,
                            int64_t* signedAt) {
    return Guarded([&] { return CheckMemory(data, size, Wtf8Out(text, textSize, signedAt)); });
}

int quorvane_strip_memory(const void* data, size_t size, size_t* unsignedSize) {
    return Guarded([&] {
        if ((data == nullptr && size > 0) || unsignedSize == nullptr)
            return Fail(QUORVANE_INVALID_ARGUMENT, "no data or no place for the result");
        const BytesTrailer trailer = TrailerOfBytes(data, size);
        if (!trailer.isSigned)
            return Fail(QUORVANE_NOT_SIGNED, "no signature");
        *unsignedSize = trailer.unsignedSize;
        return Succeed();
    });
}

int quorvane_make_trailer(const char* text, uint32_t seconds, void** trailer, size_t* trailerSize) {
    return Guarded([&] { return MakeTrailerOf(Utf8In(text), seconds, trailer, trailerSize); });
}

int quorvane_make_trailer_n(const char* text, size_t textSize, uint32_t seconds, void** trailer,
                            size_t* trailerSize) {
    return Guarded(
        [&] { return MakeTrailerOf(Wtf8In(text, textSize), seconds, trailer, trailerSize); });
}

int quorvane_check_tail(const void* tail, size_t tailSize, int64_t fileSize, char** text,
                        size_t* needed) {
    return Guarded([&] { return CheckTailOf(tail, tailSize, fileSize, Utf8Out(text), needed); });
}

int quorvane_check_tail_n(const void* tail, size_t tailSize, int64_t fileSize, char** text,
                          size_t* textSize, int64_t* signedAt, size_t* needed) {
    return Guarded([&] {
        return CheckTailOf(tail, tailSize, fileSize, Wtf8Out(text, textSize, signedAt), needed);
    });
}

int quorvane_signer_new(const char* text, quorvane_signer** signer) {
    return Guarded([&] { return SignerNew(Utf8In(text), signer); });
}

int quorvane_signer_new_n(const char* text, size_t textSize, quorvane_signer** signer) {
    return Guarded([&] { return SignerNew(Wtf8In(text, textSize), signer); });
}

int quorvane_signer_update(quorvane_signer* signer, const void* data, size_t size) {
    return Guarded([&] {
        if (signer == nullptr || (data == nullptr && size > 0))
            return Fail(QUORVANE_INVALID_ARGUMENT, "no signer or no data");
        if (!signer->signer.Update(data, size))
            return LeftOutFor(signer->signer.Kinds().Kind());
        return Succeed();
    });
}

int quorvane_signer_finish(quorvane_signer* signer, void** trailer, size_t* trailerSize) {
    return Guarded([&] {
        if (signer == nullptr || trailer == nullptr || trailerSize == nullptr)
            return Fail(QUORVANE_INVALID_ARGUMENT, "no signer or no place for the trailer");
        std::vector<std::uint8_t> bytes;
        const StreamOutcome outcome = signer->signer.Finish(SigNow(), bytes);
        if (outcome == StreamOutcome::LeftOut)
            return LeftOutFor(signer->signer.Kinds().Kind());
        return HandSigned(outcome, "the bytes are already signed, cannot re-sign", bytes, trailer,
                          trailerSize);
    });
}

void quorvane_signer_free(quorvane_signer* signer) {
    delete signer;
}

int quorvane_sign_fd_with(int input, int output, const char* text, size_t textSize, int flags,
                          quorvane_kind* kind) {
    return Guarded([&] {
        StreamKinds kinds;
        FileKind found = FileKind::Other;
        if (const int status = TakeKinds(flags, kind, kinds, found))
            return status;
        std::u16string units;
        if (const int status = TakeText(Wtf8In(text, textSize), units))
            return status;
        CDescriptorSource source(input);
        CDescriptorSink sink(output);
        const StreamResult result = SignStream(source, sink, units, &kinds);
        GiveKind(result.outcome == StreamOutcome::LeftOut ? result.kind : found, kind);
        return FromStream(result);
    });
}

int quorvane_sign_memory_with(const void* data, size_t size, const char* text, size_t textSize,
                              int flags, void* out, size_t outSize, size_t* signedSize,
                              quorvane_kind* kind) {
    return Guarded([&] {
        StreamKinds kinds;
        FileKind found = FileKind::Other;
        if (const int status = TakeKinds(flags, kind, kinds, found))
            return status;
        if ((data == nullptr && size > 0) || signedSize == nullptr)
            return Fail(QUORVANE_INVALID_ARGUMENT, "no data or no place for the size");
        *signedSize = 0;
        std::u16string units;
        if (const int status = TakeText(Wtf8In(text, textSize), units))
            return status;
        CStreamKindWatch watch(&kinds);
        const StreamOutcome outcome =
            SignBytesInto(data, size, units, SigNow(), out, outSize, *signedSize, &watch);
        GiveKind(watch.Kind(), kind);
        switch (outcome) {
        case StreamOutcome::Done:
            return Succeed();
        case StreamOutcome::AlreadySigned:
            return Fail(QUORVANE_ALREADY_SIGNED, "the data is already signed, cannot re-sign");
        case StreamOutcome::LeftOut:
            return LeftOutFor(watch.Kind());
        case StreamOutcome::WriteFailed:
            return Fail(QUORVANE_INVALID_ARGUMENT,
                        "the signed bytes need " + std::to_string(*signedSize) + " bytes");
        default:
            return Fail(QUORVANE_INVALID_TEXT, "the text cannot be stored");
        }
    });
}

int quorvane_signer_new_with(const char* text, size_t textSize, int flags,
                             quorvane_signer** signer) {
    return Guarded([&] {
        if (signer == nullptr)
            return Fail(QUORVANE_INVALID_ARGUMENT, "no place for the signer");
        *signer = nullptr;
        if (const int status = CheckFlags(flags, QUORVANE_SKIP_KINDS))
            return status;
        std::u16string units;
        if (const int status = TakeText(Wtf8In(text, textSize), units))
            return status;
        StreamKinds kinds;
        kinds.leaveOut = (flags & QUORVANE_SKIP_KINDS) != 0;
        *signer = new quorvane_signer{CStreamSigner(std::move(units), &kinds)};
        return Succeed();
    });
}

int quorvane_signer_kind(const quorvane_signer* signer, quorvane_kind* kind) {
    return Guarded([&] {
        if (signer == nullptr || kind == nullptr)
            return Fail(QUORVANE_INVALID_ARGUMENT, "no signer or no place for the kind");
        *kind = quorvane_kind{nullptr, nullptr};
        GiveKind(signer->signer.Kinds().Kind(), kind);
        return Succeed();
    });
}

int quorvane_file_kind(const char* path, const char** kind, const char** consequence) {
    return Guarded([&] {
        if (path == nullptr || kind == nullptr || consequence == nullptr)
            return Fail(QUORVANE_INVALID_ARGUMENT, "no path or no place for the kind");
        *kind = *consequence = nullptr;
        std::error_code error;
        FileFacts facts;
        const UniqueFile file = OpenForReading(fs::path(path), &error, &facts);
        if (!file)
            return Fail(QUORVANE_CANNOT_READ, "cannot read " + std::string(path) + Why(error),
                        error);
        const FileKind found = KindOfFile(file.get(), facts.size);
        if (KindObjects(found)) {
            // The table's words are static and end in a 00 byte.
            *kind = InfoOf(found).id.data();
            *consequence = InfoOf(found).consequence.data();
        }
        return Succeed();
    });
}

int quorvane_last_errno(void) {
    return LastErrno();
}

int quorvane_sign_memory_into_n(const void* data, size_t size, const char* text, size_t textSize,
                                void* out, size_t outSize, size_t* signedSize) {
    return Guarded([&] {
        if ((data == nullptr && size > 0) || signedSize == nullptr)
            return Fail(QUORVANE_INVALID_ARGUMENT, "no data or no place for the size");
        *signedSize = 0;
        std::u16string units;
        if (const int status = TakeText(Wtf8In(text, textSize), units))
            return status;
        switch (SignBytesInto(data, size, units, SigNow(), out, outSize, *signedSize)) {
        case StreamOutcome::Done:
            return Succeed();
        case StreamOutcome::AlreadySigned:
            return Fail(QUORVANE_ALREADY_SIGNED, "the data is already signed, cannot re-sign");
        case StreamOutcome::WriteFailed:
            return Fail(QUORVANE_INVALID_ARGUMENT,
                        "the signed bytes need " + std::to_string(*signedSize) + " bytes");
        default:
            return Fail(QUORVANE_INVALID_TEXT, "the text cannot be stored");
        }
    });
}

} // extern "C"
