// The add-signature step: files, output folder and signature text, then "Encrypt Files".
#pragma once

#include "AfxWin.h"

class CWizardStepTwoEncode : public CDialog {
    DECLARE_DYNAMIC(CWizardStepTwoEncode)
public:
    explicit CWizardStepTwoEncode(CWnd* pParent);
    ~CWizardStepTwoEncode() override;

protected:
    DECLARE_MESSAGE_MAP()

    // Enter and Esc never close a step.
    void OnOK() override {}
    void OnCancel() override {}
    // A step belongs to its window.
    void PostNcDestroy() override { delete this; }

    void OnBack();
};
