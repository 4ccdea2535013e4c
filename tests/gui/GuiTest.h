// Helpers for tests that drive Quorvane's real windows in-process, under Wine.
#pragma once

#include "AfxWin.h"
#include "MainApp.h"
#include "MainFrame.h"
#include "ScriptedSeam.h"

#include <chrono>
#include <functional>
#include <memory>
#include <string>

// Dispatches the messages waiting in the queue through the application's message loop
// (accelerators and dialog keys included). False once WM_QUIT has come.
bool PumpPending();
// Runs the application's message loop until `done` holds (true) or `timeout` passes (false).
bool PumpUntil(const std::function<bool()>& done,
               std::chrono::milliseconds timeout = std::chrono::seconds(10));

// Clicks control `id` of `dialog` as the mouse would (BM_CLICK).
void Click(HWND dialog, int id);
// Presses and releases a key on the focused window, through the message loop.
void PressKey(UINT virtualKey);
// The dialog-unit rectangle (0, 0, cx, cy) of `dialog`'s font, in pixels.
SIZE DialogUnitsToPixels(HWND dialog, int cx, int cy);
RECT WindowRect(HWND hWnd);
RECT ClientRect(HWND hWnd);
std::wstring WindowText(HWND hWnd);
// A control's window, or null.
HWND Control(HWND dialog, int id);

// The desktop program started in this process, with a scripted seam, as if by `commandLine`
// (the whole line, program first): CMainApp's InitInstance has run. At the end the main frame is
// closed, the queue drained and the application object destroyed, as when the program ends.
class CDesktopSession {
public:
    explicit CDesktopSession(const std::wstring& commandLine = L"Quorvane.exe");
    // Scripts the seam with `script` before the program starts, for what start-up shows.
    CDesktopSession(const std::wstring& commandLine,
                    const std::function<void(CScriptedSeam&)>& script);
    ~CDesktopSession();
    CDesktopSession(const CDesktopSession&) = delete;
    CDesktopSession& operator=(const CDesktopSession&) = delete;

    bool Started() const { return m_started; }
    CScriptedSeam& Seam() { return *m_seam; }
    CMainApp& App() { return *m_app; }
    CMainFrame* Frame() { return m_app->m_pMainFrame; }
    HWND FrameWindow() { return Frame() ? Frame()->m_hWnd : nullptr; }
    CDialog* Step() { return Frame() ? Frame()->GetCurrentStep() : nullptr; }
    HWND StepWindow() { return Step() ? Step()->m_hWnd : nullptr; }
    // The class name of the current step ("CWizardStepOne", ...), or empty.
    std::string StepClass();

private:
    std::unique_ptr<CScriptedSeam> m_seam;
    std::unique_ptr<CMainApp> m_app;
    bool m_started = false;
};
