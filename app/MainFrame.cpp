#include "MainFrame.h"

#include "Browser.h"
#include "BrowserCommand.h"
#include "MainApp.h"
#include "WizardStepOne.h"
#include "WizardStepTwoDecode.h"
#include "WizardStepTwoEncode.h"
#include "resource.h"

#include <io.h>

namespace {

constexpr UINT kRaiseBatchWindow = WM_APP + 10;

// The folder that holds this program.
std::wstring ProgramFolder() {
    std::wstring path(MAX_PATH, L'\0');
    for (;;) {
        const DWORD length =
            ::GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
        if (length == 0)
            return {};
        if (length < path.size()) {
            path.resize(length);
            break;
        }
        path.resize(path.size() * 2);
    }
    const std::size_t separator = path.find_last_of(L"\\/");
    return separator == std::wstring::npos ? std::wstring() : path.substr(0, separator);
}

bool HelpPageIn(const std::wstring& folder) {
    return ::_waccess(HelpFilePath(folder).c_str(), 0) == 0;
}

} // namespace

IMPLEMENT_DYNAMIC(CMainFrame, CFrameWnd)

BEGIN_MESSAGE_MAP(CMainFrame, CFrameWnd)
ON_WM_CREATE()
ON_WM_SETFOCUS()
ON_WM_DESTROY()
ON_WM_CLOSE()
ON_MESSAGE(WM_ACTIVATE, OnActivate)
ON_MESSAGE(kRaiseBatchWindow, OnRaiseBatchWindow)
ON_MESSAGE(WM_DPICHANGED, OnDpiChanged)
ON_COMMAND(ID_HELP_TOPICS, OnHelpTopics)
ON_COMMAND(ID_HELP, OnHelpTopics)
END_MESSAGE_MAP()

CMainFrame::~CMainFrame() {
    CMainApp* app = GetMainApp();
    if (app && app->m_pMainFrame == this)
        app->m_pMainFrame = nullptr;
}

BOOL CMainFrame::PreCreateWindow(CREATESTRUCTW& cs) {
    if (!CFrameWnd::PreCreateWindow(cs))
        return FALSE;
    // Fixed size: no sizing border and no maximise box.
    cs.style = static_cast<LONG>(WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX | FWS_ADDTOTITLE);
    cs.dwExStyle &= ~static_cast<DWORD>(WS_EX_CLIENTEDGE);
    cs.lpszClass = AfxRegisterWndClass(0);
    return cs.lpszClass != nullptr;
}

int CMainFrame::OnCreate(LPCREATESTRUCTW lpCreateStruct) {
    if (CFrameWnd::OnCreate(lpCreateStruct) == -1)
        return -1;
    SetIcon(::LoadIconW(AfxGetResourceHandle(), MAKEINTRESOURCEW(IDR_MAINFRAME)), TRUE);
    SetWindowText(AfxLoadString(IDR_MAINFRAME));
    if (HMENU systemMenu = GetSystemMenu(FALSE)) {
        ::RemoveMenu(systemMenu, SC_SIZE, MF_BYCOMMAND);
        ::RemoveMenu(systemMenu, SC_MAXIMIZE, MF_BYCOMMAND);
    }
    // Without a step the frame would be an empty window.
    return ShowHomeStep() ? 0 : -1;
}

void CMainFrame::OnSetFocus(CWnd*) {
    if (m_pCurrentStep)
        m_pCurrentStep->SetFocus();
}

void CMainFrame::OnDestroy() {
    // The step's window goes with the frame's, and the step object with it.
    m_pCurrentStep = nullptr;
    DefWindowProc(WM_DESTROY, 0, 0);
}

void CMainFrame::OnClose() {
    if (m_pBatch) {
        // The batch ends first: the copy being written is dropped, files signed stay.
        if (m_pBatch->StopForClose())
            m_bCloseAfterBatch = true;
        return;
    }
    DefWindowProc(WM_CLOSE, 0, 0);
}

LRESULT CMainFrame::OnActivate(WPARAM wParam, LPARAM lParam) {
    const LRESULT result = DefWindowProc(WM_ACTIVATE, wParam, lParam);
    // The frame may be moved, minimised or closed during a batch, but the batch's window stays
    // above it.
    if (LOWORD(wParam) != WA_INACTIVE && m_pBatch)
        ::PostMessageW(m_hWnd, kRaiseBatchWindow, 0, 0);
    return result;
}

LRESULT CMainFrame::OnRaiseBatchWindow(WPARAM, LPARAM) {
    // Restacked outright: Wine's desktop can leave an owned topmost window drawn behind an
    // owner the mouse just raised, while its own order already says it is on top.
    if (m_pBatch) {
        if (const HWND window = m_pBatch->BatchWindow()) {
            constexpr UINT kFlags = SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE;
            ::SetWindowPos(window, HWND_NOTOPMOST, 0, 0, 0, 0, kFlags);
            ::SetWindowPos(window, HWND_TOPMOST, 0, 0, 0, 0, kFlags);
        }
    }
    return 0;
}

bool CMainFrame::SetBatch(IBatchControl* batch) {
    m_pBatch = batch;
    const BOOL enable = batch ? FALSE : TRUE;
    if (m_pCurrentStep)
        m_pCurrentStep->EnableWindow(enable);
    if (HMENU menu = ::GetMenu(m_hWnd)) {
        const int count = ::GetMenuItemCount(menu);
        for (int i = 0; i < count; ++i)
            ::EnableMenuItem(menu, static_cast<UINT>(i),
                             MF_BYPOSITION | (enable ? MF_ENABLED : MF_GRAYED));
        ::DrawMenuBar(m_hWnd);
    }
    if (batch)
        return false;
    if (m_bCloseAfterBatch) {
        m_bCloseAfterBatch = false;
        ::PostMessageW(m_hWnd, WM_CLOSE, 0, 0);
        return true;
    }
    if (m_pCurrentStep && ::GetActiveWindow() == m_hWnd)
        m_pCurrentStep->SetFocus();
    return false;
}

BOOL CMainFrame::PreTranslateMessage(MSG* pMsg) {
    // No menu command, F1 included, while a batch runs.
    if (m_pBatch)
        return FALSE;
    return CFrameWnd::PreTranslateMessage(pMsg);
}

LRESULT CMainFrame::OnDpiChanged(WPARAM, LPARAM lParam) {
    const auto* suggested = reinterpret_cast<const RECT*>(lParam);
    SetWindowPos(nullptr, suggested->left, suggested->top, suggested->right - suggested->left,
                 suggested->bottom - suggested->top, SWP_NOZORDER | SWP_NOACTIVATE);
    FitToStep(SWP_NOZORDER | SWP_NOACTIVATE);
    return 0;
}

void CMainFrame::OnHelpTopics() {
    // Only the page installed beside the program: the folder Quorvane starts in may be anyone's
    // (Explorer's verb starts it in the checked file's folder).
    const std::wstring folder = ProgramFolder();
    if (folder.empty() || !HelpPageIn(folder)) {
        AfxMessageBox(L"Help file not found! Please re-install Quorvane!", MB_OK);
        return;
    }
    OpenWebAddress(HelpAddress(folder));
}

bool CMainFrame::ShowHomeStep() {
    return ShowStep<CWizardStepOne>(IDD_WIZARD_STEP_ONE);
}

bool CMainFrame::ShowAddSignatureStep() {
    return ShowStep<CWizardStepTwoEncode>(IDD_WIZARD_STEP_TWO_ENCODE);
}

bool CMainFrame::ShowCheckSignatureStep() {
    return ShowStep<CWizardStepTwoDecode>(IDD_WIZARD_STEP_TWO_DECODE);
}

bool CMainFrame::AdoptStep(CDialog* step, UINT nIDTemplate) {
    if (!step->Create(nIDTemplate, this)) {
        delete step; // no window, so the step cannot delete itself
        return false;
    }
    m_pCurrentStep = step;
    step->ShowWindow(SW_SHOW);
    FitToStep(SWP_NOMOVE);
    // Keep the keyboard in the frame's step when the frame is active.
    if (::GetActiveWindow() == m_hWnd)
        step->SetFocus();
    return true;
}

void CMainFrame::FitToStep(UINT flags) {
    if (!m_pCurrentStep)
        return;
    RECT step{};
    RECT client{};
    RECT frame{};
    m_pCurrentStep->GetWindowRect(&step);
    GetClientRect(&client);
    GetWindowRect(&frame);
    const int width = (frame.right - frame.left) - client.right + (step.right - step.left);
    const int height = (frame.bottom - frame.top) - client.bottom + (step.bottom - step.top);
    SetWindowPos(nullptr, 0, 0, width, height, flags);
}
