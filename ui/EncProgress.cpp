#include "EncProgress.h"

#include "LocaleText.h"
#include "Progress.h"
#include "resource.h"

#include <algorithm>

namespace {

constexpr UINT_PTR kTickTimer = 1;
constexpr UINT kTickMilliseconds = 250;

} // namespace

IMPLEMENT_DYNAMIC(CEncProgress, CPageDialog)

BEGIN_MESSAGE_MAP(CEncProgress, CPageDialog)
ON_BN_CLICKED(IDC_CANCEL_SIGNING, OnCancelSigning)
ON_MESSAGE(WM_TIMER, OnTimer)
END_MESSAGE_MAP()

CEncProgress::CEncProgress(CWnd* pParent) : CPageDialog(IDD_ENC_PROGRESS, pParent, false) {}

CEncProgress::~CEncProgress() = default;

void CEncProgress::DoDataExchange(CDataExchange* pDX) {
    CPageDialog::DoDataExchange(pDX);
    DDX_Control(pDX, IDC_PROGRESS, m_progress);
    DDX_Control(pDX, IDC_PROGRESS_STATUS, m_status);
    DDX_Control(pDX, IDC_PROGRESS_FILE, m_file);
    DDX_Control(pDX, IDC_PROGRESS_DONE, m_done);
    DDX_Control(pDX, IDC_PROGRESS_RATE, m_rate);
    DDX_Control(pDX, IDC_CANCEL_SIGNING, m_btnCancel);
}

BOOL CEncProgress::OnInitDialog() {
    CPageDialog::OnInitDialog();
    CenterWindow();
    ::SetTimer(m_hWnd, kTickTimer, kTickMilliseconds, nullptr);
    return TRUE;
}

LRESULT CEncProgress::OnTimer(WPARAM wParam, LPARAM) {
    if (wParam == kTickTimer && m_onTick)
        m_onTick();
    return 0;
}

void CEncProgress::StartRun(std::size_t files, std::uint64_t bytes) {
    m_files = files;
    m_bytes = bytes;
    m_started = ::GetTickCount64();
    m_progress.SetRange32(0, kProgressBarRange);
    m_progress.SetPos(0);
    m_position = 0;
    ShowDone(0, 0);
}

void CEncProgress::ShowFile(const std::wstring& path) {
    m_file.SetWindowText(path);
}

void CEncProgress::ShowDone(std::size_t files, std::uint64_t bytes) {
    // The engine's estimate, as quorvane-cli's progress line has it: files and bytes together.
    ProgressFacts facts;
    facts.filesDone = files;
    facts.filesKnown = m_files;
    facts.bytesDone = bytes;
    facts.bytesKnown = m_bytes;
    facts.seconds = static_cast<double>(::GetTickCount64() - m_started) / 1000.0;
    const ProgressEstimate estimate = Estimate(facts);
    const int position = static_cast<int>(estimate.fraction * kProgressBarRange);
    if (position != m_position) {
        m_progress.SetPos(position);
        m_position = position;
    }

    std::wstring doneText = FormatCount(files) + L" of " + FormatCount(m_files) + L" files, " +
                            FormatBytes(bytes) + L" of " + FormatBytes(m_bytes);
    if (doneText != m_doneText) {
        m_done.SetWindowText(doneText);
        m_doneText = std::move(doneText);
    }
    std::wstring rateText;
    if (estimate.bytesPerSecond && estimate.secondsLeft)
        rateText = FormatBytes(static_cast<std::uint64_t>(*estimate.bytesPerSecond)) + L"/s, " +
                   TimeLeft(*estimate.secondsLeft);
    if (rateText != m_rateText) {
        m_rate.SetWindowText(rateText);
        m_rateText = std::move(rateText);
    }
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
