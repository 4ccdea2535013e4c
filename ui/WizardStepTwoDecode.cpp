#include "WizardStepTwoDecode.h"

#include "AfxDlgs.h"
#include "AfxDrop.h"
#include "FileOps.h"
#include "Signature.h"
#include "TextConvert.h"
#include "resource.h"

#include <filesystem>
#include <optional>

namespace {

constexpr wchar_t kCannotOpen[] = L"Could not open file!";
constexpr wchar_t kNoSignature[] = L"No signature found in selected file!";
constexpr wchar_t kCaptionError[] = L"Error";
constexpr wchar_t kFilter[] = L"All Files (*.*)|*.*||";

} // namespace

IMPLEMENT_DYNAMIC(CWizardStepTwoDecode, CWizardStep)

BEGIN_MESSAGE_MAP(CWizardStepTwoDecode, CWizardStep)
ON_BN_CLICKED(IDC_SELECT_FILE, OnSelectFile)
ON_BN_CLICKED(IDC_GO_BACK, OnBack)
ON_MESSAGE(WM_DROPFILES, OnDropFiles)
END_MESSAGE_MAP()

CWizardStepTwoDecode::CWizardStepTwoDecode(CWnd* pParent, IWizardHost& host)
    : CWizardStep(IDD_WIZARD_STEP_TWO_DECODE, pParent, host) {}

void CWizardStepTwoDecode::DoDataExchange(CDataExchange* pDX) {
    CWizardStep::DoDataExchange(pDX);
    DDX_Control(pDX, IDC_SIGNATURE_VIEW, m_editSignature);
}

BOOL CWizardStepTwoDecode::OnInitDialog() {
    CWizardStep::OnInitDialog();
    m_editSignature.ModifyStyleEx(0, WS_EX_RIGHT);
    m_editSignature.ModifyStyle(0, ES_AUTOVSCROLL | ES_AUTOHSCROLL);
    AfxAcceptDroppedFiles(m_hWnd);
    return TRUE;
}

void CWizardStepTwoDecode::OnSelectFile() {
    CFileDialog dialog(TRUE, nullptr, nullptr,
                       OFN_HIDEREADONLY | OFN_PATHMUSTEXIST | OFN_FILEMUSTEXIST | OFN_ENABLESIZING,
                       kFilter, this);
    if (dialog.DoModal() != IDOK) {
        m_editSignature.SetWindowText(L"");
        return;
    }
    CheckFile(dialog.GetPathName());
}

LRESULT CWizardStepTwoDecode::OnDropFiles(WPARAM wParam, LPARAM) {
    const std::vector<std::wstring> paths = AfxTakeDroppedFiles(wParam);
    for (const std::wstring& path : paths) {
        if (!IsDirectory(std::filesystem::path(path))) {
            CheckFile(path);
            return 0;
        }
    }
    // Only folders: checking the first says that it cannot be opened as a file.
    if (!paths.empty())
        CheckFile(paths.front());
    return 0;
}

void CWizardStepTwoDecode::CheckFile(const std::wstring& path) {
    std::optional<std::u16string> text;
    {
        // Opened as signing opens files, so that every copy it writes can be checked.
        UniqueFile file = OpenForReading(std::filesystem::path(path));
        if (!file) {
            MessageBox(kCannotOpen, kCaptionError, MB_OK);
            return;
        }
        text = ReadSignatureText(file.get());
    } // the file is closed before anything is shown
    if (!text) {
        m_editSignature.SetWindowText(L"");
        MessageBox(kNoSignature, kCaptionError, MB_OK);
        return;
    }
    m_editSignature.SetWindowText(ToWide(*text));
}

void CWizardStepTwoDecode::OnBack() {
    SwitchTo(&IWizardHost::ShowHomeStep);
}
