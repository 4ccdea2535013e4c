// The home step: "Add Signature" and "Check Signature".
#pragma once

#include "AfxWin.h"

class CWizardStepOne : public CDialog {
    DECLARE_DYNAMIC(CWizardStepOne)
public:
    explicit CWizardStepOne(CWnd* pParent);
    ~CWizardStepOne() override;

protected:
    DECLARE_MESSAGE_MAP()

    // Enter and Esc never close a step.
    void OnOK() override {}
    void OnCancel() override {}
    // A step belongs to its window.
    void PostNcDestroy() override { delete this; }

    void OnAddSignature();
    void OnCheckSignature();
};
