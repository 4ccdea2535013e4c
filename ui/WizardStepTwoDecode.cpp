#include "WizardStepTwoDecode.h"

#include "AfxDlgs.h"
#include "AfxDrop.h"
#include "DroppedFiles.h"
#include "FileOps.h"
#include "FileReportDlg.h"
#include "LocaleText.h"
#include "Signature.h"
#include "TextConvert.h"
#include "resource.h"

#include <cstdio>
#include <cwchar>
#include <filesystem>
#include <optional>

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

// "2026-12-08T03:04:05Z": sorts as the time does.
std::wstring IsoTime(std::uint32_t seconds) {
    const std::uint64_t ticks =
        (static_cast<std::uint64_t>(seconds) + 11644473600ULL) * 10000000ULL;
    const FILETIME time{static_cast<DWORD>(ticks), static_cast<DWORD>(ticks >> 32)};
    SYSTEMTIME utc{};
    ::FileTimeToSystemTime(&time, &utc);
    std::wstring text(32, L'\0');
    const int length =
        std::swprintf(text.data(), text.size(), L"%04u-%02u-%02uT%02u:%02u:%02uZ", utc.wYear,
                      utc.wMonth, utc.wDay, utc.wHour, utc.wMinute, utc.wSecond);
    text.resize(length > 0 ? static_cast<std::size_t>(length) : 0);
    return text;
}

ReportRow CheckRow(const std::wstring& path) {
    ReportRow row;
    std::optional<SignatureInfo> info;
    {
        UniqueFile file = OpenForReading(std::filesystem::path(path));
        if (!file) {
            row.cells = {path, kCannotOpen, L"", L""};
            row.detail = kCannotOpen;
            return row;
        }
        info = ReadSignatureInfo(file.get());
    }
    if (!info) {
        row.cells = {path, kNotSigned, L"", L""};
        return row;
    }
    const std::wstring text = ToWide(info->text);
    row.cells = {path, kSigned, text, LocalDateTime(info->seed)};
    row.keys = {path, kSigned, text, IsoTime(info->seed)};
    row.detail = text;
    return row;
}

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
    std::size_t signedCount = 0;
    for (const std::wstring& path : files.files) {
        report.rows.push_back(CheckRow(path));
        signedCount += report.rows.back().cells[1] == kSigned ? 1 : 0;
    }
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
