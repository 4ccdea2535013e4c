// The C API over the engine: every entry point parses its arguments, calls the engine (the
// batches of signing, checking and stripping, the streams, the codec) and turns its results
// into a status and a message; no exception leaves it.
#include "quorvane.h"

#include "CheckEngine.h"
#include "FileErrors.h"
#include "FileOps.h"
#include "FolderWalk.h"
#include "OutputPlan.h"
#include "SigClock.h"
#include "SigCodeTable.h"
#include "SignEngine.h"
#include "CliReport.h"
#include "SignTexts.h"
#include "Signature.h"
#include "Streams.h"
#include "Strip.h"
#include "TextConvert.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <limits>
#include <new>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace fs = std::filesystem;

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

thread_local std::string t_lastError;
thread_local int t_lastErrno = 0;

int Succeed() {
    t_lastError.clear();
    t_lastErrno = 0;
    return QUORVANE_OK;
}

// The system's error number behind `error`; 0 for Quorvane's own reasons.
int ErrnoOf(const std::error_code& error) {
    if (error.category() == std::generic_category() || error.category() == std::system_category())
        return error.value();
    return 0;
}

// The message is for people: a name or text of a stranger's cannot drive their terminal.
int Fail(int status, const std::string& message, const std::error_code& error = {}) {
    t_lastError = Visible(message);
    t_lastErrno = status == QUORVANE_OUTPUT_EXISTS ? EEXIST : ErrnoOf(error);
    return status;
}

// Why `folder` is not a folder, as the system tells it: its own error, or ENOTDIR.
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
TextIn Utf8In(const char* text) {
    return {text, text != nullptr ? std::strlen(text) : 0, false};
}
TextIn Wtf8In(const char* text, std::size_t size) {
    return {text, size, true};
}

// The text to sign, or the status that refuses it. Stored exactly as given unless `crLf`.
int TakeText(const TextIn& in, std::u16string& text, bool crLf = false) {
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

// `size` bytes of malloc'd memory (for quorvane_free) holding `bytes` and zeros after them.
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

// Where a check puts what it found: NUL-terminated UTF-8 (1.0) or WTF-8 with its size and the
// signing time (1.1). Null places are not filled.
struct TextOut {
    char** text = nullptr;
    std::size_t* size = nullptr;
    std::int64_t* signedAt = nullptr;
    bool exact = false;

    // 1.1 clears its places first, so that they hold nothing after a failure.
    void Clear() const {
        if (!exact)
            return;
        if (text != nullptr)
            *text = nullptr;
        if (size != nullptr)
            *size = 0;
        if (signedAt != nullptr)
            *signedAt = -1;
    }
    void Give(const std::u16string& units, std::uint32_t seed) const {
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
};
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

int FromStream(const StreamResult& result, const TextOut* out = nullptr) {
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

// Hands the bytes a signing made to the caller (for quorvane_free); the status of a signing
// that made none, with `alreadySigned` for bytes that carry a signature already.
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

// The status of a file the engine did not sign. A failure of the copy is the source's when the
// source was at fault.
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

// A sign run's events as statuses and lines. A file's message waits for its outcome, which
// tells its status; the last file not signed is remembered for a run of one.
class CReportingObserver : public ISignObserver {
public:
    CReportingObserver(const SignRequest& request, quorvane_report_fn report, void* context)
        : m_request(request), m_report(report), m_context(context) {}

    void BatchStarted(std::size_t) override {}
    void FileStarted(std::size_t, std::size_t, const std::u16string&) override {}
    void FileFinished(std::size_t, const SignItem& item, SignOutcome outcome) override {
        const bool quiet = outcome == SignOutcome::NotOverwritten &&
                           m_request.existing == ExistingOutputs::KeepQuietly;
        const int status = StatusOf(outcome, m_aboutSource);
        if (m_line)
            Report(&item, status, *m_line);
        if (outcome != SignOutcome::Signed && !quiet) {
            ++m_notDone;
            m_status = status;
            m_message = outcome == SignOutcome::NotOverwritten ? m_kept : m_line.value_or("");
            m_error = m_lineError;
        }
        m_line.reset();
        m_lineError.clear();
        m_aboutSource = false;
    }
    void ReportFailure(const SignMessage& message) override {
        const std::string line = MessageLine(message);
        if (message.item == nullptr) {
            m_message = line;
            Report(nullptr, QUORVANE_CANNOT_WRITE, line);
            return;
        }
        m_line = line;
        m_lineError = message.error;
        m_aboutSource = message.culprit != Culprit::Output;
    }
    // A source of a kind whose own tools object to a signed copy, signed all the same: its
    // line as quorvane-cli writes it, in its turn, with the status of a file not refused.
    void ReportWarning(const SignMessage& message) override {
        Report(message.item, QUORVANE_OK, MessageLine(message));
    }
    void OutputKept(const SignMessage& question) override {
        m_kept = ShownPath(question.path) + " already exists, kept";
        m_line = KeptLine(question);
    }
    void BatchFinished() override {}
    void ShowSummary(const SignMessage& summary) override {
        Report(nullptr, QUORVANE_OK, MessageLine(summary));
    }

    std::size_t m_notDone = 0;
    // The last file not signed (or the folder refused): its status and message.
    int m_status = QUORVANE_FAILED;
    std::string m_message;
    std::error_code m_error;

private:
    void Report(const SignItem* item, int status, const std::string& line) {
        if (m_report == nullptr)
            return;
        const std::ptrdiff_t index = item != nullptr ? item - m_request.items.data() : -1;
        m_report(m_context, index, status, line.c_str());
    }

    const SignRequest& m_request;
    quorvane_report_fn m_report;
    void* m_context;
    std::optional<std::string> m_line;
    std::error_code m_lineError;
    bool m_aboutSource = false;
    std::string m_kept;
};

// The policy for existing outputs that the flags ask for.
ExistingOutputs ExistingOf(int flags) {
    return (flags & QUORVANE_REPLACE) != 0        ? ExistingOutputs::Replace
           : (flags & QUORVANE_KEEP_QUIETLY) != 0 ? ExistingOutputs::KeepQuietly
                                                  : ExistingOutputs::Keep;
}

// Replacing an existing output and keeping it contradict each other, whatever else is asked.
int CheckFlags(int flags, int allowed) {
    constexpr int kContradicting = QUORVANE_REPLACE | QUORVANE_KEEP_QUIETLY;
    if ((flags & ~allowed) != 0 || (flags & kContradicting) == kContradicting)
        return Fail(QUORVANE_INVALID_ARGUMENT, "unknown or contradicting flags");
    return QUORVANE_OK;
}

int SignFile(const char* source, const char* target, const TextIn& text, int flags) {
    if (source == nullptr || target == nullptr)
        return Fail(QUORVANE_INVALID_ARGUMENT, "no source or target given");
    if (const int status = CheckFlags(flags, QUORVANE_REPLACE))
        return status;
    SignRequest request;
    if (const int status = TakeText(text, request.text))
        return status;
    SignItem item;
    item.source = fs::path(source);
    item.target = fs::path(target);
    request.outputFolder = item.target.has_parent_path() ? item.target.parent_path() : ".";
    request.items.push_back(std::move(item));
    request.existing = ExistingOf(flags);
    CReportingObserver observer(request, nullptr, nullptr);
    const SignResult result = RunSignBatch(request, observer);
    // The batch's words for a folder that is none name no file; a caller of one file gave the
    // output's name.
    if (!result.folderValid) {
        const std::error_code error = NotAFolder(request.outputFolder.c_str());
        return Fail(QUORVANE_CANNOT_WRITE, "cannot write " + std::string(target) + Why(error),
                    error);
    }
    if (result.signedCount == 1)
        return Succeed();
    return Fail(observer.m_status, observer.m_message, observer.m_error);
}

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

// The items as the engine takes them, or the status that refuses them.
int TakeItems(const quorvane_item* items, std::size_t count, std::vector<SignItem>& taken) {
    taken.reserve(count);
    for (std::size_t i = 0; i < count; ++i) {
        if (items[i].source == nullptr)
            return Fail(QUORVANE_INVALID_ARGUMENT, "an item without a source");
        SignItem item;
        item.source = fs::path(items[i].source);
        if (items[i].subfolder != nullptr)
            item.subfolder = fs::path(items[i].subfolder);
        taken.push_back(std::move(item));
    }
    return QUORVANE_OK;
}

// A folder walk's files and problems, each to its callback; failed when anything was skipped.
int GiveFiles(const FolderFiles& files, quorvane_file_fn file, quorvane_problem_fn problem,
              void* context) {
    if (file != nullptr)
        for (const SignItem& item : files.items)
            file(context, PathUtf8(item.source).c_str(), PathUtf8(item.subfolder).c_str());
    if (problem != nullptr)
        for (const WalkProblem& found : files.problems)
            problem(context, WalkProblemText(found).c_str());
    return files.problems.empty() ? Succeed()
                                  : Fail(QUORVANE_CANNOT_READ, "some entries were skipped");
}

int SignBatch(const quorvane_item* items, std::size_t count, const char* outputFolder,
              const TextIn& text, int flags, unsigned jobs, quorvane_report_fn report,
              void* context, std::size_t* signedCount) {
    if (signedCount != nullptr)
        *signedCount = 0;
    if ((items == nullptr && count > 0) || outputFolder == nullptr)
        return Fail(QUORVANE_INVALID_ARGUMENT, "no items or no output folder");
    if (const int status =
            CheckFlags(flags, QUORVANE_REPLACE | QUORVANE_KEEP_QUIETLY | QUORVANE_SKIP_KINDS))
        return status;
    SignRequest request;
    if (const int status = TakeText(text, request.text))
        return status;
    request.kinds = (flags & QUORVANE_SKIP_KINDS) != 0 ? KindPolicy::LeaveOut : KindPolicy::Warn;
    if (const int status = TakeItems(items, count, request.items))
        return status;
    request.outputFolder = fs::path(outputFolder);
    request.existing = ExistingOf(flags);
    request.jobs = std::max(1u, jobs);
    CReportingObserver observer(request, report, context);
    const SignResult result = RunSignBatch(request, observer);
    if (signedCount != nullptr)
        *signedCount = result.signedCount;
    if (!result.folderValid)
        return Fail(QUORVANE_CANNOT_WRITE, observer.m_message, NotAFolder(outputFolder));
    if (result.verdict != Verdict::AllDone)
        return Fail(QUORVANE_FAILED, std::to_string(observer.m_notDone) + " of " +
                                         std::to_string(count) + " files were not signed");
    return Succeed();
}

// Each checked file's result as the C callback takes it.
class CCheckReporter : public ICheckObserver {
public:
    CCheckReporter(quorvane_check_fn check, void* context) : m_check(check), m_context(context) {}

    void FileChecked(std::size_t position, const CheckItem& item,
                     const CheckResult& result) override {
        const bool isSigned = result.outcome == CheckOutcome::Signed;
        const bool unreadable = result.outcome == CheckOutcome::Unreadable;
        m_unreadable = m_unreadable || unreadable;
        if (m_check == nullptr)
            return;
        const std::string text = isSigned ? Utf16ToWtf8(result.text) : std::string();
        const std::string reason = unreadable ? CheckReason(result) : std::string();
        const std::string line = CheckJsonLine(item.path, result);
        const quorvane_check_result found{position,
                                          StatusOf(result.outcome),
                                          isSigned ? text.c_str() : nullptr,
                                          text.size(),
                                          isSigned ? std::int64_t{result.seed} : -1,
                                          unreadable ? reason.c_str() : nullptr,
                                          line.c_str()};
        m_check(m_context, &found);
    }

    bool m_unreadable = false;

private:
    quorvane_check_fn m_check;
    void* m_context;
};

// Each source not stripped as the C callback takes it.
class CStripReporter : public IStripObserver {
public:
    CStripReporter(bool quiet, quorvane_report_fn report, void* context)
        : m_quiet(quiet), m_report(report), m_context(context) {}

    void FileStripped(std::size_t position, const fs::path& source,
                      const StripResult& result) override {
        const std::string line = StripProblemLine(source, result, m_quiet);
        if (line.empty())
            return;
        ++m_notDone;
        if (m_report != nullptr)
            m_report(m_context, static_cast<std::ptrdiff_t>(position), StatusOf(result.outcome),
                     line.c_str());
    }

    std::size_t m_notDone = 0;

private:
    bool m_quiet;
    quorvane_report_fn m_report;
    void* m_context;
};

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
    return t_lastError.c_str();
}

void quorvane_free(void* memory) {
    std::free(memory);
}

int quorvane_sign_file(const char* source, const char* target, const char* text, int flags) {
    return Guarded([&] { return SignFile(source, target, Utf8In(text), flags); });
}

int quorvane_sign_file_n(const char* source, const char* target, const char* text, size_t textSize,
                         int flags) {
    return Guarded([&] { return SignFile(source, target, Wtf8In(text, textSize), flags); });
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

int quorvane_sign_batch(const quorvane_item* items, size_t count, const char* outputFolder,
                        const char* text, int flags, unsigned jobs, quorvane_report_fn report,
                        void* context, size_t* signedCount) {
    return Guarded([&] {
        return SignBatch(items, count, outputFolder, Utf8In(text), flags, jobs, report, context,
                         signedCount);
    });
}

int quorvane_sign_batch_n(const quorvane_item* items, size_t count, const char* outputFolder,
                          const char* text, size_t textSize, int flags, unsigned jobs,
                          quorvane_report_fn report, void* context, size_t* signedCount) {
    return Guarded([&] {
        return SignBatch(items, count, outputFolder, Wtf8In(text, textSize), flags, jobs, report,
                         context, signedCount);
    });
}

int quorvane_sign_summary(size_t signedCount, char** text) {
    return Guarded([&] {
        if (text == nullptr)
            return Fail(QUORVANE_INVALID_ARGUMENT, "no place for the text");
        Utf8Out(text).Give(signtext::Summary(signedCount), 0);
        return Succeed();
    });
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

int quorvane_time_text(int64_t seconds, char** text) {
    return Guarded([&] {
        if (text == nullptr)
            return Fail(QUORVANE_INVALID_ARGUMENT, "no place for the text");
        *text = nullptr;
        if (seconds < 0 || seconds > std::numeric_limits<std::uint32_t>::max())
            return Fail(QUORVANE_INVALID_ARGUMENT, "not a signing time");
        const std::string iso = IsoUtc(static_cast<std::uint32_t>(seconds));
        *text = static_cast<char*>(Handed(iso, iso.size() + 1));
        return Succeed();
    });
}

int quorvane_list_files(const char* folder, const char* outputFolder, quorvane_file_fn file,
                        quorvane_problem_fn problem, void* context) {
    return quorvane_list_files_with(folder, outputFolder, 0, file, problem, context);
}

int quorvane_list_files_with(const char* folder, const char* outputFolder, int flags,
                             quorvane_file_fn file, quorvane_problem_fn problem, void* context) {
    return Guarded([&] {
        if (folder == nullptr)
            return Fail(QUORVANE_INVALID_ARGUMENT, "no folder given");
        if (const int status = CheckFlags(flags, QUORVANE_FOLLOW_LINKS))
            return status;
        if (!IsDirectory(folder))
            return Fail(QUORVANE_CANNOT_READ, std::string(folder) + " is not a folder",
                        NotAFolder(folder));
        return GiveFiles(FilesBelow(fs::path(folder),
                                    outputFolder != nullptr ? fs::path(outputFolder) : fs::path(),
                                    (flags & QUORVANE_FOLLOW_LINKS) != 0),
                         file, problem, context);
    });
}

int quorvane_check_batch(const char* const* paths, size_t count, unsigned jobs,
                         quorvane_check_fn check, void* context, size_t* signedCount) {
    return Guarded([&] {
        if (signedCount != nullptr)
            *signedCount = 0;
        if (paths == nullptr && count > 0)
            return Fail(QUORVANE_INVALID_ARGUMENT, "no paths given");
        CheckRequest request;
        for (std::size_t i = 0; i < count; ++i) {
            if (paths[i] == nullptr)
                return Fail(QUORVANE_INVALID_ARGUMENT, "a null path");
            CheckItem item;
            item.path = fs::path(paths[i]);
            request.items.push_back(std::move(item));
        }
        request.jobs = std::max(1u, jobs);
        CCheckReporter reporter(check, context);
        const CheckBatchResult result = RunCheckBatch(request, reporter);
        if (signedCount != nullptr)
            *signedCount = result.signedCount;
        if (result.verdict == Verdict::AllDone)
            return Succeed();
        const std::string tally = std::to_string(count - result.signedCount) + " of " +
                                  std::to_string(count) + " files are not signed";
        return reporter.m_unreadable ? Fail(QUORVANE_CANNOT_READ, tally + " or cannot be read")
                                     : Fail(QUORVANE_NOT_SIGNED, tally);
    });
}

int quorvane_list_check_entries(const char* path, quorvane_entry_fn entry, void* context) {
    return quorvane_list_check_entries_with(path, 0, entry, context);
}

int quorvane_list_check_entries_with(const char* path, int flags, quorvane_entry_fn entry,
                                     void* context) {
    return Guarded([&] {
        if (path == nullptr)
            return Fail(QUORVANE_INVALID_ARGUMENT, "no path given");
        if (const int status = CheckFlags(flags, QUORVANE_FOLLOW_LINKS))
            return status;
        bool problems = false;
        for (const CheckItem& item :
             CheckItemsOf(fs::path(path), true, (flags & QUORVANE_FOLLOW_LINKS) != 0)) {
            const bool problem = item.error || item.link != LinkedTo::Nothing;
            problems = problems || problem;
            if (entry != nullptr)
                entry(context, PathUtf8(item.path).c_str(),
                      problem ? CheckJsonLine(item.path, CheckOne(item)).c_str() : nullptr);
        }
        return problems ? Fail(QUORVANE_CANNOT_READ, "some entries cannot be checked") : Succeed();
    });
}

int quorvane_strip_batch(const char* const* sources, size_t count, const char* outputFolder,
                         int flags, unsigned jobs, quorvane_report_fn report, void* context,
                         size_t* strippedCount) {
    return Guarded([&] {
        if (strippedCount != nullptr)
            *strippedCount = 0;
        if ((sources == nullptr && count > 0) || outputFolder == nullptr)
            return Fail(QUORVANE_INVALID_ARGUMENT, "no sources or no output folder");
        if (const int status = CheckFlags(flags, QUORVANE_REPLACE | QUORVANE_KEEP_QUIETLY))
            return status;
        StripRequest request;
        for (std::size_t i = 0; i < count; ++i) {
            if (sources[i] == nullptr)
                return Fail(QUORVANE_INVALID_ARGUMENT, "a null source");
            request.sources.emplace_back(sources[i]);
        }
        request.outputFolder = fs::path(outputFolder);
        request.existing = ExistingOf(flags);
        request.jobs = std::max(1u, jobs);
        CStripReporter reporter(request.existing == ExistingOutputs::KeepQuietly, report, context);
        const StripBatchResult result = RunStripBatch(request, reporter);
        if (strippedCount != nullptr)
            *strippedCount = result.strippedCount;
        if (!result.folderValid) {
            const std::string line = Utf16ToUtf8(signtext::kInvalidOutputFolder);
            if (report != nullptr)
                report(context, -1, QUORVANE_CANNOT_WRITE, line.c_str());
            return Fail(QUORVANE_CANNOT_WRITE, line, NotAFolder(outputFolder));
        }
        if (result.verdict != Verdict::AllDone)
            return Fail(QUORVANE_FAILED, std::to_string(reporter.m_notDone) + " of " +
                                             std::to_string(count) + " files were not stripped");
        return Succeed();
    });
}

int quorvane_last_errno(void) {
    return t_lastErrno;
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

int quorvane_text_from_file_bytes(const void* bytes, size_t size, char** text, size_t* textSize) {
    return Guarded([&] {
        const TextOut out = Wtf8Out(text, textSize, nullptr);
        if (bytes == nullptr && size > 0)
            return Fail(QUORVANE_INVALID_ARGUMENT, "no bytes given");
        const std::optional<std::u16string> units =
            TextFromFileBytes(size > 0 ? std::string_view(static_cast<const char*>(bytes), size)
                                       : std::string_view());
        if (!units)
            return Fail(QUORVANE_INVALID_TEXT,
                        "it is neither UTF-8 nor UTF-16 with a byte order mark (FF FE or FE FF)");
        out.Give(*units, 0);
        return Succeed();
    });
}

int quorvane_with_crlf(const char* text, size_t textSize, char** out, size_t* outSize) {
    return Guarded([&] {
        const TextOut given = Wtf8Out(out, outSize, nullptr);
        if (text == nullptr && textSize > 0)
            return Fail(QUORVANE_INVALID_ARGUMENT, "no text given");
        const std::optional<std::u16string> units =
            Wtf8ToUtf16(textSize > 0 ? std::string_view(text, textSize) : std::string_view());
        if (!units)
            return Fail(QUORVANE_INVALID_TEXT, "the text is not valid WTF-8");
        given.Give(WithCrLf(*units), 0);
        return Succeed();
    });
}

int quorvane_text_to_sign(const char* text, size_t textSize, char** out, size_t* outSize) {
    return Guarded([&] {
        const TextOut given = Wtf8Out(out, outSize, nullptr);
        if (text == nullptr && textSize > 0)
            return Fail(QUORVANE_INVALID_ARGUMENT, "no text given");
        std::u16string units;
        if (const int status = TakeText(Wtf8In(text, textSize), units, true))
            return status;
        given.Give(units, 0);
        return Succeed();
    });
}

int quorvane_list_sign_items(const char* path, const char* outputFolder, quorvane_file_fn file,
                             quorvane_problem_fn problem, void* context) {
    return quorvane_list_sign_items_with(path, outputFolder, 0, file, problem, context);
}

int quorvane_list_sign_items_with(const char* path, const char* outputFolder, int flags,
                                  quorvane_file_fn file, quorvane_problem_fn problem,
                                  void* context) {
    return Guarded([&] {
        if (path == nullptr)
            return Fail(QUORVANE_INVALID_ARGUMENT, "no path given");
        if (const int status = CheckFlags(flags, QUORVANE_FOLLOW_LINKS))
            return status;
        return GiveFiles(SignItemsOf(fs::path(path),
                                     outputFolder != nullptr ? fs::path(outputFolder) : fs::path(),
                                     true, (flags & QUORVANE_FOLLOW_LINKS) != 0),
                         file, problem, context);
    });
}

int quorvane_plan_sign_batch(const quorvane_item* items, size_t count, const char* outputFolder,
                             size_t partSize, quorvane_plan_fn plan, void* context,
                             size_t* partCount) {
    return Guarded([&] {
        if (partCount != nullptr)
            *partCount = 0;
        if ((items == nullptr && count > 0) || outputFolder == nullptr)
            return Fail(QUORVANE_INVALID_ARGUMENT, "no items or no output folder");
        std::vector<SignItem> signItems;
        if (const int status = TakeItems(items, count, signItems))
            return status;
        const OutputPlan planned =
            PlanOutputs(signItems, fs::path(outputFolder),
                        partSize > 0 ? partSize : std::numeric_limits<std::size_t>::max());
        if (plan != nullptr)
            for (std::size_t i = 0; i < count; ++i) {
                const std::string output = PathUtf8(planned.outputs[i]);
                const quorvane_planned_item item{i, output.c_str(), planned.earlier[i],
                                                 planned.parts[i]};
                plan(context, &item);
            }
        if (partCount != nullptr)
            *partCount = planned.partCount;
        return Succeed();
    });
}

} // extern "C"
