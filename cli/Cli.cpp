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
    int ToStandardOutput(const std::vector<CliArg>& operands,
                         const std::optional<std::u16string>& text, bool skipKinds = false);
    // The operands, then the paths listed by --files-from. False, with the problem, when the
    // list cannot be read or is refused.
    bool Paths(const ParsedArgs& parsed, std::vector<CliArg>& paths, std::string& problem);
    // Where sign and strip write, how many files at once, and which files.
    struct WriteArgs {
        bool toStandardOutput = false;
        unsigned jobs = 0;
        std::vector<CliArg> operands;
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
    return path == "-";
}

// The operands name standard input more than once: it can be read only once.
bool StandardInputTwice(const std::vector<CliArg>& operands) {
    return std::count_if(operands.begin(), operands.end(),
                         [](const CliArg& operand) { return IsStandardStream(operand); }) > 1;
}

// The line strip gives for a stream `name` that was not stripped.

int CCli::ToStandardOutput(const std::vector<CliArg>& operands,
                           const std::optional<std::u16string>& text, bool skipKinds) {
    if (operands.size() != 1)
        return Usage("--out - takes one file, or - for standard input");
    const fs::path path(operands.front());
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

bool CCli::Paths(const ParsedArgs& parsed, std::vector<CliArg>& paths, std::string& problem) {
    paths = parsed.operands;
    if (!parsed.Has("--files-from"))
        return true;
    return AddListedPaths(fs::path(*parsed.Value("--files-from")),
                          parsed.Has("-0") || parsed.Has("--null"), m_streams.in, paths, problem);
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

// The exit status of a run's verdict; `refused`: an operand was refused before the run.
int ExitStatus(Verdict verdict, bool refused = false) {
    switch (verdict) {
    case Verdict::AllDone:
        return refused ? kExitSomeFailed : kExitAllDone;
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
    if (writes.operands.empty())
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
    const auto& [toStandardOutput, jobs, operands] = writes;
    const bool streamIn = std::any_of(operands.begin(), operands.end(), [](const CliArg& operand) {
        return IsStandardStream(operand);
    });
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
    bool refusedFolder = false;
    for (const CliArg& operand : operands) {
        FolderFiles files =
            SignItemsOf(fs::path(operand), request.outputFolder, recursive, FollowsLinks(parsed));
        for (const WalkProblem& problem : files.problems) {
            ErrLine("quorvane-cli: " + WalkProblemText(problem));
            refusedFolder = true;
        }
        std::move(files.items.begin(), files.items.end(), std::back_inserter(request.items));
    }

    CProgressLine progress(m_streams.err, ProgressOf(parsed, m_streams), "Signing",
                           m_streams.clock);
    progress.Known(request.items.size(), progress.Shown() ? SizeOf(request.items) : 0);
    CRunControl control([&progress](std::uint64_t copied) { progress.Copied(copied); });
    request.control = &control;
    CCliSignObserver observer(progress);
    const SignResult result = RunSignBatch(request, observer);
    return ExitStatus(result.verdict, refusedFolder);
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
    std::vector<CliArg> operands;
    std::string listProblem;
    if (!Paths(parsed, operands, listProblem))
        return Usage(listProblem);
    if (operands.empty())
        return Usage("give the files to check");
    const bool json = parsed.Has("--json");
    const bool recursive = parsed.Has("-r") || parsed.Has("--recursive");
    if (StandardInputTwice(operands))
        return Usage("standard input can be checked only once");
    if (m_streams.in == nullptr && std::any_of(operands.begin(), operands.end(), IsStandardStream))
        return Usage("cannot read standard input: it is closed");

    // Each path to check, with what the walk already knows against it. The files of a folder
    // come in the order of their paths, what could not be walked among them.
    CFileStreamSource standardInput(m_streams.in);
    CheckRequest request;
    request.jobs = jobs;
    bool walked = false;
    for (const CliArg& operand : operands) {
        const fs::path path(operand);
        if (IsStandardStream(path)) {
            request.items.push_back({path, {}, LinkedTo::Nothing, &standardInput});
            continue;
        }
        walked = walked || (recursive && IsDirectory(path));
        std::vector<CheckItem> items = CheckItemsOf(path, recursive, FollowsLinks(parsed));
        std::move(items.begin(), items.end(), std::back_inserter(request.items));
    }
    CProgressLine progress(m_streams.err, ProgressOf(parsed, m_streams), "Checking",
                           m_streams.clock);
    progress.Known(request.items.size(), 0);
    CRunControl control;
    request.control = &control;
    CCliCheckObserver observer(m_streams, control, progress, json,
                               request.items.size() == 1 && !walked);
    return ExitStatus(RunCheckBatch(request, observer).verdict);
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
    const auto& [toStandardOutput, jobs, operands] = writes;
    if (toStandardOutput)
        return ToStandardOutput(operands, std::nullopt);
    if (std::any_of(parsed.operands.begin(), parsed.operands.end(),
                    [](const CliArg& operand) { return IsStandardStream(operand); }))
        return Usage("standard input has no name to strip into a folder: give --out -");

    StripRequest request;
    request.sources.assign(operands.begin(), operands.end());
    request.outputFolder = fs::path(*parsed.Value("--out"));
    request.existing = ExistingOf(parsed);
    request.jobs = jobs;
    CProgressLine progress(m_streams.err, ProgressOf(parsed, m_streams), "Stripping",
                           m_streams.clock);
    progress.Known(request.sources.size(), progress.Shown() ? SizeOf(request.sources) : 0);
    CRunControl control([&progress](std::uint64_t copied) { progress.Copied(copied); });
    request.control = &control;
    CCliStripObserver observer(progress, request.existing == ExistingOutputs::KeepQuietly);
    const StripBatchResult result = RunStripBatch(request, observer);
    if (!result.folderValid)
        ErrLine(Utf16ToUtf8(signtext::kInvalidOutputFolder));
    return ExitStatus(result.verdict);
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
