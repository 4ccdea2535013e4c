// The "View Selected Files" dialog: the add-signature step's file list as a list of full
// paths with their sizes, with "Add" (the open-file dialog, or files dropped from the shell)
// and "Remove". Only "Done" writes the shown list back into the step's list. The list control
// asks for the texts it shows (a virtual list), so that tens of thousands of files are listed
// and removed at once.
#pragma once

#include "AfxCtrls.h"
#include "AfxDlgs.h"

#include <cstdint>
#include <memory>
#include <string>
#include <unordered_set>
#include <vector>

class CSelFilesDlg : public CDialog {
    DECLARE_DYNAMIC(CSelFilesDlg)
public:
    // `pFileSizes` (may be null) receives each file's size, in the order of `pFileList`.
    CSelFilesDlg(CWnd* pParent, std::vector<std::wstring>* pFileList,
                 std::vector<std::uint64_t>* pFileSizes = nullptr);
    ~CSelFilesDlg() override;

protected:
    DECLARE_MESSAGE_MAP()

    void DoDataExchange(CDataExchange* pDX) override;
    BOOL OnInitDialog() override;
    void OnOK() override;

    void OnItemChangedFiles(NMHDR* pNotifyStruct, LRESULT* pResult);
    void OnGetDispInfo(NMHDR* pNotifyStruct, LRESULT* pResult);
    void OnRemove();
    void OnAdd();
    // Files and folders dropped from the shell: each file as "Add" adds it, each folder's
    // own files in name order.
    LRESULT OnDropFiles(WPARAM wParam, LPARAM lParam);

    // Appends each path that the list does not hold yet, ignoring letter case.
    void AddPaths(const std::vector<std::wstring>& paths);
    void UpdateRemoveButton();
    void ShowCount();

    struct Entry {
        std::wstring path;
        std::uint64_t size = 0;
        std::wstring sizeText; // made when first shown
    };

    // Created by the first "Add" and reused by every later one.
    std::unique_ptr<CFileDialog> m_pFileDialog;
    CListCtrl m_listFiles;
    CButton m_btnRemove;
    std::vector<Entry> m_entries;
    std::unordered_set<std::wstring> m_keys; // PathKey of every entry
    std::vector<std::wstring>* m_pFileList;  // the step's, not owned
    std::vector<std::uint64_t>* m_pFileSizes;
};
