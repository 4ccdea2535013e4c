#include "Strip.h"

#include "OutputName.h"
#include "Signature.h"

#include <cstdint>
#include <optional>
#include <vector>

namespace fs = std::filesystem;

StripResult StripFile(const fs::path& source, const fs::path& outputFolder, bool replaceExisting,
                      CRunOutputs* run, CByteIo* io) {
    std::error_code openError;
    FileFacts facts;
    UniqueFile file = OpenForReading(source, &openError, &facts);
    if (!file)
        return {StripOutcome::Unreadable, {}, openError};
    const std::optional<std::int64_t> length = UnsignedLength(file.get());
    if (!length)
        return {StripOutcome::NotSigned, {}};

    const fs::path output = UnsignedOutputPath(outputFolder, source);
    if (SameFile(output, source))
        return {StripOutcome::WouldReplaceSource, output};
    const bool exists = FileExists(output);
    if (exists && run != nullptr) {
        if (const fs::path* earlier = run->WrittenFrom(output))
            return {StripOutcome::WrittenThisRun, output, {}, *earlier};
    }
    if (exists && !replaceExisting)
        return {StripOutcome::OutputExists, output};
    if (exists) {
        if (const std::error_code refusal = WriteRefusal(output))
            return {StripOutcome::CannotWrite, output, refusal};
    }
    CPendingOutput pending;
    if (!pending.Create(output, file.get()))
        return {StripOutcome::CannotWrite, output, pending.Error()};
    // The unsigned file keeps the Mark of the Web of a downloaded source.
    if (!pending.KeepStream(source, kZoneIdentifier))
        return {StripOutcome::WriteFailed, output, pending.Error()};

    CByteIo plainIo;
    CByteIo& bytes = io != nullptr ? *io : plainIo;
    std::vector<std::uint8_t> buffer;
    ClearLastError();
    if (!SeekFile(file.get(), 0, SEEK_SET))
        return {StripOutcome::Unreadable, output, LastError()};
    CopyFault fault;
    if (!CopyCount(bytes, file.get(), pending.File(), *length, buffer, &fault))
        return {fault.reading ? StripOutcome::Unreadable : StripOutcome::WriteFailed, output,
                fault.error};
    // What was copied must be what the source was when it was opened.
    if (const std::error_code changed = CheckUnchanged(file.get(), facts))
        return {StripOutcome::Unreadable, output, changed};
    if (!pending.Commit(bytes, exists))
        return {StripOutcome::WriteFailed, output, pending.Error()};
    if (run != nullptr)
        run->Add(output, source);
    return {StripOutcome::Stripped, output};
}
