// The texts that help and the About box hand to the web browser: portable, so that they are
// tested on every build.
#pragma once

#include <string>

// The program path in a command line registered for opening web addresses: its first argument
// as Windows splits a command line, leading blanks skipped ("C:\Web\browser.exe" "%1" gives
// C:\Web\browser.exe).
std::wstring ProgramPathOfCommand(const std::wstring& commandLine);

// The help page in `folder`: the folder, then "\help.html", joined as they are.
std::wstring HelpFilePath(const std::wstring& folder);
// The help page's address: "file:///" followed by HelpFilePath(folder), nothing escaped.
std::wstring HelpAddress(const std::wstring& folder);

// `address` as one parameter of a command line: in double quotes, so that a blank in it does
// not split it.
std::wstring QuotedParameter(const std::wstring& address);

// The maker's web site, opened from the About box.
inline constexpr wchar_t kQuorvaneWebSite[] = L"https://www.quorvane.example/";
