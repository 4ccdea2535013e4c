// The texts that help and the About box hand to the web browser: portable, so that they are
// tested on every build.
#pragma once

#include <string>

// The program path in a command line registered for opening web addresses: the text between
// the first and the last double quote when there are two or more, else the text before the
// first blank after the last backslash, else the whole line.
std::wstring ProgramPathOfCommand(std::wstring commandLine);

// The help page in `folder`: the folder, then "\help.html", joined as they are.
std::wstring HelpFilePath(const std::wstring& folder);
// The help page's address: "file:///" followed by HelpFilePath(folder), nothing escaped.
std::wstring HelpAddress(const std::wstring& folder);

// `address` as one parameter of a command line: in double quotes, so that a blank in it does
// not split it.
std::wstring QuotedParameter(const std::wstring& address);

// The maker's web site, opened from the About box.
inline constexpr wchar_t kQuorvaneWebSite[] = L"https://www.quorvane.example/";
