// Drawing objects in the framework's shape: fonts and brushes that own their GDI handle, a
// non-owning device context, and the reflected colour request of a control.
#pragma once

#include "AfxWin.h"

// Owns one GDI object; it is deleted with the wrapper or by DeleteObject.
class CGdiObject : public CObject {
public:
    CGdiObject() = default;
    ~CGdiObject() override { DeleteObject(); }

    HGDIOBJ m_hObject = nullptr;

    HGDIOBJ GetSafeHandle() const { return m_hObject; }
    BOOL DeleteObject() {
        if (!m_hObject)
            return FALSE;
        const BOOL deleted = ::DeleteObject(m_hObject);
        m_hObject = nullptr;
        return deleted;
    }

protected:
    // Takes `handle` in place of the object held now; FALSE when there is none.
    BOOL Own(HGDIOBJ handle) {
        DeleteObject();
        m_hObject = handle;
        return handle != nullptr;
    }
};

class CFont : public CGdiObject {
public:
    BOOL CreateFontIndirect(const LOGFONTW* lpLogFont) {
        return Own(::CreateFontIndirectW(lpLogFont));
    }
    operator HFONT() const { return static_cast<HFONT>(m_hObject); }
};

class CBrush : public CGdiObject {
public:
    CBrush() = default;
    explicit CBrush(COLORREF crColor) { CreateSolidBrush(crColor); }
    BOOL CreateSolidBrush(COLORREF crColor) { return Own(::CreateSolidBrush(crColor)); }
    operator HBRUSH() const { return static_cast<HBRUSH>(m_hObject); }
};

// A device context someone else owns (the one a colour request or a paint message lends).
class CDC {
public:
    explicit CDC(HDC hDC = nullptr) : m_hDC(hDC) {}

    HDC m_hDC;

    COLORREF SetBkColor(COLORREF crColor) { return ::SetBkColor(m_hDC, crColor); }
    COLORREF SetTextColor(COLORREF crColor) { return ::SetTextColor(m_hDC, crColor); }
};

// The parent's WM_CTLCOLOR... request for this control, reflected to the control's own map
// (see CWnd::WindowProc): HBRUSH CtlColor(CDC* pDC, UINT nCtlColor), where nCtlColor is one of
// the CTLCOLOR_* values. A null brush leaves the request to the parent.
#define ON_WM_CTLCOLOR_REFLECT()                                                                   \
    {WM_REFLECT_BASE + WM_CTLCOLOR, 0, 0,                                                          \
     [](CCmdTarget* target, WPARAM wParam, LPARAM lParam) -> LRESULT {                             \
         CDC dc(reinterpret_cast<HDC>(wParam));                                                    \
         return reinterpret_cast<LRESULT>(                                                         \
             AFX_THIS(target)->CtlColor(&dc, static_cast<UINT>(lParam)));                          \
     }},
