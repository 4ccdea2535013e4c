// The batch signing engine: for each source file, a signed copy "<base>_signed<ext>" in the
// output folder, holding the source's bytes followed by a signature trailer. Portable: the
// desktop program drives it from the add-signature step, quorvane-cli from its options.
//
// A run, in order:
//   1. The output folder must be an existing folder; otherwise ReportFailure("Please select a
//      valid output folder.") and the run ends before BatchStarted: nothing else happens.
//   2. BatchStarted(N).
//   3. For each file: FileStarted("Signing file i of N"); the checks, each ending the file
//      with one ReportFailure (or, for an output kept, silently): source opens for reading,
//      source is a regular file, source not already signed, output not written earlier in this
//      run (unless ExistingOutputs::Ask), output exists -> kept, replaced or AskOverwrite as
//      the request's ExistingOutputs says, existing output writable, the copy and its trailer were
//      made; then the copy gets its name. The copy is made, nameless, before the checks of the
//      output (ahead of the file's turn with several jobs), so that one job and many take the same
//      way. FileFinished after every file, whatever its outcome.
//   4. BatchFinished(), then ShowSummary("No files were encrypted!" / "File encrypted
//      succesfully!" / "%d files encrypted succesfully!").
// A signed copy gets its name only when complete (see CPendingOutput): on any failure, and when
// the process is killed, no output is left and an existing output is untouched. It keeps the
// source's permission bits.
#pragma once

#include "Command.h"
#include "FileKinds.h"
#include "SignTexts.h"
#include "WalkProblem.h"

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <system_error>
#include <vector>

enum class SignOutcome {
    Signed,
    // "Could not open file %s for reading!": it is missing or may not be read.
    CannotOpenForReading,
    // "Could not open file %s for signing!": it may be read, but is no file to sign (a folder,
    // a device, one another program holds locked).
    CannotOpenForSigning,
    AlreadySigned,  // "File %s is already digitally signed, cannot re-sign!"
    NotOverwritten, // the overwrite question was answered No
    CannotWrite,    // "Could not open file %s for writing!", also for an output written earlier
                    // in this run, which is never replaced
    SignFailed,     // "Could not sign file %s!": a read, write, trailer, flush or close failed
    Stopped,        // the run was stopped during this file's copy: nothing was written
    LeftOut,        // of a kind whose own tools object to a signed copy, and the run leaves
                    // such files out (KindPolicy::LeaveOut)
};

struct SignItem {
    // The source exactly as the caller's list holds it; messages show it so.
    std::filesystem::path source;
    // A folder below the output folder for this file's copy, made when needed; empty for the
    // output folder itself.
    std::filesystem::path subfolder;
    // A folder listing found a regular file here, this many names below the folder it walked
    // (0: not listed): it is opened without a look first, and without following a link on its
    // way from that folder, which may have been swapped in since by whoever fills the tree.
    unsigned listed = 0;
    // When not empty, the copy's own path instead of a name in the output folder (libquorvane
    // signs one file to the target its caller names). A target that is the source itself is
    // refused.
    std::filesystem::path target{};
};

// One entry of a run that takes its files as it goes: a file to sign, or something met on the
// way that is not signed (a walk's problem), which the observer is told of in its place.
struct SignEntry {
    SignItem item;
    std::optional<WalkProblem> problem;
};

// What a message is: each user shows it in its own way (the desktop program as an error, a
// yes/no warning or an information box).
enum class MessageKind { Error, Question, Done };

// Whose fault a failure is: the source's, found before its copy began (it cannot be opened, is
// no file, is signed already); the source's while it was copied (a read failed, or it changed);
// or the output's (its folder, its making, a write).
enum class Culprit { Source, SourceRead, Output };

struct SignMessage {
    std::u16string text;         // ready to show
    std::u16string_view format;  // the text before %s and %d were filled in
    std::u16string_view caption; // "Error", "Error!", "Question" or "Done"
    MessageKind kind = MessageKind::Error;
    // What the message says, for users that key on it rather than on its words.
    signtext::MessageId id = signtext::MessageId::Summary;
    const SignItem* item = nullptr; // the file concerned, if any
    // The path that %s stands for: the source, or for the overwrite question the output that
    // would be replaced.
    std::filesystem::path path{};
    // The cause, for users that show more than the text (the command-line tool): the system's
    // reason, the output concerned when it is about the output, and for an output written
    // earlier in this run the source it was written from.
    std::error_code error{};
    std::filesystem::path output{};
    const std::filesystem::path* earlierSource = nullptr;
    // Of a failure of a file: whose fault it is.
    Culprit culprit = Culprit::Output;
    // A warning or a refusal about the source's kind: that kind.
    FileKind fileKind = FileKind::Other;
};

class ISignObserver {
public:
    virtual ~ISignObserver() = default;
    // The folder is good and `count` files follow (the desktop shows its progress window
    // with the range 0 .. count + 1 at position 0).
    virtual void BatchStarted(std::size_t count) = 0;
    // Before each file; `status` is "Signing file %d of %d" with `position` (from 1) and count.
    virtual void FileStarted(std::size_t position, std::size_t count,
                             const std::u16string& status) = 0;
    // After each file, whatever its outcome (the desktop advances its bar by one).
    virtual void FileFinished(std::size_t position, const SignItem& item, SignOutcome outcome) = 0;
    // A failure the user must see; the run goes on with the next file.
    virtual void ReportFailure(const SignMessage& message) = 0;
    // In a file's turn, before its copy is committed: the source is of a kind whose own tools
    // object to a signed copy (`message.fileKind`), and the run signs it anyway (KindPolicy::Warn).
    virtual void ReportWarning(const SignMessage& /*message*/) {}
    // KindPolicy::Ask: the first source of a kind whose tools object to a signed copy, in its
    // turn and before its copy is committed (`question` is the warning, as a question): true
    // signs it and every later one without a word, false leaves them out, each as LeaveOut
    // does. A stop asked meanwhile (the request's control) ends the run before this file.
    virtual bool AskKind(const SignMessage& /*question*/) { return true; }
    // "File %s already exists, overwrite?": true to replace the existing output. Asked only
    // with ExistingOutputs::Ask.
    virtual bool AskOverwrite(const SignMessage& /*question*/) { return false; }
    // The output exists and is kept (ExistingOutputs::Keep): `question` is the one Ask asks.
    virtual void OutputKept(const SignMessage& /*question*/) {}
    // In its place among the files: something the run's entries met that is not signed.
    virtual void NotTaken(const WalkProblem& /*problem*/) {}
    // After the last file, before the summary (the desktop removes its progress window).
    virtual void BatchFinished() = 0;
    virtual void ShowSummary(const SignMessage& summary) = 0;
};

struct SignRequest {
    std::vector<SignItem> items;
    // As the user typed or chose it; kept exactly in the output paths.
    std::filesystem::path outputFolder;
    // UTF-16, line breaks as CR LF; at most kMaxSignatureUnits code units.
    std::u16string text;
    ExistingOutputs existing = ExistingOutputs::Ask;
    // Files read and copied at once (see JobsFor). The observer still sees every event in the
    // order of a run of one file at a time, on the calling thread. When descriptors, memory,
    // threads or disk space run short, fewer files are in flight, and a file that met the
    // shortage is done again alone in its turn: the outcomes stay those of one job.
    unsigned jobs = 1;
    // Stops the run (a copy being written is dropped without a message, files already signed
    // stay, and the summary counts them) and counts its bytes, from any thread.
    CRunControl* control = nullptr;
    // Sources of a kind whose tools object to a signed copy.
    KindPolicy kinds = KindPolicy::Warn;
    // When set, the run takes its entries from here, one at a time as it comes to them,
    // instead of from `items` (false after the last): its memory stays the same however many
    // there are. Counts are then of the files known so far. A call that throws std::bad_alloc
    // gives the same entry when called again (a worker short of memory leaves it to the run's
    // turn): it moves past an entry only once the entry is made.
    std::function<bool(SignEntry&)> entries{};
    // How many entries `entries` gives, when its caller knows (0: unknown): the counts of the
    // observer's events are then of them all.
    std::size_t known = 0;
    // Outputs that earlier parts of the same run wrote (a run cut into parts that run apart,
    // the tasks of a cluster), each with its source: none of them is replaced, and a later
    // source of one is refused as within one run ("... was written from EARLIER earlier in this
    // run").
    std::vector<std::pair<std::filesystem::path, std::filesystem::path>> writtenEarlier{};
};

struct SignResult {
    // False when the run ended at the folder check.
    bool folderValid = false;
    std::size_t signedCount = 0;
    // One per item the run reached, in order: all of them unless it was stopped.
    std::vector<SignOutcome> outcomes;
    // Entries not signed that the run met (NotTaken); each makes the verdict SomeNotDone.
    std::size_t notTaken = 0;
    // A file kept with ExistingOutputs::KeepQuietly counts as done; a stopped run is judged
    // by the files it reached.
    Verdict verdict = Verdict::NothingDone;
};

// Runs one batch.
SignResult RunSignBatch(const SignRequest& request, ISignObserver& observer);

// The same for a plain list of sources, all copies directly in `outputFolder`.
SignResult RunSignBatch(const std::vector<std::filesystem::path>& sources,
                        const std::filesystem::path& outputFolder, const std::u16string& text,
                        ISignObserver& observer);

// How many of `items` are of each kind whose tools object to a signed copy, in the order of
// FileKind, for a question asked once before a run; kinds without a file are left out. Reads a
// few KiB of each source; sources that cannot be read count as none.
std::vector<std::pair<FileKind, std::size_t>>
CountObjectingKinds(const std::vector<SignItem>& items, const std::atomic<bool>* stop = nullptr);

// The output path of `item` in a run with `outputFolder`.
std::filesystem::path OutputPathFor(const std::filesystem::path& outputFolder,
                                    const SignItem& item);
