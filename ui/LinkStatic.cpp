#include "LinkStatic.h"

BEGIN_MESSAGE_MAP(CLinkStatic, CStatic)
ON_WM_CTLCOLOR_REFLECT()
END_MESSAGE_MAP()

CLinkStatic::CLinkStatic() : m_crBk(::GetSysColor(COLOR_BTNFACE)) {
    m_brushBk.CreateSolidBrush(m_crBk);
}

CLinkStatic::~CLinkStatic() = default;

void CLinkStatic::SetTextColor(COLORREF crText) {
    m_crText = crText;
    if (m_hWnd)
        ::RedrawWindow(m_hWnd, nullptr, nullptr, RDW_INVALIDATE | RDW_ERASE | RDW_UPDATENOW);
}

HBRUSH CLinkStatic::CtlColor(CDC* pDC, UINT) {
    pDC->SetBkColor(m_crBk);
    pDC->SetTextColor(m_crText);
    return m_brushBk;
}
