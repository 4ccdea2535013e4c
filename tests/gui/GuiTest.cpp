#include "GuiTest.h"

#include <algorithm>

bool PumpPending() {
    CWinApp* app = AfxGetApp();
    if (app)
        return app->PumpWaitingMessages();
    MSG msg{};
    while (::PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
        if (msg.message == WM_QUIT)
            return false;
        ::TranslateMessage(&msg);
        ::DispatchMessageW(&msg);
    }
    return true;
}

bool PumpUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        PumpPending();
        if (done())
            return true;
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0)
            return false;
        // Wake for the next message, and now and then for conditions outside the queue (a
        // file written by another process).
        const auto slice = std::min<long long>(left.count(), 50);
        ::MsgWaitForMultipleObjects(0, nullptr, FALSE, static_cast<DWORD>(slice), QS_ALLINPUT);
    }
}

void Click(HWND dialog, int id) {
    ::SendMessageW(Control(dialog, id), BM_CLICK, 0, 0);
}

void PressKey(UINT virtualKey) {
    const HWND target = ::GetFocus();
    const UINT scan = ::MapVirtualKeyW(virtualKey, MAPVK_VK_TO_VSC);
    ::PostMessageW(target, WM_KEYDOWN, virtualKey, 1 | (scan << 16));
    ::PostMessageW(target, WM_KEYUP, virtualKey, 1 | (scan << 16) | (3u << 30));
    PumpPending();
}

SIZE DialogUnitsToPixels(HWND dialog, int cx, int cy) {
    RECT rect{0, 0, cx, cy};
    ::MapDialogRect(dialog, &rect);
    return {rect.right, rect.bottom};
}

RECT WindowRect(HWND hWnd) {
    RECT rect{};
    ::GetWindowRect(hWnd, &rect);
    return rect;
}

RECT ClientRect(HWND hWnd) {
    RECT rect{};
    ::GetClientRect(hWnd, &rect);
    return rect;
}

std::wstring WindowText(HWND hWnd) {
    std::wstring text(static_cast<std::size_t>(::GetWindowTextLengthW(hWnd)) + 1, L'\0');
    text.resize(static_cast<std::size_t>(
        ::GetWindowTextW(hWnd, text.data(), static_cast<int>(text.size()))));
    return text;
}

HWND Control(HWND dialog, int id) {
    return ::GetDlgItem(dialog, id);
}

CDesktopSession::CDesktopSession(const std::wstring& commandLine)
    : CDesktopSession(commandLine, [](CScriptedSeam&) {}) {}

CDesktopSession::CDesktopSession(const std::wstring& commandLine,
                                 const std::function<void(CScriptedSeam&)>& script)
    : m_seam(std::make_unique<CScriptedSeam>()), m_app(std::make_unique<CMainApp>()) {
    script(*m_seam);
    m_app->m_szCommandLine = commandLine;
    m_started = m_app->InitInstance() != FALSE;
    PumpPending();
}

CDesktopSession::~CDesktopSession() {
    if (m_app->m_pMainWnd)
        m_app->m_pMainWnd->DestroyWindow();
    // The frame's end posts WM_QUIT; nothing may be left for the next test.
    while (!PumpPending()) {
    }
    m_app.reset();
}

std::string CDesktopSession::StepClass() {
    CDialog* step = Step();
    return step ? step->GetRuntimeClass()->m_lpszClassName : "";
}
