#include "Cli.h"

#include "CheckEngine.h"
#include "CliArgs.h"
#include "CliHelp.h"
#include "CliList.h"
#include "CliPlatform.h"
#include "CliShow.h"
#include "Command.h"
#include "FileErrors.h"
#include "FileOps.h"
#include "FolderWalk.h"
#include "SignEngine.h"
#include "CliReport.h"
#include "SignTexts.h"
#include "Signature.h"
#include "Streams.h"
#include "Strip.h"
#include "TextConvert.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <iterator>
#include <new>
#include <optional>
#include <thread>
#include <vector>

namespace fs = std::filesystem;

namespace {

const std::string_view kNewline = kCliNewline;

using clihelp::AllUsage;
using clihelp::kCheckHelp;
using clihelp::kCheckUsage;
using clihelp::kCommonHelp;
using clihelp::kListHelp;
using clihelp::kSignHelp;
using clihelp::kSignUsage;
using clihelp::kStripHelp;
using clihelp::kStripUsage;

class CCli {
public:
    explicit CCli(CliStreams& streams) : m_streams(streams) {}

    int Run(const std::vector<CliArg>& args);

private:
    int Sign(const std::vector<CliArg>& args);
    int Check(const std::vector<CliArg>& args);
    int Strip(const std::vector<CliArg>& args);

    void Out(std::string_view text) { m_streams.out.Write(text); }
    void Err(std::string_view text) { m_streams.err.Write(text); }
    void ErrLine(std::string_view text) { Err(std::string(text) + std::string(kNewline)); }
    int Usage(std::string_view problem) {
        ErrLine("quorvane-cli: " + std::string(problem));
        Err(AllUsage());
        return kExitUsage;
    }
    int Help(std::string_view usage, std::string_view help) {
        Out("usage: " + std::string(usage.substr(usage.find("quorvane-cli"))) + "\n" +
            std::string(help) + std::string(kListHelp) + std::string(kCommonHelp));
        return kExitAllDone;
    }
    // The text of --text or --text-file, or the usage error that refuses it.
    std::optional<std::u16string> Text(const ParsedArgs& parsed, std::string& problem);
    // --out -: the one operand, a file or - for standard input, as a stream to standard
    // output; `text` signs, none strips.
    int ToStandardOutput(CCliOperands& operands, const std::optional<std::u16string>& text,
                         bool skipKinds = false);
    // The operands, then the paths listed by --files-from, read as the run comes to them.
    // False, with the problem, when the list cannot be read or its start is refused.
    bool Paths(const ParsedArgs& parsed, CCliOperands& paths, std::string& problem);
    // A run's exit status, or the usage error of a list that stopped naming paths part of the
    // way (the run took the paths before it).
    int AfterList(const CCliOperands& operands, int status) {
        if (operands.Problem().empty())
            return status;
        ErrLine("quorvane-cli: " + operands.Problem());
        return kExitUsage;
    }
    // Where sign and strip write, how many files at once, and which files.
    struct WriteArgs {
        bool toStandardOutput = false;
        unsigned jobs = 0;
        CCliOperands operands{{}};
    };
    // What sign and strip check alike before anything is read: the output, existing outputs,
    // the jobs and the paths, of which there must be one (`noFiles` says so otherwise). An
    // exit status when the command ends there.
    std::optional<int> Writes(const ParsedArgs& parsed, const char* noFiles, WriteArgs& writes);
    // Standard output that was closed at the start takes nothing: what would go there is
    // refused before anything is read.
    int RefuseClosedOutput() {
        ErrLine("quorvane-cli: standard output is closed");
        return kExitUsage;
    }
    // --out -: true, with the message, when standard output cannot take the bytes (closed, or
    // a terminal).
    bool DataOutputRefused() {
        if (m_streams.outClosed || m_streams.data == nullptr) {
            RefuseClosedOutput();
            return true;
        }
        if (m_streams.dataIsTerminal)
            ErrLine("quorvane-cli: standard output is a terminal; send it to a file or a pipe");
        return m_streams.dataIsTerminal;
    }

    CliStreams& m_streams;
};

bool IsStandardStream(const fs::path& path) {
    return path.native().size() == 1 && path.native()[0] == '-';
}

// The operands name standard input more than once: it can be read only once.
bool StandardInputTwice(const std::vector<CliArg>& operands) {
    return std::count_if(operands.begin(), operands.end(),
                         [](const CliArg& operand) { return IsStandardStream(operand); }) > 1;
}

// The line strip gives for a stream `name` that was not stripped.

int CCli::ToStandardOutput(CCliOperands& operands, const std::optional<std::u16string>& text,
                           bool skipKinds) {
    CliArg operand;
    if (!operands.AtMostOne() || !operands.Next(operand))
        return Usage("--out - takes one file, or - for standard input");
    const fs::path path(operand);
    const bool standardInput = IsStandardStream(path);
    if (standardInput && m_streams.in == nullptr)
        return Usage("cannot read standard input: it is closed");
    const fs::path shown = standardInput ? fs::path(u"standard input") : path;
    CFileStreamSink sink(m_streams.data);
    StreamResult result;
    // Kinds whose tools object to a signed copy, decided by the stream's engine as a batch
    // decides them: said, or left out before anything (or the last bytes) goes out.
    StreamKinds kinds;
    kinds.leaveOut = skipKinds;
    kinds.warn = [&](FileKind kind) { ErrLine(KindLine(shown, kind, false)); };
    if (standardInput) {
        CFileStreamSource source(m_streams.in);
        result = text ? SignStream(source, sink, *text, &kinds) : StripStream(source, sink);
    } else {
        // A named file has the rules of files: only a regular one is read, and one that
        // changes while it is read ends the stream before its trailer.
        result = text ? SignFileToStream(path, sink, *text, &kinds) : StripFileToStream(path, sink);
    }
    return ShowStreamResult(m_streams, result, path, standardInput, text.has_value());
}

bool FollowsLinks(const ParsedArgs& parsed) {
    return parsed.Has("-L") || parsed.Has("--follow-links");
}

CProgressLine::Mode ProgressOf(const ParsedArgs& parsed, const CliStreams& streams) {
    return ProgressMode(parsed.Has("--progress"), parsed.Has("--no-progress"),
                        streams.errIsTerminal);
}

std::optional<std::u16string> CCli::Text(const ParsedArgs& parsed, std::string& problem) {
    GivenText given;
    if (parsed.Has("--text")) {
        std::optional<std::u16string> typed = ArgumentText(*parsed.Value("--text"));
        if (!typed) {
            problem = "the text is not valid UTF-8";
            return std::nullopt;
        }
        given.typed = std::move(*typed);
    } else {
        given.file = fs::path(*parsed.Value("--text-file"));
        given.from = given.file == "-" ? GivenText::From::Stream : GivenText::From::File;
        given.stream = m_streams.in;
    }
    TextToSign prepared = PrepareText(given);
    const std::string name =
        given.from == GivenText::From::Stream ? "standard input" : ShownPath(given.file);
    if (prepared.problem == TextProblem::None)
        return std::move(prepared.text);
    problem = TextProblemText(prepared, name);
    return std::nullopt;
}

bool CCli::Paths(const ParsedArgs& parsed, CCliOperands& paths, std::string& problem) {
    paths = CCliOperands(parsed.operands);
    if (!parsed.Has("--files-from"))
        return true;
    return paths.ListFrom(fs::path(*parsed.Value("--files-from")),
                          parsed.Has("-0") || parsed.Has("--null"), m_streams.in, problem);
}

// Tells the progress line the files of a run that are all known before it (operands on the
// command line, none walked: each is one entry), with their bytes when `bytes`; true when it
// did.
bool KnownAhead(const ParsedArgs& parsed, bool recursive, const CCliOperands& operands,
                CProgressLine& progress, bool bytes = true) {
    if (recursive || parsed.Has("--files-from") || !progress.Shown())
        return false;
    std::uint64_t total = 0;
    for (const CliArg& operand : operands.Given())
        total += bytes ? SizeOfFile(fs::path(operand)) : 0;
    progress.Known(operands.Given().size(), total);
    return true;
}

// --jobs N: files at once, 1 to kMaxJobs; one per processor when not given. 0 for a value that
// is not such a number.
unsigned JobsOf(const ParsedArgs& parsed) {
    if (!parsed.Has("--jobs"))
        return JobsFor(0);
    const std::string value = PathUtf8(*parsed.Value("--jobs"));
    const bool digits =
        !value.empty() && value.size() <= 4 &&
        std::all_of(value.begin(), value.end(), [](char c) { return c >= '0' && c <= '9'; });
    const unsigned jobs = digits ? static_cast<unsigned>(std::stoul(value)) : 0;
    return jobs <= kMaxJobs ? jobs : 0;
}

// --force, --no-clobber or neither.
ExistingOutputs ExistingOf(const ParsedArgs& parsed) {
    return parsed.Has("--force")        ? ExistingOutputs::Replace
           : parsed.Has("--no-clobber") ? ExistingOutputs::KeepQuietly
                                        : ExistingOutputs::Keep;
}

// The exit status of a run's verdict.
int ExitStatus(Verdict verdict) {
    switch (verdict) {
    case Verdict::AllDone:
        return kExitAllDone;
    case Verdict::SomeNotDone:
        return kExitSomeFailed;
    case Verdict::NothingDone:
        break;
    }
    return kExitUsage;
}

std::string JobsProblem() {
    return "--jobs takes a number of files from 1 to " + std::to_string(kMaxJobs);
}

std::optional<int> CCli::Writes(const ParsedArgs& parsed, const char* noFiles, WriteArgs& writes) {
    if (!parsed.Has("--out"))
        return Usage("give the output folder with --out");
    if (parsed.Has("--force") && parsed.Has("--no-clobber"))
        return Usage("--force and --no-clobber exclude each other");
    writes.toStandardOutput = IsStandardStream(*parsed.Value("--out"));
    if (writes.toStandardOutput && DataOutputRefused())
        return kExitUsage;
    writes.jobs = JobsOf(parsed);
    if (writes.jobs == 0)
        return Usage(JobsProblem());
    std::string listProblem;
    if (!Paths(parsed, writes.operands, listProblem))
        return Usage(listProblem);
    if (writes.operands.None())
        return Usage(noFiles);
    return std::nullopt;
}

int CCli::Sign(const std::vector<CliArg>& args) {
    if (AsksForHelp(args))
        return m_streams.outClosed ? RefuseClosedOutput() : Help(kSignUsage, kSignHelp);
    const ParsedArgs parsed =
        Parse(args, 1, clihelp::Flags(clihelp::kSign), clihelp::Valued(clihelp::kSign));
    if (!parsed.problem.empty())
        return Usage(parsed.problem);
    if (parsed.Has("--text") == parsed.Has("--text-file"))
        return Usage("give the signature with one of --text and --text-file");
    WriteArgs writes;
    if (const std::optional<int> refused = Writes(parsed, "give the files to sign", writes))
        return *refused;
    const bool toStandardOutput = writes.toStandardOutput;
    const unsigned jobs = writes.jobs;
    CCliOperands& operands = writes.operands;
    const bool streamIn =
        std::any_of(operands.Given().begin(), operands.Given().end(),
                    [](const CliArg& operand) { return IsStandardStream(operand); });
    if (streamIn && !IsStandardStream(*parsed.Value("--out")))
        return Usage("standard input has no name to sign into a folder: give --out -");
    if (streamIn && parsed.Has("--text-file") && IsStandardStream(*parsed.Value("--text-file")))
        return Usage("standard input cannot hold both the text and the file to sign");

    std::string textProblem;
    const std::optional<std::u16string> text = Text(parsed, textProblem);
    if (!text)
        return Usage(textProblem);

    const bool recursive = parsed.Has("-r") || parsed.Has("--recursive");
    if (toStandardOutput) {
        if (recursive)
            return Usage("-r writes into a folder, not to standard output");
        return ToStandardOutput(operands, text, parsed.Has("--skip-kinds"));
    }
    SignRequest request;
    request.outputFolder = fs::path(*parsed.Value("--out"));
    request.text = *text;
    request.existing = ExistingOf(parsed);
    request.jobs = jobs;
    request.kinds = parsed.Has("--skip-kinds") ? KindPolicy::LeaveOut : KindPolicy::Warn;
    CProgressLine progress(m_streams.err, ProgressOf(parsed, m_streams), "Signing",
                           m_streams.clock);
    // The operands are walked as the run comes to them.
    CSignEntries entries([&operands](fs::path& operand) { return operands.NextPath(operand); },
                         request.outputFolder, recursive, FollowsLinks(parsed));
    // Files named on the command line alone are known before the run; the rest as it goes.
    const bool knownAhead = KnownAhead(parsed, recursive, operands, progress);
    request.entries = [&entries, &progress, knownAhead](SignEntry& entry) {
        if (!entries.Next(entry))
            return false;
        if (!entry.problem && !knownAhead)
            progress.KnownFile(entry.item.source);
        return true;
    };
    CRunControl control([&progress](std::uint64_t copied) { progress.Copied(copied); });
    request.control = &control;
    CCliSignObserver observer(progress);
    const SignResult result = RunSignBatch(request, observer);
    return AfterList(operands, ExitStatus(result.verdict));
}

int CCli::Check(const std::vector<CliArg>& args) {
    if (AsksForHelp(args))
        return m_streams.outClosed ? RefuseClosedOutput() : Help(kCheckUsage, kCheckHelp);
    const ParsedArgs parsed =
        Parse(args, 1, clihelp::Flags(clihelp::kCheck), clihelp::Valued(clihelp::kCheck));
    if (!parsed.problem.empty())
        return Usage(parsed.problem);
    if (m_streams.outClosed)
        return RefuseClosedOutput();
    const unsigned jobs = JobsOf(parsed);
    if (jobs == 0)
        return Usage(JobsProblem());
    CCliOperands operands{{}};
    std::string listProblem;
    if (!Paths(parsed, operands, listProblem))
        return Usage(listProblem);
    if (operands.None())
        return Usage("give the files to check");
    const bool json = parsed.Has("--json");
    const bool recursive = parsed.Has("-r") || parsed.Has("--recursive");
    const std::vector<CliArg>& given = operands.Given();
    if (StandardInputTwice(given))
        return Usage("standard input can be checked only once");
    if (m_streams.in == nullptr && std::any_of(given.begin(), given.end(), IsStandardStream))
        return Usage("cannot read standard input: it is closed");
    // One file is shown without its name: one operand that is not a folder walked.
    const bool single = operands.AtMostOne() &&
                        !(recursive && operands.Peek() != nullptr && IsDirectory(*operands.Peek()));

    // Each path to check, with what the walk already knows against it, as the run comes to
    // it. The files of a folder come in the order of their paths, what could not be walked
    // among them. Standard input is an operand on the command line only.
    CFileStreamSource standardInput(m_streams.in);
    CProgressLine progress(m_streams.err, ProgressOf(parsed, m_streams), "Checking",
                           m_streams.clock);
    std::size_t fromCommandLine = given.size();
    CCheckEntries entries(
        [&](CheckItem& item) {
            fs::path operand;
            if (!operands.NextPath(operand))
                return false;
            const bool stream = fromCommandLine > 0 && IsStandardStream(operand);
            fromCommandLine -= fromCommandLine > 0 ? 1 : 0;
            item = {std::move(operand), {}, LinkedTo::Nothing, stream ? &standardInput : nullptr};
            return true;
        },
        recursive, FollowsLinks(parsed));
    CheckRequest request;
    request.jobs = jobs;
    const bool knownAhead = KnownAhead(parsed, recursive, operands, progress, false);
    request.entries = [&entries, &progress, knownAhead](CheckItem& item) {
        if (!entries.Next(item))
            return false;
        if (!knownAhead)
            progress.Known(1, 0);
        return true;
    };
    CRunControl control;
    request.control = &control;
    CCliCheckObserver observer(m_streams, control, progress, json, single);
    return AfterList(operands, ExitStatus(RunCheckBatch(request, observer).verdict));
}

int CCli::Strip(const std::vector<CliArg>& args) {
    if (AsksForHelp(args))
        return m_streams.outClosed ? RefuseClosedOutput() : Help(kStripUsage, kStripHelp);
    const ParsedArgs parsed =
        Parse(args, 1, clihelp::Flags(clihelp::kStrip), clihelp::Valued(clihelp::kStrip));
    if (!parsed.problem.empty())
        return Usage(parsed.problem);
    WriteArgs writes;
    if (const std::optional<int> refused = Writes(parsed, "give the files to strip", writes))
        return *refused;
    const bool toStandardOutput = writes.toStandardOutput;
    const unsigned jobs = writes.jobs;
    CCliOperands& operands = writes.operands;
    if (toStandardOutput)
        return ToStandardOutput(operands, std::nullopt);
    if (std::any_of(parsed.operands.begin(), parsed.operands.end(),
                    [](const CliArg& operand) { return IsStandardStream(operand); }))
        return Usage("standard input has no name to strip into a folder: give --out -");

    CProgressLine progress(m_streams.err, ProgressOf(parsed, m_streams), "Stripping",
                           m_streams.clock);
    StripRequest request;
    const bool knownAhead = KnownAhead(parsed, false, operands, progress);
    request.entries = [&operands, &progress, knownAhead](fs::path& source) {
        if (!operands.NextPath(source))
            return false;
        if (!knownAhead)
            progress.KnownFile(source);
        return true;
    };
    request.outputFolder = fs::path(*parsed.Value("--out"));
    request.existing = ExistingOf(parsed);
    request.jobs = jobs;
    CRunControl control([&progress](std::uint64_t copied) { progress.Copied(copied); });
    request.control = &control;
    CCliStripObserver observer(progress, request.existing == ExistingOutputs::KeepQuietly);
    const StripBatchResult result = RunStripBatch(request, observer);
    if (!result.folderValid)
        ErrLine(Utf16ToUtf8(signtext::kInvalidOutputFolder));
    return AfterList(operands, ExitStatus(result.verdict));
}

int CCli::Run(const std::vector<CliArg>& args) {
    if (args.empty())
        return Usage("no command given");
    const std::string command = PathUtf8(args[0]);
    if ((command == "--help" || command == "-h" || command == "--version") && m_streams.outClosed)
        return RefuseClosedOutput();
    if (command == "--help" || command == "-h") {
        Out(clihelp::FullHelp());
        return kExitAllDone;
    }
    if (command == "--version") {
        Out("quorvane-cli " QUORVANE_VERSION + std::string(kNewline));
        return kExitAllDone;
    }
    if (command == "sign")
        return Sign(args);
    if (command == "check")
        return Check(args);
    if (command == "strip")
        return Strip(args);
    return Usage("unknown command " + Visible(command));
}

} // namespace

int RunCli(const std::vector<CliArg>& args, CliStreams& streams) {
    int status = kExitUsage;
    try {
        CCli cli(streams);
        status = cli.Run(args);
    } catch (const std::bad_alloc&) {
        // What was held is given back by now; the words need no memory of their own.
        streams.err.Write("quorvane-cli: out of memory");
        streams.err.Write(kNewline);
        return kExitUsage;
    }
    if (const std::error_code error = streams.out.Error()) {
        streams.err.Write("quorvane-cli: cannot write to standard output: " + ErrorText(error) +
                          std::string(kNewline));
        return kExitUsage;
    }
    return status;
}
