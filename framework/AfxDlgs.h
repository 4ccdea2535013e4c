// The platform's open-file dialog in the framework's shape, through the seam (Seam.h).
#pragma once

#include "AfxWin.h"
#include "Seam.h"

#include <commdlg.h>

class CFileDialog {
public:
    // Only the open-file dialog is used; `bOpenFileDialog` keeps the framework's signature.
    explicit CFileDialog(BOOL bOpenFileDialog, LPCWSTR lpszDefExt = nullptr,
                         LPCWSTR lpszFileName = nullptr,
                         DWORD dwFlags = OFN_HIDEREADONLY | OFN_OVERWRITEPROMPT,
                         LPCWSTR lpszFilter = nullptr, CWnd* pParentWnd = nullptr);

    // IDOK when the user chose, IDCANCEL when not.
    INT_PTR DoModal();
    // The first chosen file's full path; empty before a successful DoModal.
    std::wstring GetPathName() const;
    // Every chosen file's full path, in the dialog's order.
    const std::vector<std::wstring>& GetPathNames() const { return m_paths; }

    OpenFileRequest m_request;

private:
    CWnd* m_pParentWnd;
    std::vector<std::wstring> m_paths;
};
