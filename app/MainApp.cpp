#include "MainApp.h"

#include "AboutDlg.h"
#include "Browser.h"
#include "BrowserCommand.h"
#include "MainFrame.h"
#include "resource.h"

#include <commctrl.h>
#include <objbase.h>
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
    return TRUE;
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
