// A list of files with what happened to each: the files a run did not sign, or the files of a
// check. Sorted by a click on a column's header; the selected row's whole text shows below the
// list; Copy (or Ctrl+C) puts the selected rows, or all, on the clipboard as tab-separated
// text; "Save as CSV..." writes every row as UTF-8 CSV. In both, a cell that a spreadsheet
// would run as a formula (one starting with = + - @, a tab or a carriage return) starts with an
// apostrophe; the dialog itself shows every text as it is.
#pragma once

#include "AfxCtrls.h"

#include <cstddef>
#include <string>
#include <vector>

struct ReportRow {
    std::vector<std::wstring> cells;
    // Shown below the list while the row is selected.
    std::wstring detail;
    // For sorting, where a cell's text does not sort as it should (a date): one per cell or
    // none.
    std::vector<std::wstring> keys{};
};

struct ReportContent {
    std::wstring caption;
    std::wstring summary; // the line above the list
    std::vector<std::wstring> columns;
    std::vector<int> widths; // in dialog units, one per column
    std::vector<ReportRow> rows;
    std::wstring csvName; // proposed by "Save as CSV..."
};

class CFileReportDlg : public CDialog {
    DECLARE_DYNAMIC(CFileReportDlg)
public:
    CFileReportDlg(CWnd* pParent, ReportContent content);
    ~CFileReportDlg() override;

    // The rows in the order shown, as CSV (header first, CR LF, quoted where needed).
    std::string Csv() const;

protected:
    DECLARE_MESSAGE_MAP()

    void DoDataExchange(CDataExchange* pDX) override;
    BOOL OnInitDialog() override;
    void OnGetDispInfo(NMHDR* pNotifyStruct, LRESULT* pResult);
    void OnColumnClick(NMHDR* pNotifyStruct, LRESULT* pResult);
    void OnItemChanged(NMHDR* pNotifyStruct, LRESULT* pResult);
    void OnListKeyDown(NMHDR* pNotifyStruct, LRESULT* pResult);
    void OnCopy();
    void OnSave();

private:
    const std::wstring& Key(std::size_t row, std::size_t column) const;

    ReportContent m_content;
    std::vector<std::size_t> m_order; // shown position -> row
    int m_sortColumn = -1;
    bool m_ascending = true;
    CListCtrl m_list;
    CEdit m_text;
};
