#include "WizardStepTwoDecode.h"

#include "MainApp.h"
#include "resource.h"

IMPLEMENT_DYNAMIC(CWizardStepTwoDecode, CDialog)

BEGIN_MESSAGE_MAP(CWizardStepTwoDecode, CDialog)
ON_BN_CLICKED(IDC_GO_BACK, OnBack)
END_MESSAGE_MAP()

CWizardStepTwoDecode::CWizardStepTwoDecode(CWnd* pParent)
    : CDialog(IDD_WIZARD_STEP_TWO_DECODE, pParent) {}

CWizardStepTwoDecode::~CWizardStepTwoDecode() = default;

void CWizardStepTwoDecode::OnBack() {
    // The home step is current before this one goes; destroying the window deletes this
    // object, so it is the last action.
    if (GetMainApp()->ShowHomeStep())
        DestroyWindow();
}
