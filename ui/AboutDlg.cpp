#include "AboutDlg.h"

#include "resource.h"

BEGIN_MESSAGE_MAP(CAboutDlg, CDialog)
ON_STN_CLICKED(IDC_WEB_LINK, OnLinkClicked)
END_MESSAGE_MAP()

CAboutDlg::CAboutDlg(IWizardHost& host) : CDialog(IDD_ABOUTBOX), m_host(host) {}

CAboutDlg::~CAboutDlg() = default;

void CAboutDlg::DoDataExchange(CDataExchange* pDX) {
    CDialog::DoDataExchange(pDX);
    DDX_Control(pDX, IDC_WEB_LINK, m_link);
}

BOOL CAboutDlg::OnInitDialog() {
    CDialog::OnInitDialog();

    // The link's own font, underlined.
    HGDIOBJ font = reinterpret_cast<HGDIOBJ>(m_link.SendMessage(WM_GETFONT));
    if (!font)
        font = ::GetStockObject(SYSTEM_FONT); // what a control without a font draws with
    LOGFONTW logFont{};
    if (::GetObjectW(font, sizeof logFont, &logFont) == sizeof logFont) {
        logFont.lfUnderline = TRUE;
        if (m_fontLink.CreateFontIndirect(&logFont))
            m_link.SendMessage(WM_SETFONT, reinterpret_cast<WPARAM>(m_fontLink.GetSafeHandle()),
                               TRUE);
    }
    m_link.AcceptKeyboard();
    return TRUE;
}

void CAboutDlg::OnLinkClicked() {
    m_host.OpenWebSite();
}
