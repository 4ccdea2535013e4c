#include "AfxWin.h"

#include "Seam.h"

#include <cstdint>
#include <cstdio>
#include <iterator>
#include <set>
#include <string>

namespace {

CWinApp* g_pApp = nullptr;

std::wstring Hex(const void* value) {
    wchar_t text[2 * sizeof(void*) + 1];
    std::swprintf(text, std::size(text), L"%llx",
                  static_cast<unsigned long long>(reinterpret_cast<std::uintptr_t>(value)));
    return text;
}

} // namespace

IMPLEMENT_DYNAMIC(CWinApp, CCmdTarget)

BEGIN_MESSAGE_MAP(CWinApp, CCmdTarget)
ON_COMMAND(ID_APP_EXIT, OnAppExit)
END_MESSAGE_MAP()

CWinApp::CWinApp(const wchar_t* lpszAppName) {
    g_pApp = this;
    m_hInstance = ::GetModuleHandleW(nullptr);
    m_strAppName = lpszAppName ? lpszAppName : AfxLoadString(AFX_IDS_APP_TITLE);
    m_pszAppName = m_strAppName.c_str();
}

CWinApp::~CWinApp() {
    if (m_bOleStarted)
        ::OleUninitialize();
    if (m_bSocketsStarted)
        ::WSACleanup();
    if (g_pApp == this)
        g_pApp = nullptr;
}

int CWinApp::Run() {
    while (PumpMessage()) {
    }
    return ExitInstance();
}

int CWinApp::ExitInstance() {
    return m_nExitCode;
}

BOOL CWinApp::PreTranslateMessage(MSG* pMsg) {
    if (m_pMainWnd && m_pMainWnd->PreTranslateMessage(pMsg))
        return TRUE;
    // The windows of ours that hold the message's window, up to its top-level window.
    for (HWND hWnd = pMsg->hwnd; hWnd;) {
        CWnd* pWnd = CWnd::FromHandle(hWnd);
        if (pWnd && pWnd != m_pMainWnd && pWnd->PreTranslateMessage(pMsg))
            return TRUE;
        if (!(::GetWindowLongW(hWnd, GWL_STYLE) & WS_CHILD))
            break;
        hWnd = ::GetParent(hWnd);
    }
    return FALSE;
}

BOOL CWinApp::DispatchOne(MSG& msg) {
    if (!PreTranslateMessage(&msg)) {
        ::TranslateMessage(&msg);
        ::DispatchMessageW(&msg);
    }
    AfxRethrowPendingException();
    return TRUE;
}

BOOL CWinApp::PumpMessage() {
    MSG msg{};
    const BOOL got = ::GetMessageW(&msg, nullptr, 0, 0);
    if (got == -1)
        return FALSE;
    if (!got) {
        m_nExitCode = static_cast<int>(msg.wParam);
        return FALSE;
    }
    return DispatchOne(msg);
}

BOOL CWinApp::PumpWaitingMessages() {
    MSG msg{};
    while (::PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
        if (msg.message == WM_QUIT) {
            m_nExitCode = static_cast<int>(msg.wParam);
            return FALSE;
        }
        DispatchOne(msg);
    }
    return TRUE;
}

void CWinApp::OnAppExit() {
    if (m_pMainWnd)
        m_pMainWnd->SendMessage(WM_CLOSE);
}

CWinApp* AfxGetApp() {
    return g_pApp;
}

CWnd* AfxGetMainWnd() {
    return g_pApp ? g_pApp->m_pMainWnd : nullptr;
}

HINSTANCE AfxGetInstanceHandle() {
    return g_pApp ? g_pApp->m_hInstance : ::GetModuleHandleW(nullptr);
}

HINSTANCE AfxGetResourceHandle() {
    return AfxGetInstanceHandle();
}

int AfxWinMain(HINSTANCE hInstance, HINSTANCE, LPWSTR, int) {
    CWinApp* app = AfxGetApp();
    if (!app)
        return 1;
    app->m_hInstance = hInstance;
    if (!app->InitInstance()) {
        if (app->m_pMainWnd)
            app->m_pMainWnd->DestroyWindow();
        app->ExitInstance();
        return 1;
    }
    return app->Run();
}

std::wstring AfxLoadString(UINT nID) {
    const wchar_t* text = nullptr;
    const int length =
        ::LoadStringW(AfxGetResourceHandle(), nID, reinterpret_cast<LPWSTR>(&text), 0);
    return length > 0 ? std::wstring(text, static_cast<std::size_t>(length)) : std::wstring();
}

int AfxMessageBox(const std::wstring& text, UINT nType, UINT) {
    const CWnd* mainWnd = AfxGetMainWnd();
    const HWND owner = mainWnd && ::IsWindow(mainWnd->m_hWnd) ? mainWnd->m_hWnd : nullptr;
    const CWinApp* app = AfxGetApp();
    return GetSeam().MessageBox(owner, text, app ? app->m_pszAppName : L"", nType);
}

int AfxMessageBox(UINT nIDPrompt, UINT nType, UINT nIDHelp) {
    return AfxMessageBox(AfxLoadString(nIDPrompt), nType, nIDHelp);
}

LPCWSTR AfxRegisterWndClass(UINT nClassStyle, HCURSOR hCursor, HBRUSH hbrBackground, HICON hIcon) {
    const HINSTANCE instance = AfxGetInstanceHandle();
    std::wstring name = L"Afx:" + Hex(instance) + L":" + std::to_wstring(nClassStyle) + L":" +
                        Hex(hCursor) + L":" + Hex(hbrBackground) + L":" + Hex(hIcon);
    // The names stay valid for the life of the program: the classes stay registered.
    static std::set<std::wstring> registered;
    const auto found = registered.find(name);
    if (found != registered.end())
        return found->c_str();

    WNDCLASSEXW wc{};
    wc.cbSize = sizeof wc;
    wc.style = nClassStyle;
    wc.lpfnWndProc = &CWnd::AfxWndProc;
    wc.hInstance = instance;
    wc.hIcon = hIcon;
    wc.hCursor = hCursor;
    wc.hbrBackground = hbrBackground;
    wc.lpszClassName = name.c_str();
    if (!::RegisterClassExW(&wc) && ::GetLastError() != ERROR_CLASS_ALREADY_EXISTS)
        return nullptr;
    return registered.insert(std::move(name)).first->c_str();
}

BOOL AfxSocketInit() {
    CWinApp* app = AfxGetApp();
    if (!app || !GetSeam().StartSockets())
        return FALSE;
    if (app->m_bSocketsStarted)
        ::WSACleanup(); // started once already: keep one start to undo
    app->m_bSocketsStarted = true;
    return TRUE;
}

BOOL AfxOleInit() {
    CWinApp* app = AfxGetApp();
    if (!app || !GetSeam().StartOle())
        return FALSE;
    if (app->m_bOleStarted)
        ::OleUninitialize();
    app->m_bOleStarted = true;
    return TRUE;
}

void AfxEnableControlContainer() {}
