#include "EncProgress.h"

#include "resource.h"

IMPLEMENT_DYNAMIC(CEncProgress, CDialog)

BEGIN_MESSAGE_MAP(CEncProgress, CDialog)
END_MESSAGE_MAP()

CEncProgress::CEncProgress(CWnd* pParent) : CDialog(IDD_ENC_PROGRESS, pParent) {}

CEncProgress::~CEncProgress() = default;

void CEncProgress::DoDataExchange(CDataExchange* pDX) {
    CDialog::DoDataExchange(pDX);
    DDX_Control(pDX, IDC_PROGRESS, m_progress);
    DDX_Control(pDX, IDC_PROGRESS_STATUS, m_status);
}
