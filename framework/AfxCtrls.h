// Thin, non-owning wrappers of the common controls: a window handle (bound by DDX_Control)
// and the few messages the program sends.
#pragma once

#include "AfxWin.h"

#include <commctrl.h>

class CStatic : public CWnd {};

class CButton : public CWnd {};

class CEdit : public CWnd {
public:
    void SetReadOnly(BOOL bReadOnly = TRUE) { SendMessage(EM_SETREADONLY, bReadOnly); }
    void SetLimitText(UINT nMax) { SendMessage(EM_SETLIMITTEXT, nMax); }
    void GetSel(int& nStart, int& nEnd) const {
        DWORD start = 0;
        DWORD end = 0;
        SendMessage(EM_GETSEL, reinterpret_cast<WPARAM>(&start), reinterpret_cast<LPARAM>(&end));
        nStart = static_cast<int>(start);
        nEnd = static_cast<int>(end);
    }
    void SetSel(int nStart, int nEnd) { SendMessage(EM_SETSEL, static_cast<WPARAM>(nStart), nEnd); }
};

class CProgressCtrl : public CWnd {
public:
    void SetRange32(int nLower, int nUpper) {
        SendMessage(PBM_SETRANGE32, static_cast<WPARAM>(nLower), nUpper);
    }
    int SetPos(int nPos) {
        return static_cast<int>(SendMessage(PBM_SETPOS, static_cast<WPARAM>(nPos)));
    }
    int SetStep(int nStep) {
        return static_cast<int>(SendMessage(PBM_SETSTEP, static_cast<WPARAM>(nStep)));
    }
    int StepIt() { return static_cast<int>(SendMessage(PBM_STEPIT)); }
};

class CListCtrl : public CWnd {
public:
    int GetItemCount() const { return static_cast<int>(SendMessage(LVM_GETITEMCOUNT)); }
    UINT GetSelectedCount() const { return static_cast<UINT>(SendMessage(LVM_GETSELECTEDCOUNT)); }
    int GetNextItem(int nItem, int nFlags) const {
        return static_cast<int>(
            SendMessage(LVM_GETNEXTITEM, static_cast<WPARAM>(nItem), MAKELPARAM(nFlags, 0)));
    }
    int InsertColumn(int nCol, const std::wstring& heading, int nFormat = LVCFMT_LEFT,
                     int nWidth = -1) {
        LVCOLUMNW column{};
        column.mask = LVCF_TEXT | LVCF_FMT | (nWidth >= 0 ? LVCF_WIDTH : 0);
        column.fmt = nFormat;
        column.cx = nWidth;
        column.pszText = const_cast<wchar_t*>(heading.c_str());
        return static_cast<int>(SendMessage(LVM_INSERTCOLUMNW, static_cast<WPARAM>(nCol),
                                            reinterpret_cast<LPARAM>(&column)));
    }
    int InsertItem(int nItem, const std::wstring& text) {
        LVITEMW item{};
        item.mask = LVIF_TEXT;
        item.iItem = nItem;
        item.pszText = const_cast<wchar_t*>(text.c_str());
        return static_cast<int>(SendMessage(LVM_INSERTITEMW, 0, reinterpret_cast<LPARAM>(&item)));
    }
    std::wstring GetItemText(int nItem, int nSubItem) const {
        // The control copies at most the room it is given: grow until the text fits.
        for (std::size_t size = 256;; size *= 2) {
            std::wstring text(size, L'\0');
            LVITEMW item{};
            item.iSubItem = nSubItem;
            item.pszText = text.data();
            item.cchTextMax = static_cast<int>(size);
            const auto length = static_cast<std::size_t>(SendMessage(
                LVM_GETITEMTEXTW, static_cast<WPARAM>(nItem), reinterpret_cast<LPARAM>(&item)));
            if (length + 1 < size) {
                text.resize(length);
                return text;
            }
        }
    }
    BOOL DeleteItem(int nItem) {
        return static_cast<BOOL>(SendMessage(LVM_DELETEITEM, static_cast<WPARAM>(nItem)));
    }
};
