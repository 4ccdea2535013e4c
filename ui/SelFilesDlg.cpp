#include "SelFilesDlg.h"

#include "AfxDrop.h"
#include "DroppedFiles.h"
#include "LocaleText.h"
#include "resource.h"

#include <algorithm>
#include <cwchar>

IMPLEMENT_DYNAMIC(CSelFilesDlg, CDialog)

BEGIN_MESSAGE_MAP(CSelFilesDlg, CDialog)
ON_NOTIFY(LVN_ITEMCHANGED, IDC_FILE_LIST, OnItemChangedFiles)
ON_NOTIFY(LVN_GETDISPINFOW, IDC_FILE_LIST, OnGetDispInfo)
ON_BN_CLICKED(IDC_REMOVE_FILES, OnRemove)
ON_BN_CLICKED(IDC_ADD_FILES, OnAdd)
ON_MESSAGE(WM_DROPFILES, OnDropFiles)
END_MESSAGE_MAP()

CSelFilesDlg::CSelFilesDlg(CWnd* pParent, std::vector<std::wstring>* pFileList,
                           std::vector<std::uint64_t>* pFileSizes)
    : CDialog(IDD_SEL_FILES, pParent), m_pFileList(pFileList), m_pFileSizes(pFileSizes) {}

CSelFilesDlg::~CSelFilesDlg() = default;

void CSelFilesDlg::DoDataExchange(CDataExchange* pDX) {
    CDialog::DoDataExchange(pDX);
    DDX_Control(pDX, IDC_FILE_LIST, m_listFiles);
    DDX_Control(pDX, IDC_REMOVE_FILES, m_btnRemove);
}

BOOL CSelFilesDlg::OnInitDialog() {
    CDialog::OnInitDialog();
    CenterWindow();
    // The sizes stay in view; a long path is shortened at its end.
    RECT client{};
    ::GetClientRect(m_listFiles.m_hWnd, &client);
    RECT sizeColumn{0, 0, 50, 0};
    ::MapDialogRect(m_hWnd, &sizeColumn);
    const int pathWidth = std::max<int>(
        client.right - sizeColumn.right - ::GetSystemMetrics(SM_CXVSCROLL), sizeColumn.right);
    m_listFiles.InsertColumn(0, L"Files", LVCFMT_LEFT, pathWidth);
    m_listFiles.InsertColumn(1, L"Size", LVCFMT_RIGHT, sizeColumn.right);
    const std::vector<std::wstring>& files = *m_pFileList;
    const bool sized = m_pFileSizes != nullptr && m_pFileSizes->size() == files.size();
    m_entries.reserve(files.size());
    for (std::size_t i = 0; i < files.size(); ++i) {
        m_keys.insert(PathKey(files[i]));
        m_entries.push_back({files[i], sized ? (*m_pFileSizes)[i] : FileSizeOf(files[i]), {}});
    }
    ShowCount();

    AfxAcceptDroppedFiles(m_hWnd);

    // A first "Select Files" leads straight to choosing files.
    if (m_pFileList->empty())
        OnAdd();
    return TRUE;
}

void CSelFilesDlg::ShowCount() {
    m_listFiles.SendMessage(LVM_SETITEMCOUNT, m_entries.size(), LVSICF_NOINVALIDATEALL);
    ::InvalidateRect(m_listFiles.m_hWnd, nullptr, TRUE);
}

void CSelFilesDlg::OnGetDispInfo(NMHDR* pNotifyStruct, LRESULT* pResult) {
    auto* info = reinterpret_cast<NMLVDISPINFOW*>(pNotifyStruct);
    *pResult = 0;
    const auto index = static_cast<std::size_t>(info->item.iItem);
    if (!(info->item.mask & LVIF_TEXT) || index >= m_entries.size() || info->item.cchTextMax <= 0)
        return;
    Entry& entry = m_entries[index];
    if (info->item.iSubItem == 1 && entry.sizeText.empty())
        entry.sizeText = FormatBytes(entry.size);
    const std::wstring& text = info->item.iSubItem == 0 ? entry.path : entry.sizeText;
    const std::size_t length =
        std::min(text.size(), static_cast<std::size_t>(info->item.cchTextMax - 1));
    std::wmemcpy(info->item.pszText, text.c_str(), length);
    info->item.pszText[length] = L'\0';
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
    const std::size_t before = m_entries.size();
    // Keys, not the list control's own search: that compares at most 260 characters, so
    // longer paths would never be found as duplicates; and a set, so that every path is
    // looked up once, however long the list.
    for (const std::wstring& path : paths) {
        if (m_keys.insert(PathKey(path)).second)
            m_entries.push_back({path, FileSizeOf(path), {}});
    }
    if (m_entries.size() != before)
        ShowCount();
}

void CSelFilesDlg::OnRemove() {
    std::vector<bool> removed(m_entries.size(), false);
    bool any = false;
    for (int i = m_listFiles.GetNextItem(-1, LVNI_SELECTED); i >= 0;
         i = m_listFiles.GetNextItem(i, LVNI_SELECTED)) {
        removed[static_cast<std::size_t>(i)] = true;
        any = true;
    }
    if (!any)
        return;
    // One pass over the list, however many rows go.
    std::size_t kept = 0;
    for (std::size_t i = 0; i < m_entries.size(); ++i) {
        if (removed[i])
            m_keys.erase(PathKey(m_entries[i].path));
        else if (kept++ != i)
            m_entries[kept - 1] = std::move(m_entries[i]);
    }
    m_entries.resize(kept);
    // A virtual list keeps selection by position: none is left after a removal.
    LVITEMW none{};
    none.stateMask = LVIS_SELECTED | LVIS_FOCUSED;
    m_listFiles.SendMessage(LVM_SETITEMSTATE, static_cast<WPARAM>(-1),
                            reinterpret_cast<LPARAM>(&none));
    ShowCount();
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
    std::vector<std::uint64_t> sizes;
    files.reserve(m_entries.size());
    sizes.reserve(m_entries.size());
    for (Entry& entry : m_entries) {
        files.push_back(std::move(entry.path));
        sizes.push_back(entry.size);
    }
    m_pFileList->swap(files);
    if (m_pFileSizes)
        m_pFileSizes->swap(sizes);
    m_pFileDialog.reset();
    CDialog::OnOK();
}
