// Starts an installed Quorvane as its Start menu shortcut does, presses F1 and checks that the
// help page beside the program reaches the browser. The browser is a recording stand-in,
// registered for the duration of the check.
//   installed_help_check SHORTCUT.lnk RECORDER.exe
#include <winsock2.h>
#include <windows.h>
#include <objbase.h>
#include <shlobj.h>

#include "BrowserFixtures.h"
#include "Handles.h"

#include "WideUtf8.h"

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>

namespace {

constexpr UINT kHelpCommand = 57670;

int Fail(const std::string& why) {
    std::printf("FAILED: %s\n", why.c_str());
    return 1;
}

bool SameFolder(const std::wstring& a, const std::wstring& b) {
    auto normal = [](std::wstring path) {
        while (!path.empty() && (path.back() == L'\\' || path.back() == L'/'))
            path.pop_back();
        return path;
    };
    return ::CompareStringOrdinal(normal(a).c_str(), -1, normal(b).c_str(), -1, TRUE) == CSTR_EQUAL;
}

// Waits on the process's own message queue until `done` holds, at most `seconds`.
bool WaitFor(const std::function<bool()>& done, DWORD seconds) {
    const ULONGLONG until = ::GetTickCount64() + seconds * 1000ull;
    while (!done()) {
        if (::GetTickCount64() >= until)
            return false;
        ::MsgWaitForMultipleObjects(0, nullptr, FALSE, 50, QS_ALLINPUT);
        MSG msg;
        while (::PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE))
            ::DispatchMessageW(&msg);
    }
    return true;
}

struct ComReleaser {
    void operator()(IUnknown* object) const { object->Release(); }
};

} // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc != 3)
        return Fail("usage: installed_help_check SHORTCUT.lnk RECORDER.exe");
    const std::wstring shortcut = argv[1];
    const std::wstring recorder = argv[2];
    if (FAILED(::CoInitialize(nullptr)))
        return Fail("COM did not start");

    // The shortcut must start Quorvane in its own folder, where help.html is.
    std::wstring target(32768, L'\0');
    std::wstring workingFolder(32768, L'\0');
    {
        IShellLinkW* rawLink = nullptr;
        if (FAILED(::CoCreateInstance(CLSID_ShellLink, nullptr, CLSCTX_INPROC_SERVER,
                                      IID_IShellLinkW, reinterpret_cast<void**>(&rawLink))))
            return Fail("no shell link object");
        std::unique_ptr<IShellLinkW, ComReleaser> link(rawLink);
        IPersistFile* rawFile = nullptr;
        if (FAILED(link->QueryInterface(IID_IPersistFile, reinterpret_cast<void**>(&rawFile))))
            return Fail("no IPersistFile");
        std::unique_ptr<IPersistFile, ComReleaser> file(rawFile);
        if (FAILED(file->Load(shortcut.c_str(), STGM_READ)))
            return Fail("cannot read the shortcut " + Utf8(shortcut));
        link->GetPath(target.data(), static_cast<int>(target.size()), nullptr, 0);
        link->GetWorkingDirectory(workingFolder.data(), static_cast<int>(workingFolder.size()));
        target.resize(std::wcslen(target.c_str()));
        workingFolder.resize(std::wcslen(workingFolder.c_str()));
    }
    const std::wstring installFolder = std::filesystem::path(target).parent_path().wstring();
    if (!SameFolder(workingFolder, installFolder))
        return Fail("the shortcut starts in '" + Utf8(workingFolder) + "', not in '" +
                    Utf8(installFolder) + "'");

    const std::filesystem::path output =
        std::filesystem::temp_directory_path() /
        (L"quorvane-installed-help-" + std::to_wstring(::GetCurrentProcessId()) + L".txt");
    std::filesystem::remove(output);
    CScopedEnvironment outputVariable(L"QUORVANE_RECORDER_OUTPUT", output.wstring());
    CScopedBrowserCommand browser(L"\"" + recorder + L"\"");
    if (!browser.Applied())
        return Fail("cannot register the recording browser");

    // Started as the shortcut starts it: its program, in its working folder.
    std::wstring commandLine = L"\"" + target + L"\"";
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process{};
    if (!::CreateProcessW(target.c_str(), commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr,
                          workingFolder.c_str(), &startup, &process))
        return Fail("Quorvane did not start from " + Utf8(target));
    ::CloseHandle(process.hThread);
    HWND frame = nullptr;
    if (!WaitFor([&] { return (frame = ::FindWindowW(nullptr, L"Quorvane")) != nullptr; }, 60))
        return Fail("Quorvane's window did not appear");

    ::PostMessageW(frame, WM_COMMAND, kHelpCommand, 0);
    const bool recorded = WaitFor([&] { return std::filesystem::exists(output); }, 60);
    ::PostMessageW(frame, WM_CLOSE, 0, 0);
    ::WaitForSingleObject(process.hProcess, 30000);
    ::CloseHandle(process.hProcess);
    if (!recorded)
        return Fail("F1 did not start the browser (is help.html missing?)");

    std::ifstream in(output, std::ios::binary);
    std::stringstream content;
    content << in.rdbuf();
    in.close();
    std::filesystem::remove(output);
    const std::string address = content.str();
    const std::string expected = Utf8(installFolder) + "\\help.html";
    if (address.find("file:///") == std::string::npos ||
        address.find(expected) == std::string::npos)
        return Fail("the browser was given '" + address + "', expected the page " + expected);
    std::printf("installed help: ok (%s)\n", address.c_str());
    ::CoUninitialize();
    return 0;
}
