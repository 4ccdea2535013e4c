// Strip, the inverse of signing: the unsigned part of a signed file, written into the output
// folder under the name UnsignedOutputPath gives. The same care as signing: the source is only
// read, the output appears whole or not at all, and an existing output is replaced only when
// asked (never when this run wrote it) and stays as it was on any failure. The output keeps the
// source's permission bits.
#pragma once

#include "FileOps.h"

#include <filesystem>
#include <system_error>

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
// earlier in the same run, and learns this one. `io` replaces the reads and writes of file
// contents (tests).
StripResult StripFile(const std::filesystem::path& source,
                      const std::filesystem::path& outputFolder, bool replaceExisting,
                      CRunOutputs* run = nullptr, CByteIo* io = nullptr);
