#include "WizardStepTwoDecode.h"

#include "AfxDlgs.h"
#include "AfxDrop.h"
#include "CheckEngine.h"
#include "DroppedFiles.h"
#include "FileOps.h"
#include "FileReportDlg.h"
#include "LocaleText.h"
#include "SigClock.h"
#include "TextConvert.h"
#include "resource.h"

#include <algorithm>
#include <filesystem>
#include <thread>

namespace {

constexpr wchar_t kCannotOpen[] = L"Could not open file!";
constexpr wchar_t kNoSignature[] = L"No signature found in selected file!";
constexpr wchar_t kCaptionError[] = L"Error";
constexpr wchar_t kFilter[] = L"All Files (*.*)|*.*||";
constexpr wchar_t kListCaption[] = L"Signatures";
constexpr wchar_t kSigned[] = L"Signed";
constexpr wchar_t kNotSigned[] = L"Not signed";
constexpr wchar_t kTimeNote[] =
    L"The signing time is what the signing computer's clock said: it proves nothing.";

// A text as a window shows it: a window's text ends at U+0000, so each one shows as the symbol
// for null (U+2400), and what follows it still shows.
std::wstring Shown(const std::u16string& text) {
    std::wstring shown = ToWide(text);
    std::replace(shown.begin(), shown.end(), L'\0', L'\x2400');
    return shown;
}

ReportRow CheckRow(const std::wstring& path, const CheckResult& result) {
    ReportRow row;
    if (result.outcome == CheckOutcome::Unreadable) {
        row.cells = {path, kCannotOpen, L"", L""};
        row.detail = kCannotOpen;
        return row;
    }
    if (result.outcome == CheckOutcome::NotSigned) {
        row.cells = {path, kNotSigned, L"", L""};
        return row;
    }
    const std::wstring text = Shown(result.text);
    // The ISO time sorts as the time does.
    const std::string iso = IsoUtc(result.seed);
    row.cells = {path, kSigned, text, LocalDateTime(result.seed)};
    row.keys = {path, kSigned, text, std::wstring(iso.begin(), iso.end())};
    row.detail = text;
    return row;
}

// Collects the engine's results as the rows of the list, in the order of the files.
class CCheckRows : public ICheckObserver {
public:
    explicit CCheckRows(ReportContent& report) : m_report(report) {}
    void FileChecked(std::size_t, const CheckItem& item, const CheckResult& result) override {
        m_report.rows.push_back(CheckRow(item.path.native(), result));
        signedCount += result.outcome == CheckOutcome::Signed ? 1 : 0;
    }
    std::size_t signedCount = 0;

private:
    ReportContent& m_report;
};

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
                       OFN_HIDEREADONLY | OFN_PATHMUSTEXIST | OFN_FILEMUSTEXIST | OFN_ENABLESIZING |
                           OFN_ALLOWMULTISELECT,
                       kFilter, this);
    if (dialog.DoModal() != IDOK || dialog.GetPathNames().empty()) {
        m_editSignature.SetWindowText(L"");
        return;
    }
    CheckPaths(dialog.GetPathNames());
}

LRESULT CWizardStepTwoDecode::OnDropFiles(WPARAM wParam, LPARAM) {
    CheckPaths(AfxTakeDroppedFiles(wParam));
    return 0;
}

void CWizardStepTwoDecode::CheckPaths(const std::vector<std::wstring>& paths) {
    if (paths.empty())
        return;
    if (paths.size() == 1 && !IsDirectory(std::filesystem::path(paths.front()))) {
        CheckFile(paths.front());
        return;
    }
    const DroppedFiles files = FilesOfDrop(paths);
    ReportContent report;
    report.caption = kListCaption;
    report.columns = {L"File", L"Signature", L"Text", L"Signed at"};
    report.widths = {140, 45, 105, 80};
    report.csvName = L"Signatures.csv";
    // The files come from the drop's list one at a time: no second copy of it.
    CheckRequest request;
    std::size_t next = 0;
    request.entries = [&files, &next](CheckItem& item) {
        if (next == files.files.size())
            return false;
        item = {std::filesystem::path(files.files[next])};
        ++next;
        return true;
    };
    request.jobs = 0; // one per processor
    CCheckRows rows(report);
    RunCheckBatch(request, rows);
    const std::size_t signedCount = rows.signedCount;
    for (const std::wstring& path : files.missing)
        report.rows.push_back({{path, kCannotOpen, L"", L""}, kCannotOpen});
    report.summary = FormatCount(report.rows.size()) +
                     (report.rows.size() == 1 ? L" file checked, " : L" files checked, ") +
                     FormatCount(signedCount) + L" signed. " + kTimeNote;
    m_editSignature.SetWindowText(L"");
    CFileReportDlg dialog(this, std::move(report));
    dialog.DoModal();
}

void CWizardStepTwoDecode::CheckFile(const std::wstring& path) {
    // Opened as signing opens files, so that every copy it writes can be checked; the file is
    // closed before anything is shown.
    const CheckResult result = ::CheckFile(std::filesystem::path(path));
    if (result.outcome == CheckOutcome::Unreadable) {
        MessageBox(kCannotOpen, kCaptionError, MB_OK);
        return;
    }
    if (result.outcome == CheckOutcome::NotSigned) {
        m_editSignature.SetWindowText(L"");
        MessageBox(kNoSignature, kCaptionError, MB_OK);
        return;
    }
    m_editSignature.SetWindowText(Shown(result.text));
}

void CWizardStepTwoDecode::OnBack() {
    SwitchTo(&IWizardHost::ShowHomeStep);
}
