#include "WizardStepTwoEncode.h"

#include "Command.h"
#include "DroppedFiles.h"
#include "EncProgress.h"
#include "FileKinds.h"
#include "FileErrors.h"
#include "FileOps.h"
#include "FileReportDlg.h"
#include "LocaleText.h"
#include "SelFilesDlg.h"
#include "SignWorker.h"
#include "SignEngine.h"
#include "SignTexts.h"
#include "TextConvert.h"
#include "resource.h"

#include <shlobj.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <thread>
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

constexpr std::size_t kEveryFileUpTo = 64;
constexpr std::uint64_t kRepaintMilliseconds = 100;
constexpr wchar_t kForAll[] = L"Do this for all remaining files";
constexpr wchar_t kReportCaption[] = L"Files not signed";
constexpr wchar_t kNotReplaced[] = L"The existing file was kept (the answer was No).";
constexpr wchar_t kStoppedInCopy[] = L"Signing was stopped during this file; nothing was written.";
constexpr wchar_t kNotReached[] = L"Signing was stopped before this file.";
constexpr wchar_t kKindsIntro[] =
    L"This file is of a kind whose own programs object to anything after its end, and a "
    L"signature is just that:";
constexpr wchar_t kKindsChoice[] =
    L"Yes signs it and every later file of such a kind, No leaves them all out and signs the "
    L"others, Cancel stops signing here (the files signed so far are kept).";
constexpr wchar_t kStoppedAtKind[] = L"Signing was stopped at the question about its kind.";

// The question asked, once a run, in the turn of the first file of a kind whose tools object
// to a signed copy: the engine's warning about it, and what each answer does with the others.
std::wstring KindsQuestion(const SignMessage& question) {
    return std::wstring(kKindsIntro) + L"\r\n\r\n" + ToWide(question.text) + L"\r\n\r\n" +
           kKindsChoice;
}

// Why a message came, beyond its text: the system's reason, and the output it is about.
std::wstring CauseOf(const SignMessage& message) {
    if (message.earlierSource != nullptr && message.earlierSource->empty())
        return ToWide(PathText(message.output)) + L" was written earlier in this run";
    if (message.earlierSource != nullptr)
        return ToWide(PathText(message.output)) + L" was written from " +
               ToWide(PathText(*message.earlierSource)) + L" earlier in this run";
    if (!message.error)
        return {};
    const std::wstring reason = ToWide(Utf8ToUtf16Lossy(ErrorText(message.error)));
    if (message.output.empty() || message.culprit == Culprit::Source)
        return reason;
    return ToWide(PathText(message.output)) + L": " + reason;
}

// The batch as the user sees it, on the user-interface thread: the progress window, and
// message boxes owned by it while it shows (so that they stand above it), else by the step.
// A box of a run of several files offers to answer every later one of its kind the same way;
// what was not signed is gathered for one report at the end.
class CStepSignObserver : public ISignObserver, public IBatchControl {
public:
    CStepSignObserver(CWnd& step, CEncProgress& progress, CSignWorker& worker,
                      const std::vector<std::wstring>& files,
                      const std::vector<std::uint64_t>& sizes)
        : m_step(step), m_progress(progress), m_worker(worker), m_files(files), m_sizes(sizes) {
        for (const std::uint64_t size : sizes)
            m_totalBytes += size;
    }

    void BatchStarted(std::size_t count) override {
        m_count = count;
        m_progress.Create(IDD_ENC_PROGRESS, &m_step);
        m_progress.m_onCancel = [this] { m_worker.RequestStop(); };
        m_progress.m_onTick = [this] { Refresh(); };
        m_progress.StartRun(count, m_totalBytes);
        m_progress.ShowWindow(SW_SHOW);
    }
    void FileStarted(std::size_t position, std::size_t, const std::u16string& status) override {
        m_position = position;
        m_status = status;
        m_statusShown = false;
        if (Due())
            ShowCurrent();
    }
    void FileFinished(std::size_t position, const SignItem& item, SignOutcome outcome) override {
        m_filesDone = position;
        m_finishedBytes += SizeOf(position);
        m_copiedAtFinish = m_worker.CopiedAtEvent();
        if (Due())
            Refresh();
        if (outcome == SignOutcome::NotOverwritten)
            Add(item.source, m_lastQuestion, kNotReplaced);
        else if (outcome == SignOutcome::Stopped)
            Add(item.source, m_stoppedAtKind ? kStoppedAtKind : kStoppedInCopy, {});
    }
    void ReportFailure(const SignMessage& message) override {
        if (message.item != nullptr)
            Add(message.path, ToWide(message.text), CauseOf(message));
        // Left out for its kind, as the user chose before the run: the report names it.
        if (m_closing || Remembered(message) || message.fileKind != FileKind::Other)
            return;
        ShowCurrent(); // the box is about the file the window names
        Refresh();
        Show(message);
    }
    // Yes signs the file and every later one of such a kind, No leaves them out; Cancel, Esc
    // and the close box stop the run before this file, as the progress window's Cancel does.
    bool AskKind(const SignMessage& question) override {
        if (m_closing)
            return false;
        ShowCurrent(); // the box is about the file the window names
        Refresh();
        const std::uint64_t asked = ::GetTickCount64();
        const int answer = Owner().MessageBox(KindsQuestion(question), kCaptionQuestion,
                                              MB_YESNOCANCEL | MB_ICONWARNING);
        m_progress.LeaveOut(::GetTickCount64() - asked);
        if (answer != IDYES && answer != IDNO) {
            m_stoppedAtKind = true;
            if (m_progress.m_hWnd)
                m_progress.m_btnCancel.EnableWindow(FALSE);
            m_worker.RequestStop();
        }
        return answer == IDYES;
    }
    // Only Yes replaces: Esc and the close box keep the existing output too.
    bool AskOverwrite(const SignMessage& question) override {
        m_lastQuestion = ToWide(question.text);
        if (m_closing)
            return false;
        if (const auto found = m_forAll.find(question.id); found != m_forAll.end())
            return found->second == IDYES;
        return Show(question) == IDYES;
    }
    void BatchFinished() override {
        // Files the run did not reach, after a stop.
        for (std::size_t i = m_filesDone; i < m_files.size(); ++i)
            Add(std::filesystem::path(m_files[i]), kNotReached, {});
        if (m_filesDone == m_count)
            m_progress.ShowDone(m_count, m_totalBytes);
        m_progress.DestroyWindow();
    }
    void ShowSummary(const SignMessage& summary) override {
        // The user asked to close: nothing more to read.
        if (m_closing)
            return;
        Show(summary);
        // A run of one file said everything in its one box.
        if (m_rows.empty() || m_count < 2)
            return;
        ReportContent report;
        report.caption = kReportCaption;
        report.summary =
            ToWide(summary.text) + L" " + FormatCount(m_rows.size()) +
            (m_rows.size() == 1 ? L" file was not signed:" : L" files were not signed:");
        report.columns = {L"File", L"What happened", L"Cause"};
        report.widths = {140, 150, 85};
        report.rows = std::move(m_rows);
        report.csvName = L"Files not signed.csv";
        CFileReportDlg dialog(&m_step, std::move(report));
        dialog.DoModal();
    }

    bool StopForClose() override {
        const CSignWorker::CHold hold(m_worker);
        if (Owner().MessageBox(kStopForClose, kCaptionQuestion, MB_YESNO | MB_ICONWARNING) != IDYES)
            return false;
        if (m_progress.m_hWnd)
            m_progress.m_btnCancel.EnableWindow(FALSE);
        m_closing = true;
        m_worker.RequestStop();
        return true;
    }

    HWND BatchWindow() override { return m_progress.m_hWnd; }

private:
    CWnd& Owner() { return m_progress.m_hWnd ? static_cast<CWnd&>(m_progress) : m_step; }
    std::uint64_t SizeOf(std::size_t position) const {
        return position - 1 < m_sizes.size() ? m_sizes[position - 1] : 0;
    }
    // A run of a handful of files shows every file; a larger one repaints at most every
    // kRepaintMilliseconds (a repaint per file would cost more than signing a small file),
    // and its last file, and the timer brings the window up to date in between.
    bool Due() {
        const std::uint64_t now = ::GetTickCount64();
        if (m_count > kEveryFileUpTo && m_position < m_count &&
            now - m_lastRepaint < kRepaintMilliseconds)
            return false;
        m_lastRepaint = now;
        return true;
    }
    void ShowCurrent() {
        if (m_statusShown || !m_progress.m_hWnd || m_position == 0)
            return;
        m_statusShown = true;
        m_progress.m_status.SetWindowText(ToWide(m_status));
        m_progress.ShowFile(ToWide(PathText(std::filesystem::path(m_files[m_position - 1]))));
    }
    // The bytes done: those of the files finished, and of the copy under way.
    void Refresh() {
        if (!m_progress.m_hWnd)
            return;
        ShowCurrent();
        const std::uint64_t copied = m_worker.CopiedBytes();
        const std::uint64_t inFlight = copied > m_copiedAtFinish ? copied - m_copiedAtFinish : 0;
        m_shownBytes = std::max(m_shownBytes, std::min(m_totalBytes, m_finishedBytes + inFlight));
        m_progress.ShowDone(m_filesDone, m_shownBytes);
    }
    void Add(const std::filesystem::path& file, std::wstring what, std::wstring cause) {
        ReportRow row;
        row.cells = {ToWide(PathText(file)), std::move(what), std::move(cause)};
        row.detail = row.cells[1] + (row.cells[2].empty() ? L"" : L"\r\n\r\n" + row.cells[2]);
        m_rows.push_back(std::move(row));
    }
    bool Remembered(const SignMessage& message) const { return m_forAll.count(message.id) != 0; }
    int Show(const SignMessage& message) {
        const std::wstring text = ToWide(message.text);
        const std::wstring caption = ToWide(message.caption);
        const UINT style = BoxStyle(message.kind);
        // The check box only while files remain after this one.
        if (message.kind == MessageKind::Done || message.item == nullptr || m_count < 2 ||
            m_position >= m_count) {
            const std::uint64_t asked = ::GetTickCount64();
            const int answer = Owner().MessageBox(text, caption, style);
            m_progress.LeaveOut(::GetTickCount64() - asked);
            return answer;
        }
        bool forAll = false;
        const std::uint64_t asked = ::GetTickCount64();
        const int answer =
            GetSeam().MessageBoxWithCheck(Owner().m_hWnd, text, caption, style, kForAll, forAll);
        // The time the user took is not the run's: it stays out of the speed.
        m_progress.LeaveOut(::GetTickCount64() - asked);
        // Esc and the close box answer this file only.
        if (forAll && answer != IDCANCEL)
            m_forAll[message.id] = answer;
        return answer;
    }

    CWnd& m_step;
    CEncProgress& m_progress;
    CSignWorker& m_worker;
    // The list the user chose: the run takes its files from it, one at a time.
    const std::vector<std::wstring>& m_files;
    const std::vector<std::uint64_t>& m_sizes;
    std::uint64_t m_totalBytes = 0;
    std::size_t m_count = 0;
    std::size_t m_position = 0;
    std::u16string m_status;
    bool m_statusShown = true;
    std::uint64_t m_lastRepaint = 0;
    std::size_t m_filesDone = 0;
    std::uint64_t m_finishedBytes = 0;
    std::uint64_t m_copiedAtFinish = 0;
    std::uint64_t m_shownBytes = 0;
    // The answer given for all later boxes of a kind of message.
    std::map<signtext::MessageId, int> m_forAll;
    std::wstring m_lastQuestion;
    std::vector<ReportRow> m_rows;
    bool m_closing = false;
    bool m_stoppedAtKind = false;
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
    DDX_Control(pDX, IDC_FILE_COUNT, m_fileCount);
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
    // The engine's rule for a typed text: its line breaks as CR LF, then its length.
    std::u16string typed = FromWide(m_editSignature.GetWindowText());
    if (CheckText(typed, true) == TextProblem::TooLong) {
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
    CSelFilesDlg dialog(this, &m_fileList, &m_fileSizes);
    dialog.DoModal();
    OnFileListChanged();
}

void CWizardStepTwoEncode::SetFileList(const std::vector<std::wstring>& files) {
    std::unordered_set<std::wstring> listed;
    m_fileList.clear();
    m_fileSizes.clear();
    for (const std::wstring& file : files) {
        if (listed.insert(PathKey(file)).second) {
            m_fileList.push_back(file);
            m_fileSizes.push_back(FileSizeOf(file));
        }
    }
    OnFileListChanged();
}

void CWizardStepTwoEncode::OnFileListChanged() {
    // The sizes follow the list; a list set from outside gets them here.
    if (m_fileSizes.size() != m_fileList.size()) {
        m_fileSizes.clear();
        for (const std::wstring& file : m_fileList)
            m_fileSizes.push_back(FileSizeOf(file));
    }
    std::uint64_t bytes = 0;
    for (const std::uint64_t size : m_fileSizes)
        bytes += size;
    m_fileCount.SetWindowText(FilesAndSize(m_fileList.size(), bytes));
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
    CheckText(request.text, true); // no longer than OnSignatureChanged lets it be
    // The files come from the list the user sees, one at a time: no second copy of it.
    std::size_t next = 0;
    request.entries = [this, &next](SignEntry& entry) {
        if (next == m_fileList.size())
            return false;
        // The list moves on once the entry is made: one short of memory is made again.
        entry.item = {std::filesystem::path(m_fileList[next]), {}};
        entry.problem.reset();
        ++next;
        return true;
    };
    request.known = m_fileList.size();
    // As quorvane-cli: one job per processor, with what a run of one job shows.
    request.jobs = 0;
    // Files whose own programs would object to the signature: the first one met asks once,
    // for the whole run, in its turn (the engine tells each file's kind while it stages it).
    request.kinds = KindPolicy::Ask;
    std::vector<std::uint64_t> sizes = m_fileSizes;
    sizes.resize(m_fileList.size());

    CSignWorker worker;
    CEncProgress progress(this);
    CStepSignObserver observer(*this, progress, worker, m_fileList, sizes);
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
