// Runs a command line as Explorer runs a verb or a Send To shortcut, in FOLDER, and prints
// (UTF-8) the first text that control ID of the started program's window shows; fails when
// none shows within a minute.
//   shell_integration_check FOLDER ID COMMANDLINE
#include <windows.h>

#include "WideUtf8.h"

#include <cstdio>
#include <memory>
#include <string>
#include <type_traits>

namespace {

struct HandleCloser {
    void operator()(HANDLE handle) const { ::CloseHandle(handle); }
};
using UniqueHandle = std::unique_ptr<std::remove_pointer_t<HANDLE>, HandleCloser>;

struct Search {
    DWORD process;
    int id;
    HWND control = nullptr;
};

BOOL CALLBACK FindInChild(HWND child, LPARAM lParam) {
    auto* search = reinterpret_cast<Search*>(lParam);
    if (::GetDlgCtrlID(child) == search->id)
        search->control = child;
    return search->control ? FALSE : TRUE;
}

BOOL CALLBACK FindInTopLevel(HWND window, LPARAM lParam) {
    auto* search = reinterpret_cast<Search*>(lParam);
    DWORD process = 0;
    ::GetWindowThreadProcessId(window, &process);
    if (process == search->process)
        ::EnumChildWindows(window, FindInChild, lParam);
    return search->control ? FALSE : TRUE;
}

// GetWindowText gives another process's edit control its caption, not its text: ask the
// control itself, which the system carries across.
std::wstring Text(HWND control) {
    const auto length = ::SendMessageW(control, WM_GETTEXTLENGTH, 0, 0);
    std::wstring text(static_cast<std::size_t>(length) + 1, L'\0');
    text.resize(static_cast<std::size_t>(
        ::SendMessageW(control, WM_GETTEXT, text.size(), reinterpret_cast<LPARAM>(text.data()))));
    return text;
}

} // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc != 4) {
        std::printf("usage: shell_integration_check FOLDER ID COMMANDLINE\n");
        return 2;
    }
    std::wstring commandLine = argv[3];
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process{};
    if (!::CreateProcessW(nullptr, commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr, argv[1],
                          &startup, &process)) {
        std::printf("cannot start %s\n", Utf8(commandLine).c_str());
        return 1;
    }
    const UniqueHandle owner(process.hProcess);
    const UniqueHandle thread(process.hThread);
    Search search{process.dwProcessId, std::stoi(argv[2])};
    std::wstring text;
    for (const ULONGLONG until = ::GetTickCount64() + 60000;
         text.empty() && ::GetTickCount64() < until &&
         ::WaitForSingleObject(process.hProcess, 50) == WAIT_TIMEOUT;) {
        if (!search.control)
            ::EnumWindows(FindInTopLevel, reinterpret_cast<LPARAM>(&search));
        if (search.control)
            text = Text(search.control);
    }
    if (search.control)
        ::PostMessageW(::GetAncestor(search.control, GA_ROOT), WM_CLOSE, 0, 0);
    if (::WaitForSingleObject(process.hProcess, 30000) != WAIT_OBJECT_0)
        ::TerminateProcess(process.hProcess, 1);
    std::printf("%s\n", Utf8(text).c_str());
    return text.empty() ? 1 : 0;
}
