// The one seam between the program and what a test cannot drive on the real platform: message
// boxes, the open-file dialog, the folder browser, starting another program, the start-up of
// Winsock and OLE. The program reaches them only through GetSeam(); tests install a scripted
// seam in its place.
#pragma once

#include <winsock2.h>
#include <windows.h>

#include <optional>
#include <string>
#include <vector>

struct OpenFileRequest {
    HWND owner = nullptr;
    // Filter in the framework's form: "Text Files (*.txt)|*.txt|All Files (*.*)|*.*||".
    std::wstring filter;
    std::wstring defaultExt;
    std::wstring fileName; // proposed in the dialog's name box
    DWORD flags = 0;       // OFN_*; OFN_ALLOWMULTISELECT lets the user pick several files
};

struct FolderRequest {
    HWND owner = nullptr;
    std::wstring title;
    UINT flags = 0; // BIF_*
    // Selected when the browser opens, if it names a folder.
    std::wstring initialFolder;
};

struct ShellExecuteRequest {
    HWND owner = nullptr;
    std::wstring verb; // empty: the default verb
    std::wstring file;
    std::wstring parameters;
    std::wstring directory; // empty: the current directory
    int show = SW_SHOWNORMAL;
};

class ISeam {
public:
    virtual ~ISeam() = default;

    // MessageBoxW: the button pressed (IDOK, IDYES, ...).
    virtual int MessageBox(HWND owner, const std::wstring& text, const std::wstring& caption,
                           UINT type) = 0;
    // The same box with a check box `verification` below its text (a task dialog): the button
    // pressed, and in `checked` whether the box was ticked. Only MB_OK and MB_YESNO boxes;
    // where the system has no task dialog, a plain box with `checked` false.
    virtual int MessageBoxWithCheck(HWND owner, const std::wstring& text,
                                    const std::wstring& caption, UINT type,
                                    const std::wstring& verification, bool& checked) = 0;
    // The platform's save-file dialog: the chosen full path, or nothing when cancelled.
    virtual std::optional<std::wstring> SaveFile(const OpenFileRequest& request) = 0;
    // The platform's open-file dialog: the full paths of the chosen files in the order the
    // dialog gives them, or nothing when the user cancelled.
    virtual std::optional<std::vector<std::wstring>> OpenFiles(const OpenFileRequest& request) = 0;
    // The platform's folder browser: the chosen folder's file-system path, or nothing when the
    // user cancelled or chose a folder that has no file-system path.
    virtual std::optional<std::wstring> BrowseForFolder(const FolderRequest& request) = 0;
    // ShellExecuteW: its result, greater than 32 on success.
    virtual INT_PTR ShellExecute(const ShellExecuteRequest& request) = 0;
    // Winsock 2.2 and OLE start-up; each success is undone by the application object.
    virtual bool StartSockets() = 0;
    virtual bool StartOle() = 0;
};

class CRealSeam : public ISeam {
public:
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
};

// The installed seam; the real one unless a test installed another.
ISeam& GetSeam();
// Installs `seam` (null: the real one) and returns the previous one (null when it was the
// real one).
ISeam* SetSeam(ISeam* seam);

// Splits a multi-select open-file result ("folder\0name\0name\0\0", or one full path) into
// full paths.
std::vector<std::wstring> SplitOpenFileResult(const wchar_t* buffer);
// Turns "A|*.a|B|*.b||" into the NUL-separated form that OPENFILENAMEW wants.
std::wstring OpenFileFilter(const std::wstring& filter);
