// The C API over the engine: every entry point turns the engine's results into a status and a
// message, and no exception leaves it.
#include "quorvane.h"

#include "FileOps.h"
#include "FolderWalk.h"
#include "SigClock.h"
#include "SigCodeTable.h"
#include "SignEngine.h"
#include "SignReport.h"
#include "SignTexts.h"
#include "Signature.h"
#include "Streams.h"
#include "TextConvert.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <new>
#include <optional>
#include <string>
#include <vector>

#include <unistd.h>

namespace fs = std::filesystem;

struct quorvane_signer {
    std::u16string text;
    CTailKeeper tail;
};

namespace {

thread_local std::string t_lastError;

int Succeed() {
    t_lastError.clear();
    return QUORVANE_OK;
}

int Fail(int status, std::string message) {
    t_lastError = std::move(message);
    return status;
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

// The text to sign, or the status that refuses it.
int TakeText(const char* utf8, std::u16string& text) {
    if (utf8 == nullptr)
        return Fail(QUORVANE_INVALID_ARGUMENT, "no text given");
    std::optional<std::u16string> units = Utf8ToUtf16(utf8);
    if (!units)
        return Fail(QUORVANE_INVALID_TEXT, "the text is not valid UTF-8");
    if (units->empty())
        return Fail(QUORVANE_INVALID_TEXT, "the text is empty");
    if (units->size() > kMaxSignatureUnits)
        return Fail(QUORVANE_INVALID_TEXT, "the text is longer than 32767 UTF-16 code units");
    text = std::move(*units);
    return QUORVANE_OK;
}

// `size` bytes of malloc'd memory (for quorvane_free) starting with `count` bytes of `data`.
void* Copy(const void* data, std::size_t count, std::size_t size) {
    void* memory = std::malloc(size > 0 ? size : 1);
    if (memory == nullptr)
        throw std::bad_alloc();
    if (count > 0)
        std::memcpy(memory, data, count);
    return memory;
}
void* Copy(const void* data, std::size_t size) {
    return Copy(data, size, size);
}

void GiveText(const std::u16string& text, char** out) {
    const std::string utf8 = Utf16ToUtf8(text);
    *out = static_cast<char*>(Copy(utf8.c_str(), utf8.size() + 1));
}

int FromTail(const TailTrailer& trailer, char** text) {
    if (trailer.kind != TailTrailer::Kind::Signed)
        return Fail(QUORVANE_NOT_SIGNED, "no signature");
    if (text != nullptr)
        GiveText(trailer.text, text);
    return Succeed();
}

// The last bytes of `size` bytes of memory, as many as a trailer can occupy.
TailTrailer TrailerOfMemory(const void* data, std::size_t size) {
    const std::size_t tail = std::min(size, kMaxTrailerBytes);
    CSigCodeTable table;
    return ReadTrailerInTail(table, static_cast<const std::uint8_t*>(data) + (size - tail), tail,
                             static_cast<std::int64_t>(size));
}

// A descriptor as a stream, read and written to the end through interruptions.
class CDescriptorSource : public CStreamSource {
public:
    explicit CDescriptorSource(int fd) : m_fd(fd) {}
    std::ptrdiff_t Read(void* buffer, std::size_t bytes, std::error_code& error) override {
        auto* p = static_cast<char*>(buffer);
        std::size_t got = 0;
        while (got < bytes) {
            const ssize_t n = ::read(m_fd, p + got, bytes - got);
            if (n < 0 && errno == EINTR)
                continue;
            if (n < 0) {
                error = LastError();
                return -1;
            }
            if (n == 0)
                break;
            got += static_cast<std::size_t>(n);
        }
        return static_cast<std::ptrdiff_t>(got);
    }

private:
    int m_fd;
};

class CDescriptorSink : public CStreamSink {
public:
    explicit CDescriptorSink(int fd) : m_fd(fd) {}
    bool Write(const void* data, std::size_t bytes, std::error_code& error) override {
        const auto* p = static_cast<const char*>(data);
        while (bytes > 0) {
            const ssize_t n = ::write(m_fd, p, bytes);
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0) {
                error = n < 0 ? LastError() : std::make_error_code(std::errc::io_error);
                return false;
            }
            p += n;
            bytes -= static_cast<std::size_t>(n);
        }
        return true;
    }

private:
    int m_fd;
};

int FromStream(const StreamResult& result, const char* what) {
    switch (result.outcome) {
    case StreamOutcome::Done:
        return Succeed();
    case StreamOutcome::NotSigned:
        return Fail(QUORVANE_NOT_SIGNED, "no signature");
    case StreamOutcome::AlreadySigned:
        return Fail(QUORVANE_ALREADY_SIGNED, "the input is already signed, cannot re-sign");
    case StreamOutcome::BadText:
        return Fail(QUORVANE_INVALID_TEXT, "the text cannot be stored");
    case StreamOutcome::ReadFailed:
        return Fail(QUORVANE_CANNOT_READ,
                    std::string("cannot read the ") + what + Why(result.error));
    case StreamOutcome::WriteFailed:
        return Fail(QUORVANE_CANNOT_WRITE, "cannot write the output" + Why(result.error));
    }
    return Fail(QUORVANE_FAILED, "unexpected outcome");
}

// Writes the first `length` bytes of `source` (all of them with -1) and then `trailer` to
// `target`, which appears only when complete.
int WriteCopy(const fs::path& source, std::FILE* file, const fs::path& target, int flags,
              std::int64_t length, const std::vector<std::uint8_t>& trailer) {
    if ((flags & ~QUORVANE_REPLACE) != 0)
        return Fail(QUORVANE_INVALID_ARGUMENT, "unknown flags");
    if (SameFile(target, source))
        return Fail(QUORVANE_CANNOT_WRITE, PathUtf8(target) + ": the output is the source itself");
    const bool exists = FileExists(target);
    if (exists && (flags & QUORVANE_REPLACE) == 0)
        return Fail(QUORVANE_OUTPUT_EXISTS, PathUtf8(target) + " already exists, kept");
    CPendingOutput pending;
    if (!pending.Create(target, file))
        return Fail(QUORVANE_CANNOT_WRITE, PathUtf8(target) + Why(pending.Error()));
    CByteIo& io = DefaultByteIo();
    std::vector<std::uint8_t> buffer;
    errno = 0;
    const bool copied = SeekFile(file, 0, SEEK_SET) &&
                        (length < 0 ? CopyToEnd(io, file, pending.File(), buffer)
                                    : CopyCount(io, file, pending.File(), length, buffer));
    if (!copied || (!trailer.empty() &&
                    io.Write(pending.File(), trailer.data(), trailer.size()) != trailer.size())) {
        const std::error_code error = LastError();
        pending.Discard();
        return Fail(QUORVANE_CANNOT_WRITE, "could not write " + PathUtf8(target) + Why(error));
    }
    if (!pending.Commit(io, exists))
        return Fail(QUORVANE_CANNOT_WRITE,
                    "could not write " + PathUtf8(target) + Why(pending.Error()));
    return Succeed();
}

UniqueFile OpenSource(const char* path, FileFacts* facts, int& status) {
    std::error_code error;
    UniqueFile file = OpenForReading(fs::path(path), &error, facts);
    status = file ? QUORVANE_OK
                  : Fail(QUORVANE_CANNOT_READ, "cannot read " + std::string(path) + Why(error));
    return file;
}

int StatusOf(const SignMessage& message) {
    using namespace signtext;
    if (message.format == kAlreadySigned)
        return QUORVANE_ALREADY_SIGNED;
    if (message.format == kCannotRead || message.format == kCannotOpen)
        return QUORVANE_CANNOT_READ;
    if (message.format == kCannotWrite || message.format == kInvalidOutputFolder)
        return QUORVANE_CANNOT_WRITE;
    if (message.format == kOverwrite)
        return QUORVANE_OUTPUT_EXISTS;
    return QUORVANE_FAILED;
}

class CReportingObserver : public ISignObserver {
public:
    CReportingObserver(const SignRequest& request, int flags, quorvane_report_fn report,
                       void* context)
        : m_request(request), m_flags(flags), m_report(report), m_context(context) {}

    void BatchStarted(std::size_t) override {}
    void FileStarted(std::size_t, std::size_t, const std::u16string&) override {}
    void FileFinished(std::size_t, const SignItem&, SignOutcome outcome) override {
        if (outcome != SignOutcome::Signed &&
            !(outcome == SignOutcome::NotOverwritten && (m_flags & QUORVANE_KEEP_QUIETLY) != 0))
            ++m_notDone;
    }
    void ReportFailure(const SignMessage& message) override {
        if (message.item == nullptr)
            m_folderMessage = MessageLine(message);
        Report(message, MessageLine(message));
    }
    bool AskOverwrite(const SignMessage& question) override {
        if ((m_flags & QUORVANE_REPLACE) != 0)
            return true;
        if ((m_flags & QUORVANE_KEEP_QUIETLY) == 0)
            Report(question, KeptLine(question));
        return false;
    }
    void BatchFinished() override {}
    void ShowSummary(const SignMessage& summary) override { Report(summary, MessageLine(summary)); }

    std::size_t m_notDone = 0;
    std::string m_folderMessage;

private:
    void Report(const SignMessage& message, const std::string& line) {
        if (m_report == nullptr)
            return;
        const std::ptrdiff_t index =
            message.item != nullptr ? message.item - m_request.items.data() : -1;
        const int status =
            message.caption == signtext::kCaptionDone ? QUORVANE_OK : StatusOf(message);
        m_report(m_context, index, status, line.c_str());
    }

    const SignRequest& m_request;
    int m_flags;
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
    return Guarded([&] {
        if (source == nullptr || target == nullptr)
            return Fail(QUORVANE_INVALID_ARGUMENT, "no source or target given");
        std::u16string units;
        if (const int status = TakeText(text, units))
            return status;
        FileFacts facts;
        int status = QUORVANE_OK;
        UniqueFile file = OpenSource(source, &facts, status);
        if (!file)
            return status;
        CSigCodeTable table;
        if (UnsignedLength(table, file.get(), facts.size))
            return Fail(QUORVANE_ALREADY_SIGNED,
                        std::string(source) + " is already signed, cannot re-sign");
        return WriteCopy(source, file.get(), target, flags, -1,
                         MakeTrailer(table, units, SigNow()));
    });
}

int quorvane_check_file(const char* path, char** text) {
    return Guarded([&] {
        if (path == nullptr)
            return Fail(QUORVANE_INVALID_ARGUMENT, "no path given");
        int status = QUORVANE_OK;
        UniqueFile file = OpenSource(path, nullptr, status);
        if (!file)
            return status;
        const std::optional<std::u16string> found = ReadSignatureText(file.get());
        if (!found)
            return Fail(QUORVANE_NOT_SIGNED, std::string(path) + ": no signature");
        if (text != nullptr)
            GiveText(*found, text);
        return Succeed();
    });
}

int quorvane_strip_file(const char* source, const char* target, int flags) {
    return Guarded([&] {
        if (source == nullptr || target == nullptr)
            return Fail(QUORVANE_INVALID_ARGUMENT, "no source or target given");
        FileFacts facts;
        int status = QUORVANE_OK;
        UniqueFile file = OpenSource(source, &facts, status);
        if (!file)
            return status;
        CSigCodeTable table;
        const std::optional<std::int64_t> length = UnsignedLength(table, file.get(), facts.size);
        if (!length)
            return Fail(QUORVANE_NOT_SIGNED, std::string(source) + ": no signature");
        return WriteCopy(source, file.get(), target, flags, *length, {});
    });
}

int quorvane_sign_fd(int input, int output, const char* text) {
    return Guarded([&] {
        std::u16string units;
        if (const int status = TakeText(text, units))
            return status;
        CDescriptorSource source(input);
        CDescriptorSink sink(output);
        return FromStream(SignStream(source, sink, units), "input");
    });
}

int quorvane_check_fd(int input, char** text) {
    return Guarded([&] {
        CDescriptorSource source(input);
        const StreamResult result = CheckStream(source);
        if (result.outcome == StreamOutcome::Done && text != nullptr)
            GiveText(result.text, text);
        return FromStream(result, "input");
    });
}

int quorvane_strip_fd(int input, int output) {
    return Guarded([&] {
        CDescriptorSource source(input);
        CDescriptorSink sink(output);
        return FromStream(StripStream(source, sink), "input");
    });
}

int quorvane_sign_memory(const void* data, size_t size, const char* text, void** signedData,
                         size_t* signedSize) {
    return Guarded([&] {
        if ((data == nullptr && size > 0) || signedData == nullptr || signedSize == nullptr)
            return Fail(QUORVANE_INVALID_ARGUMENT, "no data or no place for the result");
        std::u16string units;
        if (const int status = TakeText(text, units))
            return status;
        if (TrailerOfMemory(data, size).kind == TailTrailer::Kind::Signed)
            return Fail(QUORVANE_ALREADY_SIGNED, "the data is already signed, cannot re-sign");
        CSigCodeTable table;
        const std::vector<std::uint8_t> trailer = MakeTrailer(table, units, SigNow());
        auto* out = static_cast<std::uint8_t*>(Copy(data, size, size + trailer.size()));
        std::memcpy(out + size, trailer.data(), trailer.size());
        *signedData = out;
        *signedSize = size + trailer.size();
        return Succeed();
    });
}

int quorvane_check_memory(const void* data, size_t size, char** text) {
    return Guarded([&] {
        if (data == nullptr && size > 0)
            return Fail(QUORVANE_INVALID_ARGUMENT, "no data given");
        return FromTail(TrailerOfMemory(data, size), text);
    });
}

int quorvane_strip_memory(const void* data, size_t size, size_t* unsignedSize) {
    return Guarded([&] {
        if ((data == nullptr && size > 0) || unsignedSize == nullptr)
            return Fail(QUORVANE_INVALID_ARGUMENT, "no data or no place for the result");
        const TailTrailer trailer = TrailerOfMemory(data, size);
        if (trailer.kind != TailTrailer::Kind::Signed)
            return Fail(QUORVANE_NOT_SIGNED, "no signature");
        *unsignedSize = size - std::min(size, kMaxTrailerBytes) + trailer.trailerStart;
        return Succeed();
    });
}

int quorvane_make_trailer(const char* text, uint32_t seconds, void** trailer, size_t* trailerSize) {
    return Guarded([&] {
        if (trailer == nullptr || trailerSize == nullptr)
            return Fail(QUORVANE_INVALID_ARGUMENT, "no place for the trailer");
        std::u16string units;
        if (const int status = TakeText(text, units))
            return status;
        CSigCodeTable table;
        const std::vector<std::uint8_t> bytes = MakeTrailer(table, units, seconds);
        *trailer = Copy(bytes.data(), bytes.size());
        *trailerSize = bytes.size();
        return Succeed();
    });
}

int quorvane_check_tail(const void* tail, size_t tailSize, int64_t fileSize, char** text,
                        size_t* needed) {
    return Guarded([&] {
        if (tail == nullptr && tailSize > 0)
            return Fail(QUORVANE_INVALID_ARGUMENT, "no bytes given");
        if (fileSize >= 0 && static_cast<std::uint64_t>(fileSize) < tailSize)
            return Fail(QUORVANE_INVALID_ARGUMENT, "more last bytes than the file holds");
        CSigCodeTable table;
        const TailTrailer trailer = ReadTrailerInTail(table, static_cast<const std::uint8_t*>(tail),
                                                      tailSize, fileSize < 0 ? -1 : fileSize);
        if (trailer.kind == TailTrailer::Kind::NeedMore) {
            if (needed != nullptr)
                *needed = trailer.needed;
            return Fail(QUORVANE_NEED_MORE, "the trailer needs the file's last " +
                                                std::to_string(trailer.needed) + " bytes");
        }
        return FromTail(trailer, text);
    });
}

int quorvane_signer_new(const char* text, quorvane_signer** signer) {
    return Guarded([&] {
        if (signer == nullptr)
            return Fail(QUORVANE_INVALID_ARGUMENT, "no place for the signer");
        *signer = nullptr;
        std::u16string units;
        if (const int status = TakeText(text, units))
            return status;
        *signer = new quorvane_signer{std::move(units), {}};
        return Succeed();
    });
}

int quorvane_signer_update(quorvane_signer* signer, const void* data, size_t size) {
    return Guarded([&] {
        if (signer == nullptr || (data == nullptr && size > 0))
            return Fail(QUORVANE_INVALID_ARGUMENT, "no signer or no data");
        signer->tail.Add(data, size);
        return Succeed();
    });
}

int quorvane_signer_finish(quorvane_signer* signer, void** trailer, size_t* trailerSize) {
    return Guarded([&] {
        if (signer == nullptr || trailer == nullptr || trailerSize == nullptr)
            return Fail(QUORVANE_INVALID_ARGUMENT, "no signer or no place for the trailer");
        const std::vector<std::uint8_t> tail = signer->tail.Tail();
        CSigCodeTable table;
        if (ReadTrailerInTail(table, tail.data(), tail.size(),
                              static_cast<std::int64_t>(signer->tail.Total()))
                .kind == TailTrailer::Kind::Signed)
            return Fail(QUORVANE_ALREADY_SIGNED, "the bytes are already signed, cannot re-sign");
        const std::vector<std::uint8_t> bytes = MakeTrailer(table, signer->text, SigNow());
        *trailer = Copy(bytes.data(), bytes.size());
        *trailerSize = bytes.size();
        return Succeed();
    });
}

void quorvane_signer_free(quorvane_signer* signer) {
    delete signer;
}

int quorvane_sign_batch(const quorvane_item* items, size_t count, const char* outputFolder,
                        const char* text, int flags, unsigned jobs, quorvane_report_fn report,
                        void* context, size_t* signedCount) {
    return Guarded([&] {
        if ((items == nullptr && count > 0) || outputFolder == nullptr)
            return Fail(QUORVANE_INVALID_ARGUMENT, "no items or no output folder");
        if ((flags & ~(QUORVANE_REPLACE | QUORVANE_KEEP_QUIETLY)) != 0 ||
            flags == (QUORVANE_REPLACE | QUORVANE_KEEP_QUIETLY))
            return Fail(QUORVANE_INVALID_ARGUMENT, "unknown or contradicting flags");
        SignRequest request;
        if (const int status = TakeText(text, request.text))
            return status;
        for (size_t i = 0; i < count; ++i) {
            if (items[i].source == nullptr)
                return Fail(QUORVANE_INVALID_ARGUMENT, "an item without a source");
            request.items.push_back({fs::path(items[i].source), items[i].subfolder != nullptr
                                                                    ? fs::path(items[i].subfolder)
                                                                    : fs::path()});
        }
        request.outputFolder = fs::path(outputFolder);
        request.keepOutputsOfThisRun = true;
        request.jobs = std::max(1u, jobs);
        CReportingObserver observer(request, flags, report, context);
        const SignResult result = RunSignBatch(request, observer);
        if (signedCount != nullptr)
            *signedCount = result.signedCount;
        if (!result.folderValid)
            return Fail(QUORVANE_CANNOT_WRITE, observer.m_folderMessage);
        if (observer.m_notDone > 0)
            return Fail(QUORVANE_FAILED, std::to_string(observer.m_notDone) + " of " +
                                             std::to_string(count) + " files were not signed");
        return Succeed();
    });
}

int quorvane_sign_summary(size_t signedCount, char** text) {
    return Guarded([&] {
        if (text == nullptr)
            return Fail(QUORVANE_INVALID_ARGUMENT, "no place for the text");
        GiveText(signtext::Summary(signedCount), text);
        return Succeed();
    });
}

int quorvane_list_files(const char* folder, const char* outputFolder, quorvane_file_fn file,
                        quorvane_problem_fn problem, void* context) {
    return Guarded([&] {
        if (folder == nullptr)
            return Fail(QUORVANE_INVALID_ARGUMENT, "no folder given");
        if (!IsDirectory(folder))
            return Fail(QUORVANE_CANNOT_READ, std::string(folder) + " is not a folder");
        const FolderFiles files = FilesBelow(
            fs::path(folder), outputFolder != nullptr ? fs::path(outputFolder) : fs::path());
        if (file != nullptr)
            for (const SignItem& item : files.items)
                file(context, PathUtf8(item.source).c_str(), PathUtf8(item.subfolder).c_str());
        if (problem != nullptr)
            for (const WalkProblem& found : files.problems)
                problem(context, WalkProblemText(found).c_str());
        return files.problems.empty() ? Succeed()
                                      : Fail(QUORVANE_CANNOT_READ, "some entries were skipped");
    });
}

} // extern "C"
