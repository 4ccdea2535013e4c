#include "MainApp.h"

#include "AboutDlg.h"
#include "Browser.h"
#include "BrowserCommand.h"
#include "DroppedFiles.h"
#include "FileOps.h"
#include "MainFrame.h"
#include "StartCommand.h"
#include "WizardStepTwoDecode.h"
#include "WizardStepTwoEncode.h"
#include "resource.h"

#include <commctrl.h>
#include <objbase.h>
#include <shellapi.h>
#include <shlwapi.h>

#include <new>

namespace {

std::wstring CurrentDirectory() {
    const DWORD size = ::GetCurrentDirectoryW(0, nullptr);
    if (size == 0)
        return {};
    std::wstring directory(size, L'\0');
    const DWORD length = ::GetCurrentDirectoryW(size, directory.data());
    if (length == 0 || length >= size)
        return {};
    directory.resize(length);
    return directory;
}

// The arguments after the program, split as Windows splits them.
std::vector<std::wstring> ArgumentsOf(const std::wstring& commandLine) {
    int count = 0;
    const UniqueLocalMem<LPWSTR> argv(::CommandLineToArgvW(commandLine.c_str(), &count));
    std::vector<std::wstring> arguments;
    for (int i = 1; argv && i < count; ++i)
        arguments.emplace_back(argv.get()[i]);
    return arguments;
}

// `path` made full against the current directory, as the file dialogs give paths; as it is
// when that fails.
std::wstring FullPath(const std::wstring& path) {
    if (path.empty())
        return path;
    std::wstring full(path.size() + MAX_PATH, L'\0');
    for (;;) {
        const DWORD length =
            ::GetFullPathNameW(path.c_str(), static_cast<DWORD>(full.size()), full.data(), nullptr);
        if (length == 0)
            return path;
        if (length < full.size()) {
            full.resize(length);
            return full;
        }
        full.resize(length);
    }
}

bool IsFile(const std::wstring& path) {
    const DWORD attributes = ::GetFileAttributesW(LongPath(path).c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY);
}

constexpr std::size_t kMissingShown = 10;

std::wstring MissingFilesMessage(const std::vector<std::wstring>& missing) {
    std::wstring text = L"Quorvane cannot find these files, so they are not in the list:\n";
    for (std::size_t i = 0; i < missing.size() && i < kMissingShown; ++i)
        text += L"\n" + missing[i];
    if (missing.size() > kMissingShown)
        text += L"\n... and " + std::to_wstring(missing.size() - kMissingShown) + L" more";
    return text;
}

std::wstring CutSelectionMessage(std::size_t listed) {
    const std::wstring arrived =
        listed == 0   ? L"No file arrived whole."
        : listed == 1 ? L"The list holds the one file that arrived."
                      : L"The list holds the " + std::to_wstring(listed) + L" files that arrived.";
    return L"Windows could not pass all the files you sent to Quorvane: a command line holds at "
           L"most 32,767 characters, and the selection needed more.\n\n" +
           arrived +
           L" Add the others with Select Files (you can also drop a whole folder onto the "
           L"list), or send fewer files at a time.";
}

} // namespace

IMPLEMENT_DYNAMIC(CMainApp, CWinApp)

BEGIN_MESSAGE_MAP(CMainApp, CWinApp)
ON_COMMAND(ID_APP_ABOUT, OnAppAbout)
END_MESSAGE_MAP()

CMainApp::CMainApp() = default;

CMainApp::~CMainApp() {
    m_pfnSHAutoComplete = nullptr;
    m_hShlwapi.reset();
    if (SUCCEEDED(m_hrCom))
        ::CoUninitialize();
}

CMainApp* GetMainApp() {
    return static_cast<CMainApp*>(AfxGetApp());
}

BOOL CMainApp::InitInstance() {
    ::InitCommonControls();
    m_hrCom = ::CoInitialize(nullptr);
    CWinApp::InitInstance();

    if (!AfxSocketInit()) {
        AfxMessageBox(IDS_SOCKETS_INIT_FAILED, MB_OK);
        return FALSE;
    }
    if (!AfxOleInit()) {
        AfxMessageBox(IDS_OLE_INIT_FAILED, MB_OK);
        return FALSE;
    }
    AfxEnableControlContainer();

    m_hShlwapi.reset(::LoadLibraryW(L"shlwapi"));
    if (m_hShlwapi) {
        // Through void*: a cast between unrelated function pointer types draws a warning.
        m_pfnSHAutoComplete = reinterpret_cast<SHAutoCompleteFn>(
            reinterpret_cast<void*>(::GetProcAddress(m_hShlwapi.get(), "SHAutoComplete")));
    }

    auto* frame = new (std::nothrow) CMainFrame(*this);
    if (!frame)
        return FALSE;
    m_pMainFrame = frame;
    m_pMainWnd = frame;
    if (!frame->LoadFrame(IDR_MAINFRAME, WS_OVERLAPPEDWINDOW | FWS_ADDTOTITLE, nullptr, nullptr)) {
        // A frame whose window could not be made is still ours.
        delete frame;
        m_pMainFrame = nullptr;
        m_pMainWnd = nullptr;
        return FALSE;
    }
    frame->ShowWindow(SW_SHOW);
    frame->UpdateWindow();

    m_szStartDir = CurrentDirectory();
    if (m_szCommandLine.empty())
        m_szCommandLine = ::GetCommandLineW();
    StartAsAsked(m_szCommandLine);
    return TRUE;
}

void CMainApp::StartAsAsked(const std::wstring& commandLine) {
    const StartCommand command = ParseStartCommand(ArgumentsOf(commandLine));
    switch (command.page) {
    case OpeningPage::Home:
        if (command.showUsage)
            AfxMessageBox(StartUsage(command.problem),
                          MB_OK | (command.problem.empty() ? MB_ICONINFORMATION : MB_ICONWARNING));
        return;
    case OpeningPage::CheckSignature:
        if (auto* step =
                m_pMainFrame->ReplaceStep<CWizardStepTwoDecode>(IDD_WIZARD_STEP_TWO_DECODE)) {
            std::vector<std::wstring> paths;
            for (const std::wstring& path : command.paths)
                paths.push_back(FullPath(path));
            step->CheckPaths(paths);
        }
        return;
    case OpeningPage::AddSignature:
        StartSigning(command.paths, CommandLineMayBeCut(commandLine.size()));
        return;
    }
}

void CMainApp::StartSigning(std::vector<std::wstring> paths, bool mayBeCut) {
    for (std::wstring& path : paths)
        path = FullPath(path);
    // A path cut short can still name a folder (its parent's name, say): only a whole file
    // counts as having arrived.
    if (mayBeCut && !IsFile(paths.back()))
        paths.pop_back();
    const DroppedFiles dropped = FilesOfDrop(paths);
    auto* step = m_pMainFrame->ReplaceStep<CWizardStepTwoEncode>(IDD_WIZARD_STEP_TWO_ENCODE);
    if (!step)
        return;
    step->SetFileList(dropped.files);
    if (mayBeCut)
        AfxMessageBox(CutSelectionMessage(step->FileList().size()), MB_OK | MB_ICONWARNING);
    else if (!dropped.missing.empty())
        AfxMessageBox(MissingFilesMessage(dropped.missing), MB_OK | MB_ICONWARNING);
}

bool CMainApp::ShowHomeStep() {
    return m_pMainFrame && m_pMainFrame->ShowHomeStep();
}

bool CMainApp::ShowAddSignatureStep() {
    return m_pMainFrame && m_pMainFrame->ShowAddSignatureStep();
}

bool CMainApp::ShowCheckSignatureStep() {
    return m_pMainFrame && m_pMainFrame->ShowCheckSignatureStep();
}

void CMainApp::OpenWebSite() {
    OpenWebAddress(kQuorvaneWebSite);
}

void CMainApp::AutoCompletePaths(HWND hEdit) {
    if (m_pfnSHAutoComplete)
        m_pfnSHAutoComplete(hEdit, SHACF_FILESYSTEM | SHACF_AUTOSUGGEST_FORCE_ON);
}

void CMainApp::BeginBatch(IBatchControl& batch) {
    if (m_pMainFrame)
        m_pMainFrame->SetBatch(&batch);
}

bool CMainApp::EndBatch() {
    return m_pMainFrame && m_pMainFrame->SetBatch(nullptr);
}

void CMainApp::OnAppAbout() {
    CAboutDlg aboutDlg(*this);
    aboutDlg.DoModal();
}
