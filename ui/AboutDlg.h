// The About box: the program's name and version and a link to the maker's web site.
#pragma once

#include "AfxGdi.h"
#include "LinkStatic.h"
#include "WizardHost.h"

class CAboutDlg : public CDialog {
public:
    explicit CAboutDlg(IWizardHost& host);
    ~CAboutDlg() override;

protected:
    DECLARE_MESSAGE_MAP()

    void DoDataExchange(CDataExchange* pDX) override;
    BOOL OnInitDialog() override;
    void OnLinkClicked();

    CLinkStatic m_link; // control IDC_WEB_LINK
    CFont m_fontLink;   // the link's font, underlined
    IWizardHost& m_host;
};
