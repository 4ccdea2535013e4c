#include "WizardStepTwoEncode.h"

#include "MainApp.h"
#include "resource.h"

IMPLEMENT_DYNAMIC(CWizardStepTwoEncode, CDialog)

BEGIN_MESSAGE_MAP(CWizardStepTwoEncode, CDialog)
ON_BN_CLICKED(IDC_BACK, OnBack)
END_MESSAGE_MAP()

CWizardStepTwoEncode::CWizardStepTwoEncode(CWnd* pParent)
    : CDialog(IDD_WIZARD_STEP_TWO_ENCODE, pParent) {}

CWizardStepTwoEncode::~CWizardStepTwoEncode() = default;

void CWizardStepTwoEncode::OnBack() {
    // The home step is current before this one goes; destroying the window deletes this
    // object, so it is the last action.
    if (GetMainApp()->ShowHomeStep())
        DestroyWindow();
}
