#include "Cli.h"

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
    " [-r] [--jobs N] [--files-from LIST [-0]] PATH...\n"
    "       quorvane-cli sign (--text TEXT | --text-file FILE) --out - (PATH | -)\n";
constexpr std::string_view kCheckUsage =
    "       quorvane-cli check [--json] [-r] [--files-from LIST [-0]] PATH...\n";
constexpr std::string_view kStripUsage = "       quorvane-cli strip --out DIR [--force | "
                                         "--no-clobber] [--files-from LIST [-0]] PATH...\n"
                                         "       quorvane-cli strip --out - (PATH | -)\n";
constexpr std::string_view kOtherUsage = "       quorvane-cli --help | --version\n"
                                         "       quorvane-cli COMMAND --help\n";

constexpr std::string_view kSignHelp =
    "sign    writes DIR/<name>_signed<ext> for each PATH: the file's bytes followed by a\n"
    "        signature trailer carrying the text. Line breaks are stored as CR LF.\n"
    "        --text-file reads UTF-8 (a byte order mark is skipped) or UTF-16 with a byte\n"
    "        order mark (FF FE or FE FF), at most 32767 UTF-16 code units; - is standard\n"
    "        input. DIR must be an existing folder; otherwise nothing is done (exit status\n"
    "        2). An output that existed before the run is kept unless --force;\n"
    "        --no-clobber keeps it without a message. An output written earlier in the same\n"
    "        run is never replaced: the later file is refused. -r signs the regular files in\n"
    "        folders, keeping their structure below DIR (\"dir\" and \"dir/\" alike; the files\n"
    "        of \".\" and \"..\" go directly into DIR). --jobs N signs N files at once (the\n"
    "        default: one per processor), with the messages of a run of one at a time;\n"
    "        fewer when descriptors, memory or threads run short.\n"
    "        --out - writes the signed copy of one PATH to standard output; the PATH -\n"
    "        reads standard input (producer | quorvane-cli sign --text T - --out - | consumer).\n";
constexpr std::string_view kCheckHelp =
    "check   prints the text signed into each PATH; --json prints one JSON object per line:\n"
    "        path, signed, text (exact: CR LF kept, unpaired surrogates as \\udXXX escapes;\n"
    "        null when unsigned), signed_at (the signing time the trailer records, ISO 8601\n"
    "        UTC; the signer's clock, so it proves nothing; null when unsigned), or error\n"
    "        and reason when the file cannot be read. A path's\n"
    "        bytes that are not UTF-8 are given as \\udc80 to \\udcff, one per byte. -r checks\n"
    "        every file below the folders given, in the order of their paths. The PATH -\n"
    "        reads standard input to its end, keeping only its last 131084 bytes.\n";
constexpr std::string_view kListHelp =
    "\n"
    "--files-from LIST takes the paths in the file LIST (- for standard input) after the\n"
    "PATHs given, one per line, or separated by NUL bytes with -0 (--null), as find -print0\n"
    "writes them; empty ones are skipped. With -r, a link to a folder given as PATH is\n"
    "followed; links to folders met below one are reported and not followed, as find does.\n";
constexpr std::string_view kStripHelp =
    "strip   writes each signed PATH without its trailer into DIR, named without _signed.\n"
    "        Existing outputs are treated as by sign; DIR must be an existing folder. --out -\n"
    "        writes to standard output; the PATH - reads standard input, holding back its\n"
    "        last 131084 bytes until the trailer is found.\n";
constexpr std::string_view kCommonHelp =
    "\n"
    "Only regular files are read. Copies keep the source's permission bits (less the umask,\n"
    "as cp gives them); each appears whole or not at all, also when the tool is killed.\n"
    "Exit status: 0 when every file was done, 1 when some file was refused, failed or holds\n"
    "no signature, 2 for a usage error, a failed write to standard output, or when nothing\n"
    "could be done; 130 on SIGINT, 129 on SIGHUP and 143 on SIGTERM, with nothing\n"
    "half-written left. When standard error is a pipe that is closed, messages stop and the\n"
    "work goes on. Standard output that is a terminal takes no signed or stripped bytes. A\n"
    "stream that fails or is refused stops before its last 131084 bytes: check the exit\n"
    "status.\n";

std::string AllUsage() {
    return std::string(kSignUsage) + std::string(kCheckUsage) + std::string(kStripUsage) +
           std::string(kOtherUsage);
}

// Below -r: what find and cp -r do with such a link.

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

struct ParsedArgs;

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
                         const std::optional<std::u16string>& text);
    int CheckStandardInput(bool json, bool single);
    // The operands, then the paths listed by --files-from. False, with the problem, when the
    // list cannot be read.
    bool Paths(const ParsedArgs& parsed, std::vector<CliArg>& paths, std::string& problem);

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

int CCli::ToStandardOutput(const std::vector<CliArg>& operands,
                           const std::optional<std::u16string>& text) {
    if (operands.size() != 1)
        return Usage("--out - takes one file, or - for standard input");
    if (m_streams.data == nullptr || m_streams.dataIsTerminal) {
        ErrLine("quorvane-cli: standard output is a terminal; send it to a file or a pipe");
        return kExitUsage;
    }
    const fs::path path(operands.front());
    const bool standardInput = IsStandardStream(path);
    const std::string name = standardInput ? "standard input" : PathUtf8(path);
    if (standardInput && m_streams.in == nullptr)
        return Usage("cannot read standard input: it is closed");
    UniqueFile opened;
    std::error_code error;
    if (!standardInput)
        opened = OpenForReading(path, &error);
    std::FILE* in = standardInput ? m_streams.in : opened.get();
    if (in == nullptr) {
        if (text)
            ErrLine(signtext::Format<char>(Utf16ToUtf8(signtext::kCannotRead), {name}) +
                    CauseText(error));
        else
            ErrLine("quorvane-cli: " + name + ": cannot be read" + CauseText(error));
        return kExitSomeFailed;
    }
    CFileStreamSource source(in);
    CFileStreamSink sink(m_streams.data);
    const StreamResult result = text ? SignStream(source, sink, *text) : StripStream(source, sink);
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
    case StreamOutcome::NotSigned:
        ErrLine("quorvane-cli: " + name + ": holds no signature, skipped");
        break;
    case StreamOutcome::ReadFailed:
    case StreamOutcome::BadText:
        if (text)
            ErrLine(signtext::Format<char>(Utf16ToUtf8(signtext::kCannotSign), {name}) +
                    CauseText(result.error));
        else
            ErrLine("quorvane-cli: " + name + ": cannot be read" + CauseText(result.error));
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

ParsedArgs Parse(const std::vector<CliArg>& args, std::size_t first, std::vector<std::string> flags,
                 std::vector<std::string> valued) {
    // Every command takes its paths from a list too.
    flags.insert(flags.end(), {"-0", "--null"});
    valued.push_back("--files-from");
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
    if ((parsed.Has("-0") || parsed.Has("--null")) && !parsed.Has("--files-from"))
        parsed.problem = "-0 goes with --files-from";
    if (parsed.Has("--files-from") && parsed.Value("--files-from") == CliArg(1, '-') &&
        parsed.Value("--text-file") == CliArg(1, '-'))
        parsed.problem = "standard input cannot give both the text and the list of files";
    return parsed;
}

// A path of a list: bytes on Linux, UTF-8 on Windows.
CliArg ListedPath(std::string_view bytes) {
#ifdef _WIN32
    return ToWide(Utf8ToUtf16Lossy(bytes));
#else
    return CliArg(bytes);
#endif
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
    void ReportFailure(const SignMessage& message) override { Line(MessageLine(message)); }
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
    fs::path m_outputFolder;
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
    const std::string name = standardInput ? "standard input" : PathUtf8(list);
    UniqueFile opened;
    if (!standardInput)
        opened = OpenFile(LongPath(list), "rb");
    std::FILE* file = standardInput ? m_streams.in : opened.get();
    if (file == nullptr) {
        problem = "cannot read the list of files from " + name + ": " +
                  (standardInput ? std::string("it is closed") : ErrorText(LastError()));
        return false;
    }
    const char separator = parsed.Has("-0") || parsed.Has("--null") ? '\0' : '\n';
    std::string entry;
    const auto take = [&] {
        // A line of a list written on Windows ends in CR LF.
        if (separator == '\n' && kNewline == "\r\n" && !entry.empty() && entry.back() == '\r')
            entry.pop_back();
        if (!entry.empty())
            paths.push_back(ListedPath(entry));
        entry.clear();
    };
    std::vector<char> block(std::size_t{64} << 10);
    for (;;) {
        const std::size_t got = std::fread(block.data(), 1, block.size(), file);
        for (std::size_t i = 0; i < got; ++i) {
            if (block[i] == separator)
                take();
            else
                entry.push_back(block[i]);
        }
        if (got < block.size())
            break;
    }
    if (std::ferror(file)) {
        problem = "cannot read the list of files from " + name + ": " + ErrorText(LastError());
        return false;
    }
    take();
    return true;
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
    std::vector<CliArg> operands;
    std::string listProblem;
    if (!Paths(parsed, operands, listProblem))
        return Usage(listProblem);
    if (operands.empty())
        return Usage("give the files to sign");
    const bool streamIn = std::any_of(operands.begin(), operands.end(), [](const CliArg& operand) {
        return IsStandardStream(operand);
    });
    if (streamIn && !IsStandardStream(*parsed.Value("--out")))
        return Usage("standard input has no name to sign into a folder: give --out -");
    if (streamIn && parsed.Has("--text-file") && IsStandardStream(*parsed.Value("--text-file")))
        return Usage("standard input cannot hold both the text and the file to sign");
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
    if (IsStandardStream(*parsed.Value("--out"))) {
        if (recursive)
            return Usage("-r writes into a folder, not to standard output");
        return ToStandardOutput(operands, text);
    }
    SignRequest request;
    request.outputFolder = fs::path(*parsed.Value("--out"));
    request.text = *text;
    request.keepOutputsOfThisRun = true;
    request.jobs = jobs;
    bool refusedFolder = false;
    for (const CliArg& operand : operands) {
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
            ErrLine("quorvane-cli: " + WalkProblemText(problem));
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
    std::vector<WalkProblem> paths;
    bool walked = false;
    for (const CliArg& operand : operands) {
        const fs::path path(operand);
        if (!recursive || IsStandardStream(path) || !IsDirectory(path)) {
            paths.push_back({path, {}});
            continue;
        }
        walked = true;
        FolderFiles files = FilesBelow(path, {});
        const std::size_t first = paths.size();
        for (SignItem& item : files.items)
            paths.push_back({std::move(item.source), {}});
        std::move(files.problems.begin(), files.problems.end(), std::back_inserter(paths));
        std::stable_sort(
            paths.begin() + static_cast<std::ptrdiff_t>(first), paths.end(),
            [](const auto& a, const auto& b) { return a.path.native() < b.path.native(); });
    }
    const bool single = paths.size() == 1 && !walked;
    bool allSigned = true;
    for (const WalkProblem& walk : paths) {
        if (m_streams.out.Error())
            break;
        const fs::path& path = walk.path;
        std::error_code error = walk.error;
        if (IsStandardStream(path) && !error) {
            allSigned = CheckStandardInput(json, single) == kExitAllDone && allSigned;
            continue;
        }
        UniqueFile file;
        if (!error && !walk.linkToFolder)
            file = OpenForReading(path, &error);
        if (!file) {
            allSigned = false;
            const std::string reason =
                walk.linkToFolder ? std::string(kLinkToFolder) : ErrorText(error);
            if (json)
                Out("{\"path\": " + JsonPath(path) +
                    ", \"signed\": false, \"error\": \"cannot be read\", \"reason\": " +
                    JsonString(Utf8ToUtf16Lossy(reason)) + "}" + std::string(kNewline));
            else
                ErrLine("quorvane-cli: cannot read " + PathUtf8(path) + " (" + reason + ")");
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

int CCli::CheckStandardInput(bool json, bool single) {
    CFileStreamSource source(m_streams.in);
    const StreamResult result = CheckStream(source);
    const bool isSigned = result.outcome == StreamOutcome::Done;
    if (result.outcome == StreamOutcome::ReadFailed) {
        if (json)
            Out("{\"path\": \"-\", \"signed\": false, \"error\": \"cannot be read\", \"reason\": " +
                JsonString(Utf8ToUtf16Lossy(ErrorText(result.error))) + "}" +
                std::string(kNewline));
        else
            ErrLine("quorvane-cli: cannot read standard input" + CauseText(result.error));
    } else if (json) {
        Out("{\"path\": \"-\", \"signed\": " + std::string(isSigned ? "true" : "false") +
            ", \"text\": " + (isSigned ? JsonString(result.text) : "null") + "}" +
            std::string(kNewline));
    } else if (single) {
        if (isSigned)
            Out(ForDisplay(result.text) + std::string(kNewline));
        else
            ErrLine("quorvane-cli: no signature in standard input");
    } else {
        Out((isSigned ? "-:" + std::string(kNewline) + ForDisplay(result.text)
                      : "-: no signature") +
            std::string(kNewline) + std::string(kNewline));
    }
    return isSigned ? kExitAllDone : kExitSomeFailed;
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
    std::vector<CliArg> operands;
    std::string listProblem;
    if (!Paths(parsed, operands, listProblem))
        return Usage(listProblem);
    if (operands.empty())
        return Usage("give the files to strip");
    if (IsStandardStream(*parsed.Value("--out")))
        return ToStandardOutput(operands, std::nullopt);
    if (std::any_of(parsed.operands.begin(), parsed.operands.end(),
                    [](const CliArg& operand) { return IsStandardStream(operand); }))
        return Usage("standard input has no name to strip into a folder: give --out -");
    const fs::path folder(*parsed.Value("--out"));
    if (!IsDirectory(folder)) {
        ErrLine(Utf16ToUtf8(signtext::kInvalidOutputFolder));
        return kExitUsage;
    }

    const bool force = parsed.Has("--force");
    const bool quiet = parsed.Has("--no-clobber");
    bool allDone = true;
    CRunOutputs written;
    for (const CliArg& operand : operands) {
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
            why = "cannot be read" + CauseText(result.error);
            break;
        case StripOutcome::NotSigned:
            why = "holds no signature, skipped";
            break;
        case StripOutcome::WouldReplaceSource:
            why = "the output would replace the file itself, skipped";
            break;
        case StripOutcome::CannotWrite:
            why = "cannot write " + output + CauseText(result.error);
            break;
        case StripOutcome::WriteFailed:
            why = "could not write " + output + ", nothing written" + CauseText(result.error);
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
            std::string(kStripHelp) + std::string(kListHelp) + std::string(kCommonHelp));
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
