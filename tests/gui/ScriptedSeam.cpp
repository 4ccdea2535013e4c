#include "ScriptedSeam.h"

CScriptedSeam::CScriptedSeam() : m_previous(SetSeam(this)) {}

CScriptedSeam::~CScriptedSeam() {
    SetSeam(m_previous);
}

void CScriptedSeam::AnswerMessageBox(int button) {
    m_messageBoxScripts.push([button](const MessageBoxCall&) { return button; });
}

void CScriptedSeam::OnMessageBox(MessageBoxScript script) {
    m_messageBoxScripts.push(std::move(script));
}

void CScriptedSeam::ChooseFiles(std::vector<std::wstring> paths) {
    m_fileDialogScripts.push([paths = std::move(paths)](const OpenFileRequest&) {
        return std::optional<std::vector<std::wstring>>(paths);
    });
}

void CScriptedSeam::CancelFileDialog() {
    m_fileDialogScripts.push(
        [](const OpenFileRequest&) { return std::optional<std::vector<std::wstring>>(); });
}

void CScriptedSeam::OnFileDialog(FileDialogScript script) {
    m_fileDialogScripts.push(std::move(script));
}

void CScriptedSeam::ChooseFolder(std::wstring path) {
    m_folderScripts.push([path = std::move(path)](const FolderRequest&) {
        return std::optional<std::wstring>(path);
    });
}

void CScriptedSeam::CancelFolderBrowser() {
    m_folderScripts.push([](const FolderRequest&) { return std::optional<std::wstring>(); });
}

void CScriptedSeam::OnFolderBrowser(FolderScript script) {
    m_folderScripts.push(std::move(script));
}

void CScriptedSeam::SetClock(std::uint32_t seconds) {
    m_hooks.reset();
    m_hooks.emplace();
    (*m_hooks)->clock = FixedClock(seconds);
}

int CScriptedSeam::MessageBox(HWND owner, const std::wstring& text, const std::wstring& caption,
                              UINT type) {
    messageBoxes.push_back({owner, text, caption, type});
    if (m_messageBoxScripts.empty()) {
        if ((type & MB_TYPEMASK) == MB_OK)
            return IDOK;
        ++unscripted;
        return IDCANCEL;
    }
    MessageBoxScript script = std::move(m_messageBoxScripts.front());
    m_messageBoxScripts.pop();
    return script(messageBoxes.back());
}

int CScriptedSeam::MessageBoxWithCheck(HWND owner, const std::wstring& text,
                                       const std::wstring& caption, UINT type,
                                       const std::wstring& verification, bool& checked) {
    checked = false;
    if (m_messageBoxScripts.empty()) {
        messageBoxes.push_back({owner, text, caption, type, verification});
        if ((type & MB_TYPEMASK) == MB_OK)
            return IDOK;
        ++unscripted;
        return IDCANCEL;
    }
    messageBoxes.push_back({owner, text, caption, type, verification});
    MessageBoxScript script = std::move(m_messageBoxScripts.front());
    m_messageBoxScripts.pop();
    const int answer = script(messageBoxes.back());
    checked = (answer & kTicked) != 0;
    return answer & ~kTicked;
}

std::optional<std::wstring> CScriptedSeam::SaveFile(const OpenFileRequest& request) {
    saveDialogs.push_back(request);
    if (m_savePaths.empty()) {
        ++unscripted;
        return std::nullopt;
    }
    std::wstring path = std::move(m_savePaths.front());
    m_savePaths.pop();
    return path;
}

std::optional<std::vector<std::wstring>> CScriptedSeam::OpenFiles(const OpenFileRequest& request) {
    fileDialogs.push_back(request);
    if (m_fileDialogScripts.empty()) {
        ++unscripted;
        return std::nullopt;
    }
    FileDialogScript script = std::move(m_fileDialogScripts.front());
    m_fileDialogScripts.pop();
    return script(request);
}

std::optional<std::wstring> CScriptedSeam::BrowseForFolder(const FolderRequest& request) {
    folderBrowsers.push_back(request);
    if (m_folderScripts.empty()) {
        ++unscripted;
        return std::nullopt;
    }
    FolderScript script = std::move(m_folderScripts.front());
    m_folderScripts.pop();
    return script(request);
}

INT_PTR CScriptedSeam::ShellExecute(const ShellExecuteRequest& request) {
    launches.push_back(request);
    return m_shellExecuteResult;
}

bool CScriptedSeam::StartSockets() {
    return !m_failSockets && CRealSeam().StartSockets();
}

bool CScriptedSeam::StartOle() {
    return !m_failOle && CRealSeam().StartOle();
}
