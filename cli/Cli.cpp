#include "Cli.h"

#include "FileOps.h"
#include "FolderWalk.h"
#include "SignEngine.h"
#include "SignTexts.h"
#include "Signature.h"
#include "Strip.h"
#include "TextConvert.h"

#include <algorithm>
#include <cstdio>
#include <iterator>
#include <optional>
#include <thread>
#include <vector>

namespace fs = std::filesystem;

namespace {

#ifdef _WIN32
constexpr std::string_view kNewline = "\r\n";
#else
constexpr std::string_view kNewline = "\n";
#endif

constexpr std::string_view kSignUsage =
    "usage: quorvane-cli sign (--text TEXT | --text-file FILE) --out DIR [--force | --no-clobber]"
    " [-r] [--jobs N] PATH...\n";
constexpr std::string_view kCheckUsage = "       quorvane-cli check [--json] [-r] PATH...\n";
constexpr std::string_view kStripUsage =
    "       quorvane-cli strip --out DIR [--force | --no-clobber] PATH...\n";
constexpr std::string_view kOtherUsage = "       quorvane-cli --help | --version\n"
                                         "       quorvane-cli COMMAND --help\n";

constexpr std::string_view kSignHelp =
    "sign    writes DIR/<name>_signed<ext> for each PATH: the file's bytes followed by a\n"
    "        signature trailer carrying the text. Line breaks are stored as CR LF.\n"
    "        --text-file reads UTF-8 (a byte order mark is skipped) or UTF-16 with a byte\n"
    "        order mark (FF FE or FE FF), at most 32767 UTF-16 code units; - is standard\n"
    "        input. An output that existed before the run is kept unless --force;\n"
    "        --no-clobber keeps it without a message. An output written earlier in the same\n"
    "        run is never replaced: the later file is refused. -r signs the regular files in\n"
    "        folders, keeping their structure below DIR (\"dir\" and \"dir/\" alike; the files\n"
    "        of \".\" and \"..\" go directly into DIR). --jobs N signs N files at once (the\n"
    "        default: one per processor), with the messages of a run of one at a time.\n";
constexpr std::string_view kCheckHelp =
    "check   prints the text signed into each PATH; --json prints one JSON object per line:\n"
    "        path, signed, text (exact: CR LF kept, unpaired surrogates as \\udXXX escapes;\n"
    "        null when unsigned), signed_at (the signing time the trailer records, ISO 8601\n"
    "        UTC; the signer's clock, so it proves nothing; null when unsigned), or error\n"
    "        and reason when the file cannot be read. A path's\n"
    "        bytes that are not UTF-8 are given as \\udc80 to \\udcff, one per byte. -r checks\n"
    "        every file below the folders given, in the order of their paths.\n";
constexpr std::string_view kStripHelp =
    "strip   writes each signed PATH without its trailer into DIR, named without _signed.\n"
    "        Existing outputs are treated as by sign.\n";
constexpr std::string_view kCommonHelp =
    "\n"
    "Only regular files are read. Copies keep the source's permission bits (less the umask,\n"
    "as cp gives them); each appears whole or not at all, also when the tool is killed.\n"
    "Exit status: 0 when every file was done, 1 when some file was refused, failed or holds\n"
    "no signature, 2 for a usage error, a failed write to standard output, or when nothing\n"
    "could be done; 130 on SIGINT and 143 on SIGTERM, with nothing half-written left.\n";

std::string AllUsage() {
    return std::string(kSignUsage) + std::string(kCheckUsage) + std::string(kStripUsage) +
           std::string(kOtherUsage);
}

// More files at once than any disk gains from.
constexpr unsigned kMaxJobs = 64;

// Longest text file that can hold a valid text: three UTF-8 bytes per UTF-16 code unit at most
// (a line break, one byte, becomes two units), a byte order mark and one final line break.
constexpr std::size_t kMaxTextFileBytes = 3 * kMaxSignatureUnits + 3 + 2;

// Line breaks of any kind as CR LF, the way the desktop program stores typed text.
std::u16string WithCrLf(std::u16string_view text) {
    std::u16string out;
    out.reserve(text.size() + 16);
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == u'\r') {
            out += u"\r\n";
            if (i + 1 < text.size() && text[i + 1] == u'\n')
                ++i;
        } else if (text[i] == u'\n') {
            out += u"\r\n";
        } else {
            out.push_back(text[i]);
        }
    }
    return out;
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

// A JSON string of UTF-16 text, exact: an unpaired surrogate is kept as its \u escape.
std::string JsonString(std::u16string_view units) {
    static const char digits[] = "0123456789abcdef";
    const auto escape = [&](std::string& out, char16_t unit) {
        out += "\\u";
        for (int shift = 12; shift >= 0; shift -= 4)
            out.push_back(digits[(unit >> shift) & 0xF]);
    };
    std::string out = "\"";
    for (std::size_t i = 0; i < units.size(); ++i) {
        const char16_t unit = units[i];
        switch (unit) {
        case u'"':
            out += "\\\"";
            continue;
        case u'\\':
            out += "\\\\";
            continue;
        case u'\n':
            out += "\\n";
            continue;
        case u'\r':
            out += "\\r";
            continue;
        case u'\t':
            out += "\\t";
            continue;
        default:
            break;
        }
        const bool high = unit >= 0xD800 && unit <= 0xDBFF;
        if (high && i + 1 < units.size() && units[i + 1] >= 0xDC00 && units[i + 1] <= 0xDFFF) {
            out += Utf16ToUtf8(units.substr(i, 2));
            ++i;
        } else if (unit < 0x20 || (unit >= 0xD800 && unit <= 0xDFFF)) {
            escape(out, unit);
        } else {
            out += Utf16ToUtf8(units.substr(i, 1));
        }
    }
    return out + "\"";
}

std::string JsonPath(const fs::path& path) {
    return JsonString(PathUnits(path));
}

// A trailer's seed, seconds since 1970 UTC, in ISO 8601: "2026-12-08T03:04:05Z".
std::string IsoUtc(std::uint32_t seconds) {
    // Days to a civil date (proleptic Gregorian), after Howard Hinnant's days_from_civil.
    const std::int64_t days = seconds / 86400;
    const std::uint32_t inDay = seconds % 86400;
    const std::int64_t z = days + 719468;
    const std::int64_t era = z / 146097;
    const auto doe = static_cast<std::uint32_t>(z - era * 146097);
    const std::uint32_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const std::uint32_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const std::uint32_t mp = (5 * doy + 2) / 153;
    const std::uint32_t day = doy - (153 * mp + 2) / 5 + 1;
    const std::uint32_t month = mp < 10 ? mp + 3 : mp - 9;
    const std::int64_t year = static_cast<std::int64_t>(yoe) + era * 400 + (month <= 2 ? 1 : 0);
    std::string text(32, '\0');
    const int length = std::snprintf(text.data(), text.size(), "%04lld-%02u-%02uT%02u:%02u:%02uZ",
                                     static_cast<long long>(year), month, day, inDay / 3600,
                                     inDay / 60 % 60, inDay % 60);
    text.resize(length > 0 ? static_cast<std::size_t>(length) : 0);
    return text;
}

// " (why)" after a message: the reason, the output it is about, the earlier source.
std::string Cause(const std::error_code& error, const fs::path& output = {},
                  const fs::path* earlierSource = nullptr) {
    if (earlierSource != nullptr)
        return " (" + PathUtf8(output) + " was written from " + PathUtf8(*earlierSource) +
               " earlier in this run)";
    if (!error)
        return {};
    if (output.empty())
        return " (" + ErrorText(error) + ")";
    return " (" + PathUtf8(output) + ": " + ErrorText(error) + ")";
}

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
            std::string(help) + std::string(kCommonHelp));
        return kExitAllDone;
    }
    std::optional<std::u16string> TextFromFile(const fs::path& path, std::string& problem);

    CliStreams& m_streams;
};

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
                parsed.problem = "option " + name + " needs a value";
                return parsed;
            }
        } else {
            parsed.problem = "unknown option " + text;
            return parsed;
        }
    }
    for (const auto& name : valued)
        if (parsed.Count(name) > 1)
            parsed.problem = "option " + name + " given twice";
    return parsed;
}

// The signature text of --text: UTF-16 on Windows; elsewhere it must be UTF-8.
std::optional<std::u16string> ArgumentText(const CliArg& arg) {
#ifdef _WIN32
    return FromWide(arg);
#else
    return Utf8ToUtf16(arg);
#endif
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
    CCliSignObserver(CliStreams& streams, Existing existing, const fs::path& outputFolder)
        : m_streams(streams), m_existing(existing), m_outputFolder(outputFolder) {}

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
    void ReportFailure(const SignMessage& message) override { Line(Text(message)); }
    bool AskOverwrite(const SignMessage& question) override {
        if (m_existing == Existing::Replace)
            return true;
        if (m_existing == Existing::Ask)
            Line(Text(question) + " No: kept (--force replaces it)");
        return false;
    }
    void BatchFinished() override { ClearProgress(); }
    void ShowSummary(const SignMessage& summary) override { Line(Text(summary)); }

private:
    // The engine's message with the path as the system spells it, and its cause.
    static std::string Text(const SignMessage& message) {
        if (message.item == nullptr)
            return Utf16ToUtf8(message.text);
        return signtext::Format<char>(Utf16ToUtf8(message.format), {PathUtf8(message.path)}) +
               Cause(message.error, message.output, message.earlierSource);
    }
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
    fs::path m_outputFolder;
    // Characters of the progress line on the terminal; 0 when none is shown.
    std::size_t m_progressWidth = 0;
};

// Reads no more than the longest text can need, whatever the file (a FIFO, a device, standard
// input) holds.
std::optional<std::u16string> CCli::TextFromFile(const fs::path& path, std::string& problem) {
    const bool standardInput = path == "-";
    UniqueFile opened;
    if (!standardInput)
        opened = OpenFile(LongPath(path), "rb");
    std::FILE* file = standardInput ? m_streams.in : opened.get();
    const std::string name = standardInput ? "standard input" : PathUtf8(path);
    if (file == nullptr) {
        problem = "cannot read the text from " + name + ": " + ErrorText(LastError());
        return std::nullopt;
    }
    std::string bytes(kMaxTextFileBytes + 1, '\0');
    std::size_t size = 0;
    while (size < bytes.size()) {
        const std::size_t got = std::fread(bytes.data() + size, 1, bytes.size() - size, file);
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

int CCli::Sign(const std::vector<CliArg>& args) {
    if (AsksForHelp(args))
        return Help(kSignUsage, kSignHelp);
    const ParsedArgs parsed = Parse(args, 1, {"--force", "--no-clobber", "-r", "--recursive"},
                                    {"--text", "--text-file", "--out", "--jobs"});
    if (!parsed.problem.empty())
        return Usage(parsed.problem);
    if (parsed.Has("--text") == parsed.Has("--text-file"))
        return Usage("give the signature with one of --text and --text-file");
    if (!parsed.Has("--out"))
        return Usage("give the output folder with --out");
    if (parsed.Has("--force") && parsed.Has("--no-clobber"))
        return Usage("--force and --no-clobber exclude each other");
    if (parsed.operands.empty())
        return Usage("give the files to sign");
    unsigned jobs = std::max(1u, std::thread::hardware_concurrency());
    if (parsed.Has("--jobs")) {
        const std::string value = PathUtf8(*parsed.Value("--jobs"));
        const bool digits =
            !value.empty() && value.size() <= 4 &&
            std::all_of(value.begin(), value.end(), [](char c) { return c >= '0' && c <= '9'; });
        jobs = digits ? static_cast<unsigned>(std::stoul(value)) : 0;
        if (jobs < 1 || jobs > kMaxJobs)
            return Usage("--jobs takes a number of files from 1 to " + std::to_string(kMaxJobs));
    }

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
    SignRequest request;
    request.outputFolder = fs::path(*parsed.Value("--out"));
    request.text = *text;
    request.keepOutputsOfThisRun = true;
    request.jobs = jobs;
    bool refusedFolder = false;
    for (const CliArg& operand : parsed.operands) {
        const fs::path path(operand);
        if (!IsDirectory(path)) {
            request.items.push_back({path, {}});
            continue;
        }
        if (!recursive) {
            ErrLine("quorvane-cli: " + PathUtf8(path) + " is a folder; -r signs the files in it");
            refusedFolder = true;
            continue;
        }
        FolderFiles files = FilesBelow(path, request.outputFolder);
        for (const WalkProblem& problem : files.problems) {
            const bool notRegular = problem.error == FileError::NotRegularFile;
            ErrLine("quorvane-cli: " + PathUtf8(problem.path) +
                    (notRegular ? ": not a regular file, skipped"
                                : ": cannot be read, skipped (" + ErrorText(problem.error) + ")"));
            refusedFolder = true;
        }
        std::move(files.items.begin(), files.items.end(), std::back_inserter(request.items));
    }

    const Existing existing = parsed.Has("--force")        ? Existing::Replace
                              : parsed.Has("--no-clobber") ? Existing::KeepQuietly
                                                           : Existing::Ask;
    CCliSignObserver observer(m_streams, existing, request.outputFolder);
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

int CCli::Check(const std::vector<CliArg>& args) {
    if (AsksForHelp(args))
        return Help(kCheckUsage, kCheckHelp);
    const ParsedArgs parsed = Parse(args, 1, {"--json", "-r", "--recursive"}, {});
    if (!parsed.problem.empty())
        return Usage(parsed.problem);
    if (parsed.operands.empty())
        return Usage("give the files to check");
    const bool json = parsed.Has("--json");
    const bool recursive = parsed.Has("-r") || parsed.Has("--recursive");

    // Each path to check, with the reason when the walk already knows it cannot be read. The
    // files of a folder come in the order of their paths, what could not be walked among them.
    std::vector<std::pair<fs::path, std::error_code>> paths;
    bool walked = false;
    for (const CliArg& operand : parsed.operands) {
        const fs::path path(operand);
        if (!recursive || !IsDirectory(path)) {
            paths.emplace_back(path, std::error_code{});
            continue;
        }
        walked = true;
        FolderFiles files = FilesBelow(path, {});
        const std::size_t first = paths.size();
        for (SignItem& item : files.items)
            paths.emplace_back(std::move(item.source), std::error_code{});
        for (WalkProblem& problem : files.problems)
            paths.emplace_back(std::move(problem.path), problem.error);
        std::stable_sort(
            paths.begin() + static_cast<std::ptrdiff_t>(first), paths.end(),
            [](const auto& a, const auto& b) { return a.first.native() < b.first.native(); });
    }
    const bool single = paths.size() == 1 && !walked;
    bool allSigned = true;
    for (const auto& [path, walkError] : paths) {
        if (m_streams.out.Error())
            break;
        std::error_code error = walkError;
        UniqueFile file;
        if (!error)
            file = OpenForReading(path, &error);
        if (!file) {
            allSigned = false;
            if (json)
                Out("{\"path\": " + JsonPath(path) +
                    ", \"signed\": false, \"error\": \"cannot be read\", \"reason\": " +
                    JsonString(Utf8ToUtf16Lossy(ErrorText(error))) + "}" + std::string(kNewline));
            else
                ErrLine("quorvane-cli: cannot read " + PathUtf8(path) + Cause(error));
            continue;
        }
        std::optional<SignatureInfo> info = ReadSignatureInfo(file.get());
        std::optional<std::u16string> text;
        if (info)
            text = std::move(info->text);
        allSigned = allSigned && text.has_value();
        if (json) {
            Out("{\"path\": " + JsonPath(path) + ", \"signed\": " + (text ? "true" : "false") +
                ", \"text\": " + (text ? JsonString(*text) : "null") + ", \"signed_at\": " +
                (info ? "\"" + IsoUtc(info->seed) + "\"" : "null") + "}" + std::string(kNewline));
        } else if (single) {
            if (text)
                Out(ForDisplay(*text) + std::string(kNewline));
            else
                ErrLine("quorvane-cli: no signature in " + PathUtf8(path));
        } else if (text) {
            Out(PathUtf8(path) + ":" + std::string(kNewline) + ForDisplay(*text) +
                std::string(kNewline) + std::string(kNewline));
        } else {
            Out(PathUtf8(path) + ": no signature" + std::string(kNewline) + std::string(kNewline));
        }
    }
    return allSigned ? kExitAllDone : kExitSomeFailed;
}

int CCli::Strip(const std::vector<CliArg>& args) {
    if (AsksForHelp(args))
        return Help(kStripUsage, kStripHelp);
    const ParsedArgs parsed = Parse(args, 1, {"--force", "--no-clobber"}, {"--out"});
    if (!parsed.problem.empty())
        return Usage(parsed.problem);
    if (!parsed.Has("--out"))
        return Usage("give the output folder with --out");
    if (parsed.Has("--force") && parsed.Has("--no-clobber"))
        return Usage("--force and --no-clobber exclude each other");
    if (parsed.operands.empty())
        return Usage("give the files to strip");
    const fs::path folder(*parsed.Value("--out"));
    if (!IsDirectory(folder)) {
        ErrLine(Utf16ToUtf8(signtext::kInvalidOutputFolder));
        return kExitUsage;
    }

    const bool force = parsed.Has("--force");
    const bool quiet = parsed.Has("--no-clobber");
    bool allDone = true;
    CRunOutputs written;
    for (const CliArg& operand : parsed.operands) {
        const fs::path source(operand);
        const StripResult result = StripFile(source, folder, force, &written);
        const std::string output = PathUtf8(result.output);
        std::string why;
        switch (result.outcome) {
        case StripOutcome::Stripped:
            continue;
        case StripOutcome::OutputExists:
            if (quiet)
                continue;
            why = output + " already exists, kept (--force replaces it)";
            break;
        case StripOutcome::WrittenThisRun:
            why = output + " was written from " + PathUtf8(result.earlierSource) +
                  " earlier in this run, kept";
            break;
        case StripOutcome::Unreadable:
            why = "cannot be read" + Cause(result.error);
            break;
        case StripOutcome::NotSigned:
            why = "holds no signature, skipped";
            break;
        case StripOutcome::WouldReplaceSource:
            why = "the output would replace the file itself, skipped";
            break;
        case StripOutcome::CannotWrite:
            why = "cannot write " + output + Cause(result.error);
            break;
        case StripOutcome::WriteFailed:
            why = "could not write " + output + ", nothing written" + Cause(result.error);
            break;
        }
        ErrLine("quorvane-cli: " + PathUtf8(source) + ": " + why);
        allDone = false;
    }
    return allDone ? kExitAllDone : kExitSomeFailed;
}

int CCli::Run(const std::vector<CliArg>& args) {
    if (args.empty())
        return Usage("no command given");
    const std::string command = PathUtf8(args[0]);
    if (command == "--help" || command == "-h") {
        Out(AllUsage() + "\n" + std::string(kSignHelp) + std::string(kCheckHelp) +
            std::string(kStripHelp) + std::string(kCommonHelp));
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
    return Usage("unknown command " + command);
}

} // namespace

int RunCli(const std::vector<CliArg>& args, CliStreams& streams) {
    CCli cli(streams);
    const int status = cli.Run(args);
    if (const std::error_code error = streams.out.Error()) {
        streams.err.Write("quorvane-cli: cannot write to standard output: " + ErrorText(error) +
                          std::string(kNewline));
        return kExitUsage;
    }
    return status;
}
