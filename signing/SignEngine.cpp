// The driver of a sign run: it takes each file staged (SignStager.h) from the prefetcher in
// order, lets the retry policy (RetryPolicy.h) say whether the staging stands, and gives the
// file its turn: the messages, the overwrite question and the commit. It is the only caller
// of the observer, on the calling thread.
#include "SignEngine.h"

#include "ByteIo.h"
#include "FileErrors.h"
#include "FileOps.h"
#include "OutputName.h"
#include "Prefetcher.h"
#include "RetryPolicy.h"
#include "RunOutputs.h"
#include "SignStager.h"
#include "SignTexts.h"
#include "TextConvert.h"

#include <algorithm>
#include <memory>
#include <optional>
#include <utility>

namespace fs = std::filesystem;
using signtext::MessageId;

namespace {

SignMessage MessageOf(MessageId id, std::u16string text, const SignItem* item) {
    const signtext::MessageText words = signtext::TextOf(id);
    const MessageKind kind = id == MessageId::Overwrite ? MessageKind::Question
                             : id == MessageId::Summary ? MessageKind::Done
                                                        : MessageKind::Error;
    SignMessage message{std::move(text), words.format, words.caption, kind, id, item};
    if (item != nullptr)
        message.path = item->source;
    return message;
}

using StagedPtr = std::unique_ptr<StagedFile>;

class CDriver {
public:
    CDriver(const SignRequest& request, ISignObserver& observer, CByteIo& io)
        : m_request(request), m_observer(observer), m_stager(request, io), m_io(io),
          m_jobs(io.OneFileAtATime() ? 1
                 : request.entries && request.known == 0
                     ? JobsFor(request.jobs)
                     : static_cast<unsigned>(std::min<std::size_t>(
                           JobsFor(request.jobs),
                           request.entries ? request.known : request.items.size()))),
          m_entries(request.entries ? request.entries : ListedEntries(request.items),
                    COrderedPrefetcher<StagedPtr, CStagingState>::RingSize(m_jobs)),
          m_kinds(request.kinds) {
        for (const auto& [output, source] : request.writtenEarlier)
            m_written.Add(output, source);
    }

    SignResult Run();

private:
    // File `index`'s turn, from its staging to its outcome.
    SignOutcome Turn(std::size_t index);
    // Stages the file again, as the policy says, until its staging stands.
    void Settle(std::size_t index, StagedPtr& file, StagedWhen& when);
    // A warning about the source's kind, or the refusal that leaves it out.
    std::optional<SignOutcome> TellKind(StagedFile& file);
    // The tests of the output, with the overwrite question; an outcome ends the file.
    std::optional<SignOutcome> CheckOutput(StagedFile& file, bool& exists);
    // A failed copy is removed before its message shows.
    SignOutcome Report(StagedFile& file, const StageFailure& failure,
                       const fs::path* earlierSource = nullptr);
    SignOutcome CannotWrite(StagedFile& file, std::error_code error,
                            const fs::path* earlierSource = nullptr) {
        return Report(file, {MessageId::CannotWrite, error, Culprit::Output}, earlierSource);
    }
    bool Stopping() const { return StopAsked(m_request.control); }
    // The entries of a list of items, one at a time.
    static std::function<bool(SignEntry&)> ListedEntries(const std::vector<SignItem>& items) {
        return [&items, next = std::size_t{0}](SignEntry& entry) mutable {
            if (next == items.size())
                return false;
            // Taken only once copied: a copy that found no memory is made again.
            entry.item = items[next];
            ++next;
            return true;
        };
    }
    // Stages item `index`, on any thread; nothing for an entry that is not a file.
    StagedPtr Stage(std::size_t index, CStagingState& state) {
        if (m_entries[index].problem)
            return nullptr;
        auto file = std::make_unique<StagedFile>();
        file->item = &m_entries[index].item;
        m_stager.Stage(*file, state, {});
        return file;
    }

    const SignRequest& m_request;
    ISignObserver& m_observer;
    CStager m_stager;
    CByteIo& m_io;
    const unsigned m_jobs;
    CItemRing<SignEntry> m_entries;
    CRunOutputs m_written;
    // The outputs written are kept when a later file may meet one of them.
    bool m_tracksOutputs = false;
    std::optional<COrderedPrefetcher<StagedPtr, CStagingState>> m_ahead;
    // The request's policy, or once KindPolicy::Ask has had its answer, the answer's.
    KindPolicy m_kinds;
};

SignResult CDriver::Run() {
    SignResult result;
    result.folderValid = true;
    result.verdict = Verdict::AllDone;
    const bool listed = !m_request.entries;
    const std::size_t known = listed ? m_request.items.size() : m_request.known;
    m_ahead.emplace(
        [this](std::size_t index) { return m_entries.Load(index); }, m_jobs,
        [this](std::size_t index, CStagingState& state, bool) { return Stage(index, state); },
        [](const StagedPtr& file) { return file && file->Shortage(); });
    m_tracksOutputs = m_ahead->Ahead() || m_request.existing != ExistingOutputs::Ask;
    m_observer.BatchStarted(known);
    std::size_t position = 0;
    for (std::size_t i = 0; !Stopping() && m_ahead->Has(i); ++i) {
        const SignEntry& entry = m_entries[i];
        if (entry.problem) {
            m_ahead->Take(i);
            ++result.notTaken;
            result.verdict = Verdict::SomeNotDone;
            m_observer.NotTaken(*entry.problem);
            continue;
        }
        ++position;
        // Of entries given one at a time, those known so far.
        const std::size_t count =
            listed ? known : std::max(known, position + (m_ahead->Known() - i - 1));
        m_observer.FileStarted(position, count, signtext::Status(position, count));
        const SignOutcome outcome = Turn(i);
        if (outcome == SignOutcome::Signed)
            ++result.signedCount;
        else if (outcome != SignOutcome::NotOverwritten ||
                 m_request.existing != ExistingOutputs::KeepQuietly)
            result.verdict = Verdict::SomeNotDone;
        result.outcomes.push_back(outcome);
        m_observer.FileFinished(position, entry.item, outcome);
    }
    // Copies staged ahead of a stop are dropped before the summary.
    m_ahead.reset();
    m_observer.BatchFinished();
    m_observer.ShowSummary(
        MessageOf(MessageId::Summary, signtext::Summary(result.signedCount), nullptr));
    return result;
}

void CDriver::Settle(std::size_t index, StagedPtr& file, StagedWhen& when) {
    for (;;) {
        StagingFacts facts;
        facts.when = when;
        if (!file) {
            // Its worker had no memory for it.
            facts.status = StageStatus::Failed;
            facts.shortage = true;
        } else {
            facts.status = file->status;
            facts.culprit = file->failure.culprit;
            facts.shortage = file->Shortage();
            facts.sourceWrittenThisRun = MayBeSignedOutput(file->item->source) &&
                                         m_written.WrittenFrom(file->item->source) != nullptr;
        }
        switch (AfterStaging(facts)) {
        case Retry::Keep:
            return;
        case Retry::Again:
            file.reset();
            file = m_ahead->PrepareNow(index);
            when = StagedWhen::InTurn;
            break;
        case Retry::AgainAlone:
            // What the files ahead held is given back first.
            file.reset();
            file = m_ahead->PrepareAlone(index);
            when = StagedWhen::Alone;
            break;
        }
    }
}

SignOutcome CDriver::Turn(std::size_t index) {
    std::optional<StagedPtr> taken = m_ahead->Take(index);
    StagedPtr file = taken ? std::move(*taken) : nullptr;
    StagedWhen when = m_ahead->Ahead() ? StagedWhen::Ahead : StagedWhen::Alone;
    bool told = false;
    for (;;) {
        Settle(index, file, when);
        StagedFile& staged = *file;
        if (staged.status == StageStatus::Stopped)
            return SignOutcome::Stopped;
        if (staged.status == StageStatus::Failed && staged.failure.culprit == Culprit::Source)
            return Report(staged, staged.failure);
        if (!std::exchange(told, true)) {
            if (const std::optional<SignOutcome> outcome = TellKind(staged))
                return *outcome;
        }
        bool exists = false;
        if (const std::optional<SignOutcome> outcome = CheckOutput(staged, exists))
            return *outcome;
        // A copy that failed is never committed.
        if (staged.status == StageStatus::Failed)
            return Report(staged, staged.failure);
        // A stop during the file's turn drops its copy, as it stops the copy of one job.
        if (Stopping()) {
            staged.pending.Discard();
            return SignOutcome::Stopped;
        }
        if (staged.pending.Commit(m_io, exists)) {
            if (m_tracksOutputs)
                m_written.Add(staged.output, staged.item->source);
            return SignOutcome::Signed;
        }
        if (AfterFailedCommit(when, exists) == Retry::Keep)
            return Report(staged, {MessageId::CannotSign, staged.pending.Error(), Culprit::Output});
        file = m_ahead->PrepareNow(index);
        when = StagedWhen::InTurn;
    }
}

std::optional<SignOutcome> CDriver::TellKind(StagedFile& file) {
    if (!KindObjects(file.kind) || m_kinds == KindPolicy::SignQuietly)
        return std::nullopt;
    const KindInfo& info = InfoOf(file.kind);
    const auto messageOf = [&](MessageId id) {
        SignMessage message = MessageOf(
            id,
            signtext::Format<char16_t>(signtext::TextOf(id).format,
                                       {PathText(file.item->source), Utf8ToUtf16Lossy(info.name),
                                        Utf8ToUtf16Lossy(info.consequence)}),
            file.item);
        message.fileKind = file.kind;
        return message;
    };
    if (m_kinds == KindPolicy::Ask) {
        SignMessage question = messageOf(MessageId::KindWarning);
        question.kind = MessageKind::Question;
        m_kinds = m_observer.AskKind(question) ? KindPolicy::SignQuietly : KindPolicy::LeaveOut;
        if (Stopping()) {
            file.pending.Discard();
            return SignOutcome::Stopped;
        }
        if (m_kinds == KindPolicy::SignQuietly)
            return std::nullopt;
    }
    const bool leaveOut = m_kinds == KindPolicy::LeaveOut;
    SignMessage message = messageOf(leaveOut ? MessageId::KindLeftOut : MessageId::KindWarning);
    if (!leaveOut) {
        m_observer.ReportWarning(message);
        return std::nullopt;
    }
    file.pending.Discard();
    m_observer.ReportFailure(message);
    return SignOutcome::LeftOut;
}

std::optional<SignOutcome> CDriver::CheckOutput(StagedFile& file, bool& exists) {
    const fs::path& output = file.output;
    const SignItem& item = *file.item;
    if (!StaysInside(item.subfolder))
        return CannotWrite(file, FileError::OutsideOutputFolder);
    // Asked of the folder the copy was made in, where a link counts as itself. Without one (no
    // copy was made, or its folder did not open) there is nothing to replace.
    const fs::path name = output.filename();
    exists = file.folder && file.folder->Holds(name);
    // A target named by the caller may be the source itself, which is never changed.
    if (exists && !item.target.empty() && SameFile(output, item.source))
        return CannotWrite(file, FileError::OutputIsSource);
    if (exists && m_request.existing != ExistingOutputs::Ask) {
        if (const fs::path* earlier = m_written.WrittenFrom(output))
            return CannotWrite(file, FileError::WrittenThisRun, earlier);
    }
    if (exists) {
        // The question names the file it would replace, not the source, which stays as it is.
        SignMessage question =
            MessageOf(MessageId::Overwrite,
                      signtext::WithPath(signtext::kOverwrite, PathText(output)), &item);
        question.path = output;
        const ExistingOutputs existing = m_request.existing;
        if (existing == ExistingOutputs::Keep)
            m_observer.OutputKept(question);
        if (existing != ExistingOutputs::Replace &&
            (existing != ExistingOutputs::Ask || !m_observer.AskOverwrite(question))) {
            file.pending.Discard();
            return SignOutcome::NotOverwritten;
        }
    }
    if (exists) {
        if (const std::error_code refusal = file.folder->ReplaceRefusal(name))
            return CannotWrite(file, refusal);
    }
    if (output.filename().native().size() > kMaxNameLength)
        return CannotWrite(file, FileError::NameTooLong);
    return std::nullopt;
}

SignOutcome CDriver::Report(StagedFile& file, const StageFailure& failure,
                            const fs::path* earlierSource) {
    file.pending.Discard();
    const SignItem& item = *file.item;
    SignMessage message = MessageOf(
        failure.id, signtext::WithPath(signtext::TextOf(failure.id).format, PathText(item.source)),
        &item);
    message.error = failure.error;
    message.culprit = failure.culprit;
    // The file the cause is about: none named for a source that could not be opened.
    message.output = failure.culprit == Culprit::Output       ? file.output
                     : failure.culprit == Culprit::SourceRead ? item.source
                                                              : fs::path();
    message.earlierSource = earlierSource;
    m_observer.ReportFailure(message);
    return OutcomeOf(failure.id);
}

} // namespace

fs::path OutputPathFor(const fs::path& outputFolder, const SignItem& item) {
    if (!item.target.empty())
        return item.target;
    if (item.subfolder.empty())
        return SignedOutputPath(outputFolder, item.source);
    return SignedOutputPath(outputFolder / item.subfolder, item.source);
}

SignResult RunSignBatch(const SignRequest& request, ISignObserver& observer) {
    if (!IsDirectory(request.outputFolder)) {
        observer.ReportFailure(MessageOf(MessageId::InvalidOutputFolder,
                                         std::u16string(signtext::kInvalidOutputFolder), nullptr));
        return {};
    }
    return CDriver(request, observer, DefaultByteIo()).Run();
}

SignResult RunSignBatch(const std::vector<fs::path>& sources, const fs::path& outputFolder,
                        const std::u16string& text, ISignObserver& observer) {
    SignRequest request;
    request.outputFolder = outputFolder;
    request.text = text;
    for (const auto& source : sources)
        request.items.push_back({source, {}});
    return RunSignBatch(request, observer);
}
