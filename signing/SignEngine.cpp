#include "SignEngine.h"

#include "OutputName.h"
#include "SigCodeTable.h"
#include "SignTexts.h"
#include "Signature.h"
#include "TextConvert.h"

#include <algorithm>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <new>
#include <optional>
#include <system_error>
#include <thread>

namespace fs = std::filesystem;

namespace {

// Longer file names are refused by the usual file systems (255 bytes or UTF-16 units).
constexpr std::size_t kMaxNameLength = 255;

#ifdef EDQUOT
constexpr int kQuotaExceeded = EDQUOT;
#else
constexpr int kQuotaExceeded = -1;
#endif

// Errors that say the machine ran short (descriptors, memory, disk space), not that the file
// is at fault: a file that met one while other files were in flight is done again alone.
// Under a limit of address space (ulimit -v) each thread takes its stack and its allocator's
// reserve from what is left, and a stack that cannot grow ends the process: a thread starts
// only while this much more is free.
bool RoomForAnotherThread() {
    constexpr std::size_t kHeadroom = std::size_t{48} << 20;
    const std::unique_ptr<char[]> probe(new (std::nothrow) char[kHeadroom]);
    return probe != nullptr;
}

bool IsShortage(const std::error_code& error) {
    return error == std::errc::too_many_files_open ||
           error == std::errc::too_many_files_open_in_system ||
           error == std::errc::not_enough_memory || error == std::errc::no_space_on_device ||
           (error.category() == std::generic_category() && error.value() == kQuotaExceeded);
}

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
    // The cause is about the source (it could not be read, or changed), not the output.
    bool aboutSource = false;
};

// One file on its way: its source, its copy in the making, and what went wrong.
struct CFileWork {
    const SignItem* item = nullptr;
    fs::path output;
    UniqueFile source;
    FileFacts facts;
    CPendingOutput pending;
    std::optional<Failure> failure;
    // The source's kind, when the run asks (see KindPolicy).
    FileKind kind = FileKind::Other;
    // The failure is about the source, found before any test of the output.
    bool sourceFailed = false;
    // The failure may be the machine's, short of what other files in flight held.
    bool shortage = false;
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
    // nameless, for Finish. `progress` may stop the copy.
    void Prepare(CFileWork& work, CWorkerState& state, const CopyProgress& progress = {}) const;
    // True when a file prepared ahead must be prepared again now, in its turn: its source
    // failed (and may be read now), or is an output made since, or the machine ran short.
    bool MustRedo(const CFileWork& work) const;
    // The observer's part of a prepared file, in the order of the files.
    SignOutcome Finish(CFileWork& work);

private:
    bool ReadSource(CFileWork& work, CWorkerState& state) const;
    // The tests of the output, with the overwrite question; an outcome ends the file.
    std::optional<SignOutcome> CheckOutput(CFileWork& work, bool& exists);
    bool WriteCopy(CFileWork& work, CWorkerState& state, const CopyProgress& progress) const;
    // `again`: a failed commit does the file again from its start instead of failing it.
    SignOutcome Commit(CFileWork& work, bool exists, bool again = false);
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
        message.output = failure.aboutSource ? item.source : work.output;
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
    // The run leaves the file out for its kind.
    bool LeavesOut(const CFileWork& work) const {
        return m_request.kinds == KindPolicy::LeaveOut && KindObjects(work.kind);
    }
    // In the file's turn: a warning about its kind, or the refusal that leaves it out.
    std::optional<SignOutcome> TellKind(CFileWork& work) {
        if (!KindObjects(work.kind) || m_request.kinds == KindPolicy::SignQuietly)
            return std::nullopt;
        const KindInfo& info = InfoOf(work.kind);
        const bool leaveOut = LeavesOut(work);
        const std::u16string_view format =
            leaveOut ? signtext::kKindLeftOut : signtext::kKindWarning;
        SignMessage message{signtext::Format<char16_t>(
                                format, {PathText(work.item->source), Utf8ToUtf16Lossy(info.name),
                                         Utf8ToUtf16Lossy(info.consequence)}),
                            format, leaveOut ? signtext::kCaptionError : signtext::kCaptionWarning,
                            MessageKind::Error, work.item};
        message.path = work.item->source;
        message.fileKind = work.kind;
        if (!leaveOut) {
            m_observer.ReportWarning(message);
            return std::nullopt;
        }
        work.source.reset();
        work.pending.Discard();
        m_observer.ReportFailure(message);
        return SignOutcome::LeftOut;
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
    if (m_request.kinds != KindPolicy::SignQuietly)
        work.kind = KindOfFile(work.source.get(), work.facts.size);
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
    // A target named by the caller may be the source itself, which is never changed.
    if (exists && !work.item->target.empty() && SameFile(output, work.item->source))
        return CannotWrite(work, FileError::OutputIsSource);
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
    if (exists) {
        if (const std::error_code refusal = WriteRefusal(output))
            return CannotWrite(work, refusal);
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
    // The copy keeps the Mark of the Web of a downloaded source, as Windows' own copy does.
    if (!work.pending.KeepStream(work.item->source, kZoneIdentifier))
        return fail(
            {SignOutcome::SignFailed, kCannotSign, kCaptionErrorBang, work.pending.Error()});

    const std::u16string& text = m_request.text;
    CopyFault fault;
    const bool copied =
        text.size() <= kMaxSignatureUnits &&
        CopyToEnd(m_io, work.source.get(), work.pending.File(), state.buffer, progress, &fault);
    // A copy made ahead of its turn runs off the observer's thread: only the request's flag
    // may stop it there.
    if (!copied && progress && (Stopping() || (!work.prepared && m_observer.StopRequested()))) {
        work.source.reset();
        work.pending.Discard();
        work.stopped = true;
        return false;
    }
    if (!copied)
        return fail({SignOutcome::SignFailed, kCannotSign, kCaptionErrorBang,
                     fault.error ? fault.error : std::make_error_code(std::errc::io_error),
                     fault.reading});
    // What was copied must be what the source was when it was opened: a file that an editor
    // or a logger changed meanwhile (shorter, longer, rewritten) would be copied half old.
    if (const std::error_code changed = CheckUnchanged(work.source.get(), work.facts))
        return fail({SignOutcome::SignFailed, kCannotSign, kCaptionErrorBang, changed, true});
    work.source.reset();
    // The trailer is flushed here, so that a full disk shows while the file is in flight.
    ClearLastError();
    if (!AppendSignature(state.table, work.pending.File(), text.data(), 2 * text.size()) ||
        std::fflush(work.pending.File()) != 0)
        return fail({SignOutcome::SignFailed, kCannotSign, kCaptionErrorBang, LastError()});
    return true;
}

SignOutcome CBatch::Commit(CFileWork& work, bool exists, bool again) {
    if (!work.pending.Commit(m_io, exists))
        return again ? SignOne(*work.item)
                     : Report(work, {SignOutcome::SignFailed, signtext::kCannotSign,
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
    if (const std::optional<SignOutcome> outcome = TellKind(work))
        return *outcome;
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

void CBatch::Prepare(CFileWork& work, CWorkerState& state, const CopyProgress& progress) const {
    work.source.reset();
    work.pending.Discard();
    work.output.clear();
    work.facts = {};
    work.failure.reset();
    work.sourceFailed = work.shortage = work.stopped = false;
    // Without the observer's own progress, the file is prepared on a worker's thread.
    work.prepared = !progress;
    std::uint64_t counted = 0;
    try {
        if (ReadSource(work, state)) {
            work.output = OutputPathFor(m_request.outputFolder, *work.item);
            // What Finish refuses anyway is not copied.
            if (OutputNameFits(work) && !LeavesOut(work))
                WriteCopy(work, state, Tally(counted, progress));
        }
    } catch (const std::bad_alloc&) {
        work.source.reset();
        work.pending.Discard();
        work.failure =
            Failure{SignOutcome::SignFailed, signtext::kCannotSign, signtext::kCaptionErrorBang,
                    std::make_error_code(std::errc::not_enough_memory)};
    }
    work.shortage = work.failure && IsShortage(work.failure->error);
}

bool CBatch::MustRedo(const CFileWork& work) const {
    // A source may be an output of this run, made or replaced after it was read ahead: such
    // a file, and one that failed, is done again now, as a run of one file at a time does it.
    // A failure of the output may be one of the moment (a folder removed while the copy was
    // made ahead): the file's own turn decides. What the source did while it was read stands.
    return work.sourceFailed || work.shortage || (work.failure && !work.failure->aboutSource) ||
           (MayBeAnOutput(work.item->source) &&
            m_written.WrittenFrom(work.item->source) != nullptr);
}

SignOutcome CBatch::Finish(CFileWork& work) {
    if (work.stopped)
        return SignOutcome::Stopped;
    if (work.sourceFailed)
        return Report(work, *work.failure);
    if (const std::optional<SignOutcome> outcome = TellKind(work))
        return *outcome;
    bool exists = false;
    if (const std::optional<SignOutcome> outcome = CheckOutput(work, exists))
        return *outcome;
    // A copy that failed is never committed.
    if (work.failure)
        return Report(work, *work.failure);
    // A stop during the file's turn drops its copy, as it stops the copy of one job.
    if (Stopping() || m_observer.StopRequested()) {
        work.source.reset();
        work.pending.Discard();
        return SignOutcome::Stopped;
    }
    // Without a question asked, a copy that cannot be committed is done again in its turn.
    return Commit(work, exists, !exists);
}

// Runs `batch` over the items with `jobs` workers that read and copy ahead, while this thread
// hands every file to Finish in the order of the items, so that the observer sees exactly what
// a run of one file at a time shows. At most a few files per worker wait to be finished.
//
// When descriptors, memory or disk space run short, fewer files are taken at once (down to
// one), and the file that met the shortage is done again in its turn with nothing ahead of it
// in flight: its outcome is the one a run of one file at a time gives.
class CParallelRun {
public:
    CParallelRun(CBatch& batch, const std::vector<SignItem>& items, unsigned jobs,
                 ISignObserver& observer)
        : m_batch(batch), m_items(items), m_observer(observer), m_slots(std::size_t{jobs} * 4),
          m_window(m_slots.size()) {
        // A thread that cannot start (memory, a limit of threads) leaves fewer workers, and so
        // does an address space that would have no room left once it started.
        m_workers.reserve(jobs);
        try {
            for (unsigned i = 0; i < jobs && RoomForAnotherThread(); ++i)
                m_workers.emplace_back([this] { Work(); });
        } catch (const std::system_error&) {
        }
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

    // False when no worker could start: the batch then runs one file at a time.
    bool Running() const { return !m_workers.empty(); }

    // Item `index`, prepared; the items are taken in order.
    SignOutcome Finish(std::size_t index) {
        Slot& slot = m_slots[index % m_slots.size()];
        {
            std::unique_lock lock(m_mutex);
            m_changed.wait(lock, [&] { return slot.ready; });
        }
        if (!slot.work) {
            // The worker had no memory for it.
            slot.work = std::make_unique<CFileWork>();
            slot.work->item = &m_items[index];
            slot.work->shortage = true;
        }
        CFileWork& work = *slot.work;
        if (m_batch.MustRedo(work)) {
            const auto progress = [this](std::uint64_t) { return !m_observer.StopRequested(); };
            const bool shortage = work.shortage;
            if (!shortage)
                m_batch.Prepare(work, m_state, progress);
            if (shortage || work.shortage) {
                // Alone now: what the files ahead held is given back first.
                Pause(index);
                m_batch.Prepare(work, m_state, progress);
                Resume();
            }
        }
        const SignOutcome outcome = m_batch.Finish(work);
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

    // Takes fewer files at once from now on, waits for the workers to stop, and drops what was
    // prepared ahead of item `index`; those files are taken again after Resume.
    void Pause(std::size_t index) {
        std::unique_lock lock(m_mutex);
        m_paused = true;
        ShrinkWindow();
        m_changed.wait(lock, [&] { return m_busy == 0; });
        for (std::size_t ahead = index + 1; ahead < m_next; ++ahead) {
            Slot& slot = m_slots[ahead % m_slots.size()];
            if (!slot.ready)
                continue;
            slot.work.reset();
            slot.ready = false;
            m_again.push_back(ahead);
        }
        std::sort(m_again.begin(), m_again.end(), std::greater<>());
    }
    void Resume() {
        {
            std::lock_guard lock(m_mutex);
            m_paused = false;
        }
        m_changed.notify_all();
    }
    // Half the files now in flight, at least one (with the lock held).
    void ShrinkWindow() {
        const std::size_t inFlight = m_next - m_finished - m_again.size();
        m_window = std::max<std::size_t>(1, std::min(m_window, inFlight) / 2);
    }
    // The next item a worker may take, if any (with the lock held): one dropped earlier first.
    std::optional<std::size_t> NextItem() const {
        if (m_paused)
            return std::nullopt;
        const std::size_t limit = m_finished + m_window;
        if (!m_again.empty())
            return m_again.back() < limit ? std::optional(m_again.back()) : std::nullopt;
        if (m_next < m_items.size() && m_next < limit)
            return m_next;
        return std::nullopt;
    }

    void Work() {
        CWorkerState state;
        for (;;) {
            std::size_t index = 0;
            {
                std::unique_lock lock(m_mutex);
                m_changed.wait(lock, [&] { return m_ending || NextItem(); });
                if (m_ending)
                    return;
                index = *NextItem();
                if (!m_again.empty() && m_again.back() == index)
                    m_again.pop_back();
                else
                    ++m_next;
                ++m_busy;
            }
            std::unique_ptr<CFileWork> work;
            try {
                work = std::make_unique<CFileWork>();
                work->item = &m_items[index];
                m_batch.Prepare(*work, state);
            } catch (const std::bad_alloc&) {
                work.reset();
            }
            {
                std::lock_guard lock(m_mutex);
                Slot& slot = m_slots[index % m_slots.size()];
                slot.work = std::move(work);
                slot.ready = true;
                // Done again in its turn, on the thread that finishes the files.
                if (!slot.work || slot.work->shortage)
                    ShrinkWindow();
                --m_busy;
            }
            m_changed.notify_all();
        }
    }

    CBatch& m_batch;
    const std::vector<SignItem>& m_items;
    ISignObserver& m_observer;
    // The finishing thread's own, for the files it prepares again.
    CWorkerState m_state;
    std::mutex m_mutex;
    std::condition_variable m_changed;
    std::vector<Slot> m_slots;
    std::size_t m_window;             // items in flight at most: fewer after a shortage
    std::size_t m_next = 0;           // the next new item a worker takes
    std::size_t m_finished = 0;       // items handed to Finish
    std::size_t m_busy = 0;           // workers preparing an item
    std::vector<std::size_t> m_again; // items dropped ahead of a shortage, largest first
    bool m_paused = false;
    bool m_ending = false;
    std::vector<std::thread> m_workers;
};

} // namespace

fs::path OutputPathFor(const fs::path& outputFolder, const SignItem& item) {
    if (!item.target.empty())
        return item.target;
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
                         static_cast<unsigned>(std::min<std::size_t>(request.jobs, count)),
                         observer);
    }
    if (parallel && !parallel->Running())
        parallel.reset();
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

std::vector<std::pair<FileKind, std::size_t>>
CountObjectingKinds(const std::vector<SignItem>& items, const std::atomic<bool>* stop) {
    std::vector<std::size_t> counts(AllKinds().size());
    for (const SignItem& item : items) {
        if (stop != nullptr && stop->load(std::memory_order_relaxed))
            break;
        FileFacts facts;
        const UniqueFile file = OpenForReading(item.source, nullptr, &facts, item.listed);
        if (file)
            ++counts[static_cast<std::size_t>(KindOfFile(file.get(), facts.size))];
    }
    std::vector<std::pair<FileKind, std::size_t>> found;
    for (std::size_t i = 0; i < counts.size(); ++i)
        if (counts[i] > 0 && KindObjects(AllKinds()[i].kind))
            found.emplace_back(AllKinds()[i].kind, counts[i]);
    return found;
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
