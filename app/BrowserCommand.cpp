#include "BrowserCommand.h"

std::wstring ProgramPathOfCommand(std::wstring commandLine) {
    const std::size_t firstQuote = commandLine.find(L'"');
    if (firstQuote != std::wstring::npos) {
        const std::size_t lastQuote = commandLine.rfind(L'"');
        if (lastQuote == firstQuote)
            return commandLine;
        return commandLine.substr(firstQuote + 1, lastQuote - firstQuote - 1);
    }
    const std::size_t lastBackslash = commandLine.rfind(L'\\');
    if (lastBackslash == std::wstring::npos || lastBackslash == 0)
        return commandLine;
    const std::size_t blank = commandLine.find(L' ', lastBackslash);
    if (blank == std::wstring::npos)
        return commandLine;
    commandLine.resize(blank);
    return commandLine;
}

std::wstring HelpFilePath(const std::wstring& folder) {
    return folder + L"\\help.html";
}

std::wstring HelpAddress(const std::wstring& folder) {
    return L"file:///" + HelpFilePath(folder);
}

std::wstring QuotedParameter(const std::wstring& address) {
    return L'"' + address + L'"';
}
