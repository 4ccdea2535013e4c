// The application object: start-up, shut-down and the step protocol the steps call.
#pragma once

#include "AfxWin.h"
#include "Handles.h"

#include <string>

class CMainFrame;

class CMainApp : public CWinApp {
    DECLARE_DYNAMIC(CMainApp)
public:
    using SHAutoCompleteFn = HRESULT(WINAPI*)(HWND hwndEdit, DWORD dwFlags);

    CMainApp();
    ~CMainApp() override;

    BOOL InitInstance() override;

    // Each shows a new step of its kind in the main frame; false when it could not be shown
    // (the current step then stays).
    bool ShowHomeStep();
    bool ShowAddSignatureStep();
    bool ShowCheckSignatureStep();

    // Help > About: the About box, modal.
    void OnAppAbout();

    UniqueModule m_hShlwapi;                        // "shlwapi", or null
    SHAutoCompleteFn m_pfnSHAutoComplete = nullptr; // its SHAutoComplete, or null
    std::wstring m_szStartDir;                      // the working directory at start-up
    CMainFrame* m_pMainFrame = nullptr;             // also m_pMainWnd

protected:
    DECLARE_MESSAGE_MAP()

private:
    HRESULT m_hrCom = E_FAIL;
};

// The application object, which the steps reach for the step protocol.
CMainApp* GetMainApp();
