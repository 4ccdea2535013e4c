#include "WizardStepTwoDecode.h"

#include "AfxDlgs.h"
#include "FileIo.h"
#include "MainApp.h"
#include "SigCodeTable.h"
#include "Signature.h"
#include "resource.h"

#include <shellapi.h>

#include <memory>
#include <type_traits>
#include <vector>

namespace {

constexpr wchar_t kCannotOpen[] = L"Could not open file!";
constexpr wchar_t kNoSignature[] = L"No signature found in selected file!";
constexpr wchar_t kCaptionError[] = L"Error";
constexpr wchar_t kFilter[] = L"All Files (*.*)|*.*||";

// The trailer holds UTF-16LE code units, which are Windows' wchar_t.
static_assert(sizeof(wchar_t) == 2);

struct DropFinisher {
    void operator()(HDROP drop) const { ::DragFinish(drop); }
};
using UniqueDrop = std::unique_ptr<std::remove_pointer_t<HDROP>, DropFinisher>;

std::wstring DroppedName(HDROP drop, UINT index) {
    const UINT length = ::DragQueryFileW(drop, index, nullptr, 0);
    std::wstring name(static_cast<std::size_t>(length) + 1, L'\0');
    name.resize(::DragQueryFileW(drop, index, name.data(), length + 1));
    return name;
}

bool IsFolder(const std::wstring& path) {
    const DWORD attributes = ::GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
}

} // namespace

IMPLEMENT_DYNAMIC(CWizardStepTwoDecode, CDialog)

BEGIN_MESSAGE_MAP(CWizardStepTwoDecode, CDialog)
ON_BN_CLICKED(IDC_SELECT_FILE, OnSelectFile)
ON_BN_CLICKED(IDC_GO_BACK, OnBack)
ON_MESSAGE(WM_DROPFILES, OnDropFiles)
END_MESSAGE_MAP()

CWizardStepTwoDecode::CWizardStepTwoDecode(CWnd* pParent)
    : CDialog(IDD_WIZARD_STEP_TWO_DECODE, pParent) {}

CWizardStepTwoDecode::~CWizardStepTwoDecode() = default;

void CWizardStepTwoDecode::DoDataExchange(CDataExchange* pDX) {
    CDialog::DoDataExchange(pDX);
    DDX_Control(pDX, IDC_SIGNATURE_VIEW, m_editSignature);
}

BOOL CWizardStepTwoDecode::OnInitDialog() {
    CDialog::OnInitDialog();
    const LONG exStyle = ::GetWindowLongW(m_editSignature, GWL_EXSTYLE);
    ::SetWindowLongW(m_editSignature, GWL_EXSTYLE, exStyle | WS_EX_RIGHT);
    m_editSignature.ModifyStyle(0, ES_AUTOVSCROLL | ES_AUTOHSCROLL);
    ::DragAcceptFiles(m_hWnd, TRUE);
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
    std::wstring path;
    {
        const UniqueDrop drop(reinterpret_cast<HDROP>(wParam));
        const UINT count = ::DragQueryFileW(drop.get(), 0xFFFFFFFF, nullptr, 0);
        for (UINT i = 0; i < count && path.empty(); ++i) {
            std::wstring name = DroppedName(drop.get(), i);
            if (!IsFolder(name))
                path = std::move(name);
        }
        // Only folders: checking the first says that it cannot be opened as a file.
        if (path.empty() && count > 0)
            path = DroppedName(drop.get(), 0);
    }
    if (!path.empty())
        CheckFile(path);
    return 0;
}

void CWizardStepTwoDecode::CheckFile(const std::wstring& path) {
    std::vector<wchar_t> text;
    {
        UniqueFile file = OpenFile(path, "rb");
        if (!file) {
            MessageBox(kCannotOpen, kCaptionError, MB_OK);
            return;
        }
        // The buffer is sized from the length the trailer reports, so every text the writer
        // can store is shown in full.
        CSigCodeTable table;
        const std::size_t bytes = ReadSignature(table, file.get(), nullptr, 0);
        if (bytes != 0) {
            text.assign(bytes / 2 + 1, L'\0');
            if (ReadSignature(table, file.get(), text.data(), text.size() * sizeof(wchar_t)) !=
                bytes)
                text.clear();
        }
    } // the file is closed before anything is shown
    if (text.empty()) {
        m_editSignature.SetWindowText(L"");
        MessageBox(kNoSignature, kCaptionError, MB_OK);
        return;
    }
    m_editSignature.SetWindowText(text.data());
}

void CWizardStepTwoDecode::OnBack() {
    // The home step is current before this one goes; destroying the window deletes this
    // object, so it is the last action.
    if (GetMainApp()->ShowHomeStep())
        DestroyWindow();
}
