#include "WizardStep.h"

IMPLEMENT_DYNAMIC(CWizardStep, CPageDialog)

CWizardStep::CWizardStep(UINT nIDTemplate, CWnd* pParent, IWizardHost& host)
    : CPageDialog(nIDTemplate, pParent, true), m_host(host) {}

void CWizardStep::SwitchTo(ShowStep show) {
    // The next step is current before this one goes; destroying the window deletes this
    // object, so it is the last action.
    if ((m_host.*show)())
        DestroyWindow();
}
