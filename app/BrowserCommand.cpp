#include "BrowserCommand.h"

std::wstring ProgramPathOfCommand(const std::wstring& commandLine) {
    // The program is the first argument as Windows splits a command line: a quoted one runs to
    // the next quote, with no escapes; an unquoted one to the first blank or tab.
    const std::size_t start = commandLine.find_first_not_of(L" \t");
    if (start == std::wstring::npos)
        return {};
    if (commandLine[start] == L'"') {
        const std::size_t close = commandLine.find(L'"', start + 1);
        return commandLine.substr(start + 1, close == std::wstring::npos ? std::wstring::npos
                                                                         : close - start - 1);
    }
    const std::size_t end = commandLine.find_first_of(L" \t", start);
    return commandLine.substr(start, end == std::wstring::npos ? std::wstring::npos : end - start);
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
