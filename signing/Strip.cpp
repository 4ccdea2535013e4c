#include "Strip.h"

#include "OutputName.h"
#include "Signature.h"

#include <cstdint>
#include <optional>
#include <vector>

namespace fs = std::filesystem;

StripResult StripFile(const fs::path& source, const fs::path& outputFolder, bool replaceExisting,
                      CByteIo* io) {
    UniqueFile file = OpenForReading(source);
    if (!file)
        return {StripOutcome::Unreadable, {}};
    const std::optional<std::int64_t> length = UnsignedLength(file.get());
    if (!length)
        return {StripOutcome::NotSigned, {}};

    const fs::path output = UnsignedOutputPath(outputFolder, source);
    if (SameFile(output, source))
        return {StripOutcome::WouldReplaceSource, output};
    const bool exists = FileExists(output);
    if (exists && !replaceExisting)
        return {StripOutcome::OutputExists, output};
    CPendingOutput pending;
    if ((exists && !CanWriteFile(output)) || !pending.Create(output))
        return {StripOutcome::CannotWrite, output};

    CByteIo plainIo;
    CByteIo& bytes = io != nullptr ? *io : plainIo;
    std::vector<std::uint8_t> buffer;
    if (!SeekFile(file.get(), 0, SEEK_SET) ||
        !CopyCount(bytes, file.get(), pending.File(), *length, buffer) ||
        !pending.Commit(bytes, exists))
        return {StripOutcome::WriteFailed, output};
    return {StripOutcome::Stripped, output};
}
