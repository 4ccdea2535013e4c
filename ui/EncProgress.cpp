#include "EncProgress.h"

#include "resource.h"

IMPLEMENT_DYNAMIC(CEncProgress, CPageDialog)

BEGIN_MESSAGE_MAP(CEncProgress, CPageDialog)
END_MESSAGE_MAP()

CEncProgress::CEncProgress(CWnd* pParent) : CPageDialog(IDD_ENC_PROGRESS, pParent, false) {}

CEncProgress::~CEncProgress() = default;

void CEncProgress::DoDataExchange(CDataExchange* pDX) {
    CPageDialog::DoDataExchange(pDX);
    DDX_Control(pDX, IDC_PROGRESS, m_progress);
    DDX_Control(pDX, IDC_PROGRESS_STATUS, m_status);
}

BOOL CEncProgress::OnInitDialog() {
    CPageDialog::OnInitDialog();
    // The status line spans the bar, so that "Signing file 1234 of 5678" is not cut off.
    RECT bar{};
    RECT status{};
    m_progress.GetWindowRect(&bar);
    m_status.GetWindowRect(&status);
    ::MapWindowPoints(nullptr, m_hWnd, reinterpret_cast<POINT*>(&bar), 2);
    ::MapWindowPoints(nullptr, m_hWnd, reinterpret_cast<POINT*>(&status), 2);
    m_status.SetWindowPos(nullptr, bar.left, status.top, bar.right - bar.left,
                          status.bottom - status.top, SWP_NOZORDER | SWP_NOACTIVATE);
    CenterWindow();
    return TRUE;
}
