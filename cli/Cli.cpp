#include "Cli.h"

#include "CheckEngine.h"
#include "CliHelp.h"
#include "CliPlatform.h"
#include "FileErrors.h"
#include "FileOps.h"
#include "FolderWalk.h"
#include "SignEngine.h"
#include "SignReport.h"
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

// More files at once than any disk gains from.
constexpr unsigned kMaxJobs = 64;

// Longest text file that can hold a valid text: three UTF-8 bytes per UTF-16 code unit at most
// (a line break, one byte, becomes two units), a byte order mark and one final line break.
constexpr std::size_t kMaxTextFileBytes = 3 * kMaxSignatureUnits + 3 + 2;

// A list of paths longer than this is refused: no one means one, and its paths would take
// more memory than a machine has to give.
constexpr std::uint64_t kMaxListBytes = std::uint64_t{1} << 30;
constexpr std::string_view kMaxListText = "1 GiB";

void WriteLine(ICliOutput& output, std::string_view text) {
    output.Write(std::string(text) + std::string(kNewline));
}

// CR LF as the platform's line break, for showing a text.
std::string ForDisplay(std::u16string_view text) {
    std::string utf8 = Utf16ToUtf8(text);
    if (kNewline == "\r\n")
        return utf8;
    std::string out;
    out.reserve(utf8.size());
    for (std::size_t i = 0; i < utf8.size(); ++i) {
        if (utf8[i] == '\r' && i + 1 < utf8.size() && utf8[i + 1] == '\n')
            continue;
        out.push_back(utf8[i]);
    }
    return out;
}

struct ParsedArgs;

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
    std::optional<std::u16string> TextFromFile(const fs::path& path, std::string& problem);
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
std::string StreamStripLine(const fs::path& name, StripOutcome outcome, std::error_code error) {
    StripResult result;
    result.outcome = outcome;
    result.error = error;
    return "quorvane-cli: " + StripProblemLine(name, result, false);
}

int CCli::ToStandardOutput(const std::vector<CliArg>& operands,
                           const std::optional<std::u16string>& text, bool skipKinds) {
    if (operands.size() != 1)
        return Usage("--out - takes one file, or - for standard input");
    const fs::path path(operands.front());
    const bool standardInput = IsStandardStream(path);
    if (standardInput && m_streams.in == nullptr)
        return Usage("cannot read standard input: it is closed");
    const fs::path shown = standardInput ? fs::path(u"standard input") : path;
    const std::string name = ShownPath(shown);
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
    switch (result.outcome) {
    case StreamOutcome::Done:
        if (text)
            ErrLine(Utf16ToUtf8(signtext::Summary(1)));
        return kExitAllDone;
    case StreamOutcome::WriteFailed:
        ErrLine("quorvane-cli: cannot write to standard output: " + ErrorText(result.error));
        return kExitUsage;
    case StreamOutcome::AlreadySigned:
        ErrLine(signtext::Format<char>(Utf16ToUtf8(signtext::kAlreadySigned), {name}));
        break;
    case StreamOutcome::LeftOut:
        ErrLine(KindLine(shown, result.kind, true));
        break;
    case StreamOutcome::NotSigned:
        ErrLine(StreamStripLine(shown, StripOutcome::NotSigned, {}));
        break;
    case StreamOutcome::CannotOpen:
        if (text)
            ErrLine(signtext::Format<char>(Utf16ToUtf8(signtext::kCannotOpenForReading), {name}) +
                    CauseText(result.error));
        else
            ErrLine(StreamStripLine(shown, StripOutcome::Unreadable, result.error));
        break;
    case StreamOutcome::ReadFailed:
    case StreamOutcome::BadText:
        // A read error of a file names the file, as a batch names it.
        if (text)
            ErrLine(signtext::Format<char>(Utf16ToUtf8(signtext::kCannotSign), {name}) +
                    CauseText(result.error, standardInput ? fs::path() : path));
        else
            ErrLine(StreamStripLine(shown, StripOutcome::Unreadable, result.error));
        break;
    }
    if (text)
        ErrLine(Utf16ToUtf8(signtext::Summary(0)));
    return kExitSomeFailed;
}

// Options and operands of one command. `--` ends the options; "--name=value" is accepted
// beside "--name value".
struct ParsedArgs {
    std::vector<std::pair<std::string, std::optional<CliArg>>> options;
    std::vector<CliArg> operands;
    std::string problem;

    bool Has(const std::string& name) const {
        return std::any_of(options.begin(), options.end(),
                           [&](const auto& option) { return option.first == name; });
    }
    std::optional<CliArg> Value(const std::string& name) const {
        for (const auto& option : options)
            if (option.first == name)
                return option.second;
        return std::nullopt;
    }
    std::size_t Count(const std::string& name) const {
        return static_cast<std::size_t>(std::count_if(
            options.begin(), options.end(), [&](const auto& o) { return o.first == name; }));
    }
};

// `flags` and `valued` come from the reference's table of options (CliHelp.h).
ParsedArgs Parse(const std::vector<CliArg>& args, std::size_t first,
                 const std::vector<std::string>& flags, const std::vector<std::string>& valued) {
    ParsedArgs parsed;
    bool optionsEnded = false;
    for (std::size_t i = first; i < args.size(); ++i) {
        const std::string text = PathUtf8(args[i]);
        if (optionsEnded || text.size() < 2 || text[0] != '-') {
            parsed.operands.push_back(args[i]);
            continue;
        }
        if (text == "--") {
            optionsEnded = true;
            continue;
        }
        const auto equals = text.find('=');
        const std::string name = text.substr(0, equals);
        if (std::find(flags.begin(), flags.end(), name) != flags.end() &&
            equals == std::string::npos) {
            parsed.options.emplace_back(name, std::nullopt);
        } else if (std::find(valued.begin(), valued.end(), name) != valued.end()) {
            if (equals != std::string::npos) {
                parsed.options.emplace_back(name, args[i].substr(equals + 1));
            } else if (i + 1 < args.size()) {
                parsed.options.emplace_back(name, args[++i]);
            } else {
                parsed.problem = "option " + Visible(name) + " needs a value";
                return parsed;
            }
        } else {
            parsed.problem = "unknown option " + Visible(text);
            return parsed;
        }
    }
    for (const auto& name : valued)
        if (parsed.Count(name) > 1)
            parsed.problem = "option " + name + " given twice";
    if ((parsed.Has("-0") || parsed.Has("--null")) && !parsed.Has("--files-from"))
        parsed.problem = "-0 goes with --files-from";
    if ((parsed.Has("-L") || parsed.Has("--follow-links")) &&
        !(parsed.Has("-r") || parsed.Has("--recursive")))
        parsed.problem = "-L goes with -r";
    if (parsed.Has("--files-from") && parsed.Value("--files-from") == CliArg(1, '-') &&
        parsed.Value("--text-file") == CliArg(1, '-'))
        parsed.problem = "standard input cannot give both the text and the list of files";
    return parsed;
}

bool FollowsLinks(const ParsedArgs& parsed) {
    return parsed.Has("-L") || parsed.Has("--follow-links");
}

// True when `args` ask for help before `--`.
bool AsksForHelp(const std::vector<CliArg>& args) {
    for (std::size_t i = 1; i < args.size(); ++i) {
        const std::string text = PathUtf8(args[i]);
        if (text == "--")
            return false;
        if (text == "--help" || text == "-h")
            return true;
    }
    return false;
}

enum class Existing { Ask, Replace, KeepQuietly };

class CCliSignObserver : public ISignObserver {
public:
    CCliSignObserver(CliStreams& streams, Existing existing)
        : m_streams(streams), m_existing(existing) {}

    void BatchStarted(std::size_t) override {}
    void FileStarted(std::size_t, std::size_t, const std::u16string& status) override {
        if (!m_streams.errIsTerminal)
            return;
        // Plain carriage returns and blanks: every console understands them.
        std::string line = "\r" + Utf16ToUtf8(status);
        if (status.size() < m_progressWidth)
            line += std::string(m_progressWidth - status.size(), ' ');
        m_progressWidth = std::max(m_progressWidth, status.size());
        m_streams.err.Write(line);
    }
    void FileFinished(std::size_t, const SignItem&, SignOutcome) override {}
    void ReportFailure(const SignMessage& message) override { Line(MessageLine(message)); }
    void ReportWarning(const SignMessage& message) override { Line(MessageLine(message)); }
    bool AskOverwrite(const SignMessage& question) override {
        if (m_existing == Existing::Replace)
            return true;
        if (m_existing == Existing::Ask)
            Line(KeptLine(question));
        return false;
    }
    void BatchFinished() override { ClearProgress(); }
    void ShowSummary(const SignMessage& summary) override { Line(MessageLine(summary)); }

private:
    void ClearProgress() {
        if (m_progressWidth > 0)
            m_streams.err.Write("\r" + std::string(m_progressWidth, ' ') + "\r");
        m_progressWidth = 0;
    }
    void Line(const std::string& text) {
        ClearProgress();
        m_streams.err.Write(text + std::string(kNewline));
    }

    CliStreams& m_streams;
    Existing m_existing;
    // Characters of the progress line on the terminal; 0 when none is shown.
    std::size_t m_progressWidth = 0;
};

// Reads no more than the longest text can need, whatever the file (a FIFO, a device, standard
// input) holds.
std::optional<std::u16string> CCli::TextFromFile(const fs::path& path, std::string& problem) {
    const bool standardInput = path == "-";
    if (standardInput && m_streams.in == nullptr) {
        problem = "cannot read the text from standard input: it is closed";
        return std::nullopt;
    }
    UniqueFile opened;
    if (!standardInput)
        opened = OpenFile(LongPath(path), "rb");
    std::FILE* file = standardInput ? m_streams.in : opened.get();
    const std::string name = standardInput ? "standard input" : ShownPath(path);
    if (file == nullptr) {
        problem = "cannot read the text from " + name + ": " + ErrorText(LastError());
        return std::nullopt;
    }
    std::string bytes(kMaxTextFileBytes + 1, '\0');
    std::size_t size = 0;
    while (size < bytes.size()) {
        const std::size_t got = FileRead(file, bytes.data() + size, bytes.size() - size);
        if (got == 0)
            break;
        size += got;
    }
    if (std::ferror(file)) {
        problem = "cannot read the text from " + name + ": " + ErrorText(LastError());
        return std::nullopt;
    }
    if (size > kMaxTextFileBytes) {
        problem = "the text in " + name + " is longer than " + std::to_string(kMaxSignatureUnits) +
                  " UTF-16 code units";
        return std::nullopt;
    }
    bytes.resize(size);
    std::optional<std::u16string> text = TextFromFileBytes(bytes);
    if (!text)
        problem = "cannot read the text from " + name +
                  ": it is neither UTF-8 nor UTF-16 with a byte order mark (FF FE or FE FF)";
    return text;
}

// Reads the entries of a list into `paths`; false, with the problem, for a list that cannot
// name paths: an entry longer than any path, a NUL byte in a list of lines, or too long a list.
bool ReadList(std::FILE* file, bool nulSeparated, const std::string& name,
              std::vector<CliArg>& paths, std::string& problem) {
    const char separator = nulSeparated ? '\0' : '\n';
    std::string entry;
    bool tooLong = false;
    const auto take = [&] {
        // A line of a list written on Windows ends in CR LF.
        if (!nulSeparated && kNewline == "\r\n" && !entry.empty() && entry.back() == '\r')
            entry.pop_back();
        if (!entry.empty()) {
            std::optional<CliArg> path = ListedPath(entry);
            if (!path)
                tooLong = true;
            else
                paths.push_back(std::move(*path));
        }
        entry.clear();
    };
    const std::string longEntry = "an entry of the list of files from " + name +
                                  " is longer than the longest path (" +
                                  std::string(kLongestPathText) + ")";
    std::vector<char> block(std::size_t{64} << 10);
    // Runs of empty entries (a list of NUL bytes) are skipped a stretch at a time.
    const std::string separators(4096, separator);
    std::uint64_t total = 0;
    for (;;) {
        const std::size_t got = FileRead(file, block.data(), block.size());
        total += got;
        if (total > kMaxListBytes) {
            problem =
                "the list of files from " + name + " is longer than " + std::string(kMaxListText);
            return false;
        }
        for (const char *next = block.data(), *end = block.data() + got; next < end;) {
            // Empty entries, a run at a time.
            if (entry.empty() && *next == separator) {
                while (static_cast<std::size_t>(end - next) >= separators.size() &&
                       std::memcmp(next, separators.data(), separators.size()) == 0)
                    next += separators.size();
                while (next < end && *next == separator)
                    ++next;
                continue;
            }
            const auto* separated =
                static_cast<const char*>(std::memchr(next, separator, end - next));
            const char* part = separated != nullptr ? separated : end;
            if (!nulSeparated && std::memchr(next, '\0', part - next) != nullptr) {
                problem = "the list of files from " + name +
                          " holds a NUL byte; give -0 for a list separated by NUL bytes";
                return false;
            }
            tooLong = entry.size() + static_cast<std::size_t>(part - next) > kMaxListedBytes;
            if (!tooLong) {
                entry.append(next, part);
                if (separated != nullptr)
                    take();
            }
            if (tooLong) {
                problem = longEntry;
                return false;
            }
            next = separated != nullptr ? separated + 1 : end;
        }
        if (got < block.size())
            break;
    }
    if (std::ferror(file)) {
        problem = "cannot read the list of files from " + name + ": " + ErrorText(LastError());
        return false;
    }
    take();
    if (tooLong)
        problem = longEntry;
    return !tooLong;
}

bool CCli::Paths(const ParsedArgs& parsed, std::vector<CliArg>& paths, std::string& problem) {
    paths = parsed.operands;
    if (!parsed.Has("--files-from"))
        return true;
    const fs::path list(*parsed.Value("--files-from"));
    const bool standardInput = list == "-";
    if (standardInput && std::any_of(paths.begin(), paths.end(), IsStandardStream)) {
        problem = "standard input cannot hold both the list of files and a file";
        return false;
    }
    const std::string name = standardInput ? "standard input" : ShownPath(list);
    UniqueFile opened;
    if (!standardInput)
        opened = OpenFile(LongPath(list), "rb");
    std::FILE* file = standardInput ? m_streams.in : opened.get();
    if (file == nullptr) {
        problem = "cannot read the list of files from " + name + ": " +
                  (standardInput ? std::string("it is closed") : ErrorText(LastError()));
        return false;
    }
    bool read = false;
    bool memory = true;
    try {
        read = ReadList(file, parsed.Has("-0") || parsed.Has("--null"), name, paths, problem);
    } catch (const std::bad_alloc&) {
        memory = false;
    }
    if (read)
        return true;
    // What was read goes before the message is made.
    std::vector<CliArg>().swap(paths);
    if (!memory)
        problem = "the list of files from " + name + " holds more paths than memory takes";
    return false;
}

// --jobs N: files at once, 1 to kMaxJobs; one per processor when not given. 0 for a value that
// is not such a number.
unsigned JobsOf(const ParsedArgs& parsed) {
    if (!parsed.Has("--jobs"))
        return std::max(1u, std::thread::hardware_concurrency());
    const std::string value = PathUtf8(*parsed.Value("--jobs"));
    const bool digits =
        !value.empty() && value.size() <= 4 &&
        std::all_of(value.begin(), value.end(), [](char c) { return c >= '0' && c <= '9'; });
    const unsigned jobs = digits ? static_cast<unsigned>(std::stoul(value)) : 0;
    return jobs <= kMaxJobs ? jobs : 0;
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

    std::optional<std::u16string> text;
    if (parsed.Has("--text")) {
        text = ArgumentText(*parsed.Value("--text"));
        if (!text)
            return Usage("the text is not valid UTF-8");
    } else {
        std::string problem;
        text = TextFromFile(fs::path(*parsed.Value("--text-file")), problem);
        if (!text)
            return Usage(problem);
    }
    *text = WithCrLf(*text);
    if (text->empty())
        return Usage("the text is empty");
    if (text->size() > kMaxSignatureUnits)
        return Usage("the text is longer than " + std::to_string(kMaxSignatureUnits) +
                     " UTF-16 code units");

    const bool recursive = parsed.Has("-r") || parsed.Has("--recursive");
    if (toStandardOutput) {
        if (recursive)
            return Usage("-r writes into a folder, not to standard output");
        return ToStandardOutput(operands, text, parsed.Has("--skip-kinds"));
    }
    SignRequest request;
    request.outputFolder = fs::path(*parsed.Value("--out"));
    request.text = *text;
    request.keepOutputsOfThisRun = true;
    request.jobs = jobs;
    request.kinds = parsed.Has("--skip-kinds") ? KindPolicy::LeaveOut : KindPolicy::Warn;
    bool refusedFolder = false;
    for (const CliArg& operand : operands) {
        const fs::path path(operand);
        if (!IsDirectory(path)) {
            request.items.push_back({path, {}});
            continue;
        }
        if (!recursive) {
            ErrLine("quorvane-cli: " + ShownPath(path) + " is a folder; -r signs the files in it");
            refusedFolder = true;
            continue;
        }
        FolderFiles files = FilesBelow(path, request.outputFolder, FollowsLinks(parsed));
        for (const WalkProblem& problem : files.problems) {
            ErrLine("quorvane-cli: " + WalkProblemText(problem));
            refusedFolder = true;
        }
        std::move(files.items.begin(), files.items.end(), std::back_inserter(request.items));
    }

    const Existing existing = parsed.Has("--force")        ? Existing::Replace
                              : parsed.Has("--no-clobber") ? Existing::KeepQuietly
                                                           : Existing::Ask;
    CCliSignObserver observer(m_streams, existing);
    const SignResult result = RunSignBatch(request, observer);
    if (!result.folderValid)
        return kExitUsage;
    const bool allDone =
        std::all_of(result.outcomes.begin(), result.outcomes.end(), [&](SignOutcome outcome) {
            return outcome == SignOutcome::Signed ||
                   (outcome == SignOutcome::NotOverwritten && existing == Existing::KeepQuietly);
        });
    return allDone && !refusedFolder ? kExitAllDone : kExitSomeFailed;
}

// check's output: each item's text, or its JSON line, in the order of the items.
class CCliCheckObserver : public ICheckObserver {
public:
    CCliCheckObserver(CliStreams& streams, bool json, bool single)
        : m_streams(streams), m_json(json), m_single(single) {}

    void FileChecked(std::size_t, const CheckItem& item, const CheckResult& result) override {
        const std::string newline(kNewline);
        if (m_json) {
            m_streams.out.Write(CheckJsonLine(item.path, result) + newline);
            return;
        }
        const bool standardInput = item.stream != nullptr;
        const std::string name = standardInput ? "standard input" : ShownPath(item.path);
        if (result.outcome == CheckOutcome::Unreadable) {
            WriteLine(m_streams.err, "quorvane-cli: cannot read " + name +
                                         (standardInput ? CauseText(result.error)
                                                        : " (" + CheckReason(result) + ")"));
            return;
        }
        const bool isSigned = result.outcome == CheckOutcome::Signed;
        if (m_single) {
            if (isSigned)
                m_streams.out.Write(Visible(ForDisplay(result.text), true) + newline);
            else
                WriteLine(m_streams.err, "quorvane-cli: no signature in " + name);
        } else if (isSigned) {
            m_streams.out.Write(ShownPath(item.path) + ":" + newline +
                                Visible(ForDisplay(result.text), true) + newline + newline);
        } else {
            m_streams.out.Write(ShownPath(item.path) + ": no signature" + newline + newline);
        }
    }
    // Output that does not arrive ends the run.
    bool StopRequested() override { return static_cast<bool>(m_streams.out.Error()); }

private:
    CliStreams& m_streams;
    bool m_json;
    bool m_single;
};

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
        if (!recursive || !IsDirectory(path)) {
            request.items.push_back({path});
            continue;
        }
        walked = true;
        std::vector<CheckItem> below = CheckItemsBelow(path, FollowsLinks(parsed));
        std::move(below.begin(), below.end(), std::back_inserter(request.items));
    }
    CCliCheckObserver observer(m_streams, json, request.items.size() == 1 && !walked);
    const CheckBatchResult result = RunCheckBatch(request, observer);
    const bool allSigned =
        result.outcomes.size() == request.items.size() &&
        std::all_of(result.outcomes.begin(), result.outcomes.end(),
                    [](CheckOutcome outcome) { return outcome == CheckOutcome::Signed; });
    return allSigned ? kExitAllDone : kExitSomeFailed;
}

// strip's messages: a line for each source that was not stripped, in the order of the sources.
class CCliStripObserver : public IStripObserver {
public:
    CCliStripObserver(CliStreams& streams, bool quiet) : m_streams(streams), m_quiet(quiet) {}

    void FileStripped(std::size_t, const fs::path& source, const StripResult& result) override {
        const std::string line = StripProblemLine(source, result, m_quiet);
        if (!line.empty())
            WriteLine(m_streams.err, "quorvane-cli: " + line);
    }

private:
    CliStreams& m_streams;
    bool m_quiet;
};

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
    request.replaceExisting = parsed.Has("--force");
    request.jobs = jobs;
    const bool quiet = parsed.Has("--no-clobber");
    CCliStripObserver observer(m_streams, quiet);
    const StripBatchResult result = RunStripBatch(request, observer);
    if (!result.folderValid) {
        ErrLine(Utf16ToUtf8(signtext::kInvalidOutputFolder));
        return kExitUsage;
    }
    const bool allDone =
        result.outcomes.size() == request.sources.size() &&
        std::all_of(result.outcomes.begin(), result.outcomes.end(), [&](StripOutcome outcome) {
            return outcome == StripOutcome::Stripped ||
                   (outcome == StripOutcome::OutputExists && quiet);
        });
    return allDone ? kExitAllDone : kExitSomeFailed;
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
