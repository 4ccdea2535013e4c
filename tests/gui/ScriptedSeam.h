// A seam for tests: message boxes, file and folder dialogs, program starts and the platform
// start-up are answered from a script and recorded, instead of being shown or run. It installs
// itself when constructed and puts the previous seam back when destroyed.
#pragma once

#include "Seam.h"
#include "TestHooks.h"

#include <functional>
#include <optional>
#include <queue>
#include <string>
#include <vector>

class CScriptedSeam : public ISeam {
public:
    struct MessageBoxCall {
        HWND owner;
        std::wstring text;
        std::wstring caption;
        UINT type;
        // The check box's text of a box with one; empty for a plain box.
        std::wstring verification{};
    };
    // Added to a script's button for a box with a check box: the box was ticked.
    static constexpr int kTicked = 0x10000;
    using MessageBoxScript = std::function<int(const MessageBoxCall&)>;
    using FileDialogScript =
        std::function<std::optional<std::vector<std::wstring>>(const OpenFileRequest&)>;
    using FolderScript = std::function<std::optional<std::wstring>(const FolderRequest&)>;

    CScriptedSeam();
    ~CScriptedSeam() override;
    CScriptedSeam(const CScriptedSeam&) = delete;
    CScriptedSeam& operator=(const CScriptedSeam&) = delete;

    // Each scripted answer serves one call, in the order given. A script function runs while
    // the program waits for the answer, so it can look at (or drive) the windows.
    void AnswerMessageBox(int button);
    void OnMessageBox(MessageBoxScript script);
    void ChooseFiles(std::vector<std::wstring> paths);
    void CancelFileDialog();
    // The save-file dialog: each answer serves one call; none cancels.
    void SaveAs(std::wstring path) { m_savePaths.push(std::move(path)); }
    void OnFileDialog(FileDialogScript script);
    void ChooseFolder(std::wstring path);
    void CancelFolderBrowser();
    void OnFolderBrowser(FolderScript script);
    // ShellExecute answers this from now on (42, a success, by default); nothing is started.
    void SetShellExecuteResult(INT_PTR result) { m_shellExecuteResult = result; }
    void FailSocketStartup() { m_failSockets = true; }
    void FailOleStartup() { m_failOle = true; }
    // Fixes the codec's clock for the seam's lifetime.
    void SetClock(std::uint32_t seconds);

    // What the program asked for, in order.
    std::vector<MessageBoxCall> messageBoxes;
    std::vector<OpenFileRequest> fileDialogs;
    std::vector<OpenFileRequest> saveDialogs;
    std::vector<FolderRequest> folderBrowsers;
    std::vector<ShellExecuteRequest> launches;
    // Calls that found no script: dialogs are then cancelled, and message boxes answered with
    // IDCANCEL, except plain MB_OK boxes, whose one button is IDOK and which do not count here.
    int unscripted = 0;

    int MessageBox(HWND owner, const std::wstring& text, const std::wstring& caption,
                   UINT type) override;
    int MessageBoxWithCheck(HWND owner, const std::wstring& text, const std::wstring& caption,
                            UINT type, const std::wstring& verification, bool& checked) override;
    std::optional<std::vector<std::wstring>> OpenFiles(const OpenFileRequest& request) override;
    std::optional<std::wstring> SaveFile(const OpenFileRequest& request) override;
    std::optional<std::wstring> BrowseForFolder(const FolderRequest& request) override;
    INT_PTR ShellExecute(const ShellExecuteRequest& request) override;
    bool StartSockets() override;
    bool StartOle() override;

private:
    ISeam* m_previous;
    std::queue<MessageBoxScript> m_messageBoxScripts;
    std::queue<FileDialogScript> m_fileDialogScripts;
    std::queue<FolderScript> m_folderScripts;
    std::queue<std::wstring> m_savePaths;
    INT_PTR m_shellExecuteResult = 42;
    bool m_failSockets = false;
    bool m_failOle = false;
    std::optional<CScopedTestHooks> m_hooks;
};
