// Helpers for the tests of the signing side's windows: the add-signature step, the file list
// dialog and the progress window, driven in-process under Wine.
#pragma once

#include "GuiTest.h"
#include "TempDir.h"
#include "WizardStepTwoEncode.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <string>
#include <vector>

inline constexpr wchar_t kListCaption[] = L"View Selected Files";

// Runs `script` once, from inside the message loop of the thread's modal dialog captioned
// `caption`, with that dialog's window: the way to act in a modal dialog that the program
// opens and waits on. A thread timer wakes the loop; it ends with the object.
class CModalScript {
public:
    CModalScript(std::wstring caption, std::function<void(HWND dialog)> script);
    ~CModalScript();
    CModalScript(const CModalScript&) = delete;
    CModalScript& operator=(const CModalScript&) = delete;

    bool Ran() const { return m_ran; }

private:
    static void CALLBACK OnTimer(HWND, UINT, UINT_PTR id, DWORD);

    std::wstring m_caption;
    std::function<void(HWND)> m_script;
    UINT_PTR m_timer = 0;
    bool m_ran = false;
};

// Watches the progress window through a hook on the thread's window messages and writes what
// the user would see into `log`: "range 0..N", "position P", "shown", "status TEXT" and
// "destroyed, status TEXT", in the order they happen.
class CProgressSpy {
public:
    explicit CProgressSpy(std::vector<std::wstring>& log);
    ~CProgressSpy();
    CProgressSpy(const CProgressSpy&) = delete;
    CProgressSpy& operator=(const CProgressSpy&) = delete;

    // The progress windows seen: handle, parent, and owner at creation.
    struct Window {
        HWND dialog;
        HWND owner;
    };
    std::vector<Window> windows;

private:
    static LRESULT CALLBACK OnCallRet(int code, WPARAM wParam, LPARAM lParam);
    static LRESULT CALLBACK OnCall(int code, WPARAM wParam, LPARAM lParam);
    void After(const CWPRETSTRUCT& message);
    void Before(const CWPSTRUCT& message);

    std::vector<std::wstring>& m_log;
    HHOOK m_afterHook = nullptr;
    HHOOK m_beforeHook = nullptr;
    bool m_inside = false;
};

// Closes every "Files not signed" window as soon as it opens, keeping its rows (File, What
// happened, Cause) in `reports`, one entry per window; while `keepOpen`, leaves them to the
// test.
class CReportWatch {
public:
    CReportWatch();
    ~CReportWatch();
    CReportWatch(const CReportWatch&) = delete;
    CReportWatch& operator=(const CReportWatch&) = delete;

    std::vector<std::vector<std::vector<std::wstring>>> reports;
    bool keepOpen = false;

private:
    static LRESULT CALLBACK OnCallRet(int code, WPARAM wParam, LPARAM lParam);
    HHOOK m_hook = nullptr;
};

// True when `text` fits on one line of static control `label`, in its font.
bool FitsOnOneLine(HWND label, const std::wstring& text);
// True when the whole text of static control `label` shows, wrapped as the control wraps it.
bool ShowsWhole(HWND label);
// True when `window`'s centre is that of `over` (within a pixel).
bool CentredOver(HWND window, HWND over);

// The list control's items, in order.
std::vector<std::wstring> ListItems(HWND dialog);
// The rows of a file report's list as shown: `columns` texts each.
std::vector<std::vector<std::wstring>> ReportRows(HWND dialog, int columns);
// Selects exactly the items `indices` of the file list dialog's list.
void SelectItems(HWND dialog, const std::vector<int>& indices);
// Sends the dialog a drop of `paths`, as the shell does.
void DropFiles(HWND dialog, const std::vector<std::wstring>& paths);

// A path under Windows' limit or over it, as the file functions take it.
std::filesystem::path Long(const std::filesystem::path& path);
void WriteFile(const std::filesystem::path& path, const Bytes& bytes);
Bytes ReadFile(const std::filesystem::path& path);
bool Exists(const std::filesystem::path& path);
// The names in `folder`, sorted.
std::vector<std::wstring> FolderNames(const std::filesystem::path& folder);
// The text of a file's trailer, or nothing.
std::optional<std::u16string> SignatureOf(const std::filesystem::path& path);

// A started program showing a fresh add-signature step, with a scratch folder.
class SigningGuiTest : public testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    CScriptedSeam& Seam() { return session.Seam(); }
    HWND StepWindow() { return session.StepWindow(); }
    CWizardStepTwoEncode* AddStep();
    HWND Ctl(int id) { return Control(StepWindow(), id); }
    bool Enabled(int id) { return ::IsWindowEnabled(Ctl(id)) != FALSE; }
    std::wstring Text(int id) { return WindowText(Ctl(id)); }
    void SetText(int id, const std::wstring& text) { ::SetWindowTextW(Ctl(id), text.c_str()); }
    // Replaces the whole text of edit `id` as typing or pasting does (a multi-line edit
    // reports no change for WM_SETTEXT).
    void Type(int id, const std::wstring& text);

    // "Select Files", then in the file list dialog `act` (by default "Done"). With an empty
    // list the open-file dialog comes at once: script it before.
    void OpenFileList(std::function<void(HWND dialog)> act = {});
    // Chooses `paths` through "Select Files" ("Add" when the list holds files) and "Done".
    void SelectFiles(const std::vector<std::wstring>& paths);
    // Answers the next message box with `button`, writing it into `log` first.
    void Answer(int button = IDOK);
    void AnswerWith(std::function<int()> act);

    // Files `names` with distinct contents in `folder` (made if needed); their full paths.
    std::vector<std::wstring> MakeFiles(const std::filesystem::path& folder,
                                        const std::vector<std::wstring>& names);

    CDesktopSession session;
    TempDir temp;
    std::vector<std::wstring> log;
    CReportWatch reportWatch;
};
