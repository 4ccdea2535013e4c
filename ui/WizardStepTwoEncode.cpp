#include "WizardStepTwoEncode.h"

#include "DroppedFiles.h"
#include "EncProgress.h"
#include "SelFilesDlg.h"
#include "SignWorker.h"
#include "SignEngine.h"
#include "Signature.h"
#include "TextConvert.h"
#include "resource.h"

#include <shlobj.h>

#include <filesystem>
#include <unordered_set>

namespace {

constexpr wchar_t kBrowseTitle[] = L"Select destination folder";
constexpr wchar_t kNoFolderChosen[] = L"Please choose a valid destination folder!";
constexpr wchar_t kCaptionError[] = L"Error";
constexpr wchar_t kCaptionQuestion[] = L"Question";
constexpr wchar_t kStopForClose[] =
    L"Quorvane is still signing files. Stop signing and close Quorvane? The files signed so "
    L"far are kept.";
constexpr wchar_t kSignatureTooLong[] =
    L"A digital signature holds at most 32767 characters. The text you typed or pasted would "
    L"make it longer, so it was not added.";

// The drive and folder of a full path as _wsplitpath splits them, joined: everything up to
// and including the last separator, so "C:\docs\report.doc" gives "C:\docs\".
std::wstring DriveAndFolder(const std::wstring& path) {
    const std::size_t last = path.find_last_of(L"\\/");
    if (last != std::wstring::npos)
        return path.substr(0, last + 1);
    if (path.size() >= 2 && path[1] == L':')
        return path.substr(0, 2);
    return {};
}

UINT BoxStyle(MessageKind kind) {
    switch (kind) {
    case MessageKind::Question:
        return MB_YESNO | MB_ICONWARNING;
    case MessageKind::Done:
        return MB_OK | MB_ICONINFORMATION;
    case MessageKind::Error:
        break;
    }
    return MB_OK | MB_ICONERROR;
}

// The batch as the user sees it, on the user-interface thread: the progress window, and
// message boxes owned by it while it shows (so that they stand above it), else by the step.
class CStepSignObserver : public ISignObserver, public IBatchControl {
public:
    CStepSignObserver(CWnd& step, CEncProgress& progress, CSignWorker& worker)
        : m_step(step), m_progress(progress), m_worker(worker) {}

    void BatchStarted(std::size_t count) override {
        m_progress.Create(IDD_ENC_PROGRESS, &m_step);
        m_progress.m_onCancel = [this] { m_worker.RequestStop(); };
        m_progress.StartBar(count);
        m_progress.ShowWindow(SW_SHOW);
    }
    void FileStarted(std::size_t position, std::size_t, const std::u16string& status) override {
        m_position = position;
        m_progress.m_status.SetWindowText(ToWide(status));
        m_progress.ShowFileProgress(position, 0, 1);
    }
    void BytesCopied(std::uint64_t copied, std::uint64_t size) override {
        m_progress.ShowFileProgress(m_position, copied, size);
    }
    void FileFinished(std::size_t position, const SignItem&, SignOutcome) override {
        m_progress.ShowFileProgress(position, 1, 1);
    }
    void ReportFailure(const SignMessage& message) override { Show(message); }
    // Only Yes replaces: Esc and the close box keep the existing output too.
    bool AskOverwrite(const SignMessage& question) override { return Show(question) == IDYES; }
    void BatchFinished() override { m_progress.DestroyWindow(); }
    void ShowSummary(const SignMessage& summary) override { Show(summary); }

    bool StopForClose() override {
        const CSignWorker::CHold hold(m_worker);
        if (Owner().MessageBox(kStopForClose, kCaptionQuestion, MB_YESNO | MB_ICONWARNING) != IDYES)
            return false;
        if (m_progress.m_hWnd)
            m_progress.m_btnCancel.EnableWindow(FALSE);
        m_worker.RequestStop();
        return true;
    }

    HWND BatchWindow() override { return m_progress.m_hWnd; }

private:
    CWnd& Owner() { return m_progress.m_hWnd ? static_cast<CWnd&>(m_progress) : m_step; }
    int Show(const SignMessage& message) {
        return Owner().MessageBox(ToWide(message.text), ToWide(message.caption),
                                  BoxStyle(message.kind));
    }

    CWnd& m_step;
    CEncProgress& m_progress;
    CSignWorker& m_worker;
    std::size_t m_position = 0;
};

} // namespace

IMPLEMENT_DYNAMIC(CWizardStepTwoEncode, CWizardStep)

BEGIN_MESSAGE_MAP(CWizardStepTwoEncode, CWizardStep)
ON_BN_CLICKED(IDC_SELECT_FILES, OnSelectFiles)
ON_EN_CHANGE(IDC_SIGNATURE, OnSignatureChanged)
ON_BN_CLICKED(IDC_ENCRYPT_FILES, OnEncryptFiles)
ON_BN_CLICKED(IDC_BACK, OnBack)
ON_BN_CLICKED(IDC_BROWSE, OnBrowse)
END_MESSAGE_MAP()

CWizardStepTwoEncode::CWizardStepTwoEncode(CWnd* pParent, IWizardHost& host)
    : CWizardStep(IDD_WIZARD_STEP_TWO_ENCODE, pParent, host) {}

CWizardStepTwoEncode::~CWizardStepTwoEncode() = default;

void CWizardStepTwoEncode::DoDataExchange(CDataExchange* pDX) {
    CWizardStep::DoDataExchange(pDX);
    DDX_Control(pDX, IDC_ENCRYPT_FILES, m_btnEncryptFiles);
    DDX_Control(pDX, IDC_SIGNATURE, m_editSignature);
    DDX_Control(pDX, IDC_BROWSE, m_btnBrowse);
    DDX_Control(pDX, IDC_DEST_FOLDER, m_editDestFolder);
}

BOOL CWizardStepTwoEncode::OnInitDialog() {
    CWizardStep::OnInitDialog();
    m_host.AutoCompletePaths(m_editDestFolder.m_hWnd);
    m_editSignature.SetReadOnly(FALSE);
    // Above what a trailer carries, so that a longer paste arrives whole and is refused
    // rather than cut at the edit's own default limit (30,000 under Wine).
    m_editSignature.SetLimitText(0x7FFFFFFE);
    return TRUE;
}

void CWizardStepTwoEncode::OnSignatureChanged() {
    if (m_editSignature.GetWindowTextLength() > static_cast<int>(kMaxSignatureUnits)) {
        // Back to the text of the last accepted change, with its selection.
        m_editSignature.SetWindowText(m_lastSignature);
        m_editSignature.SetSel(m_lastSelectionStart, m_lastSelectionEnd);
        MessageBox(kSignatureTooLong, kCaptionError, MB_OK | MB_ICONERROR);
        return;
    }
    m_lastSignature = m_editSignature.GetWindowText();
    m_editSignature.GetSel(m_lastSelectionStart, m_lastSelectionEnd);
    m_btnEncryptFiles.EnableWindow(!m_lastSignature.empty());
}

void CWizardStepTwoEncode::OnSelectFiles() {
    CSelFilesDlg dialog(this, &m_fileList);
    dialog.DoModal();
    OnFileListChanged();
}

void CWizardStepTwoEncode::SetFileList(const std::vector<std::wstring>& files) {
    std::unordered_set<std::wstring> listed;
    m_fileList.clear();
    for (const std::wstring& file : files)
        if (listed.insert(PathKey(file)).second)
            m_fileList.push_back(file);
    OnFileListChanged();
}

void CWizardStepTwoEncode::OnFileListChanged() {
    if (m_fileList.empty()) {
        m_editSignature.EnableWindow(FALSE);
        m_editDestFolder.EnableWindow(FALSE);
        m_btnBrowse.EnableWindow(FALSE);
        m_btnEncryptFiles.EnableWindow(FALSE);
        m_editDestFolder.SetWindowText(L"");
        m_szDestFolder.clear();
        return;
    }
    m_editSignature.EnableWindow(TRUE);
    m_editDestFolder.EnableWindow(TRUE);
    m_btnBrowse.EnableWindow(TRUE);
    if (m_szDestFolder.empty()) {
        m_szDestFolder = DriveAndFolder(m_fileList.front());
        m_editDestFolder.SetWindowText(m_szDestFolder);
    }
}

void CWizardStepTwoEncode::OnBrowse() {
    FolderRequest request;
    request.owner = m_hWnd;
    request.title = kBrowseTitle;
    request.flags = BIF_NEWDIALOGSTYLE | BIF_SHAREABLE;
    request.initialFolder = m_editDestFolder.GetWindowText();
    // A cancelled browser and a folder without a file-system path (a library, a phone) both
    // come back without a path.
    const std::optional<std::wstring> folder = GetSeam().BrowseForFolder(request);
    if (!folder || folder->empty()) {
        MessageBox(kNoFolderChosen, kCaptionError, MB_OK | MB_ICONERROR);
        return;
    }
    m_szDestFolder = *folder;
    m_editDestFolder.SetWindowText(m_szDestFolder);
}

void CWizardStepTwoEncode::OnEncryptFiles() {
    m_szDestFolder = m_editDestFolder.GetWindowText();

    SignRequest request;
    request.outputFolder = std::filesystem::path(m_szDestFolder);
    request.text = FromWide(m_editSignature.GetWindowText());
    request.items.reserve(m_fileList.size());
    for (const std::wstring& source : m_fileList)
        request.items.push_back({std::filesystem::path(source), {}});

    CSignWorker worker;
    CEncProgress progress(this);
    CStepSignObserver observer(*this, progress, worker);
    m_host.BeginBatch(observer);
    SignResult result;
    try {
        result = worker.Run(request, observer);
    } catch (...) {
        m_host.EndBatch();
        throw;
    }
    if (m_host.EndBatch() || !result.folderValid)
        return; // closing; or the user can correct the folder and try again
    SwitchTo(&IWizardHost::ShowHomeStep);
}

void CWizardStepTwoEncode::OnBack() {
    SwitchTo(&IWizardHost::ShowHomeStep);
}
