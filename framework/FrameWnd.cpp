#include "AfxWin.h"

#include "Handles.h"

IMPLEMENT_DYNAMIC(CFrameWnd, CWnd)

BEGIN_MESSAGE_MAP(CFrameWnd, CWnd)
ON_WM_CREATE()
ON_MESSAGE(WM_INITMENUPOPUP, OnInitMenuPopup)
END_MESSAGE_MAP()

BOOL CFrameWnd::LoadFrame(UINT nIDResource, DWORD dwDefaultStyle, CWnd* pParentWnd, void*) {
    m_nIDResource = nIDResource;
    const HINSTANCE instance = AfxGetResourceHandle();
    const std::wstring title = AfxLoadString(nIDResource);
    UniqueMenu menu(::LoadMenuW(instance, MAKEINTRESOURCEW(nIDResource)));
    m_hAccelTable = ::LoadAcceleratorsW(instance, MAKEINTRESOURCEW(nIDResource));
    if (!CreateEx(0, nullptr, title.c_str(), dwDefaultStyle, CW_USEDEFAULT, CW_USEDEFAULT,
                  CW_USEDEFAULT, CW_USEDEFAULT, pParentWnd ? pParentWnd->m_hWnd : nullptr,
                  menu.get()))
        return FALSE;
    menu.release(); // the window owns it now
    return TRUE;
}

BOOL CFrameWnd::PreCreateWindow(CREATESTRUCTW& cs) {
    if (!cs.lpszClass) {
        const HINSTANCE instance = AfxGetResourceHandle();
        cs.lpszClass =
            AfxRegisterWndClass(CS_DBLCLKS, ::LoadCursorW(nullptr, IDC_ARROW),
                                reinterpret_cast<HBRUSH>(static_cast<INT_PTR>(COLOR_WINDOW + 1)),
                                ::LoadIconW(instance, MAKEINTRESOURCEW(m_nIDResource)));
    }
    cs.dwExStyle |= WS_EX_CLIENTEDGE;
    return TRUE;
}

int CFrameWnd::OnCreate(LPCREATESTRUCTW) {
    return 0;
}

BOOL CFrameWnd::PreTranslateMessage(MSG* pMsg) {
    if (!m_hAccelTable || pMsg->message < WM_KEYFIRST || pMsg->message > WM_KEYLAST)
        return FALSE;
    if (pMsg->hwnd != m_hWnd && !::IsChild(m_hWnd, pMsg->hwnd))
        return FALSE;
    return ::TranslateAcceleratorW(m_hWnd, m_hAccelTable, pMsg);
}

bool CFrameWnd::OnCmdMsg(UINT nID, int nCode, bool probeOnly) {
    if (CWnd::OnCmdMsg(nID, nCode, probeOnly))
        return true;
    CWinApp* app = AfxGetApp();
    return app && app->OnCmdMsg(nID, nCode, probeOnly);
}

LRESULT CFrameWnd::OnInitMenuPopup(WPARAM wParam, LPARAM lParam) {
    if (HIWORD(lParam)) // the system menu
        return DefWindowProc(WM_INITMENUPOPUP, wParam, lParam);
    const auto popup = reinterpret_cast<HMENU>(wParam);
    const int count = ::GetMenuItemCount(popup);
    for (int i = 0; i < count; ++i) {
        const UINT id = ::GetMenuItemID(popup, i);
        if (id == 0 || id == static_cast<UINT>(-1)) // separator or submenu
            continue;
        const bool handled = OnCmdMsg(id, 0, true);
        ::EnableMenuItem(popup, static_cast<UINT>(i),
                         MF_BYPOSITION | (handled ? MF_ENABLED : MF_GRAYED));
    }
    return 0;
}
