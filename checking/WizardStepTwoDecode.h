// The check-signature step: pick one file and see the signature it carries.
#pragma once

#include "AfxWin.h"

class CWizardStepTwoDecode : public CDialog {
    DECLARE_DYNAMIC(CWizardStepTwoDecode)
public:
    explicit CWizardStepTwoDecode(CWnd* pParent);
    ~CWizardStepTwoDecode() override;

protected:
    DECLARE_MESSAGE_MAP()

    // Enter and Esc never close a step.
    void OnOK() override {}
    void OnCancel() override {}
    // A step belongs to its window.
    void PostNcDestroy() override { delete this; }

    void OnBack();
};
