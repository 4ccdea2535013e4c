#include "AfxDlgs.h"

CFileDialog::CFileDialog(BOOL, LPCWSTR lpszDefExt, LPCWSTR lpszFileName, DWORD dwFlags,
                         LPCWSTR lpszFilter, CWnd* pParentWnd)
    : m_pParentWnd(pParentWnd) {
    m_request.defaultExt = lpszDefExt ? lpszDefExt : L"";
    m_request.fileName = lpszFileName ? lpszFileName : L"";
    m_request.flags = dwFlags;
    m_request.filter = lpszFilter ? lpszFilter : L"";
}

INT_PTR CFileDialog::DoModal() {
    CWnd* parent = m_pParentWnd ? m_pParentWnd : AfxGetMainWnd();
    m_request.owner = parent ? parent->m_hWnd : nullptr;
    auto chosen = GetSeam().OpenFiles(m_request);
    if (!chosen || chosen->empty()) {
        m_paths.clear();
        return IDCANCEL;
    }
    m_paths = std::move(*chosen);
    return IDOK;
}

std::wstring CFileDialog::GetPathName() const {
    return m_paths.empty() ? std::wstring() : m_paths.front();
}
