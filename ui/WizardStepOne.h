// The home step: "Add Signature" and "Check Signature".
#pragma once

#include "WizardStep.h"

class CWizardStepOne : public CWizardStep {
    DECLARE_DYNAMIC(CWizardStepOne)
public:
    CWizardStepOne(CWnd* pParent, IWizardHost& host);

protected:
    DECLARE_MESSAGE_MAP()

    void OnAddSignature();
    void OnCheckSignature();
};
