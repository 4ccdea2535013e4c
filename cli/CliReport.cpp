#include "CliReport.h"

#include "FileErrors.h"
#include "SigClock.h"
#include "SignTexts.h"
#include "TextConvert.h"

namespace fs = std::filesystem;

std::string WrittenEarlier(const fs::path& earlierSource) {
    // A long run remembers the sources of its latest outputs only.
    if (earlierSource.empty())
        return " was written earlier in this run";
    return " was written from " + ShownPath(earlierSource) + " earlier in this run";
}

std::string CauseText(const std::error_code& error, const fs::path& output,
                      const fs::path* earlierSource) {
    if (earlierSource != nullptr)
        return " (" + ShownPath(output) + WrittenEarlier(*earlierSource) + ")";
    if (!error)
        return {};
    if (error == FileError::SourceChanged && !output.empty())
        return " (" + ShownPath(output) + " " + ErrorText(error) + ")";
    if (output.empty())
        return " (" + ErrorText(error) + ")";
    return " (" + ShownPath(output) + ": " + ErrorText(error) + ")";
}

std::string MessageLine(const SignMessage& message) {
    if (message.item == nullptr)
        return Utf16ToUtf8(message.text);
    if (message.fileKind != FileKind::Other)
        return KindLine(message.path, message.fileKind,
                        message.id == signtext::MessageId::KindLeftOut);
    return signtext::Format<char>(Utf16ToUtf8(message.format), {ShownPath(message.path)}) +
           CauseText(message.error, message.output, message.earlierSource);
}

std::string KindLine(const fs::path& source, FileKind kind, bool leftOut) {
    const KindInfo& info = InfoOf(kind);
    // The command-line tool says how to undo a signature it warns about.
    return (leftOut ? "" : "Warning: ") +
           signtext::Format<char>(
               Utf16ToUtf8(leftOut ? signtext::kKindLeftOut : signtext::kKindWarning),
               {ShownPath(source), std::string(info.name),
                std::string(info.consequence) +
                    (leftOut ? std::string() : "; " + std::string(kKindRemedyCli))});
}

std::string KeptLine(const SignMessage& question) {
    return MessageLine(question) + " No: kept (--force replaces it)";
}

std::string_view LinkText(LinkedTo link) {
    return link == LinkedTo::Folder ? kLinkToFolder : kLinkToFile;
}

std::string WalkProblemText(const WalkProblem& problem) {
    const std::string path = ShownPath(problem.path);
    if (problem.folderNotWalked)
        return path + " is a folder; -r signs the files in it";
    if (problem.link != LinkedTo::Nothing)
        return path + ": " + std::string(LinkText(problem.link));
    if (problem.temporary)
        return path + ": named like an unfinished copy of Quorvane's, skipped";
    if (problem.error == FileError::NotRegularFile)
        return path + ": not a regular file, skipped";
    return path + ": cannot be read, skipped (" + ErrorText(problem.error) + ")";
}

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

std::string CheckReason(const CheckResult& result) {
    return result.link != LinkedTo::Nothing ? std::string(LinkText(result.link))
                                            : ErrorText(result.error);
}

std::string CheckJsonLine(const fs::path& path, const CheckResult& result) {
    const std::string start = "{\"path\": " + JsonString(PathUnits(path));
    if (result.outcome == CheckOutcome::Unreadable)
        return start + ", \"signed\": false, \"error\": \"cannot be read\", \"reason\": " +
               JsonString(Utf8ToUtf16Lossy(CheckReason(result))) + "}";
    if (result.outcome == CheckOutcome::NotSigned)
        return start + ", \"signed\": false, \"text\": null, \"signed_at\": null}";
    return start + ", \"signed\": true, \"text\": " + JsonString(result.text) +
           ", \"signed_at\": \"" + IsoUtc(result.seed) + "\"}";
}

std::string StripProblemLine(const fs::path& source, const StripResult& result,
                             bool quietExisting) {
    const std::string output = ShownPath(result.output);
    std::string why;
    switch (result.outcome) {
    case StripOutcome::Stripped:
    case StripOutcome::Stopped:
        return {};
    case StripOutcome::OutputExists:
        if (quietExisting)
            return {};
        why = output + " already exists, kept (--force replaces it)";
        break;
    case StripOutcome::WrittenThisRun:
        why = output + WrittenEarlier(result.earlierSource) + ", kept";
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
    return ShownPath(source) + ": " + why;
}
