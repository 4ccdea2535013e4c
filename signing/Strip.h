// Strip, the inverse of signing: the unsigned part of a signed file, written into the output
// folder under the name UnsignedOutputPath gives. The same care as signing: the source is only
// read, the output appears whole or not at all, and an existing output is replaced only when
// asked (never when this run wrote it) and stays as it was on any failure. The output keeps the
// source's permission bits.
#pragma once

#include "ByteIo.h"
#include "Command.h"
#include "RunOutputs.h"

#include <atomic>
#include <cstddef>
#include <filesystem>
#include <functional>
#include <vector>
#include <system_error>
#include <utility>

enum class StripOutcome {
    Stripped,
    Unreadable,         // the source cannot be opened or read, is not a regular file, or
                        // changed while it was read: nothing written
    NotSigned,          // the source holds no valid trailer
    WouldReplaceSource, // the output is the source itself
    OutputExists,       // kept, as replacing was not asked for
    WrittenThisRun,     // kept: an earlier file of the same run wrote it
    CannotWrite,        // the output cannot be created or replaced
    WriteFailed,        // a read, write, flush or close failed: nothing written
    Stopped,            // the run was stopped during this file: nothing written
};

struct StripResult {
    StripOutcome outcome = StripOutcome::Unreadable;
    // The output path; empty when the source was refused before it was worked out.
    std::filesystem::path output;
    // Why it failed, when the system said.
    std::error_code error{};
    // WrittenThisRun: the source the output was written from.
    std::filesystem::path earlierSource{};
};

// Writes the unsigned part of `source` into `outputFolder`. `run` holds the outputs written
// earlier in the same run, and learns this one.
StripResult StripFile(const std::filesystem::path& source,
                      const std::filesystem::path& outputFolder, bool replaceExisting,
                      CRunOutputs* run = nullptr);

// The same with the output's own path instead of a name in a folder (libquorvane). `progress`
// may stop the copy (StripOutcome::Stopped).
StripResult StripTo(const std::filesystem::path& source, const std::filesystem::path& output,
                    bool replaceExisting, CRunOutputs* run = nullptr,
                    const CopyProgress& progress = {});

class IStripObserver {
public:
    virtual ~IStripObserver() = default;
    // Each source's result, in the order of the sources (`position` from 0), on the calling
    // thread.
    virtual void FileStripped(std::size_t position, const std::filesystem::path& source,
                              const StripResult& result) = 0;
};

struct StripRequest {
    std::vector<std::filesystem::path> sources;
    // Must be an existing folder, as for signing.
    std::filesystem::path outputFolder;
    // An output that existed before the run is replaced with Replace, kept otherwise (Ask
    // keeps it too: nothing asks); never one written in this run.
    ExistingOutputs existing = ExistingOutputs::Keep;
    // Sources read at once: their trailers are found ahead, while the outputs are written in
    // order, so that results and files are those of one job.
    unsigned jobs = 1;
    // Stops the run before its next file and inside a copy (nothing written for that file),
    // and counts the bytes written into outputs.
    CRunControl* control = nullptr;
    // When set, the sources come from here, one at a time as the run comes to them, instead
    // of from `sources` (false after the last). As a sign run's entries, a call that throws
    // std::bad_alloc gives the same source when called again.
    std::function<bool(std::filesystem::path& source)> entries{};
    // Outputs that earlier parts of the same run wrote (parts that run apart, the tasks of a
    // cluster), each with its source: kept, as outputs of this run are.
    std::vector<std::pair<std::filesystem::path, std::filesystem::path>> writtenEarlier{};
};

struct StripBatchResult {
    // False when the output folder is not an existing folder: nothing was done.
    bool folderValid = false;
    std::size_t strippedCount = 0;
    // One per source the run reached, in order.
    std::vector<StripOutcome> outcomes;
    // An output kept with ExistingOutputs::KeepQuietly counts as done.
    Verdict verdict = Verdict::NothingDone;
};

StripBatchResult RunStripBatch(const StripRequest& request, IStripObserver& observer);
