// The add-signature step: files, output folder and signature text, then "Encrypt Files".
#pragma once

#include "AfxCtrls.h"
#include "WizardStep.h"

#include <cstdint>
#include <string>
#include <vector>

class CWizardStepTwoEncode : public CWizardStep {
    DECLARE_DYNAMIC(CWizardStepTwoEncode)
public:
    CWizardStepTwoEncode(CWnd* pParent, IWizardHost& host);
    ~CWizardStepTwoEncode() override;

    // The folder that receives the signed copies, as last set by the step or the batch.
    const std::wstring& DestFolder() const { return m_szDestFolder; }
    // The files to sign, in the order the file list dialog left them.
    const std::vector<std::wstring>& FileList() const { return m_fileList; }
    // Shows `files` (full paths; a repeat, in any letter case, is listed once) as if "Select
    // Files" had ended with them: the list, the proposed output folder, the enabled controls.
    void SetFileList(const std::vector<std::wstring>& files);

protected:
    DECLARE_MESSAGE_MAP()

    void DoDataExchange(CDataExchange* pDX) override;
    BOOL OnInitDialog() override;
    void OnSelectFiles();
    void OnSignatureChanged();
    // Signs every file of the list into the output folder, then returns to the home step.
    void OnEncryptFiles();
    void OnBack();
    void OnBrowse();
    // The controls and the proposed output folder for the list as it now is.
    void OnFileListChanged();

    std::wstring m_szDestFolder;
    // The signature as it stood after its last accepted change, with its selection: a change
    // that makes it too long is undone to this.
    std::wstring m_lastSignature;
    int m_lastSelectionStart = 0;
    int m_lastSelectionEnd = 0;
    std::vector<std::wstring> m_fileList;
    // The size of each file of the list when it was listed, in the same order.
    std::vector<std::uint64_t> m_fileSizes;
    CStatic m_fileCount;
    CButton m_btnEncryptFiles;
    CEdit m_editSignature;
    CButton m_btnBrowse;
    CEdit m_editDestFolder;
};
