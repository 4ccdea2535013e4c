// Runs an installed Quorvane the way Explorer does and reads what its window shows.
//   shell_integration_check verb FILE TEXT
//       the "Check signature" verb registered for every file, on FILE: the check page must
//       show TEXT.
//   shell_integration_check sendto SHORTCUT FILE...
//       the Send To shortcut with FILEs selected: the add-signature page must propose the
//       first file's folder.
#include <winsock2.h>
#include <windows.h>
#include <objbase.h>
#include <shlobj.h>

#include "Handles.h"
#include "WideUtf8.h"
#include "resource.h"

#include <cstdio>
#include <memory>
#include <string>
#include <type_traits>
#include <vector>

namespace {

constexpr wchar_t kVerbKey[] = L"Software\\Classes\\*\\shell\\QuorvaneCheckSignature";

int Fail(const std::string& why) {
    std::printf("FAILED: %s\n", why.c_str());
    return 1;
}

struct HandleCloser {
    void operator()(HANDLE handle) const { ::CloseHandle(handle); }
};
using UniqueHandle = std::unique_ptr<std::remove_pointer_t<HANDLE>, HandleCloser>;

struct ComReleaser {
    void operator()(IUnknown* object) const { object->Release(); }
};

std::wstring RegString(HKEY key, const wchar_t* name) {
    DWORD bytes = 0;
    if (::RegQueryValueExW(key, name, nullptr, nullptr, nullptr, &bytes) != ERROR_SUCCESS)
        return {};
    std::wstring value(bytes / sizeof(wchar_t) + 1, L'\0');
    if (::RegQueryValueExW(key, name, nullptr, nullptr, reinterpret_cast<BYTE*>(value.data()),
                           &bytes) != ERROR_SUCCESS)
        return {};
    value.resize(bytes / sizeof(wchar_t));
    while (!value.empty() && value.back() == L'\0')
        value.pop_back();
    return value;
}

std::wstring Text(HWND hWnd) {
    // GetWindowText gives another process's edit control its caption, not its text: ask the
    // control itself, which the system carries across.
    const auto length = ::SendMessageW(hWnd, WM_GETTEXTLENGTH, 0, 0);
    std::wstring text(static_cast<std::size_t>(length) + 1, L'\0');
    text.resize(static_cast<std::size_t>(
        ::SendMessageW(hWnd, WM_GETTEXT, text.size(), reinterpret_cast<LPARAM>(text.data()))));
    return text;
}

struct Search {
    DWORD process;
    int controlId;
    HWND control = nullptr;
};

BOOL CALLBACK FindInChild(HWND child, LPARAM lParam) {
    auto* search = reinterpret_cast<Search*>(lParam);
    if (::GetDlgCtrlID(child) != search->controlId)
        return TRUE;
    search->control = child;
    return FALSE;
}

BOOL CALLBACK FindInTopLevel(HWND window, LPARAM lParam) {
    auto* search = reinterpret_cast<Search*>(lParam);
    DWORD process = 0;
    ::GetWindowThreadProcessId(window, &process);
    if (process == search->process)
        ::EnumChildWindows(window, FindInChild, lParam);
    return search->control ? FALSE : TRUE;
}

// Starts `commandLine` in `folder` and waits up to a minute for control `id` of its window
// to show a text; returns that text, or says what went wrong in `problem`.
std::wstring RunAndRead(std::wstring commandLine, const std::wstring& folder, int id,
                        std::string& problem) {
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION info{};
    if (!::CreateProcessW(nullptr, commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr,
                          folder.empty() ? nullptr : folder.c_str(), &startup, &info)) {
        problem = "cannot start " + Utf8(commandLine);
        return {};
    }
    const UniqueHandle process(info.hProcess);
    const UniqueHandle thread(info.hThread);
    Search search{info.dwProcessId, id};
    std::wstring text;
    const ULONGLONG until = ::GetTickCount64() + 60000;
    while (::GetTickCount64() < until) {
        if (!search.control)
            ::EnumWindows(FindInTopLevel, reinterpret_cast<LPARAM>(&search));
        if (search.control && !(text = Text(search.control)).empty())
            break;
        if (::WaitForSingleObject(process.get(), 50) == WAIT_OBJECT_0) {
            problem = "Quorvane ended before showing anything";
            return {};
        }
    }
    if (text.empty())
        problem = "Quorvane's window showed nothing in control " + std::to_string(id);
    if (search.control)
        ::PostMessageW(::GetAncestor(search.control, GA_ROOT), WM_CLOSE, 0, 0);
    if (::WaitForSingleObject(process.get(), 30000) != WAIT_OBJECT_0)
        ::TerminateProcess(process.get(), 1);
    return text;
}

std::wstring Quoted(const std::wstring& path) {
    return L"\"" + path + L"\"";
}

int CheckVerb(const std::wstring& file, const std::wstring& expected) {
    HKEY raw = nullptr;
    if (::RegOpenKeyExW(HKEY_CURRENT_USER, kVerbKey, 0, KEY_READ, &raw) != ERROR_SUCCESS)
        return Fail("no verb under HKCU\\" + Utf8(kVerbKey));
    const UniqueRegKey verb(raw);
    if (RegString(verb.get(), nullptr) != L"Check signature")
        return Fail("the verb's menu text is '" + Utf8(RegString(verb.get(), nullptr)) + "'");
    if (RegString(verb.get(), L"MultiSelectModel") != L"Single")
        return Fail("the verb is offered for several selected files");
    raw = nullptr;
    if (::RegOpenKeyExW(verb.get(), L"command", 0, KEY_READ, &raw) != ERROR_SUCCESS)
        return Fail("the verb has no command");
    const UniqueRegKey commandKey(raw);
    std::wstring command = RegString(commandKey.get(), nullptr);
    const std::size_t placeholder = command.find(L"%1");
    if (placeholder == std::wstring::npos)
        return Fail("the verb's command has no %1: " + Utf8(command));
    // Explorer puts the file's full path in place of %1.
    command.replace(placeholder, 2, file);
    std::string problem;
    const std::wstring shown = RunAndRead(command, L"", IDC_SIGNATURE_VIEW, problem);
    if (!problem.empty())
        return Fail(problem + " (command " + Utf8(command) + ")");
    if (shown != expected)
        return Fail("the check page shows '" + Utf8(shown) + "', not '" + Utf8(expected) + "'");
    std::printf("verb: ok (%s)\n", Utf8(command).c_str());
    return 0;
}

int CheckSendTo(const std::wstring& shortcut, const std::vector<std::wstring>& files) {
    std::wstring target(32768, L'\0');
    std::wstring folder(32768, L'\0');
    std::wstring arguments(32768, L'\0');
    {
        IShellLinkW* rawLink = nullptr;
        if (FAILED(::CoCreateInstance(CLSID_ShellLink, nullptr, CLSCTX_INPROC_SERVER,
                                      IID_IShellLinkW, reinterpret_cast<void**>(&rawLink))))
            return Fail("no shell link object");
        std::unique_ptr<IShellLinkW, ComReleaser> link(rawLink);
        IPersistFile* rawFile = nullptr;
        if (FAILED(link->QueryInterface(IID_IPersistFile, reinterpret_cast<void**>(&rawFile))))
            return Fail("no IPersistFile");
        std::unique_ptr<IPersistFile, ComReleaser> persist(rawFile);
        if (FAILED(persist->Load(shortcut.c_str(), STGM_READ)))
            return Fail("cannot read the shortcut " + Utf8(shortcut));
        link->GetPath(target.data(), static_cast<int>(target.size()), nullptr, 0);
        link->GetWorkingDirectory(folder.data(), static_cast<int>(folder.size()));
        link->GetArguments(arguments.data(), static_cast<int>(arguments.size()));
    }
    target.resize(std::wcslen(target.c_str()));
    folder.resize(std::wcslen(folder.c_str()));
    arguments.resize(std::wcslen(arguments.c_str()));
    if (!arguments.empty())
        return Fail("the Send To shortcut has arguments of its own: " + Utf8(arguments));
    // Send To: the shortcut's program with the whole selection, each path quoted.
    std::wstring command = Quoted(target);
    for (const std::wstring& file : files)
        command += L" " + Quoted(file);
    std::string problem;
    const std::wstring shown = RunAndRead(command, folder, IDC_DEST_FOLDER, problem);
    if (!problem.empty())
        return Fail(problem + " (command " + Utf8(command) + ")");
    const std::wstring expected = files.front().substr(0, files.front().find_last_of(L'\\') + 1);
    if (shown != expected)
        return Fail("the add-signature page proposes '" + Utf8(shown) + "', not '" +
                    Utf8(expected) + "'");
    std::printf("send to: ok (%s)\n", Utf8(command).c_str());
    return 0;
}

} // namespace

int wmain(int argc, wchar_t** argv) {
    const std::wstring mode = argc > 1 ? argv[1] : L"";
    if (FAILED(::CoInitialize(nullptr)))
        return Fail("COM did not start");
    if (mode == L"verb" && argc == 4)
        return CheckVerb(argv[2], argv[3]);
    if (mode == L"sendto" && argc >= 4)
        return CheckSendTo(argv[2], std::vector<std::wstring>(argv + 3, argv + argc));
    return Fail("usage: shell_integration_check verb FILE TEXT | sendto SHORTCUT FILE...");
}
