#include "SelFilesDlg.h"

#include "AfxDrop.h"
#include "DroppedFiles.h"
#include "resource.h"

#include <memory>
#include <unordered_set>

IMPLEMENT_DYNAMIC(CSelFilesDlg, CDialog)

BEGIN_MESSAGE_MAP(CSelFilesDlg, CDialog)
ON_NOTIFY(LVN_ITEMCHANGED, IDC_FILE_LIST, OnItemChangedFiles)
ON_BN_CLICKED(IDC_REMOVE_FILES, OnRemove)
ON_BN_CLICKED(IDC_ADD_FILES, OnAdd)
ON_MESSAGE(WM_DROPFILES, OnDropFiles)
END_MESSAGE_MAP()

CSelFilesDlg::CSelFilesDlg(CWnd* pParent, std::vector<std::wstring>* pFileList)
    : CDialog(IDD_SEL_FILES, pParent), m_pFileList(pFileList) {}

CSelFilesDlg::~CSelFilesDlg() = default;

void CSelFilesDlg::DoDataExchange(CDataExchange* pDX) {
    CDialog::DoDataExchange(pDX);
    DDX_Control(pDX, IDC_FILE_LIST, m_listFiles);
    DDX_Control(pDX, IDC_REMOVE_FILES, m_btnRemove);
}

BOOL CSelFilesDlg::OnInitDialog() {
    CDialog::OnInitDialog();
    CenterWindow();
    m_listFiles.InsertColumn(0, L"Files", LVCFMT_LEFT, 800);
    for (const std::wstring& path : *m_pFileList)
        m_listFiles.InsertItem(m_listFiles.GetItemCount(), path);

    AfxAcceptDroppedFiles(m_hWnd);

    // A first "Select Files" leads straight to choosing files.
    if (m_pFileList->empty())
        OnAdd();
    return TRUE;
}

void CSelFilesDlg::OnAdd() {
    if (!m_pFileDialog) {
        m_pFileDialog = std::make_unique<CFileDialog>(TRUE, nullptr, nullptr,
                                                      OFN_HIDEREADONLY | OFN_ALLOWMULTISELECT |
                                                          OFN_PATHMUSTEXIST | OFN_FILEMUSTEXIST |
                                                          OFN_ENABLESIZING,
                                                      L"All Files (*.*)|*.*||", this);
    }
    if (m_pFileDialog->DoModal() != IDOK)
        return;
    AddPaths(m_pFileDialog->GetPathNames());
}

LRESULT CSelFilesDlg::OnDropFiles(WPARAM wParam, LPARAM) {
    AddPaths(FilesOfDrop(AfxTakeDroppedFiles(wParam)).files);
    return 0;
}

void CSelFilesDlg::AddPaths(const std::vector<std::wstring>& paths) {
    if (paths.empty())
        return;
    // Keys, not the list control's own search: that compares at most 260 characters, so
    // longer paths would never be found as duplicates.
    std::unordered_set<std::wstring> listed;
    const int count = m_listFiles.GetItemCount();
    for (int i = 0; i < count; ++i)
        listed.insert(PathKey(m_listFiles.GetItemText(i, 0)));

    // One repaint for a selection of thousands of files.
    m_listFiles.SendMessage(WM_SETREDRAW, FALSE);
    for (const std::wstring& path : paths) {
        if (listed.insert(PathKey(path)).second)
            m_listFiles.InsertItem(m_listFiles.GetItemCount(), path);
    }
    m_listFiles.SendMessage(WM_SETREDRAW, TRUE);
    ::InvalidateRect(m_listFiles.m_hWnd, nullptr, TRUE);
}

void CSelFilesDlg::OnRemove() {
    int selected = m_listFiles.GetNextItem(-1, LVNI_SELECTED);
    if (selected < 0)
        return;
    // Each deletion moves the later items up by one: the k-th selected item is then at its
    // index minus k.
    std::vector<int> positions;
    while (selected >= 0) {
        positions.push_back(selected - static_cast<int>(positions.size()));
        selected = m_listFiles.GetNextItem(selected, LVNI_SELECTED);
    }
    for (int position : positions)
        m_listFiles.DeleteItem(position);
    // The control does not always report deleted selected items as a change of selection.
    UpdateRemoveButton();
}

void CSelFilesDlg::OnItemChangedFiles(NMHDR*, LRESULT* pResult) {
    UpdateRemoveButton();
    *pResult = 0;
}

void CSelFilesDlg::UpdateRemoveButton() {
    m_btnRemove.EnableWindow(m_listFiles.GetSelectedCount() != 0);
}

void CSelFilesDlg::OnOK() {
    std::vector<std::wstring> files;
    const int count = m_listFiles.GetItemCount();
    files.reserve(static_cast<std::size_t>(count));
    for (int i = 0; i < count; ++i)
        files.push_back(m_listFiles.GetItemText(i, 0));
    m_pFileList->swap(files);
    m_pFileDialog.reset();
    CDialog::OnOK();
}
