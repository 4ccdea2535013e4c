// The check-signature step: pick one file, or drop it onto the step, and see the signature it
// carries.
#pragma once

#include "AfxCtrls.h"
#include "WizardStep.h"

#include <string>
#include <vector>

class CWizardStepTwoDecode : public CWizardStep {
    DECLARE_DYNAMIC(CWizardStepTwoDecode)
public:
    CWizardStepTwoDecode(CWnd* pParent, IWizardHost& host);

    // Shows the signature of the file at `path`, or says why there is none, as when the file
    // is chosen with "Select File".
    void CheckFile(const std::wstring& path);
    // One file as CheckFile; several files, or folders (their own files), in a list of each
    // file's state, text and signing time.
    void CheckPaths(const std::vector<std::wstring>& paths);

    CEdit m_editSignature;

protected:
    DECLARE_MESSAGE_MAP()

    void DoDataExchange(CDataExchange* pDX) override;
    BOOL OnInitDialog() override;

    void OnSelectFile();
    void OnBack();
    // Files dropped from Explorer: as CheckPaths.
    LRESULT OnDropFiles(WPARAM wParam, LPARAM lParam);
};
