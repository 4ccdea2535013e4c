#include "Cli.h"

#include "FileOps.h"
#include "FolderWalk.h"
#include "SignEngine.h"
#include "SignTexts.h"
#include "Signature.h"
#include "Strip.h"
#include "TextConvert.h"

#include <algorithm>
#include <iterator>
#include <optional>
#include <vector>

namespace fs = std::filesystem;

namespace {

#ifdef _WIN32
constexpr std::string_view kNewline = "\r\n";
#else
constexpr std::string_view kNewline = "\n";
#endif

constexpr std::string_view kUsage =
    "usage: quorvane-cli sign (--text TEXT | --text-file FILE) --out DIR [--force | --no-clobber]"
    " [-r] PATH...\n"
    "       quorvane-cli check [--json] PATH...\n"
    "       quorvane-cli strip --out DIR [--force | --no-clobber] PATH...\n"
    "       quorvane-cli --help | --version\n";

constexpr std::string_view kHelp =
    "\n"
    "sign    writes DIR/<name>_signed<ext> for each PATH: the file's bytes followed by a\n"
    "        signature trailer carrying the text. Line breaks are stored as CR LF. An existing\n"
    "        output is kept unless --force; --no-clobber keeps it without a message. -r signs\n"
    "        the files in folders, keeping their structure below DIR.\n"
    "check   prints the text signed into each PATH; --json prints one JSON object per line.\n"
    "strip   writes each signed PATH without its trailer into DIR, named without _signed.\n"
    "\n"
    "Exit status: 0 when every file was done, 1 when some file was refused, failed or holds\n"
    "no signature, 2 for a usage error or when nothing could be done.\n";

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

std::string JsonString(std::string_view utf8) {
    static const char digits[] = "0123456789abcdef";
    std::string out = "\"";
    for (const char c : utf8) {
        const auto byte = static_cast<unsigned char>(c);
        switch (c) {
        case '"':
            out += "\\\"";
            break;
        case '\\':
            out += "\\\\";
            break;
        case '\n':
            out += "\\n";
            break;
        case '\r':
            out += "\\r";
            break;
        case '\t':
            out += "\\t";
            break;
        default:
            if (byte < 0x20) {
                out += "\\u00";
                out.push_back(digits[byte >> 4]);
                out.push_back(digits[byte & 0xF]);
            } else {
                out.push_back(c);
            }
        }
    }
    return out + "\"";
}

// JSON needs Unicode: a path's bytes that are not UTF-8 show as U+FFFD there.
std::string JsonPath(const fs::path& path) {
    return JsonString(Utf16ToUtf8(PathText(path)));
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
        Err(kUsage);
        return kExitUsage;
    }

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

// The text of --text-file: UTF-8 (a byte order mark is skipped) or UTF-16LE with its mark.
// One line break at the end is the file's, not the text's.
std::optional<std::u16string> FileText(const fs::path& path) {
    UniqueFile file = OpenForReading(path);
    if (!file)
        return std::nullopt;
    std::string bytes;
    std::vector<char> block(std::size_t{1} << 16);
    for (std::size_t got; (got = std::fread(block.data(), 1, block.size(), file.get())) > 0;)
        bytes.append(block.data(), got);
    if (std::ferror(file.get()))
        return std::nullopt;
    std::optional<std::u16string> text;
    if (bytes.size() >= 2 && bytes[0] == '\xFF' && bytes[1] == '\xFE') {
        if (bytes.size() % 2 != 0)
            return std::nullopt;
        text.emplace();
        for (std::size_t i = 2; i < bytes.size(); i += 2)
            text->push_back(static_cast<char16_t>(static_cast<unsigned char>(bytes[i]) |
                                                  (static_cast<unsigned char>(bytes[i + 1]) << 8)));
    } else {
        if (bytes.rfind("\xEF\xBB\xBF", 0) == 0)
            bytes.erase(0, 3);
        text = Utf8ToUtf16(bytes);
    }
    if (text && !text->empty() && text->back() == u'\n')
        text->pop_back();
    if (text && !text->empty() && text->back() == u'\r')
        text->pop_back();
    return text;
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
            Line(Text(question) +
                 " No: " + PathUtf8(OutputPathFor(m_outputFolder, *question.item)) +
                 " kept (--force replaces it)");
        return false;
    }
    void BatchFinished() override { ClearProgress(); }
    void ShowSummary(const SignMessage& summary) override { Line(Text(summary)); }

private:
    // The engine's message with the path as the system spells it.
    static std::string Text(const SignMessage& message) {
        if (message.item == nullptr)
            return Utf16ToUtf8(message.text);
        return signtext::Format<char>(Utf16ToUtf8(message.format),
                                      {PathUtf8(message.item->source)});
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

int CCli::Sign(const std::vector<CliArg>& args) {
    const ParsedArgs parsed = Parse(args, 1, {"--force", "--no-clobber", "-r", "--recursive"},
                                    {"--text", "--text-file", "--out"});
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

    std::optional<std::u16string> text;
    if (parsed.Has("--text")) {
        text = ArgumentText(*parsed.Value("--text"));
        if (!text)
            return Usage("the text is not valid UTF-8");
    } else {
        const fs::path textFile(*parsed.Value("--text-file"));
        text = FileText(textFile);
        if (!text)
            return Usage("cannot read the text from " + PathUtf8(textFile) +
                         " (UTF-8, or UTF-16 with a byte order mark)");
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
        if (!files.complete) {
            ErrLine("quorvane-cli: cannot list the folder " + PathUtf8(path));
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
    const ParsedArgs parsed = Parse(args, 1, {"--json"}, {});
    if (!parsed.problem.empty())
        return Usage(parsed.problem);
    if (parsed.operands.empty())
        return Usage("give the files to check");
    const bool json = parsed.Has("--json");
    const bool single = parsed.operands.size() == 1;
    bool allSigned = true;
    for (const CliArg& operand : parsed.operands) {
        const fs::path path(operand);
        UniqueFile file = OpenForReading(path);
        if (!file) {
            allSigned = false;
            if (json)
                Out("{\"path\": " + JsonPath(path) +
                    ", \"signed\": false, \"error\": \"cannot be read\"}" + std::string(kNewline));
            else
                ErrLine("quorvane-cli: cannot read " + PathUtf8(path));
            continue;
        }
        const std::optional<std::u16string> text = ReadSignatureText(file.get());
        allSigned = allSigned && text.has_value();
        if (json) {
            Out("{\"path\": " + JsonPath(path) + ", \"signed\": " + (text ? "true" : "false") +
                ", \"text\": " + (text ? JsonString(Utf16ToUtf8(*text)) : "null") + "}" +
                std::string(kNewline));
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
    for (const CliArg& operand : parsed.operands) {
        const fs::path source(operand);
        const StripResult result = StripFile(source, folder, force);
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
        case StripOutcome::Unreadable:
            why = "cannot be read";
            break;
        case StripOutcome::NotSigned:
            why = "holds no signature, skipped";
            break;
        case StripOutcome::WouldReplaceSource:
            why = "the output would replace the file itself, skipped";
            break;
        case StripOutcome::CannotWrite:
            why = "cannot write " + output;
            break;
        case StripOutcome::WriteFailed:
            why = "could not write " + output + ", nothing written";
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
        Out(std::string(kUsage) + std::string(kHelp));
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
    return cli.Run(args);
}
