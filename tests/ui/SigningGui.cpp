#include "SigningGui.h"

#include "EncProgress.h"

#include "FileIo.h"
#include "FileOps.h"
#include "Signature.h"
#include "resource.h"
#include "TrailerReaders.h"

#include <shellapi.h>
#include <shlobj.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>

namespace fs = std::filesystem;

namespace {

CModalScript* g_pModalScript = nullptr;
CProgressSpy* g_pProgressSpy = nullptr;

std::wstring ClassName(HWND hWnd) {
    std::wstring name(256, L'\0');
    name.resize(static_cast<std::size_t>(
        ::GetClassNameW(hWnd, name.data(), static_cast<int>(name.size()))));
    return name;
}

struct FindDialog {
    const std::wstring* caption;
    HWND found;
};

BOOL CALLBACK MatchDialog(HWND hWnd, LPARAM lParam) {
    auto* find = reinterpret_cast<FindDialog*>(lParam);
    if (ClassName(hWnd) == L"#32770" && ::IsWindowVisible(hWnd) &&
        WindowText(hWnd) == *find->caption) {
        find->found = hWnd;
        return FALSE;
    }
    return TRUE;
}

// The progress window: a dialog holding the bar 1012.
bool IsProgressDialog(HWND hWnd) {
    const HWND bar = ::GetDlgItem(hWnd, IDC_PROGRESS);
    return bar && ClassName(bar) == PROGRESS_CLASSW;
}

bool IsProgressBar(HWND hWnd) {
    return ::GetDlgCtrlID(hWnd) == IDC_PROGRESS && ::GetParent(hWnd) &&
           IsProgressDialog(::GetParent(hWnd));
}

bool IsProgressStatus(HWND hWnd) {
    return ::GetDlgCtrlID(hWnd) == IDC_PROGRESS_STATUS && ::GetParent(hWnd) &&
           IsProgressDialog(::GetParent(hWnd));
}

} // namespace

// ---------------------------------------------------------------------------------------------

CModalScript::CModalScript(std::wstring caption, std::function<void(HWND)> script)
    : m_caption(std::move(caption)), m_script(std::move(script)) {
    g_pModalScript = this;
    m_timer = ::SetTimer(nullptr, 0, USER_TIMER_MINIMUM, OnTimer);
}

CModalScript::~CModalScript() {
    if (m_timer)
        ::KillTimer(nullptr, m_timer);
    g_pModalScript = nullptr;
}

void CALLBACK CModalScript::OnTimer(HWND, UINT, UINT_PTR id, DWORD) {
    CModalScript* self = g_pModalScript;
    if (!self || self->m_timer != id) {
        ::KillTimer(nullptr, id);
        return;
    }
    FindDialog find{&self->m_caption, nullptr};
    ::EnumThreadWindows(::GetCurrentThreadId(), MatchDialog, reinterpret_cast<LPARAM>(&find));
    if (!find.found)
        return; // the next tick looks again
    ::KillTimer(nullptr, id);
    self->m_timer = 0;
    self->m_ran = true;
    const auto script = std::move(self->m_script);
    script(find.found);
}

// ---------------------------------------------------------------------------------------------

namespace {
CReportWatch* g_pReportWatch = nullptr;
} // namespace

CReportWatch::CReportWatch() {
    g_pReportWatch = this;
    m_hook = ::SetWindowsHookExW(WH_CALLWNDPROCRET, OnCallRet, nullptr, ::GetCurrentThreadId());
}

CReportWatch::~CReportWatch() {
    ::UnhookWindowsHookEx(m_hook);
    g_pReportWatch = nullptr;
}

LRESULT CALLBACK CReportWatch::OnCallRet(int code, WPARAM wParam, LPARAM lParam) {
    const auto* message = reinterpret_cast<const CWPRETSTRUCT*>(lParam);
    if (code == HC_ACTION && g_pReportWatch && message->message == WM_INITDIALOG &&
        WindowText(message->hwnd) == L"Files not signed" && !g_pReportWatch->keepOpen) {
        g_pReportWatch->reports.push_back(ReportRows(message->hwnd, 3));
        ::PostMessageW(message->hwnd, WM_COMMAND, IDCANCEL, 0);
    }
    return ::CallNextHookEx(nullptr, code, wParam, lParam);
}

// ---------------------------------------------------------------------------------------------

CProgressSpy::CProgressSpy(std::vector<std::wstring>& log) : m_log(log) {
    g_pProgressSpy = this;
    m_afterHook =
        ::SetWindowsHookExW(WH_CALLWNDPROCRET, OnCallRet, nullptr, ::GetCurrentThreadId());
    m_beforeHook = ::SetWindowsHookExW(WH_CALLWNDPROC, OnCall, nullptr, ::GetCurrentThreadId());
}

CProgressSpy::~CProgressSpy() {
    ::UnhookWindowsHookEx(m_afterHook);
    ::UnhookWindowsHookEx(m_beforeHook);
    g_pProgressSpy = nullptr;
}

LRESULT CALLBACK CProgressSpy::OnCallRet(int code, WPARAM wParam, LPARAM lParam) {
    if (code == HC_ACTION && g_pProgressSpy && !g_pProgressSpy->m_inside) {
        g_pProgressSpy->m_inside = true;
        g_pProgressSpy->After(*reinterpret_cast<const CWPRETSTRUCT*>(lParam));
        g_pProgressSpy->m_inside = false;
    }
    return ::CallNextHookEx(nullptr, code, wParam, lParam);
}

LRESULT CALLBACK CProgressSpy::OnCall(int code, WPARAM wParam, LPARAM lParam) {
    if (code == HC_ACTION && g_pProgressSpy && !g_pProgressSpy->m_inside) {
        g_pProgressSpy->m_inside = true;
        g_pProgressSpy->Before(*reinterpret_cast<const CWPSTRUCT*>(lParam));
        g_pProgressSpy->m_inside = false;
    }
    return ::CallNextHookEx(nullptr, code, wParam, lParam);
}

void CProgressSpy::After(const CWPRETSTRUCT& message) {
    switch (message.message) {
    case WM_INITDIALOG:
        if (IsProgressDialog(message.hwnd))
            windows.push_back({message.hwnd, ::GetWindow(message.hwnd, GW_OWNER)});
        break;
    case WM_SHOWWINDOW:
        if (message.wParam && IsProgressDialog(message.hwnd))
            m_log.push_back(L"shown");
        break;
    // The bar's ends are logged as "position 0" and "position full"; the points between as
    // "position part", once for a stretch of them.
    case PBM_SETRANGE32:
        if (IsProgressBar(message.hwnd))
            m_log.push_back(L"range " + std::to_wstring(static_cast<int>(message.wParam)) + L".." +
                            std::to_wstring(static_cast<int>(message.lParam)));
        break;
    case PBM_SETPOS:
    case PBM_STEPIT:
        if (IsProgressBar(message.hwnd)) {
            const auto units = static_cast<int>(::SendMessageW(message.hwnd, PBM_GETPOS, 0, 0));
            const std::wstring line = units == 0                   ? L"position 0"
                                      : units == kProgressBarRange ? L"position full"
                                                                   : L"position part";
            if (line != L"position part" || m_log.empty() || m_log.back() != line)
                m_log.push_back(line);
        }
        break;
    case WM_SETTEXT:
        if (IsProgressStatus(message.hwnd))
            m_log.push_back(L"status " + WindowText(message.hwnd));
        break;
    default:
        break;
    }
}

void CProgressSpy::Before(const CWPSTRUCT& message) {
    if (message.message == WM_DESTROY && IsProgressDialog(message.hwnd))
        m_log.push_back(L"destroyed, status " +
                        WindowText(::GetDlgItem(message.hwnd, IDC_PROGRESS_STATUS)));
}

// ---------------------------------------------------------------------------------------------

bool FitsOnOneLine(HWND label, const std::wstring& text) {
    const HDC dc = ::GetDC(label);
    const HGDIOBJ old =
        ::SelectObject(dc, reinterpret_cast<HFONT>(::SendMessageW(label, WM_GETFONT, 0, 0)));
    SIZE extent{};
    ::GetTextExtentPoint32W(dc, text.c_str(), static_cast<int>(text.size()), &extent);
    ::SelectObject(dc, old);
    ::ReleaseDC(label, dc);
    return extent.cx <= ClientRect(label).right && extent.cy <= ClientRect(label).bottom;
}

bool ShowsWhole(HWND label) {
    const std::wstring text = WindowText(label);
    const HDC dc = ::GetDC(label);
    const HGDIOBJ old =
        ::SelectObject(dc, reinterpret_cast<HFONT>(::SendMessageW(label, WM_GETFONT, 0, 0)));
    RECT needed{0, 0, ClientRect(label).right, 0};
    ::DrawTextW(dc, text.c_str(), -1, &needed, DT_CALCRECT | DT_WORDBREAK | DT_EXPANDTABS);
    ::SelectObject(dc, old);
    ::ReleaseDC(label, dc);
    return needed.bottom <= ClientRect(label).bottom;
}

bool CentredOver(HWND window, HWND over) {
    const RECT a = WindowRect(window);
    const RECT b = WindowRect(over);
    return std::abs((a.left + a.right) - (b.left + b.right)) <= 2 &&
           std::abs((a.top + a.bottom) - (b.top + b.bottom)) <= 2;
}

std::vector<std::wstring> ListItems(HWND dialog) {
    const HWND list = ::GetDlgItem(dialog, IDC_FILE_LIST);
    const int count = static_cast<int>(::SendMessageW(list, LVM_GETITEMCOUNT, 0, 0));
    std::vector<std::wstring> items;
    for (int i = 0; i < count; ++i) {
        std::wstring text(33000, L'\0');
        LVITEMW item{};
        item.pszText = text.data();
        item.cchTextMax = static_cast<int>(text.size());
        text.resize(static_cast<std::size_t>(
            ::SendMessageW(list, LVM_GETITEMTEXTW, i, reinterpret_cast<LPARAM>(&item))));
        items.push_back(text);
    }
    return items;
}

std::vector<std::vector<std::wstring>> ReportRows(HWND dialog, int columns) {
    const HWND list = ::GetDlgItem(dialog, IDC_REPORT_LIST);
    const int count = static_cast<int>(::SendMessageW(list, LVM_GETITEMCOUNT, 0, 0));
    std::vector<std::vector<std::wstring>> rows(static_cast<std::size_t>(count));
    for (int i = 0; i < count; ++i) {
        for (int column = 0; column < columns; ++column) {
            std::wstring text(4096, L'\0');
            LVITEMW item{};
            item.iSubItem = column;
            item.pszText = text.data();
            item.cchTextMax = static_cast<int>(text.size());
            text.resize(static_cast<std::size_t>(
                ::SendMessageW(list, LVM_GETITEMTEXTW, i, reinterpret_cast<LPARAM>(&item))));
            rows[static_cast<std::size_t>(i)].push_back(text);
        }
    }
    return rows;
}

void SelectItems(HWND dialog, const std::vector<int>& indices) {
    const HWND list = ::GetDlgItem(dialog, IDC_FILE_LIST);
    LVITEMW state{};
    state.stateMask = LVIS_SELECTED;
    state.state = 0;
    ::SendMessageW(list, LVM_SETITEMSTATE, static_cast<WPARAM>(-1),
                   reinterpret_cast<LPARAM>(&state));
    for (int index : indices) {
        state.state = LVIS_SELECTED;
        ::SendMessageW(list, LVM_SETITEMSTATE, static_cast<WPARAM>(index),
                       reinterpret_cast<LPARAM>(&state));
    }
}

void DropFiles(HWND dialog, const std::vector<std::wstring>& paths) {
    std::wstring names;
    for (const auto& path : paths) {
        names += path;
        names += L'\0';
    }
    names += L'\0';
    const std::size_t bytes = sizeof(DROPFILES) + names.size() * sizeof(wchar_t);
    const HGLOBAL memory = ::GlobalAlloc(GHND, bytes);
    ASSERT_NE(memory, nullptr);
    auto* header = static_cast<DROPFILES*>(::GlobalLock(memory));
    header->pFiles = sizeof(DROPFILES);
    header->fWide = TRUE;
    std::memcpy(reinterpret_cast<char*>(header) + sizeof(DROPFILES), names.data(),
                names.size() * sizeof(wchar_t));
    ::GlobalUnlock(memory);
    // The receiver owns the drop and frees it with DragFinish.
    ::SendMessageW(dialog, WM_DROPFILES, reinterpret_cast<WPARAM>(memory), 0);
}

fs::path Long(const fs::path& path) {
    return LongPath(path);
}

void WriteFile(const fs::path& path, const Bytes& bytes) {
    WriteBytes(Long(path), bytes);
}

Bytes ReadFile(const fs::path& path) {
    return ReadBytes(Long(path));
}

bool Exists(const fs::path& path) {
    std::error_code error;
    return fs::exists(Long(path), error);
}

std::vector<std::wstring> FolderNames(const fs::path& folder) {
    std::vector<std::wstring> names;
    std::error_code error;
    for (const auto& entry : fs::directory_iterator(Long(folder), error))
        names.push_back(entry.path().filename().wstring());
    std::sort(names.begin(), names.end());
    return names;
}

std::optional<std::u16string> SignatureOf(const fs::path& path) {
    UniqueFile file = OpenFile(Long(path), "rb");
    if (!file)
        return std::nullopt;
    return ReadSignatureText(file.get());
}

// ---------------------------------------------------------------------------------------------

void SigningGuiTest::SetUp() {
    ASSERT_TRUE(session.Started());
    Click(session.StepWindow(), IDC_ADD_SIGNATURE);
    ASSERT_EQ(session.StepClass(), "CWizardStepTwoEncode");
}

void SigningGuiTest::TearDown() {
    EXPECT_EQ(session.Seam().unscripted, 0);
}

CWizardStepTwoEncode* SigningGuiTest::AddStep() {
    return dynamic_cast<CWizardStepTwoEncode*>(session.Step());
}

void SigningGuiTest::Type(int id, const std::wstring& text) {
    ::SendMessageW(Ctl(id), EM_SETSEL, 0, -1);
    ::SendMessageW(Ctl(id), EM_REPLACESEL, TRUE, reinterpret_cast<LPARAM>(text.c_str()));
}

void SigningGuiTest::OpenFileList(std::function<void(HWND dialog)> act) {
    CModalScript script(kListCaption, [&act](HWND dialog) {
        if (act)
            act(dialog);
        else
            Click(dialog, IDOK);
    });
    Click(StepWindow(), IDC_SELECT_FILES);
    EXPECT_TRUE(script.Ran()) << "the file list dialog did not show";
}

void SigningGuiTest::SelectFiles(const std::vector<std::wstring>& paths) {
    if (AddStep()->FileList().empty()) {
        Seam().ChooseFiles(paths);
        OpenFileList();
        return;
    }
    OpenFileList([&](HWND dialog) {
        Seam().ChooseFiles(paths);
        Click(dialog, IDC_ADD_FILES);
        Click(dialog, IDOK);
    });
}

void SigningGuiTest::Answer(int button) {
    AnswerWith([button] { return button; });
}

void SigningGuiTest::AnswerWith(std::function<int()> act) {
    Seam().OnMessageBox([this, act = std::move(act)](const CScriptedSeam::MessageBoxCall& call) {
        log.push_back(L"box " + call.caption + L" " + std::to_wstring(call.type) + L": " +
                      call.text);
        return act();
    });
}

std::vector<std::wstring> SigningGuiTest::MakeFiles(const fs::path& folder,
                                                    const std::vector<std::wstring>& names) {
    std::error_code ignored;
    fs::create_directories(Long(folder), ignored);
    std::vector<std::wstring> paths;
    std::uint32_t seed = 1;
    for (const auto& name : names) {
        const fs::path path = folder / name;
        WriteFile(path, PatternBytes(100 + 37 * seed, seed));
        ++seed;
        paths.push_back(path.wstring());
    }
    return paths;
}
