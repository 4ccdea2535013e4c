// What Quorvane.exe's own command line asks for: the page to start on and its files. Portable,
// so that it is tested on every build.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

enum class OpeningPage { Home, AddSignature, CheckSignature };

struct StartCommand {
    OpeningPage page = OpeningPage::Home;
    // AddSignature and CheckSignature: the files and folders named.
    std::vector<std::wstring> paths;
    // The usage is shown before the home page: asked for, or with `problem` when the command
    // line was wrong.
    bool showUsage = false;
    std::wstring problem;
};

// `arguments` are the command line's arguments after the program. "/check PATH..." checks them,
// "/?" asks for the usage, any other argument that starts with a slash is an unknown switch
// (no path Explorer passes starts with one), and everything else names files and folders.
StartCommand ParseStartCommand(const std::vector<std::wstring>& arguments);

// The usage, for a message box; `problem` (when not empty) is said first.
std::wstring StartUsage(const std::wstring& problem);

// Windows passes a program at most this many characters of command line, its end included.
inline constexpr std::size_t kCommandLineLimit = 32767;

// True when a command line of `length` characters leaves no room for one more quoted path of
// up to 260 characters: a selection sent to Quorvane may have lost files beyond that point.
bool CommandLineMayBeCut(std::size_t length);
