#include "SignEngine.h"

#include "OutputName.h"
#include "SigCodeTable.h"
#include "SignTexts.h"
#include "Signature.h"
#include "TextConvert.h"

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <optional>
#include <system_error>
#include <thread>

namespace fs = std::filesystem;

namespace {

// Longer file names are refused by the usual file systems (255 bytes or UTF-16 units).
constexpr std::size_t kMaxNameLength = 255;

bool MakeFolder(const fs::path& folder, std::error_code& error) {
    fs::create_directories(LongPath(folder), error);
    if (IsDirectory(folder))
        return true;
    if (!error)
        error = std::make_error_code(std::errc::not_a_directory);
    return false;
}

// A subfolder below the output folder must not lead out of it.
bool StaysInside(const fs::path& subfolder) {
    if (subfolder.has_root_path())
        return false;
    for (const fs::path& part : subfolder)
        if (part == "..")
            return false;
    return true;
}

// What one worker keeps from file to file.
struct CWorkerState {
    // The writer's table, kept while the signing second lasts; the reader's, for the seeds
    // stored in the sources.
    CSigCodeTable table;
    CSigCodeTable readTable;
    std::vector<std::uint8_t> buffer;
    // The last folder made below the output folder: the next file usually goes there too.
    fs::path madeFolder;
};

// A failure found while a file was read or copied, shown when the file's turn comes.
struct Failure {
    SignOutcome outcome = SignOutcome::SignFailed;
    std::u16string_view format;
    std::u16string_view caption;
    std::error_code error;
};

// One file on its way: its source, its copy in the making, and what went wrong.
struct CFileWork {
    const SignItem* item = nullptr;
    fs::path output;
    UniqueFile source;
    FileFacts facts;
    CPendingOutput pending;
    std::optional<Failure> failure;
    // The failure is about the source, found before any test of the output.
    bool sourceFailed = false;
    bool stopped = false;
    // Read and copied ahead of its turn, off the observer's thread.
    bool prepared = false;
};

// True when `path` has a name that signing gives (in any case, as Windows reads names).
bool MayBeAnOutput(const fs::path& path) {
    auto name = path.filename().native();
    for (auto& c : name)
        if (c >= 'A' && c <= 'Z')
            c = static_cast<fs::path::value_type>(c - 'A' + 'a');
    return name.find(kSignedSuffix) != name.npos;
}

class CBatch {
public:
    CBatch(const SignRequest& request, ISignObserver& observer, CByteIo& io)
        : m_request(request), m_observer(observer), m_io(io) {}

    // One file, one step after the other, the overwrite question before the copy.
    SignOutcome SignOne(const SignItem& item);
    // Reads and copies a file without a word to the observer (any thread): the copy waits,
    // nameless, for Finish.
    void Prepare(CFileWork& work, CWorkerState& state) const;
    // The observer's part of a prepared file, in the order of the files.
    SignOutcome Finish(CFileWork& work);

private:
    bool ReadSource(CFileWork& work, CWorkerState& state) const;
    // The tests of the output, with the overwrite question; an outcome ends the file.
    std::optional<SignOutcome> CheckOutput(CFileWork& work, bool& exists);
    bool WriteCopy(CFileWork& work, CWorkerState& state, const CopyProgress& progress) const;
    SignOutcome Commit(CFileWork& work, bool exists);
    // Counts a copy's bytes into the request's tally and says whether the copy may go on.
    CopyProgress Tally(std::uint64_t& counted, const CopyProgress& next = {}) const {
        if (!m_request.stop && !m_request.copiedBytes)
            return next;
        return [this, &counted, next](std::uint64_t copied) {
            if (m_request.copiedBytes && copied > counted)
                m_request.copiedBytes->fetch_add(copied - counted, std::memory_order_relaxed);
            counted = std::max(counted, copied);
            if (m_request.stop && m_request.stop->load(std::memory_order_relaxed))
                return false;
            return !next || next(copied);
        };
    }
    bool Stopping() const {
        return m_request.stop && m_request.stop->load(std::memory_order_relaxed);
    }

    // Every file is closed, and a failed output removed, before its message shows.
    SignOutcome Report(CFileWork& work, const Failure& failure,
                       const fs::path* earlierSource = nullptr) {
        work.source.reset();
        work.pending.Discard();
        const SignItem& item = *work.item;
        SignMessage message{signtext::WithPath(failure.format, PathText(item.source)),
                            failure.format, failure.caption, MessageKind::Error, &item};
        message.path = item.source;
        message.error = failure.error;
        message.output = work.output;
        message.earlierSource = earlierSource;
        m_observer.ReportFailure(message);
        return failure.outcome;
    }
    SignOutcome CannotWrite(CFileWork& work, std::error_code error,
                            const fs::path* earlierSource = nullptr) {
        return Report(
            work,
            {SignOutcome::CannotWrite, signtext::kCannotWrite, signtext::kCaptionError, error},
            earlierSource);
    }
    // The tests of the output that need no disk: a file that fails them is not copied.
    static bool OutputNameFits(const CFileWork& work) {
        return StaysInside(work.item->subfolder) &&
               work.output.filename().native().size() <= kMaxNameLength;
    }

    const SignRequest& m_request;
    ISignObserver& m_observer;
    CByteIo& m_io;
    CWorkerState m_state;
    CRunOutputs m_written;

public:
    // Several jobs: a source may be an output of this run, which Finish must know.
    bool m_tracksOutputs = false;
};

bool CBatch::ReadSource(CFileWork& work, CWorkerState& state) const {
    using namespace signtext;
    const auto fail = [&](Failure failure) {
        work.source.reset();
        work.failure = failure;
        work.sourceFailed = true;
        return false;
    };
    // Only a failed open asks whether the file may be read at all: a file that may be read
    // but not opened (a folder, a device, one locked by another program) cannot be signed.
    std::error_code error;
    work.source = OpenForReading(work.item->source, &error, &work.facts, work.item->listed);
    if (!work.source && (error == FileError::NotRegularFile || CanReadFile(work.item->source)))
        return fail({SignOutcome::CannotOpen, kCannotOpen, kCaptionErrorBang, error});
    if (!work.source)
        return fail({SignOutcome::Unreadable, kCannotRead, kCaptionError, error});
    // Before any test of the output, so that an existing output is never touched.
    if (UnsignedLength(state.readTable, work.source.get(), work.facts.size))
        return fail({SignOutcome::AlreadySigned, kAlreadySigned, kCaptionErrorBang, {}});
    if (!SeekFile(work.source.get(), 0, SEEK_SET))
        return fail({SignOutcome::SignFailed, kCannotSign, kCaptionErrorBang, LastError()});
    return true;
}

std::optional<SignOutcome> CBatch::CheckOutput(CFileWork& work, bool& exists) {
    using namespace signtext;
    const fs::path& output = work.output;
    if (!StaysInside(work.item->subfolder))
        return CannotWrite(work, FileError::OutsideOutputFolder);
    exists = FileExists(output);
    if (exists && m_request.keepOutputsOfThisRun) {
        if (const fs::path* earlier = m_written.WrittenFrom(output))
            return CannotWrite(work, FileError::WrittenThisRun, earlier);
    }
    if (exists) {
        // The question names the file it would replace, not the source, which stays as it is.
        SignMessage question{WithPath(kOverwrite, PathText(output)), kOverwrite, kCaptionQuestion,
                             MessageKind::Question, work.item};
        question.path = output;
        if (!m_observer.AskOverwrite(question)) {
            work.source.reset();
            work.pending.Discard();
            return SignOutcome::NotOverwritten;
        }
    }
    if (exists && !CanWriteFile(output)) {
        const std::error_code error = LastError();
        return CannotWrite(
            work, IsDirectory(output) ? std::make_error_code(std::errc::is_a_directory) : error);
    }
    if (output.filename().native().size() > kMaxNameLength)
        return CannotWrite(work, FileError::NameTooLong);
    return std::nullopt;
}

bool CBatch::WriteCopy(CFileWork& work, CWorkerState& state, const CopyProgress& progress) const {
    using namespace signtext;
    const auto fail = [&](Failure failure) {
        work.source.reset();
        work.pending.Discard();
        work.failure = failure;
        return false;
    };
    const fs::path folder = work.output.parent_path();
    // A folder removed since fails the copy's creation, with its reason.
    if (!work.item->subfolder.empty() && folder != state.madeFolder) {
        std::error_code error;
        if (!MakeFolder(folder, error))
            return fail({SignOutcome::CannotWrite, kCannotWrite, kCaptionError, error});
        state.madeFolder = folder;
    }
    if (!work.pending.CreateWithMode(work.output, work.facts.mode))
        return fail({SignOutcome::CannotWrite, kCannotWrite, kCaptionError, work.pending.Error()});

    const std::u16string& text = m_request.text;
    errno = 0;
    const bool copied =
        text.size() <= kMaxSignatureUnits &&
        CopyToEnd(m_io, work.source.get(), work.pending.File(), state.buffer, progress);
    const std::error_code copyError = LastError();
    work.source.reset();
    if (!copied && progress && (Stopping() || (!work.prepared && m_observer.StopRequested()))) {
        work.pending.Discard();
        work.stopped = true;
        return false;
    }
    if (!copied || !AppendSignature(state.table, work.pending.File(), text.data(), 2 * text.size()))
        return fail({SignOutcome::SignFailed, kCannotSign, kCaptionErrorBang,
                     copyError ? copyError : LastError()});
    return true;
}

SignOutcome CBatch::Commit(CFileWork& work, bool exists) {
    if (!work.pending.Commit(m_io, exists))
        return Report(work, {SignOutcome::SignFailed, signtext::kCannotSign,
                             signtext::kCaptionErrorBang, work.pending.Error()});
    if (m_request.keepOutputsOfThisRun || m_tracksOutputs)
        m_written.Add(work.output, work.item->source);
    return SignOutcome::Signed;
}

SignOutcome CBatch::SignOne(const SignItem& item) {
    CFileWork work;
    work.item = &item;
    if (!ReadSource(work, m_state))
        return Report(work, *work.failure);
    work.output = OutputPathFor(m_request.outputFolder, item);
    bool exists = false;
    if (const std::optional<SignOutcome> outcome = CheckOutput(work, exists))
        return *outcome;
    const auto total = static_cast<std::uint64_t>(work.facts.size);
    std::uint64_t counted = 0;
    const CopyProgress progress = Tally(counted, [&](std::uint64_t copied) {
        m_observer.BytesCopied(copied, total);
        return !m_observer.StopRequested();
    });
    if (!WriteCopy(work, m_state, progress))
        return work.stopped ? SignOutcome::Stopped : Report(work, *work.failure);
    return Commit(work, exists);
}

void CBatch::Prepare(CFileWork& work, CWorkerState& state) const {
    if (!ReadSource(work, state))
        return;
    work.output = OutputPathFor(m_request.outputFolder, *work.item);
    work.prepared = true;
    std::uint64_t counted = 0;
    // What Finish refuses anyway is not copied.
    if (OutputNameFits(work))
        WriteCopy(work, state, Tally(counted));
}

SignOutcome CBatch::Finish(CFileWork& work) {
    // A source may be an output of this run, made or replaced after it was read ahead: such
    // a file, and one that failed, is done again now, as a run of one file at a time does it.
    if (work.sourceFailed ||
        (MayBeAnOutput(work.item->source) && m_written.WrittenFrom(work.item->source) != nullptr)) {
        work.source.reset();
        work.pending.Discard();
        return SignOne(*work.item);
    }
    if (work.stopped)
        return SignOutcome::Stopped;
    bool exists = false;
    if (const std::optional<SignOutcome> outcome = CheckOutput(work, exists))
        return *outcome;
    if (work.failure)
        return Report(work, *work.failure);
    return Commit(work, exists);
}

// Runs `batch` over the items with `jobs` workers that read and copy ahead, while this thread
// hands every file to Finish in the order of the items, so that the observer sees exactly what
// a run of one file at a time shows. At most a few files per worker wait to be finished.
class CParallelRun {
public:
    CParallelRun(CBatch& batch, const std::vector<SignItem>& items, unsigned jobs)
        : m_batch(batch), m_items(items), m_slots(std::size_t{jobs} * 4) {
        for (unsigned i = 0; i < jobs; ++i)
            m_workers.emplace_back([this] { Work(); });
    }
    ~CParallelRun() {
        {
            std::lock_guard lock(m_mutex);
            m_ending = true;
        }
        m_changed.notify_all();
        for (std::thread& worker : m_workers)
            worker.join();
    }
    CParallelRun(const CParallelRun&) = delete;
    CParallelRun& operator=(const CParallelRun&) = delete;

    // Item `index`, prepared; the items are taken in order.
    SignOutcome Finish(std::size_t index) {
        Slot& slot = m_slots[index % m_slots.size()];
        {
            std::unique_lock lock(m_mutex);
            m_changed.wait(lock, [&] { return slot.ready; });
        }
        const SignOutcome outcome = m_batch.Finish(*slot.work);
        {
            std::lock_guard lock(m_mutex);
            slot.work.reset();
            slot.ready = false;
            ++m_finished;
        }
        m_changed.notify_all();
        return outcome;
    }

private:
    struct Slot {
        std::unique_ptr<CFileWork> work;
        bool ready = false;
    };

    void Work() {
        CWorkerState state;
        for (;;) {
            std::size_t index = 0;
            {
                std::unique_lock lock(m_mutex);
                m_changed.wait(lock, [&] {
                    return m_ending ||
                           (m_next < m_items.size() && m_next < m_finished + m_slots.size());
                });
                if (m_ending)
                    return;
                index = m_next++;
            }
            auto work = std::make_unique<CFileWork>();
            work->item = &m_items[index];
            m_batch.Prepare(*work, state);
            {
                std::lock_guard lock(m_mutex);
                Slot& slot = m_slots[index % m_slots.size()];
                slot.work = std::move(work);
                slot.ready = true;
            }
            m_changed.notify_all();
        }
    }

    CBatch& m_batch;
    const std::vector<SignItem>& m_items;
    std::mutex m_mutex;
    std::condition_variable m_changed;
    std::vector<Slot> m_slots;
    std::size_t m_next = 0;     // the next item a worker takes
    std::size_t m_finished = 0; // items handed to Finish
    bool m_ending = false;
    std::vector<std::thread> m_workers;
};

} // namespace

fs::path OutputPathFor(const fs::path& outputFolder, const SignItem& item) {
    if (item.subfolder.empty())
        return SignedOutputPath(outputFolder, item.source);
    return SignedOutputPath(outputFolder / item.subfolder, item.source);
}

SignResult RunSignBatch(const SignRequest& request, ISignObserver& observer, CByteIo* io) {
    using namespace signtext;
    SignResult result;
    if (!IsDirectory(request.outputFolder)) {
        observer.ReportFailure({std::u16string(kInvalidOutputFolder), kInvalidOutputFolder,
                                kCaptionErrorBang, MessageKind::Error, nullptr});
        return result;
    }
    result.folderValid = true;

    CByteIo& byteIo = io != nullptr ? *io : DefaultByteIo();
    CBatch batch(request, observer, byteIo);
    const std::size_t count = request.items.size();
    std::optional<CParallelRun> parallel;
    if (request.jobs > 1 && count > 1 && !byteIo.OneFileAtATime()) {
        batch.m_tracksOutputs = true;
        parallel.emplace(batch, request.items,
                         static_cast<unsigned>(std::min<std::size_t>(request.jobs, count)));
    }
    observer.BatchStarted(count);
    const auto stopping = [&] {
        return (request.stop && request.stop->load()) || observer.StopRequested();
    };
    for (std::size_t i = 0; i < count && !stopping(); ++i) {
        const SignItem& item = request.items[i];
        observer.FileStarted(i + 1, count, Status(i + 1, count));
        const SignOutcome outcome = parallel ? parallel->Finish(i) : batch.SignOne(item);
        if (outcome == SignOutcome::Signed)
            ++result.signedCount;
        result.outcomes.push_back(outcome);
        observer.FileFinished(i + 1, item, outcome);
    }
    // Copies read ahead of a stop are dropped before the summary.
    parallel.reset();
    observer.BatchFinished();

    const std::u16string_view format = result.signedCount == 0   ? kNoneSigned
                                       : result.signedCount == 1 ? kOneSigned
                                                                 : kManySigned;
    observer.ShowSummary(
        {Summary(result.signedCount), format, kCaptionDone, MessageKind::Done, nullptr});
    return result;
}

SignResult RunSignBatch(const std::vector<fs::path>& sources, const fs::path& outputFolder,
                        const std::u16string& text, ISignObserver& observer, CByteIo* io) {
    SignRequest request;
    request.outputFolder = outputFolder;
    request.text = text;
    for (const auto& source : sources)
        request.items.push_back({source, {}});
    return RunSignBatch(request, observer, io);
}
