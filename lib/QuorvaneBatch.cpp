// libquorvane's batches: signing, checking and stripping many files with their callbacks, the
// files given as arrays or one at a time by the caller's `next`, with the run's progress. A
// file signed alone (quorvane_sign_file) is a batch of one.
#include "quorvane.h"

#include "CheckEngine.h"
#include "CliReport.h"
#include "LibRun.h"
#include "LibSupport.h"
#include "OutputName.h"
#include "SignEngine.h"
#include "SignTexts.h"
#include "Strip.h"
#include "TextConvert.h"

#include <algorithm>
#include <cstdint>
#include <functional>
#include <cstddef>
#include <filesystem>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace fs = std::filesystem;
using namespace libq;

namespace {

// A sign run's events as statuses and lines. A file's message waits for its outcome, which
// tells its status; the last file not signed is remembered for a run of one.
class CReportingObserver : public ISignObserver {
public:
    CReportingObserver(const SignRequest& request, quorvane_report_fn report, void* context,
                       CRunProgress* progress = nullptr)
        : m_request(request), m_report(report), m_context(context), m_progress(progress) {}

    void BatchStarted(std::size_t) override {}
    // The position of the file in its turn, from 1: messages of a file come in its turn.
    void FileStarted(std::size_t position, std::size_t, const std::u16string&) override {
        m_position = position;
    }
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
        if (m_progress != nullptr)
            m_progress->Done();
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
        const std::ptrdiff_t index =
            item != nullptr ? static_cast<std::ptrdiff_t>(m_position) - 1 : -1;
        m_report(m_context, index, status, line.c_str());
    }

    const SignRequest& m_request;
    quorvane_report_fn m_report;
    void* m_context;
    std::optional<std::string> m_line;
    std::error_code m_lineError;
    bool m_aboutSource = false;
    std::string m_kept;
    std::size_t m_position = 0;
    CRunProgress* m_progress;
};

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

// Each checked file's result as the C callback takes it.
class CCheckReporter : public ICheckObserver {
public:
    CCheckReporter(quorvane_check_fn check, void* context, CRunProgress& progress)
        : m_check(check), m_context(context), m_progress(progress) {}

    void FileChecked(std::size_t position, const CheckItem& item,
                     const CheckResult& result) override {
        m_unreadable = m_unreadable || result.outcome == CheckOutcome::Unreadable;
        if (m_check != nullptr)
            Give(position, item, result);
        m_progress.Done();
    }

    bool m_unreadable = false;

private:
    void Give(std::size_t position, const CheckItem& item, const CheckResult& result) {
        const bool isSigned = result.outcome == CheckOutcome::Signed;
        const bool unreadable = result.outcome == CheckOutcome::Unreadable;
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

    quorvane_check_fn m_check;
    void* m_context;
    CRunProgress& m_progress;
};

// Each source not stripped as the C callback takes it.
class CStripReporter : public IStripObserver {
public:
    CStripReporter(bool quiet, quorvane_report_fn report, void* context, CRunProgress& progress)
        : m_quiet(quiet), m_report(report), m_context(context), m_progress(progress) {}

    void FileStripped(std::size_t position, const fs::path& source,
                      const StripResult& result) override {
        const std::string line = StripProblemLine(source, result, m_quiet);
        if (!line.empty()) {
            ++m_notDone;
            if (m_report != nullptr)
                m_report(m_context, static_cast<std::ptrdiff_t>(position), StatusOf(result.outcome),
                         line.c_str());
        }
        m_progress.Done();
    }

    std::size_t m_notDone = 0;

private:
    bool m_quiet;
    quorvane_report_fn m_report;
    void* m_context;
    CRunProgress& m_progress;
};

// The outputs earlier parts of the run wrote, as the engine takes them, or the status that
// refuses them.
int TakeWritten(const quorvane_written* written, std::size_t writtenCount,
                std::vector<std::pair<fs::path, fs::path>>& taken) {
    if (written == nullptr && writtenCount > 0)
        return Fail(QUORVANE_INVALID_ARGUMENT, "no written outputs given");
    for (std::size_t i = 0; i < writtenCount; ++i) {
        if (written[i].output == nullptr || written[i].source == nullptr)
            return Fail(QUORVANE_INVALID_ARGUMENT, "a written output without its path or source");
        taken.emplace_back(fs::path(written[i].output), fs::path(written[i].source));
    }
    return QUORVANE_OK;
}

// The next item or path as the caller's `next` gives it: 1, 0 after the last, or a failure.
using NextItem = std::function<int(quorvane_item& item)>;
using NextPath = std::function<int(const char*& path)>;

int SignBatchFrom(const NextItem& next, std::size_t knownAhead, const char* outputFolder,
                  const TextIn& text, int flags, unsigned jobs, const quorvane_written* written,
                  std::size_t writtenCount, quorvane_report_fn report,
                  quorvane_progress_fn progress, void* context, std::size_t* signedCount) {
    if (signedCount != nullptr)
        *signedCount = 0;
    if (!next || outputFolder == nullptr)
        return Fail(QUORVANE_INVALID_ARGUMENT, "no items or no output folder");
    if (const int status =
            CheckFlags(flags, QUORVANE_REPLACE | QUORVANE_KEEP_QUIETLY | QUORVANE_SKIP_KINDS))
        return status;
    SignRequest request;
    if (const int status = TakeText(text, request.text))
        return status;
    request.kinds = (flags & QUORVANE_SKIP_KINDS) != 0 ? KindPolicy::LeaveOut : KindPolicy::Warn;
    if (const int status = TakeWritten(written, writtenCount, request.writtenEarlier))
        return status;
    CRunProgress run(knownAhead, progress, context);
    // The caller's item is held until its entry is made (it stays valid until the next call).
    std::optional<quorvane_item> held;
    request.entries = [&](SignEntry& entry) {
        if (!held) {
            quorvane_item item{nullptr, nullptr};
            const int answer = run.Stopped() ? 0 : next(item);
            if (!Took(run, answer, item.source != nullptr))
                return false;
            held = item;
        }
        SignEntry made;
        made.item.source = fs::path(held->source);
        if (held->subfolder != nullptr)
            made.item.subfolder = fs::path(held->subfolder);
        entry = std::move(made);
        held.reset();
        return true;
    };
    request.outputFolder = fs::path(outputFolder);
    request.existing = ExistingOf(flags);
    request.jobs = std::max(1u, jobs);
    request.control = run.Control();
    CReportingObserver observer(request, report, context, &run);
    const SignResult result = RunSignBatch(request, observer);
    if (signedCount != nullptr)
        *signedCount = result.signedCount;
    if (!result.folderValid)
        return Fail(QUORVANE_CANNOT_WRITE, observer.m_message, NotAFolder(outputFolder));
    if (const int status = run.Failure())
        return status;
    if (result.verdict != Verdict::AllDone)
        return Fail(QUORVANE_FAILED, std::to_string(observer.m_notDone) + " of " +
                                         std::to_string(run.TakenCount()) +
                                         " files were not signed");
    return Succeed();
}

// The items of an array, after a look at every one: a bad one refuses the batch before it runs.
int SignBatch(const quorvane_item* items, std::size_t count, const char* outputFolder,
              const TextIn& text, int flags, unsigned jobs, quorvane_report_fn report,
              void* context, std::size_t* signedCount, const quorvane_written* written = nullptr,
              std::size_t writtenCount = 0) {
    if (signedCount != nullptr)
        *signedCount = 0;
    if (items == nullptr && count > 0)
        return Fail(QUORVANE_INVALID_ARGUMENT, "no items or no output folder");
    for (std::size_t i = 0; i < count; ++i)
        if (items[i].source == nullptr)
            return Fail(QUORVANE_INVALID_ARGUMENT, "an item without a source");
    std::size_t next = 0;
    return SignBatchFrom(
        [&](quorvane_item& item) {
            if (next == count)
                return 0;
            item = items[next++];
            return 1;
        },
        count, outputFolder, text, flags, jobs, written, writtenCount, report, nullptr, context,
        signedCount);
}

// The paths of an array, after a look at every one.
NextPath ArrayPaths(const char* const* paths, std::size_t count, std::size_t& next) {
    return [paths, count, &next](const char*& path) {
        if (next == count)
            return 0;
        path = paths[next++];
        return 1;
    };
}
int CheckArray(const char* const* paths, std::size_t count, const char* what) {
    if (paths == nullptr && count > 0)
        return Fail(QUORVANE_INVALID_ARGUMENT, std::string("no ") + what + "s given");
    for (std::size_t i = 0; i < count; ++i)
        if (paths[i] == nullptr)
            return Fail(QUORVANE_INVALID_ARGUMENT, std::string("a null ") + what);
    return QUORVANE_OK;
}

int CheckBatchFrom(const NextPath& next, std::size_t knownAhead, unsigned jobs,
                   quorvane_check_fn check, quorvane_progress_fn progress, void* context,
                   std::size_t* signedCount) {
    if (signedCount != nullptr)
        *signedCount = 0;
    if (!next)
        return Fail(QUORVANE_INVALID_ARGUMENT, "no paths given");
    CRunProgress run(knownAhead, progress, context);
    CheckRequest request;
    const char* held = nullptr; // until its item is made, as for a sign run
    request.entries = [&](CheckItem& item) {
        if (held == nullptr) {
            const char* path = nullptr;
            const int answer = run.Stopped() ? 0 : next(path);
            if (!Took(run, answer, path != nullptr))
                return false;
            held = path;
        }
        CheckItem made;
        made.path = fs::path(held);
        item = std::move(made);
        held = nullptr;
        return true;
    };
    request.jobs = std::max(1u, jobs);
    request.control = run.Control();
    CCheckReporter reporter(check, context, run);
    const CheckBatchResult result = RunCheckBatch(request, reporter);
    if (signedCount != nullptr)
        *signedCount = result.signedCount;
    if (const int status = run.Failure())
        return status;
    if (result.verdict == Verdict::AllDone)
        return Succeed();
    const std::size_t count = run.TakenCount();
    const std::string tally = std::to_string(count - result.signedCount) + " of " +
                              std::to_string(count) + " files are not signed";
    return reporter.m_unreadable ? Fail(QUORVANE_CANNOT_READ, tally + " or cannot be read")
                                 : Fail(QUORVANE_NOT_SIGNED, tally);
}

int StripBatchFrom(const NextPath& next, std::size_t knownAhead, const char* outputFolder,
                   int flags, unsigned jobs, const quorvane_written* written,
                   std::size_t writtenCount, quorvane_report_fn report,
                   quorvane_progress_fn progress, void* context, std::size_t* strippedCount) {
    if (strippedCount != nullptr)
        *strippedCount = 0;
    if (!next || outputFolder == nullptr)
        return Fail(QUORVANE_INVALID_ARGUMENT, "no sources or no output folder");
    if (const int status = CheckFlags(flags, QUORVANE_REPLACE | QUORVANE_KEEP_QUIETLY))
        return status;
    StripRequest request;
    if (const int status = TakeWritten(written, writtenCount, request.writtenEarlier))
        return status;
    CRunProgress run(knownAhead, progress, context);
    const char* held = nullptr; // until its source is made, as for a sign run
    request.entries = [&](fs::path& source) {
        if (held == nullptr) {
            const char* path = nullptr;
            const int answer = run.Stopped() ? 0 : next(path);
            if (!Took(run, answer, path != nullptr))
                return false;
            held = path;
        }
        source = fs::path(held);
        held = nullptr;
        return true;
    };
    request.outputFolder = fs::path(outputFolder);
    request.existing = ExistingOf(flags);
    request.jobs = std::max(1u, jobs);
    request.control = run.Control();
    CStripReporter reporter(request.existing == ExistingOutputs::KeepQuietly, report, context, run);
    const StripBatchResult result = RunStripBatch(request, reporter);
    if (strippedCount != nullptr)
        *strippedCount = result.strippedCount;
    if (!result.folderValid) {
        const std::string line = Utf16ToUtf8(signtext::kInvalidOutputFolder);
        if (report != nullptr)
            report(context, -1, QUORVANE_CANNOT_WRITE, line.c_str());
        return Fail(QUORVANE_CANNOT_WRITE, line, NotAFolder(outputFolder));
    }
    if (const int status = run.Failure())
        return status;
    if (result.verdict != Verdict::AllDone)
        return Fail(QUORVANE_FAILED, std::to_string(reporter.m_notDone) + " of " +
                                         std::to_string(run.TakenCount()) +
                                         " files were not stripped");
    return Succeed();
}

} // namespace

extern "C" {

int quorvane_sign_file(const char* source, const char* target, const char* text, int flags) {
    return Guarded([&] { return SignFile(source, target, Utf8In(text), flags); });
}

int quorvane_sign_file_n(const char* source, const char* target, const char* text, size_t textSize,
                         int flags) {
    return Guarded([&] { return SignFile(source, target, Wtf8In(text, textSize), flags); });
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

int quorvane_sign_batch_after(const quorvane_item* items, size_t count, const char* outputFolder,
                              const char* text, size_t textSize, int flags, unsigned jobs,
                              const quorvane_written* written, size_t writtenCount,
                              quorvane_report_fn report, void* context, size_t* signedCount) {
    return Guarded([&] {
        return SignBatch(items, count, outputFolder, Wtf8In(text, textSize), flags, jobs, report,
                         context, signedCount, written, writtenCount);
    });
}

int quorvane_check_batch(const char* const* paths, size_t count, unsigned jobs,
                         quorvane_check_fn check, void* context, size_t* signedCount) {
    return Guarded([&] {
        if (signedCount != nullptr)
            *signedCount = 0;
        if (const int status = CheckArray(paths, count, "path"))
            return status;
        std::size_t next = 0;
        return CheckBatchFrom(ArrayPaths(paths, count, next), count, jobs, check, nullptr, context,
                              signedCount);
    });
}

int quorvane_strip_batch(const char* const* sources, size_t count, const char* outputFolder,
                         int flags, unsigned jobs, quorvane_report_fn report, void* context,
                         size_t* strippedCount) {
    return quorvane_strip_batch_after(sources, count, outputFolder, flags, jobs, nullptr, 0, report,
                                      context, strippedCount);
}

int quorvane_strip_batch_after(const char* const* sources, size_t count, const char* outputFolder,
                               int flags, unsigned jobs, const quorvane_written* written,
                               size_t writtenCount, quorvane_report_fn report, void* context,
                               size_t* strippedCount) {
    return Guarded([&] {
        if (strippedCount != nullptr)
            *strippedCount = 0;
        if (const int status = CheckArray(sources, count, "source"))
            return status;
        std::size_t next = 0;
        return StripBatchFrom(ArrayPaths(sources, count, next), count, outputFolder, flags, jobs,
                              written, writtenCount, report, nullptr, context, strippedCount);
    });
}

int quorvane_strip_output(const char* source, const char* outputFolder, char** output) {
    return Guarded([&] {
        if (output != nullptr)
            *output = nullptr;
        if (source == nullptr || outputFolder == nullptr || output == nullptr)
            return Fail(QUORVANE_INVALID_ARGUMENT, "no source, output folder or place");
        const std::string path =
            PathUtf8(UnsignedOutputPath(fs::path(outputFolder), fs::path(source)));
        *output = static_cast<char*>(Handed(path, path.size() + 1));
        return Succeed();
    });
}

int quorvane_sign_batch_from(quorvane_next_item_fn next, size_t knownAhead,
                             const char* outputFolder, const char* text, size_t textSize, int flags,
                             unsigned jobs, const quorvane_written* written, size_t writtenCount,
                             quorvane_report_fn report, quorvane_progress_fn progress,
                             void* context, size_t* signedCount) {
    return Guarded([&] {
        NextItem items;
        if (next != nullptr)
            items = [&](quorvane_item& item) { return next(context, &item); };
        return SignBatchFrom(items, knownAhead, outputFolder, Wtf8In(text, textSize), flags, jobs,
                             written, writtenCount, report, progress, context, signedCount);
    });
}

int quorvane_check_batch_from(quorvane_next_path_fn next, size_t knownAhead, unsigned jobs,
                              quorvane_check_fn check, quorvane_progress_fn progress, void* context,
                              size_t* signedCount) {
    return Guarded([&] {
        NextPath paths;
        if (next != nullptr)
            paths = [&](const char*& path) { return next(context, &path); };
        return CheckBatchFrom(paths, knownAhead, jobs, check, progress, context, signedCount);
    });
}

int quorvane_strip_batch_from(quorvane_next_path_fn next, size_t knownAhead,
                              const char* outputFolder, int flags, unsigned jobs,
                              const quorvane_written* written, size_t writtenCount,
                              quorvane_report_fn report, quorvane_progress_fn progress,
                              void* context, size_t* strippedCount) {
    return Guarded([&] {
        NextPath paths;
        if (next != nullptr)
            paths = [&](const char*& path) { return next(context, &path); };
        return StripBatchFrom(paths, knownAhead, outputFolder, flags, jobs, written, writtenCount,
                              report, progress, context, strippedCount);
    });
}

} // extern "C"
