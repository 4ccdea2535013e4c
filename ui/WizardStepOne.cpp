#include "WizardStepOne.h"

#include "resource.h"

IMPLEMENT_DYNAMIC(CWizardStepOne, CWizardStep)

BEGIN_MESSAGE_MAP(CWizardStepOne, CWizardStep)
ON_BN_CLICKED(IDC_ADD_SIGNATURE, OnAddSignature)
ON_BN_CLICKED(IDC_CHECK_SIGNATURE, OnCheckSignature)
END_MESSAGE_MAP()

CWizardStepOne::CWizardStepOne(CWnd* pParent, IWizardHost& host)
    : CWizardStep(IDD_WIZARD_STEP_ONE, pParent, host) {}

void CWizardStepOne::OnAddSignature() {
    SwitchTo(&IWizardHost::ShowAddSignatureStep);
}

void CWizardStepOne::OnCheckSignature() {
    SwitchTo(&IWizardHost::ShowCheckSignatureStep);
}
