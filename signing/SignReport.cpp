#include "SignReport.h"

#include "FileOps.h"
#include "SignTexts.h"
#include "TextConvert.h"

namespace fs = std::filesystem;

std::string CauseText(const std::error_code& error, const fs::path& output,
                      const fs::path* earlierSource) {
    if (earlierSource != nullptr)
        return " (" + PathUtf8(output) + " was written from " + PathUtf8(*earlierSource) +
               " earlier in this run)";
    if (!error)
        return {};
    if (error == FileError::SourceChanged && !output.empty())
        return " (" + PathUtf8(output) + " " + ErrorText(error) + ")";
    if (output.empty())
        return " (" + ErrorText(error) + ")";
    return " (" + PathUtf8(output) + ": " + ErrorText(error) + ")";
}

std::string MessageLine(const SignMessage& message) {
    if (message.item == nullptr)
        return Utf16ToUtf8(message.text);
    return signtext::Format<char>(Utf16ToUtf8(message.format), {PathUtf8(message.path)}) +
           CauseText(message.error, message.output, message.earlierSource);
}

std::string KeptLine(const SignMessage& question) {
    return MessageLine(question) + " No: kept (--force replaces it)";
}

std::string WalkProblemText(const WalkProblem& problem) {
    const bool notRegular = problem.error == FileError::NotRegularFile;
    return PathUtf8(problem.path) +
           (problem.linkToFolder ? ": " + std::string(kLinkToFolder)
            : notRegular         ? ": not a regular file, skipped"
                                 : ": cannot be read, skipped (" + ErrorText(problem.error) + ")");
}
