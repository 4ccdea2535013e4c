#include "LinkStatic.h"

#include <commctrl.h>

BEGIN_MESSAGE_MAP(CLinkStatic, CStatic)
ON_WM_CTLCOLOR_REFLECT()
END_MESSAGE_MAP()

namespace {

bool ClicksTheLink(WPARAM key) {
    return key == VK_RETURN || key == VK_SPACE;
}

// A static control answers neither keys nor focus: these few messages make it a link.
LRESULT CALLBACK KeyboardLink(HWND hWnd, UINT message, WPARAM wParam, LPARAM lParam, UINT_PTR,
                              DWORD_PTR) {
    switch (message) {
    case WM_GETDLGCODE: {
        // Enter and Space come to the link instead of pressing the dialog's default button.
        const auto* msg = reinterpret_cast<const MSG*>(lParam);
        if (msg != nullptr && msg->message == WM_KEYDOWN && ClicksTheLink(msg->wParam))
            return DLGC_WANTMESSAGE;
        return ::DefSubclassProc(hWnd, message, wParam, lParam);
    }
    case WM_KEYDOWN:
        if (ClicksTheLink(wParam)) {
            ::SendMessageW(::GetParent(hWnd), WM_COMMAND,
                           MAKEWPARAM(::GetDlgCtrlID(hWnd), STN_CLICKED),
                           reinterpret_cast<LPARAM>(hWnd));
            return 0;
        }
        break;
    case WM_SETFOCUS:
    case WM_KILLFOCUS:
        ::InvalidateRect(hWnd, nullptr, TRUE);
        break;
    case WM_PAINT: {
        const LRESULT result = ::DefSubclassProc(hWnd, message, wParam, lParam);
        if (::GetFocus() == hWnd) {
            RECT rect{};
            ::GetClientRect(hWnd, &rect);
            if (HDC dc = ::GetDC(hWnd)) {
                ::DrawFocusRect(dc, &rect);
                ::ReleaseDC(hWnd, dc);
            }
        }
        return result;
    }
    case WM_NCDESTROY:
        ::RemoveWindowSubclass(hWnd, KeyboardLink, 0);
        break;
    default:
        break;
    }
    return ::DefSubclassProc(hWnd, message, wParam, lParam);
}

} // namespace

CLinkStatic::CLinkStatic() = default;

CLinkStatic::~CLinkStatic() = default;

void CLinkStatic::AcceptKeyboard() {
    if (m_hWnd)
        ::SetWindowSubclass(m_hWnd, KeyboardLink, 0, 0);
}

HBRUSH CLinkStatic::CtlColor(CDC* pDC, UINT) {
    pDC->SetBkColor(::GetSysColor(COLOR_BTNFACE));
    pDC->SetTextColor(::GetSysColor(COLOR_HOTLIGHT));
    return ::GetSysColorBrush(COLOR_BTNFACE);
}
