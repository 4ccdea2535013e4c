#include "WizardStepOne.h"

#include "MainApp.h"
#include "resource.h"

IMPLEMENT_DYNAMIC(CWizardStepOne, CDialog)

BEGIN_MESSAGE_MAP(CWizardStepOne, CDialog)
ON_BN_CLICKED(IDC_ADD_SIGNATURE, OnAddSignature)
ON_BN_CLICKED(IDC_CHECK_SIGNATURE, OnCheckSignature)
END_MESSAGE_MAP()

CWizardStepOne::CWizardStepOne(CWnd* pParent) : CDialog(IDD_WIZARD_STEP_ONE, pParent) {}

CWizardStepOne::~CWizardStepOne() = default;

void CWizardStepOne::OnAddSignature() {
    // The new step is current before this one goes; destroying the window deletes this object,
    // so it is the last action.
    if (GetMainApp()->ShowAddSignatureStep())
        DestroyWindow();
}

void CWizardStepOne::OnCheckSignature() {
    if (GetMainApp()->ShowCheckSignatureStep())
        DestroyWindow();
}
