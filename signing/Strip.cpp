#include "Strip.h"

#include "Prefetcher.h"
#include "OutputName.h"
#include "Signature.h"
#include "FileErrors.h"
#include "FileOps.h"
#include "OutputFolder.h"
#include "RunOutputs.h"
#include "ByteIo.h"
#include "PendingOutput.h"
#include "FileStreams.h"

#include <algorithm>
#include <cstdint>
#include <optional>
#include <vector>

namespace fs = std::filesystem;

namespace {

// What a look at a source found: read ahead of its turn in a batch, and trusted in its turn
// only while the source is still as it was then.
struct StripScan {
    bool opened = false;
    std::error_code openError;
    FileFacts facts;
    // The bytes before the trailer; nothing when the source holds none.
    std::optional<std::int64_t> length;
};

bool SameFacts(const FileFacts& a, const FileFacts& b) {
    return a.size == b.size && a.modified == b.modified && a.changed == b.changed;
}

// Closes the source again, so that files read ahead hold no descriptors.
StripScan Scan(const fs::path& source) {
    StripScan scan;
    const UniqueFile file = OpenForReading(source, &scan.openError, &scan.facts);
    if (!file)
        return scan;
    scan.opened = true;
    CSigCodeTable table;
    scan.length = UnsignedLength(table, file.get(), scan.facts.size);
    return scan;
}

// The open output folder of `output`, kept in `folder` for the next file of a batch.
bool OpenFolderOf(const fs::path& output, OutputFolderPtr& folder, std::error_code& error) {
    const fs::path parent = output.parent_path();
    if (folder && folder->Serves(parent, {}))
        return true;
    folder.reset();
    folder = COutputFolder::Open(parent, {}, error);
    return folder != nullptr;
}

// Strips `source` into `output`, which is in `folder` (opened when null); `ahead` is what a
// look ahead of its turn found, if any.
StripResult StripScanned(const fs::path& source, const fs::path& output, OutputFolderPtr& folder,
                         const StripScan* ahead, bool replaceExisting, CRunOutputs* run,
                         CByteIo& bytes, const CopyProgress& progress) {
    StripScan scan;
    const UniqueFile file = OpenForReading(source, &scan.openError, &scan.facts);
    if (!file)
        return {StripOutcome::Unreadable, {}, scan.openError};
    if (ahead != nullptr && ahead->opened && SameFacts(ahead->facts, scan.facts)) {
        scan.length = ahead->length;
    } else {
        CSigCodeTable table;
        scan.length = UnsignedLength(table, file.get(), scan.facts.size);
    }
    if (!scan.length)
        return {StripOutcome::NotSigned, {}};

    if (SameFile(output, source))
        return {StripOutcome::WouldReplaceSource, output};
    std::error_code opening;
    if (!OpenFolderOf(output, folder, opening))
        return {StripOutcome::CannotWrite, output, opening};
    // A link with the output's name counts as itself, never as what it names.
    const fs::path name = output.filename();
    const bool exists = folder->Holds(name);
    if (exists && run != nullptr) {
        if (const fs::path* earlier = run->WrittenFrom(output))
            return {StripOutcome::WrittenThisRun, output, {}, *earlier};
    }
    if (exists && !replaceExisting)
        return {StripOutcome::OutputExists, output};
    if (exists) {
        if (const std::error_code refusal = folder->ReplaceRefusal(name))
            return {StripOutcome::CannotWrite, output, refusal};
    }
    CPendingOutput pending;
    if (!pending.CreateIn(folder, name, scan.facts.mode))
        return {StripOutcome::CannotWrite, output, pending.Error()};
    // The unsigned file keeps the Mark of the Web of a downloaded source.
    if (!pending.KeepStream(source, kZoneIdentifier))
        return {StripOutcome::WriteFailed, output, pending.Error()};

    std::vector<std::uint8_t> buffer;
    ClearLastError();
    if (!SeekFile(file.get(), 0, SEEK_SET))
        return {StripOutcome::Unreadable, output, LastError()};
    CopyFault fault;
    if (!CopyCount(bytes, file.get(), pending.File(), *scan.length, buffer, &fault, progress)) {
        if (!fault.error && !fault.reading)
            return {StripOutcome::Stopped, output};
        return {fault.reading ? StripOutcome::Unreadable : StripOutcome::WriteFailed, output,
                fault.error};
    }
    // What was copied must be what the source was when it was opened.
    if (const std::error_code changed = CheckUnchanged(file.get(), scan.facts))
        return {StripOutcome::Unreadable, output, changed};
    if (!pending.Commit(bytes, exists))
        return {StripOutcome::WriteFailed, output, pending.Error()};
    if (run != nullptr)
        run->Add(output, source);
    return {StripOutcome::Stripped, output};
}

} // namespace

StripResult StripTo(const fs::path& source, const fs::path& output, bool replaceExisting,
                    CRunOutputs* run, const CopyProgress& progress) {
    OutputFolderPtr folder;
    return StripScanned(source, output, folder, nullptr, replaceExisting, run, DefaultByteIo(),
                        progress);
}

StripResult StripFile(const fs::path& source, const fs::path& outputFolder, bool replaceExisting,
                      CRunOutputs* run) {
    return StripTo(source, UnsignedOutputPath(outputFolder, source), replaceExisting, run);
}

StripBatchResult RunStripBatch(const StripRequest& request, IStripObserver& observer) {
    StripBatchResult result;
    if (!IsDirectory(request.outputFolder))
        return result;
    result.folderValid = true;
    result.verdict = Verdict::AllDone;
    const auto stopping = [&] { return StopAsked(request.control); };
    // The bytes of each output are counted for the run's control as they are written.
    std::uint64_t counted = 0;
    const CopyProgress progress = [&](std::uint64_t copied) {
        if (request.control != nullptr && copied > counted)
            request.control->AddCopied(copied - counted);
        counted = std::max(counted, copied);
        return !stopping();
    };
    CRunOutputs written;
    for (const auto& [output, source] : request.writtenEarlier)
        written.Add(output, source);
    OutputFolderPtr folder;
    // Byte I/O that must see every byte (tests) takes one file at a time.
    CByteIo& bytes = DefaultByteIo();
    const unsigned jobs = bytes.OneFileAtATime() ? 1 : JobsFor(request.jobs);
    // Sources given one at a time are kept in a ring while they are in flight.
    std::size_t listed = 0;
    CItemRing<fs::path> sources(
        request.entries ? request.entries
                        : [&](fs::path& source) {
                              if (listed == request.sources.size())
                                  return false;
                              source = request.sources[listed];
                              ++listed;
                              return true;
                          },
        COrderedPrefetcher<StripScan, int>::RingSize(jobs));
    RunInOrderFrom<StripScan>([&](std::size_t i) { return sources.Load(i); }, jobs,
                              [&](std::size_t i) { return Scan(sources[i]); },
                              [&](std::size_t i, const StripScan& ahead) {
                                  if (stopping())
                                      return false;
                                  const fs::path& source = sources[i];
                                  counted = 0;
                                  // An output of this run may have taken the source's place since
                                  // it was read ahead.
                                  const bool trusted = written.WrittenFrom(source) == nullptr;
                                  StripResult stripped = StripScanned(
                                      source, UnsignedOutputPath(request.outputFolder, source),
                                      folder, trusted ? &ahead : nullptr,
                                      request.existing == ExistingOutputs::Replace, &written, bytes,
                                      progress);
                                  if (stripped.outcome == StripOutcome::Stopped)
                                      return false;
                                  result.outcomes.push_back(stripped.outcome);
                                  if (stripped.outcome == StripOutcome::Stripped)
                                      ++result.strippedCount;
                                  else if (stripped.outcome != StripOutcome::OutputExists ||
                                           request.existing != ExistingOutputs::KeepQuietly)
                                      result.verdict = Verdict::SomeNotDone;
                                  observer.FileStripped(i, source, stripped);
                                  return true;
                              });
    return result;
}
