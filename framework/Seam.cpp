#include "Seam.h"

#include "Handles.h"

#include <commctrl.h>
#include <commdlg.h>
#include <objbase.h>
#include <ole2.h>
#include <shellapi.h>
#include <shlobj.h>

namespace {

CRealSeam& RealSeam() {
    static CRealSeam seam;
    return seam;
}

ISeam*& InstalledSeam() {
    static ISeam* seam = nullptr;
    return seam;
}

const wchar_t* NullIfEmpty(const std::wstring& text) {
    return text.empty() ? nullptr : text.c_str();
}

// Room for the names of a large multiple selection: the dialog reports FNERR_BUFFERTOOSMALL
// rather than overrunning it.
constexpr std::size_t kMultiSelectChars = 1 << 20;
constexpr std::size_t kSingleSelectChars = 32768;

// The folder browser's callback: selects the folder of BROWSEINFOW::lParam once it opens.
int CALLBACK SelectInitialFolder(HWND browser, UINT message, LPARAM, LPARAM folder) {
    if (message == BFFM_INITIALIZED)
        ::SendMessageW(browser, BFFM_SETSELECTIONW, TRUE, folder);
    return 0;
}

} // namespace

ISeam& GetSeam() {
    ISeam* seam = InstalledSeam();
    return seam ? *seam : RealSeam();
}

ISeam* SetSeam(ISeam* seam) {
    ISeam* previous = InstalledSeam();
    InstalledSeam() = seam;
    return previous;
}

std::vector<std::wstring> SplitOpenFileResult(const wchar_t* buffer) {
    std::vector<std::wstring> parts;
    for (const wchar_t* part = buffer; *part; part += parts.back().size() + 1)
        parts.emplace_back(part);
    if (parts.size() <= 1)
        return parts;
    std::wstring folder = parts.front();
    if (folder.back() != L'\\')
        folder += L'\\';
    std::vector<std::wstring> paths;
    for (std::size_t i = 1; i < parts.size(); ++i)
        paths.push_back(folder + parts[i]);
    return paths;
}

std::wstring OpenFileFilter(const std::wstring& filter) {
    std::wstring result = filter;
    for (wchar_t& c : result) {
        if (c == L'|')
            c = L'\0';
    }
    result.push_back(L'\0');
    return result;
}

int CRealSeam::MessageBox(HWND owner, const std::wstring& text, const std::wstring& caption,
                          UINT type) {
    return ::MessageBoxW(owner, text.c_str(), caption.c_str(), type);
}

int CRealSeam::MessageBoxWithCheck(HWND owner, const std::wstring& text,
                                   const std::wstring& caption, UINT type,
                                   const std::wstring& verification, bool& checked) {
    checked = false;
    // Common controls 6 only (through the manifest): looked up, so that an older one still
    // gives the plain box.
    using TaskDialogIndirectProc = HRESULT(WINAPI*)(const TASKDIALOGCONFIG*, int*, int*, BOOL*);
    const HMODULE controls = ::GetModuleHandleW(L"comctl32.dll");
    const auto taskDialog =
        controls ? reinterpret_cast<TaskDialogIndirectProc>(reinterpret_cast<void (*)()>(
                       ::GetProcAddress(controls, "TaskDialogIndirect")))
                 : nullptr;
    if (!taskDialog)
        return MessageBox(owner, text, caption, type);
    TASKDIALOGCONFIG config{};
    config.cbSize = sizeof config;
    config.hwndParent = owner;
    // Esc and the close box answer IDCANCEL, as they do for a Yes/No message box under Wine.
    config.dwFlags = TDF_ALLOW_DIALOG_CANCELLATION | TDF_POSITION_RELATIVE_TO_WINDOW;
    config.dwCommonButtons =
        (type & MB_TYPEMASK) == MB_YESNO ? TDCBF_YES_BUTTON | TDCBF_NO_BUTTON : TDCBF_OK_BUTTON;
    config.pszWindowTitle = caption.c_str();
    switch (type & MB_ICONMASK) {
    case MB_ICONERROR:
        config.pszMainIcon = TD_ERROR_ICON;
        break;
    case MB_ICONWARNING:
        config.pszMainIcon = TD_WARNING_ICON;
        break;
    case MB_ICONINFORMATION:
        config.pszMainIcon = TD_INFORMATION_ICON;
        break;
    default:
        break;
    }
    config.pszContent = text.c_str();
    config.pszVerificationText = verification.c_str();
    int button = IDCANCEL;
    BOOL ticked = FALSE;
    if (FAILED(taskDialog(&config, &button, nullptr, &ticked)))
        return MessageBox(owner, text, caption, type);
    checked = ticked != FALSE;
    return button;
}

namespace {

// The file dialogs' shared set-up: `buffer` (of `chars` characters, starting with the request's
// file name) and `filter` must outlive the structure.
OPENFILENAMEW FileDialogOf(const OpenFileRequest& request, std::size_t chars, std::wstring& buffer,
                           std::wstring& filter) {
    buffer.assign(chars, L'\0');
    buffer.replace(0, std::min(request.fileName.size(), buffer.size() - 1), request.fileName);
    filter = OpenFileFilter(request.filter);
    OPENFILENAMEW ofn{};
    ofn.lStructSize = sizeof ofn;
    ofn.hwndOwner = request.owner;
    ofn.lpstrFilter = request.filter.empty() ? nullptr : filter.c_str();
    ofn.nFilterIndex = 1;
    ofn.lpstrFile = buffer.data();
    ofn.nMaxFile = static_cast<DWORD>(buffer.size());
    ofn.lpstrDefExt = NullIfEmpty(request.defaultExt);
    ofn.Flags = request.flags | OFN_EXPLORER;
    return ofn;
}

} // namespace

std::optional<std::wstring> CRealSeam::SaveFile(const OpenFileRequest& request) {
    std::wstring buffer, filter;
    OPENFILENAMEW ofn = FileDialogOf(request, kSingleSelectChars, buffer, filter);
    if (!::GetSaveFileNameW(&ofn))
        return std::nullopt;
    buffer.resize(std::wcslen(buffer.c_str()));
    return buffer;
}

std::optional<std::vector<std::wstring>> CRealSeam::OpenFiles(const OpenFileRequest& request) {
    const bool multi = (request.flags & OFN_ALLOWMULTISELECT) != 0;
    std::wstring buffer, filter;
    OPENFILENAMEW ofn =
        FileDialogOf(request, multi ? kMultiSelectChars : kSingleSelectChars, buffer, filter);
    if (!::GetOpenFileNameW(&ofn))
        return std::nullopt;
    return SplitOpenFileResult(buffer.c_str());
}

std::optional<std::wstring> CRealSeam::BrowseForFolder(const FolderRequest& request) {
    std::wstring displayName(MAX_PATH, L'\0');
    BROWSEINFOW info{};
    info.hwndOwner = request.owner;
    info.pszDisplayName = displayName.data();
    info.lpszTitle = request.title.c_str();
    info.ulFlags = request.flags;
    if (!request.initialFolder.empty()) {
        info.lpfn = SelectInitialFolder;
        info.lParam = reinterpret_cast<LPARAM>(request.initialFolder.c_str());
    }
    const UniqueCoTaskMem<ITEMIDLIST> item(::SHBrowseForFolderW(&info));
    if (!item)
        return std::nullopt;
    // Folders can be longer than MAX_PATH: grow until the path fits.
    for (std::size_t size = MAX_PATH; size <= 32768; size *= 2) {
        std::wstring path(size, L'\0');
        if (::SHGetPathFromIDListEx(item.get(), path.data(), static_cast<DWORD>(size),
                                    GPFIDL_DEFAULT)) {
            path.resize(std::wcslen(path.c_str()));
            if (path.empty())
                return std::nullopt;
            return path;
        }
    }
    return std::nullopt;
}

INT_PTR CRealSeam::ShellExecute(const ShellExecuteRequest& request) {
    return reinterpret_cast<INT_PTR>(::ShellExecuteW(
        request.owner, NullIfEmpty(request.verb), request.file.c_str(),
        NullIfEmpty(request.parameters), NullIfEmpty(request.directory), request.show));
}

bool CRealSeam::StartSockets() {
    WSADATA data{};
    if (::WSAStartup(MAKEWORD(2, 2), &data) != 0)
        return false;
    if (LOBYTE(data.wVersion) != 2) {
        ::WSACleanup();
        return false;
    }
    return true;
}

bool CRealSeam::StartOle() {
    return SUCCEEDED(::OleInitialize(nullptr));
}
