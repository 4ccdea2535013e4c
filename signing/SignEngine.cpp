#include "SignEngine.h"

#include "OutputName.h"
#include "SigCodeTable.h"
#include "SignTexts.h"
#include "Signature.h"
#include "TextConvert.h"

#include <cerrno>
#include <optional>
#include <system_error>

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

class CBatch {
public:
    CBatch(const SignRequest& request, ISignObserver& observer, CByteIo& io)
        : m_request(request), m_observer(observer), m_io(io) {}

    SignOutcome SignOne(const SignItem& item);

private:
    SignOutcome Fail(SignOutcome outcome, const SignItem& item, std::u16string_view format,
                     std::u16string_view caption, std::error_code error = {},
                     const fs::path& output = {}, const fs::path* earlierSource = nullptr) {
        SignMessage message{signtext::WithPath(format, PathText(item.source)), format, caption,
                            MessageKind::Error, &item};
        message.path = item.source;
        message.error = error;
        message.output = output;
        message.earlierSource = earlierSource;
        m_observer.ReportFailure(message);
        return outcome;
    }

    bool MakeFolderOnce(const fs::path& folder, std::error_code& error) {
        // A folder removed since fails the copy's creation, with its reason.
        if (folder == m_madeFolder)
            return true;
        if (!MakeFolder(folder, error))
            return false;
        m_madeFolder = folder;
        return true;
    }

    const SignRequest& m_request;
    ISignObserver& m_observer;
    CByteIo& m_io;
    // The writer's table, kept while the signing second lasts; the reader's, for the seeds
    // stored in the sources.
    CSigCodeTable m_table;
    CSigCodeTable m_readTable;
    // The last folder made below the output folder: the next file usually goes there too.
    fs::path m_madeFolder;
    CRunOutputs m_written;
    std::vector<std::uint8_t> m_buffer;
};

SignOutcome CBatch::SignOne(const SignItem& item) {
    using namespace signtext;
    // The open tells what an access test would: a missing or unreadable file is unreadable,
    // one that is not a regular file cannot be signed.
    std::error_code openError;
    FileFacts facts;
    UniqueFile source = OpenForReading(item.source, &openError, &facts, item.listed);
    if (!source && openError == FileError::NotRegularFile)
        return Fail(SignOutcome::CannotOpen, item, kCannotOpen, kCaptionErrorBang, openError);
    if (!source)
        return Fail(SignOutcome::Unreadable, item, kCannotRead, kCaptionError, openError);

    const fs::path output = OutputPathFor(m_request.outputFolder, item);

    // Every file is closed, and a failed output removed, before its message shows.
    CPendingOutput pending;
    const auto fail = [&](SignOutcome outcome, std::u16string_view format,
                          std::u16string_view caption, std::error_code error = {},
                          const fs::path* earlierSource = nullptr) {
        source.reset();
        pending.Discard();
        return Fail(outcome, item, format, caption, error, output, earlierSource);
    };
    const auto cannotWrite = [&](std::error_code error, const fs::path* earlierSource = nullptr) {
        return fail(SignOutcome::CannotWrite, kCannotWrite, kCaptionError, error, earlierSource);
    };
    // Before any test of the output, so that an existing output is never touched.
    if (UnsignedLength(m_readTable, source.get(), facts.size))
        return fail(SignOutcome::AlreadySigned, kAlreadySigned, kCaptionErrorBang);
    if (!SeekFile(source.get(), 0, SEEK_SET))
        return fail(SignOutcome::SignFailed, kCannotSign, kCaptionErrorBang, LastError());
    if (!StaysInside(item.subfolder))
        return cannotWrite(FileError::OutsideOutputFolder);

    const bool exists = FileExists(output);
    if (exists && m_request.keepOutputsOfThisRun) {
        if (const fs::path* earlier = m_written.WrittenFrom(output))
            return cannotWrite(FileError::WrittenThisRun, earlier);
    }
    if (exists) {
        // The question names the file it would replace, not the source, which stays as it is.
        SignMessage question{WithPath(kOverwrite, PathText(output)), kOverwrite, kCaptionQuestion,
                             MessageKind::Question, &item};
        question.path = output;
        if (!m_observer.AskOverwrite(question))
            return SignOutcome::NotOverwritten;
    }
    if (exists && !CanWriteFile(output)) {
        const std::error_code error = LastError();
        return cannotWrite(IsDirectory(output) ? std::make_error_code(std::errc::is_a_directory)
                                               : error);
    }
    if (output.filename().native().size() > kMaxNameLength)
        return cannotWrite(FileError::NameTooLong);
    std::error_code folderError;
    if (!item.subfolder.empty() && !MakeFolderOnce(output.parent_path(), folderError))
        return cannotWrite(folderError);
    if (!pending.CreateWithMode(output, facts.mode))
        return cannotWrite(pending.Error());

    const std::u16string& text = m_request.text;
    const auto total = static_cast<std::uint64_t>(facts.size);
    const auto progress = [&](std::uint64_t copied) {
        m_observer.BytesCopied(copied, total);
        return !m_observer.StopRequested();
    };
    errno = 0;
    const bool copied = text.size() <= kMaxSignatureUnits &&
                        CopyToEnd(m_io, source.get(), pending.File(), m_buffer, progress);
    const std::error_code copyError = LastError();
    source.reset();
    if (!copied && m_observer.StopRequested()) {
        pending.Discard();
        return SignOutcome::Stopped;
    }
    if (!copied || !AppendSignature(m_table, pending.File(), text.data(), 2 * text.size()))
        return fail(SignOutcome::SignFailed, kCannotSign, kCaptionErrorBang,
                    copyError ? copyError : LastError());
    if (!pending.Commit(m_io, exists))
        return fail(SignOutcome::SignFailed, kCannotSign, kCaptionErrorBang, pending.Error());
    if (m_request.keepOutputsOfThisRun)
        m_written.Add(output, item.source);
    return SignOutcome::Signed;
}

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

    CBatch batch(request, observer, io != nullptr ? *io : DefaultByteIo());
    const std::size_t count = request.items.size();
    observer.BatchStarted(count);
    for (std::size_t i = 0; i < count && !observer.StopRequested(); ++i) {
        const SignItem& item = request.items[i];
        observer.FileStarted(i + 1, count, Status(i + 1, count));
        const SignOutcome outcome = batch.SignOne(item);
        if (outcome == SignOutcome::Signed)
            ++result.signedCount;
        result.outcomes.push_back(outcome);
        observer.FileFinished(i + 1, item, outcome);
    }
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
