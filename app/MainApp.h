// The application object: start-up, shut-down, and the host of the windows (the step protocol,
// the web site, path completion).
#pragma once

#include "AfxWin.h"
#include "Handles.h"
#include "WizardHost.h"

#include <string>
#include <vector>

class CMainFrame;

class CMainApp : public CWinApp, public IWizardHost {
    DECLARE_DYNAMIC(CMainApp)
public:
    using SHAutoCompleteFn = HRESULT(WINAPI*)(HWND hwndEdit, DWORD dwFlags);

    CMainApp();
    ~CMainApp() override;

    BOOL InitInstance() override;

    bool ShowHomeStep() override;
    bool ShowAddSignatureStep() override;
    bool ShowCheckSignatureStep() override;
    void OpenWebSite() override;
    void AutoCompletePaths(HWND hEdit) override;
    void BeginBatch(IBatchControl& batch) override;
    bool EndBatch() override;

    // Help > About: the About box, modal.
    void OnAppAbout();

    UniqueModule m_hShlwapi;                        // "shlwapi", or null
    SHAutoCompleteFn m_pfnSHAutoComplete = nullptr; // its SHAutoComplete, or null
    std::wstring m_szStartDir;                      // the working directory at start-up
    // The whole command line, program first; InitInstance takes the process's when empty.
    std::wstring m_szCommandLine;
    CMainFrame* m_pMainFrame = nullptr; // also m_pMainWnd

protected:
    DECLARE_MESSAGE_MAP()

private:
    // Shows the page the command line asks for, with its files, once the frame is shown.
    void StartAsAsked(const std::wstring& commandLine);
    void StartSigning(std::vector<std::wstring> paths, bool mayBeCut);

    HRESULT m_hrCom = E_FAIL;
};

// The application object.
CMainApp* GetMainApp();
