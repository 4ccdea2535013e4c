// libquorvane's batches and walks: signing, checking and stripping many files with their
// callbacks, the files of a folder and of the operands, and the plan of a batch's outputs. A
// file signed alone (quorvane_sign_file) is a batch of one.
#include "quorvane.h"

#include "CheckEngine.h"
#include "CliReport.h"
#include "FileOps.h"
#include "FolderWalk.h"
#include "LibSupport.h"
#include "OutputName.h"
#include "OutputPlan.h"
#include "SignEngine.h"
#include "SignTexts.h"
#include "Strip.h"
#include "TextConvert.h"

#include <algorithm>
#include <cstddef>
#include <filesystem>
#include <limits>
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
    CReportingObserver(const SignRequest& request, quorvane_report_fn report, void* context)
        : m_request(request), m_report(report), m_context(context) {}

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

// A walk's files and problems, each to its callback as the walk comes to it, in the order of
// their paths (as quorvane-cli reports them among its files); failed when anything was skipped.
template <class Walk>
int GiveFiles(Walk& walk, quorvane_file_fn file, quorvane_problem_fn problem, void* context) {
    bool skipped = false;
    for (SignEntry entry; walk.Next(entry);) {
        if (entry.problem) {
            skipped = true;
            if (problem != nullptr)
                problem(context, WalkProblemText(*entry.problem).c_str());
        } else if (file != nullptr) {
            file(context, PathUtf8(entry.item.source).c_str(),
                 PathUtf8(entry.item.subfolder).c_str());
        }
    }
    return skipped ? Fail(QUORVANE_CANNOT_READ, "some entries were skipped") : Succeed();
}

int SignBatch(const quorvane_item* items, std::size_t count, const char* outputFolder,
              const TextIn& text, int flags, unsigned jobs, quorvane_report_fn report,
              void* context, std::size_t* signedCount, const quorvane_written* written = nullptr,
              std::size_t writtenCount = 0) {
    if (signedCount != nullptr)
        *signedCount = 0;
    if ((items == nullptr && count > 0) || outputFolder == nullptr ||
        (written == nullptr && writtenCount > 0))
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
    for (std::size_t i = 0; i < writtenCount; ++i) {
        if (written[i].output == nullptr || written[i].source == nullptr)
            return Fail(QUORVANE_INVALID_ARGUMENT, "a written output without its path or source");
        request.writtenEarlier.emplace_back(fs::path(written[i].output),
                                            fs::path(written[i].source));
    }
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
        CFolderWalk walk(fs::path(folder),
                         outputFolder != nullptr ? fs::path(outputFolder) : fs::path(),
                         (flags & QUORVANE_FOLLOW_LINKS) != 0);
        return GiveFiles(walk, file, problem, context);
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
        if (const int status = CheckFlags(flags, QUORVANE_FOLLOW_LINKS | QUORVANE_NOT_RECURSIVE))
            return status;
        bool problems = false;
        for (const CheckItem& item :
             CheckItemsOf(fs::path(path), (flags & QUORVANE_NOT_RECURSIVE) == 0,
                          (flags & QUORVANE_FOLLOW_LINKS) != 0)) {
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
        if ((sources == nullptr && count > 0) || outputFolder == nullptr ||
            (written == nullptr && writtenCount > 0))
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
        for (std::size_t i = 0; i < writtenCount; ++i) {
            if (written[i].output == nullptr || written[i].source == nullptr)
                return Fail(QUORVANE_INVALID_ARGUMENT,
                            "a written output without its path or source");
            request.writtenEarlier.emplace_back(fs::path(written[i].output),
                                                fs::path(written[i].source));
        }
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
        if (const int status = CheckFlags(flags, QUORVANE_FOLLOW_LINKS | QUORVANE_NOT_RECURSIVE))
            return status;
        bool given = false;
        CSignEntries walk(
            [&](fs::path& operand) {
                operand = fs::path(path);
                return !std::exchange(given, true);
            },
            outputFolder != nullptr ? fs::path(outputFolder) : fs::path(),
            (flags & QUORVANE_NOT_RECURSIVE) == 0, (flags & QUORVANE_FOLLOW_LINKS) != 0);
        return GiveFiles(walk, file, problem, context);
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
