#include "Browser.h"

#include "BrowserCommand.h"
#include "Handles.h"
#include "Seam.h"

#include <vector>

namespace {

// The command line registered for opening web addresses; empty when there is none or it
// cannot be read. Its registry type is not checked and nothing in it is expanded.
std::wstring RegisteredBrowserCommand() {
    HKEY opened = nullptr;
    if (::RegOpenKeyExW(HKEY_CLASSES_ROOT, L"http\\shell\\open\\command", 0, KEY_READ, &opened) !=
        ERROR_SUCCESS)
        return {};
    const UniqueRegKey key(opened);
    DWORD size = 0;
    if (::RegQueryValueExW(key.get(), nullptr, nullptr, nullptr, nullptr, &size) != ERROR_SUCCESS ||
        size == 0)
        return {};
    // Room for a terminator the stored value may lack.
    std::vector<wchar_t> value(size / sizeof(wchar_t) + 2, L'\0');
    if (::RegQueryValueExW(key.get(), nullptr, nullptr, nullptr,
                           reinterpret_cast<BYTE*>(value.data()), &size) != ERROR_SUCCESS)
        return {};
    return std::wstring(value.data()); // up to the first NUL
}

} // namespace

LPCWSTR GetDefaultBrowserPath(std::wstring& path) {
    path = ProgramPathOfCommand(RegisteredBrowserCommand());
    return path.c_str();
}

void OpenWebAddress(const std::wstring& address) {
    std::wstring browser;
    GetDefaultBrowserPath(browser);
    ISeam& seam = GetSeam();
    if (!browser.empty()) {
        ShellExecuteRequest start;
        start.file = browser;
        start.parameters = QuotedParameter(address);
        if (seam.ShellExecute(start) > 32)
            return;
    }
    ShellExecuteRequest open;
    open.file = address;
    seam.ShellExecute(open);
}
