#include "EncProgress.h"

#include "resource.h"

IMPLEMENT_DYNAMIC(CEncProgress, CPageDialog)

BEGIN_MESSAGE_MAP(CEncProgress, CPageDialog)
ON_BN_CLICKED(IDC_CANCEL_SIGNING, OnCancelSigning)
END_MESSAGE_MAP()

CEncProgress::CEncProgress(CWnd* pParent) : CPageDialog(IDD_ENC_PROGRESS, pParent, false) {}

CEncProgress::~CEncProgress() = default;

void CEncProgress::DoDataExchange(CDataExchange* pDX) {
    CPageDialog::DoDataExchange(pDX);
    DDX_Control(pDX, IDC_PROGRESS, m_progress);
    DDX_Control(pDX, IDC_PROGRESS_STATUS, m_status);
    DDX_Control(pDX, IDC_CANCEL_SIGNING, m_btnCancel);
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

void CEncProgress::StartBar(std::size_t files) {
    m_progress.SetRange32(0, static_cast<int>((files + 1) * kProgressUnitsPerFile));
    m_progress.SetPos(0);
    m_units = 0;
}

void CEncProgress::ShowFileProgress(std::size_t position, std::uint64_t copied,
                                    std::uint64_t size) {
    const auto done = size == 0 ? 0 : static_cast<int>(copied * kProgressUnitsPerFile / size);
    const int units = static_cast<int>(position - 1) * kProgressUnitsPerFile + done;
    if (units != m_units)
        m_progress.SetPos(units);
    m_units = units;
}

BOOL CEncProgress::PreTranslateMessage(MSG* pMsg) {
    // Enter would press the focused Cancel button: only a click or Space cancels.
    const bool key =
        pMsg->message == WM_KEYDOWN || pMsg->message == WM_KEYUP || pMsg->message == WM_CHAR;
    if (key && (pMsg->wParam == VK_RETURN || pMsg->wParam == VK_ESCAPE))
        return TRUE;
    return CPageDialog::PreTranslateMessage(pMsg);
}

void CEncProgress::OnCancelSigning() {
    m_btnCancel.EnableWindow(FALSE);
    if (m_onCancel)
        m_onCancel();
}
