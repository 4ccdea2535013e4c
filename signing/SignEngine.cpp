#include "SignEngine.h"

#include "OutputName.h"
#include "SigCodeTable.h"
#include "SignTexts.h"
#include "Signature.h"
#include "TextConvert.h"

#include <optional>
#include <system_error>

namespace fs = std::filesystem;

namespace {

// Longer file names are refused by the usual file systems (255 bytes or UTF-16 units).
constexpr std::size_t kMaxNameLength = 255;

bool MakeFolder(const fs::path& folder) {
    std::error_code error;
    fs::create_directories(LongPath(folder), error);
    return IsDirectory(folder);
}

class CBatch {
public:
    CBatch(const SignRequest& request, ISignObserver& observer, CByteIo& io)
        : m_request(request), m_observer(observer), m_io(io) {}

    SignOutcome SignOne(const SignItem& item);

private:
    SignOutcome Fail(SignOutcome outcome, const SignItem& item, std::u16string_view format,
                     std::u16string_view caption) {
        m_observer.ReportFailure({signtext::WithPath(format, PathText(item.source)), format,
                                  caption, MessageKind::Error, &item});
        return outcome;
    }

    bool MakeFolderOnce(const fs::path& folder) {
        if (folder == m_madeFolder && IsDirectory(folder))
            return true;
        if (!MakeFolder(folder))
            return false;
        m_madeFolder = folder;
        return true;
    }

    const SignRequest& m_request;
    ISignObserver& m_observer;
    CByteIo& m_io;
    CSigCodeTable m_table;
    // The last folder made below the output folder: the next file usually goes there too.
    fs::path m_madeFolder;
    std::vector<std::uint8_t> m_buffer;
};

SignOutcome CBatch::SignOne(const SignItem& item) {
    using namespace signtext;
    if (!CanReadFile(item.source))
        return Fail(SignOutcome::Unreadable, item, kCannotRead, kCaptionError);
    UniqueFile source = OpenForReading(item.source);
    if (!source)
        return Fail(SignOutcome::CannotOpen, item, kCannotOpen, kCaptionErrorBang);

    const fs::path output = OutputPathFor(m_request.outputFolder, item);

    // Every file is closed, and a failed output removed, before its message shows.
    CPendingOutput pending;
    const auto fail = [&](SignOutcome outcome, std::u16string_view format,
                          std::u16string_view caption) {
        source.reset();
        pending.Discard();
        return Fail(outcome, item, format, caption);
    };
    // Before any test of the output, so that an existing output is never touched.
    if (IsSigned(source.get()))
        return fail(SignOutcome::AlreadySigned, kAlreadySigned, kCaptionErrorBang);
    if (!SeekFile(source.get(), 0, SEEK_SET))
        return fail(SignOutcome::SignFailed, kCannotSign, kCaptionErrorBang);

    const bool exists = FileExists(output);
    if (exists && !m_observer.AskOverwrite({WithPath(kOverwrite, PathText(item.source)), kOverwrite,
                                            kCaptionQuestion, MessageKind::Question, &item}))
        return SignOutcome::NotOverwritten;
    if (exists && !CanWriteFile(output))
        return fail(SignOutcome::CannotWrite, kCannotWrite, kCaptionError);

    if (output.filename().native().size() > kMaxNameLength ||
        (!item.subfolder.empty() && !MakeFolderOnce(output.parent_path())) ||
        !pending.Create(output))
        return fail(SignOutcome::CannotWrite, kCannotWrite, kCaptionError);

    const std::u16string& text = m_request.text;
    const std::optional<std::int64_t> size = FileSize(source.get());
    const auto total = static_cast<std::uint64_t>(size.value_or(0));
    const auto progress = [&](std::uint64_t copied) {
        m_observer.BytesCopied(copied, total);
        return !m_observer.StopRequested();
    };
    const bool copied = text.size() <= kMaxSignatureUnits &&
                        CopyToEnd(m_io, source.get(), pending.File(), m_buffer, progress);
    source.reset();
    if (!copied && m_observer.StopRequested()) {
        pending.Discard();
        return SignOutcome::Stopped;
    }
    if (!copied || !AppendSignature(m_table, pending.File(), text.data(), 2 * text.size()) ||
        !pending.Commit(m_io, exists))
        return fail(SignOutcome::SignFailed, kCannotSign, kCaptionErrorBang);
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
