#include "FileReportDlg.h"

#include "FileIo.h"
#include "Seam.h"
#include "TextConvert.h"
#include "resource.h"

#include <shlwapi.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <cwchar>
#include <numeric>
#include <string_view>

namespace {

constexpr wchar_t kCaptionError[] = L"Error";
constexpr wchar_t kCannotSave[] = L"Could not save the list to %s!";
constexpr wchar_t kCsvFilter[] = L"CSV files (*.csv)|*.csv|All Files (*.*)|*.*||";

// A cell that a spreadsheet would take for a formula (a name or a signature text such as
// =HYPERLINK(...)) gets a leading apostrophe, which spreadsheets show as plain text.
std::wstring SpreadsheetText(const std::wstring& cell) {
    if (!cell.empty() &&
        std::wstring_view(L"=+-@\t\r").find(cell.front()) != std::wstring_view::npos)
        return L'\'' + cell;
    return cell;
}

std::string CsvField(const std::wstring& cell) {
    const std::wstring text = SpreadsheetText(cell);
    const std::string utf8 = Utf16ToUtf8(FromWide(text));
    if (text == cell && utf8.find_first_of(",\"\r\n") == std::string::npos)
        return utf8;
    std::string quoted = "\"";
    for (const char c : utf8) {
        quoted += c;
        if (c == '"')
            quoted += '"';
    }
    return quoted + "\"";
}

bool PutOnClipboard(HWND owner, const std::wstring& text) {
    if (!::OpenClipboard(owner))
        return false;
    ::EmptyClipboard();
    const std::size_t bytes = (text.size() + 1) * sizeof(wchar_t);
    HGLOBAL memory = ::GlobalAlloc(GMEM_MOVEABLE, bytes);
    bool done = false;
    if (memory) {
        if (void* target = ::GlobalLock(memory)) {
            std::memcpy(target, text.c_str(), bytes);
            ::GlobalUnlock(memory);
            done = ::SetClipboardData(CF_UNICODETEXT, memory) != nullptr;
        }
        if (!done)
            ::GlobalFree(memory); // the clipboard owns it only once set
    }
    ::CloseClipboard();
    return done;
}

} // namespace

IMPLEMENT_DYNAMIC(CFileReportDlg, CDialog)

BEGIN_MESSAGE_MAP(CFileReportDlg, CDialog)
ON_NOTIFY(LVN_GETDISPINFOW, IDC_REPORT_LIST, OnGetDispInfo)
ON_NOTIFY(LVN_COLUMNCLICK, IDC_REPORT_LIST, OnColumnClick)
ON_NOTIFY(LVN_ITEMCHANGED, IDC_REPORT_LIST, OnItemChanged)
ON_NOTIFY(LVN_KEYDOWN, IDC_REPORT_LIST, OnListKeyDown)
ON_BN_CLICKED(IDC_REPORT_COPY, OnCopy)
ON_BN_CLICKED(IDC_REPORT_SAVE, OnSave)
END_MESSAGE_MAP()

CFileReportDlg::CFileReportDlg(CWnd* pParent, ReportContent content)
    : CDialog(IDD_FILE_REPORT, pParent), m_content(std::move(content)) {
    m_order.resize(m_content.rows.size());
    std::iota(m_order.begin(), m_order.end(), std::size_t{0});
}

CFileReportDlg::~CFileReportDlg() = default;

void CFileReportDlg::DoDataExchange(CDataExchange* pDX) {
    CDialog::DoDataExchange(pDX);
    DDX_Control(pDX, IDC_REPORT_LIST, m_list);
    DDX_Control(pDX, IDC_REPORT_TEXT, m_text);
}

BOOL CFileReportDlg::OnInitDialog() {
    CDialog::OnInitDialog();
    SetWindowText(m_content.caption);
    ::SetDlgItemTextW(m_hWnd, IDC_REPORT_SUMMARY, m_content.summary.c_str());
    m_list.SendMessage(LVM_SETEXTENDEDLISTVIEWSTYLE, LVS_EX_FULLROWSELECT, LVS_EX_FULLROWSELECT);
    for (std::size_t i = 0; i < m_content.columns.size(); ++i) {
        RECT width{0, 0, i < m_content.widths.size() ? m_content.widths[i] : 80, 0};
        ::MapDialogRect(m_hWnd, &width);
        m_list.InsertColumn(static_cast<int>(i), m_content.columns[i], LVCFMT_LEFT, width.right);
    }
    m_list.SendMessage(LVM_SETITEMCOUNT, m_content.rows.size(), 0);
    m_text.SetLimitText(0x7FFFFFFE);
    CenterWindow();
    return TRUE;
}

const std::wstring& CFileReportDlg::Key(std::size_t row, std::size_t column) const {
    const ReportRow& entry = m_content.rows[row];
    if (column < entry.keys.size())
        return entry.keys[column];
    return entry.cells[column];
}

void CFileReportDlg::OnGetDispInfo(NMHDR* pNotifyStruct, LRESULT* pResult) {
    auto* info = reinterpret_cast<NMLVDISPINFOW*>(pNotifyStruct);
    *pResult = 0;
    const auto shown = static_cast<std::size_t>(info->item.iItem);
    if (!(info->item.mask & LVIF_TEXT) || shown >= m_order.size() || info->item.cchTextMax <= 0)
        return;
    const ReportRow& row = m_content.rows[m_order[shown]];
    const auto column = static_cast<std::size_t>(info->item.iSubItem);
    const std::wstring& text = column < row.cells.size() ? row.cells[column] : std::wstring();
    // The list shows a row's first line; the whole text is below the list.
    const std::size_t length = std::min({text.find_first_of(L"\r\n"), text.size(),
                                         static_cast<std::size_t>(info->item.cchTextMax - 1)});
    std::wmemcpy(info->item.pszText, text.c_str(), length);
    info->item.pszText[length] = L'\0';
}

void CFileReportDlg::OnColumnClick(NMHDR* pNotifyStruct, LRESULT* pResult) {
    const auto* view = reinterpret_cast<NMLISTVIEW*>(pNotifyStruct);
    *pResult = 0;
    const int column = view->iSubItem;
    m_ascending = column == m_sortColumn ? !m_ascending : true;
    m_sortColumn = column;
    const auto c = static_cast<std::size_t>(column);
    std::stable_sort(m_order.begin(), m_order.end(), [&](std::size_t a, std::size_t b) {
        const int order = ::StrCmpLogicalW(Key(a, c).c_str(), Key(b, c).c_str());
        return m_ascending ? order < 0 : order > 0;
    });
    LVITEMW none{};
    none.stateMask = LVIS_SELECTED | LVIS_FOCUSED;
    m_list.SendMessage(LVM_SETITEMSTATE, static_cast<WPARAM>(-1), reinterpret_cast<LPARAM>(&none));
    ::InvalidateRect(m_list.m_hWnd, nullptr, TRUE);
    m_text.SetWindowText(L"");
}

void CFileReportDlg::OnItemChanged(NMHDR*, LRESULT* pResult) {
    *pResult = 0;
    const int shown = m_list.GetNextItem(-1, LVNI_SELECTED);
    if (shown < 0 || static_cast<std::size_t>(shown) >= m_order.size()) {
        m_text.SetWindowText(L"");
        return;
    }
    m_text.SetWindowText(m_content.rows[m_order[static_cast<std::size_t>(shown)]].detail);
}

void CFileReportDlg::OnListKeyDown(NMHDR* pNotifyStruct, LRESULT* pResult) {
    const auto* key = reinterpret_cast<NMLVKEYDOWN*>(pNotifyStruct);
    *pResult = 0;
    if (::GetKeyState(VK_CONTROL) >= 0)
        return;
    if (key->wVKey == 'C') {
        OnCopy();
    } else if (key->wVKey == 'A') {
        LVITEMW all{};
        all.state = LVIS_SELECTED;
        all.stateMask = LVIS_SELECTED;
        m_list.SendMessage(LVM_SETITEMSTATE, static_cast<WPARAM>(-1),
                           reinterpret_cast<LPARAM>(&all));
    }
}

void CFileReportDlg::OnCopy() {
    std::vector<std::size_t> shown;
    for (int i = m_list.GetNextItem(-1, LVNI_SELECTED); i >= 0;
         i = m_list.GetNextItem(i, LVNI_SELECTED))
        shown.push_back(static_cast<std::size_t>(i));
    if (shown.empty()) {
        shown.resize(m_order.size());
        std::iota(shown.begin(), shown.end(), std::size_t{0});
    }
    const auto line = [](const std::vector<std::wstring>& cells) {
        std::wstring text;
        for (std::size_t i = 0; i < cells.size(); ++i) {
            if (i > 0)
                text += L'\t';
            for (const wchar_t c : SpreadsheetText(cells[i]))
                text += (c == L'\t' || c == L'\r' || c == L'\n') ? L' ' : c;
        }
        return text + L"\r\n";
    };
    std::wstring text = line(m_content.columns);
    for (const std::size_t position : shown)
        text += line(m_content.rows[m_order[position]].cells);
    PutOnClipboard(m_hWnd, text);
}

std::string CFileReportDlg::Csv() const {
    const auto line = [](const std::vector<std::wstring>& cells) {
        std::string text;
        for (std::size_t i = 0; i < cells.size(); ++i) {
            if (i > 0)
                text += ',';
            text += CsvField(cells[i]);
        }
        return text + "\r\n";
    };
    std::string csv = line(m_content.columns);
    for (const std::size_t row : m_order)
        csv += line(m_content.rows[row].cells);
    return csv;
}

void CFileReportDlg::OnSave() {
    OpenFileRequest request;
    request.owner = m_hWnd;
    request.filter = kCsvFilter;
    request.defaultExt = L"csv";
    request.fileName = m_content.csvName;
    request.flags = OFN_OVERWRITEPROMPT | OFN_PATHMUSTEXIST | OFN_HIDEREADONLY;
    const std::optional<std::wstring> path = GetSeam().SaveFile(request);
    if (!path)
        return;
    // A byte order mark, so that spreadsheet programs read the names as UTF-8.
    const std::string bytes = "\xEF\xBB\xBF" + Csv();
    bool saved = false;
    if (UniqueFile file = OpenFile(std::filesystem::path(*path), "wb")) {
        saved = std::fwrite(bytes.data(), 1, bytes.size(), file.get()) == bytes.size();
        saved = std::fclose(file.release()) == 0 && saved;
        if (!saved)
            ::_wremove(path->c_str());
    }
    if (!saved) {
        std::wstring message = kCannotSave;
        message.replace(message.find(L"%s"), 2, *path);
        MessageBox(message, kCaptionError, MB_OK | MB_ICONERROR);
    }
}
