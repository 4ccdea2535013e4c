#include "StartCommand.h"

#include <algorithm>
#include <cwctype>
#include <iterator>

namespace {

bool IsSwitch(const std::wstring& argument) {
    return !argument.empty() && argument.front() == L'/';
}

bool SameSwitch(const std::wstring& argument, const wchar_t* name) {
    std::wstring lower = argument;
    std::transform(lower.begin(), lower.end(), lower.begin(),
                   [](wchar_t c) { return static_cast<wchar_t>(std::towlower(c)); });
    return lower == name;
}

StartCommand Wrong(std::wstring problem) {
    StartCommand command;
    command.showUsage = true;
    command.problem = std::move(problem);
    return command;
}

} // namespace

StartCommand ParseStartCommand(const std::vector<std::wstring>& given) {
    // An empty argument ("") names nothing.
    std::vector<std::wstring> arguments;
    std::copy_if(given.begin(), given.end(), std::back_inserter(arguments),
                 [](const std::wstring& argument) { return !argument.empty(); });
    StartCommand command;
    if (arguments.empty())
        return command;
    const std::wstring& first = arguments.front();
    if (SameSwitch(first, L"/?") || SameSwitch(first, L"/help")) {
        if (arguments.size() > 1)
            return Wrong(first + L" takes nothing after it.");
        command.showUsage = true;
        return command;
    }
    if (SameSwitch(first, L"/check")) {
        if (arguments.size() < 2)
            return Wrong(L"/check takes one or more files or folders.");
        for (std::size_t i = 1; i < arguments.size(); ++i) {
            if (IsSwitch(arguments[i]))
                return Wrong(L"/check takes files and folders, not " + arguments[i] + L".");
        }
        command.page = OpeningPage::CheckSignature;
        command.paths.assign(arguments.begin() + 1, arguments.end());
        return command;
    }
    for (const std::wstring& argument : arguments) {
        if (!IsSwitch(argument))
            continue;
        if (SameSwitch(argument, L"/check") || SameSwitch(argument, L"/?"))
            return Wrong(argument + L" comes first, before any file.");
        return Wrong(L"Unknown switch: " + argument);
    }
    command.page = OpeningPage::AddSignature;
    command.paths = arguments;
    return command;
}

std::wstring StartUsage(const std::wstring& problem) {
    std::wstring text;
    if (!problem.empty())
        text = problem + L"\n\n";
    // No indented columns: the message box wraps long lines wherever it likes.
    text += L"Quorvane.exe\n"
            L"opens the first page.\n\n"
            L"Quorvane.exe /check FILE\n"
            L"opens Check Signature, showing the signature of FILE.\n\n"
            L"Quorvane.exe /check FILE_OR_FOLDER...\n"
            L"opens Check Signature with a list of these files (for a folder, the files "
            L"directly inside it) and their signatures.\n\n"
            L"Quorvane.exe FILE...\n"
            L"opens Add Signature with these files in the list (for a folder, the files directly "
            L"inside it).\n\n"
            L"Quorvane.exe /?\n"
            L"shows this help.\n\n"
            L"Put a path with blanks in double quotes.";
    return text;
}

bool CommandLineMayBeCut(std::size_t length) {
    constexpr std::size_t kRoomForOnePath = 1 + 260 + 2; // a blank, the path, its quotes
    return length + kRoomForOnePath >= kCommandLineLimit;
}
