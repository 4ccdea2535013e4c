// A step of the wizard: a page inside the main frame that frees itself with its window and
// moves to another step through the host.
#pragma once

#include "AfxWin.h"
#include "WizardHost.h"

class CWizardStep : public CPageDialog {
    DECLARE_DYNAMIC(CWizardStep)
public:
    CWizardStep(UINT nIDTemplate, CWnd* pParent, IWizardHost& host);

protected:
    using ShowStep = bool (IWizardHost::*)();
    // Shows the next step through `show`, then destroys this one: this object is gone
    // afterwards. Nothing changes when the next step cannot be shown.
    void SwitchTo(ShowStep show);

    IWizardHost& m_host;
};
