// The "View Selected Files" dialog: the add-signature step's file list as a list of full
// paths, with "Add" (the open-file dialog, or files dropped from the shell) and "Remove". Only
// "Done" writes the shown list back into the step's list.
#pragma once

#include "AfxCtrls.h"
#include "AfxDlgs.h"

#include <memory>
#include <string>
#include <vector>

class CSelFilesDlg : public CDialog {
    DECLARE_DYNAMIC(CSelFilesDlg)
public:
    CSelFilesDlg(CWnd* pParent, std::vector<std::wstring>* pFileList);
    ~CSelFilesDlg() override;

protected:
    DECLARE_MESSAGE_MAP()

    void DoDataExchange(CDataExchange* pDX) override;
    BOOL OnInitDialog() override;
    void OnOK() override;

    void OnItemChangedFiles(NMHDR* pNotifyStruct, LRESULT* pResult);
    void OnRemove();
    void OnAdd();
    // Files and folders dropped from the shell: each file as "Add" adds it, each folder's
    // own files in name order.
    LRESULT OnDropFiles(WPARAM wParam, LPARAM lParam);

    // Appends each path that the list does not hold yet, ignoring letter case.
    void AddPaths(const std::vector<std::wstring>& paths);
    void UpdateRemoveButton();

    // Created by the first "Add" and reused by every later one.
    std::unique_ptr<CFileDialog> m_pFileDialog;
    CListCtrl m_listFiles;
    CButton m_btnRemove;
    std::vector<std::wstring>* m_pFileList; // the step's, not owned
};
