#include "CliShow.h"

#include "CliPlatform.h"
#include "FileErrors.h"
#include "CliReport.h"
#include "SignTexts.h"
#include "TextConvert.h"

namespace fs = std::filesystem;

namespace {

const std::string_view kNewline = kCliNewline;

} // namespace

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

std::string StreamStripLine(const fs::path& name, StripOutcome outcome, std::error_code error) {
    StripResult result;
    result.outcome = outcome;
    result.error = error;
    return "quorvane-cli: " + StripProblemLine(name, result, false);
}

int ShowStreamResult(CliStreams& streams, const StreamResult& result, const fs::path& path,
                     bool standardInput, bool signing) {
    const fs::path shown = standardInput ? fs::path(u"standard input") : path;
    const std::string name = ShownPath(shown);
    switch (result.outcome) {
    case StreamOutcome::Done:
        if (signing)
            WriteLine(streams.err, Utf16ToUtf8(signtext::Summary(1)));
        return kExitAllDone;
    case StreamOutcome::WriteFailed:
        WriteLine(streams.err,
                  "quorvane-cli: cannot write to standard output: " + ErrorText(result.error));
        return kExitUsage;
    case StreamOutcome::AlreadySigned:
        WriteLine(streams.err,
                  signtext::Format<char>(Utf16ToUtf8(signtext::kAlreadySigned), {name}));
        break;
    case StreamOutcome::LeftOut:
        WriteLine(streams.err, KindLine(shown, result.kind, true));
        break;
    case StreamOutcome::NotSigned:
        WriteLine(streams.err, StreamStripLine(shown, StripOutcome::NotSigned, {}));
        break;
    case StreamOutcome::CannotOpen:
        if (signing)
            WriteLine(streams.err,
                      signtext::Format<char>(Utf16ToUtf8(signtext::kCannotOpenForReading), {name}) +
                          CauseText(result.error));
        else
            WriteLine(streams.err, StreamStripLine(shown, StripOutcome::Unreadable, result.error));
        break;
    case StreamOutcome::ReadFailed:
    case StreamOutcome::BadText:
        // A read error of a file names the file, as a batch names it.
        if (signing)
            WriteLine(streams.err,
                      signtext::Format<char>(Utf16ToUtf8(signtext::kCannotSign), {name}) +
                          CauseText(result.error, standardInput ? fs::path() : path));
        else
            WriteLine(streams.err, StreamStripLine(shown, StripOutcome::Unreadable, result.error));
        break;
    }
    if (signing)
        WriteLine(streams.err, Utf16ToUtf8(signtext::Summary(0)));
    return kExitSomeFailed;
}

std::string TextProblemText(const TextToSign& prepared, const std::string& name) {
    std::string problem;
    switch (prepared.problem) {
    case TextProblem::None:
        break;
    case TextProblem::Empty:
        problem = "the text is empty";
        break;
    case TextProblem::TooLong:
        problem =
            "the text is longer than " + std::to_string(kMaxSignatureUnits) + " UTF-16 code units";
        break;
    case TextProblem::FileTooLong:
        problem = "the text in " + name + " is longer than " + std::to_string(kMaxSignatureUnits) +
                  " UTF-16 code units";
        break;
    case TextProblem::FileNotText:
        problem = "cannot read the text from " + name +
                  ": it is neither UTF-8 nor UTF-16 with a byte order mark (FF FE or FE FF)";
        break;
    case TextProblem::FileUnreadable:
        problem = "cannot read the text from " + name + ": " + ErrorText(prepared.error);
        break;
    case TextProblem::StreamClosed:
        problem = "cannot read the text from standard input: it is closed";
        break;
    }
    return problem;
}
