#include "SignStager.h"

#include "SignTexts.h"
#include "Signature.h"
#include "FileErrors.h"
#include "FileOps.h"
#include "OutputFolder.h"
#include "ByteIo.h"
#include "PendingOutput.h"
#include "FileStreams.h"

#include <algorithm>
#include <new>

namespace fs = std::filesystem;
using signtext::MessageId;

namespace {

#ifdef EDQUOT
constexpr int kQuotaExceeded = EDQUOT;
#else
constexpr int kQuotaExceeded = -1;
#endif

bool IsShortage(const std::error_code& error) {
    return error == std::errc::too_many_files_open ||
           error == std::errc::too_many_files_open_in_system ||
           error == std::errc::not_enough_memory || error == std::errc::no_space_on_device ||
           (error.category() == std::generic_category() && error.value() == kQuotaExceeded);
}

// Ends a staging with a failure: the copy in the making is dropped.
bool Fail(StagedFile& file, const StageFailure& failure) {
    file.pending.Discard();
    file.status = StageStatus::Failed;
    file.failure = failure;
    return false;
}

} // namespace

SignOutcome OutcomeOf(MessageId failure) {
    switch (failure) {
    case MessageId::CannotOpenForReading:
        return SignOutcome::CannotOpenForReading;
    case MessageId::CannotOpenForSigning:
        return SignOutcome::CannotOpenForSigning;
    case MessageId::AlreadySigned:
        return SignOutcome::AlreadySigned;
    case MessageId::CannotWrite:
        return SignOutcome::CannotWrite;
    case MessageId::KindLeftOut:
        return SignOutcome::LeftOut;
    default:
        return SignOutcome::SignFailed;
    }
}

bool StagedFile::Shortage() const {
    return status == StageStatus::Failed && IsShortage(failure.error);
}

void CStager::Stage(StagedFile& file, CStagingState& state, const CopyProgress& progress) const {
    file.pending.Discard();
    file.status = StageStatus::Staged;
    file.failure = {};
    file.output.clear();
    file.folder.reset();
    file.facts = {};
    file.kind = FileKind::Other;
    try {
        UniqueFile source;
        if (!OpenSource(file, source, state))
            return;
        file.output = OutputPathFor(m_request.outputFolder, *file.item);
        // What the file's turn refuses anyway is not copied.
        if (StaysInside(file.item->subfolder) &&
            file.output.filename().native().size() <= kMaxNameLength && !LeavesOut(file.kind))
            Copy(file, source, state, progress);
    } catch (const std::bad_alloc&) {
        Fail(file, {MessageId::CannotSign, std::make_error_code(std::errc::not_enough_memory),
                    Culprit::Output});
    }
}

bool CStager::OpenSource(StagedFile& file, UniqueFile& source, CStagingState& state) const {
    const SignItem& item = *file.item;
    // Only a failed open asks whether the file may be read at all: a file that may be read
    // but not opened (a folder, a device, one locked by another program) cannot be signed.
    std::error_code error;
    source = OpenForReading(item.source, &error, &file.facts, item.listed, &m_listedFolder);
    if (!source && (error == FileError::NotRegularFile || CanReadFile(item.source)))
        return Fail(file, {MessageId::CannotOpenForSigning, error, Culprit::Source});
    if (!source)
        return Fail(file, {MessageId::CannotOpenForReading, error, Culprit::Source});
    // Before any test of the output, so that an existing output is never touched.
    if (UnsignedLength(state.readTable, source.get(), file.facts.size))
        return Fail(file, {MessageId::AlreadySigned, {}, Culprit::Source});
    if (m_request.kinds != KindPolicy::SignQuietly)
        file.kind = KindOfFile(source.get(), file.facts.size);
    if (!SeekFile(source.get(), 0, SEEK_SET))
        return Fail(file, {MessageId::CannotSign, LastError(), Culprit::Source});
    return true;
}

OutputFolderPtr CStager::Folder(const fs::path& root, const fs::path& below,
                                std::error_code& error) const {
    std::lock_guard lock(m_folderLock);
    if (!m_folder || !m_folder->Serves(root, below)) {
        m_folder.reset();
        m_folder = COutputFolder::Open(root, below, error);
    }
    return m_folder;
}

void CStager::Copy(StagedFile& file, UniqueFile& source, CStagingState& state,
                   const CopyProgress& progress) const {
    const SignItem& item = *file.item;
    // A target of its own is in the folder its caller named; a copy of the batch in the
    // output folder, or below it in the item's subfolder.
    const fs::path root = item.target.empty() ? m_request.outputFolder : item.target.parent_path();
    std::error_code error;
    file.folder = Folder(root, item.target.empty() ? item.subfolder : fs::path(), error);
    if (!file.folder) {
        Fail(file, {MessageId::CannotWrite, error, Culprit::Output});
        return;
    }
    CPendingOutput& pending = file.pending;
    if (!pending.CreateIn(file.folder, file.output.filename(), file.facts.mode)) {
        Fail(file, {MessageId::CannotWrite, pending.Error(), Culprit::Output});
        return;
    }
    // The copy keeps the Mark of the Web of a downloaded source, as Windows' own copy does.
    if (!pending.KeepStream(item.source, kZoneIdentifier)) {
        Fail(file, {MessageId::CannotSign, pending.Error(), Culprit::Output});
        return;
    }

    // Every byte put into a copy is counted for the caller, and the stop signal ends it.
    std::uint64_t counted = 0;
    const auto tally = [&](std::uint64_t copied) {
        if (m_request.control != nullptr && copied > counted)
            m_request.control->AddCopied(copied - counted);
        counted = std::max(counted, copied);
        StopInCopyIfTestAsks(item.source);
        return !StopAsked(m_request.control) && (!progress || progress(copied));
    };
    const std::u16string& text = m_request.text;
    CopyFault fault;
    const bool copied = text.size() <= kMaxSignatureUnits &&
                        CopyToEnd(m_io, source.get(), pending.File(), state.buffer, tally, &fault);
    if (!copied && StopAsked(m_request.control)) {
        pending.Discard();
        file.status = StageStatus::Stopped;
        return;
    }
    if (!copied) {
        Fail(file, {MessageId::CannotSign,
                    fault.error ? fault.error : std::make_error_code(std::errc::io_error),
                    fault.reading ? Culprit::SourceRead : Culprit::Output});
        return;
    }
    // What was copied must be what the source was when it was opened: a file that an editor
    // or a logger changed meanwhile (shorter, longer, rewritten) would be copied half old.
    if (const std::error_code changed = CheckUnchanged(source.get(), file.facts)) {
        Fail(file, {MessageId::CannotSign, changed, Culprit::SourceRead});
        return;
    }
    source.reset();
    // The trailer follows the copy at once, and is flushed here, so that a full disk shows while
    // the file is in flight.
    ClearLastError();
    if (!AppendSignature(state.table, pending.File(), text.data(), 2 * text.size(), true) ||
        std::fflush(pending.File()) != 0)
        Fail(file, {MessageId::CannotSign, LastError(), Culprit::Output});
}
