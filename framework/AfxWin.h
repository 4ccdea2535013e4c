// Quorvane's thin layer over Win32: the application, window, frame and dialog classes the
// program is built from, with message maps (a static table per class, chained to the base
// class's table) and run-time class names. It knows nothing of signatures, files or wizards.
#pragma once

#include <winsock2.h>
#include <windows.h>

#include "AfxRes.h"

#include <exception>
#include <functional>
#include <string>
#include <vector>

class CWnd;
class CWinApp;
class CDataExchange;

// ---------------------------------------------------------------------------------------------
// Run-time class information.

struct CRuntimeClass {
    const char* m_lpszClassName;
    const CRuntimeClass* m_pBaseClass;

    bool IsDerivedFrom(const CRuntimeClass* base) const;
};

#define RUNTIME_CLASS(class_name) (&class_name::classInfo##class_name)

#define DECLARE_DYNAMIC(class_name)                                                                \
public:                                                                                            \
    static const CRuntimeClass classInfo##class_name;                                              \
    const CRuntimeClass* GetRuntimeClass() const override;

#define IMPLEMENT_DYNAMIC(class_name, base_class_name)                                             \
    const CRuntimeClass class_name::classInfo##class_name = {#class_name,                          \
                                                             RUNTIME_CLASS(base_class_name)};      \
    const CRuntimeClass* class_name::GetRuntimeClass() const {                                     \
        return RUNTIME_CLASS(class_name);                                                          \
    }

class CObject {
public:
    static const CRuntimeClass classInfoCObject;

    CObject() = default;
    CObject(const CObject&) = delete;
    CObject& operator=(const CObject&) = delete;
    virtual ~CObject() = default;

    virtual const CRuntimeClass* GetRuntimeClass() const;
    bool IsKindOf(const CRuntimeClass* cls) const;
};

// ---------------------------------------------------------------------------------------------
// Message maps.

class CCmdTarget;

// Calls one handler: the target is the object whose map holds the entry.
using AFX_PMSG = LRESULT (*)(CCmdTarget* target, WPARAM wParam, LPARAM lParam);

struct AFX_MSGMAP_ENTRY {
    UINT nMessage; // window message; 0 ends the table
    UINT nCode;    // notification code of WM_COMMAND and WM_NOTIFY
    UINT nID;      // control or command id of WM_COMMAND and WM_NOTIFY
    AFX_PMSG pfn;
};

struct AFX_MSGMAP {
    const AFX_MSGMAP* (*pfnGetBaseMap)();
    const AFX_MSGMAP_ENTRY* lpEntries;
};

#define DECLARE_MESSAGE_MAP()                                                                      \
protected:                                                                                         \
    static const AFX_MSGMAP* GetThisMessageMap();                                                  \
    const AFX_MSGMAP* GetMessageMap() const override;

#define BEGIN_MESSAGE_MAP(theClass, baseClass)                                                     \
    const AFX_MSGMAP* theClass::GetMessageMap() const {                                            \
        return GetThisMessageMap();                                                                \
    }                                                                                              \
    const AFX_MSGMAP* theClass::GetThisMessageMap() {                                              \
        using ThisClass [[maybe_unused]] = theClass;                                               \
        using TheBaseClass = baseClass;                                                            \
        static const AFX_MSGMAP_ENTRY entries[] = {

#define END_MESSAGE_MAP()                                                                          \
    { 0, 0, 0, nullptr }                                                                           \
    }                                                                                              \
    ;                                                                                              \
    static const AFX_MSGMAP messageMap = {&TheBaseClass::GetThisMessageMap, entries};              \
    return &messageMap;                                                                            \
    }

#define AFX_THIS(target) static_cast<ThisClass*>(target)

// A command from a menu, an accelerator or a button (notification code 0, or 1 from an
// accelerator).
#define ON_COMMAND(id, memberFxn)                                                                  \
    {WM_COMMAND, 0, static_cast<UINT>(id), [](CCmdTarget* target, WPARAM, LPARAM) -> LRESULT {     \
         AFX_THIS(target)->memberFxn();                                                            \
         return 0;                                                                                 \
     }},

#define ON_CONTROL(code, id, memberFxn)                                                            \
    {WM_COMMAND, static_cast<UINT>(code), static_cast<UINT>(id),                                   \
     [](CCmdTarget* target, WPARAM, LPARAM) -> LRESULT {                                           \
         AFX_THIS(target)->memberFxn();                                                            \
         return 0;                                                                                 \
     }},

#define ON_BN_CLICKED(id, memberFxn) ON_CONTROL(BN_CLICKED, id, memberFxn)
#define ON_EN_CHANGE(id, memberFxn) ON_CONTROL(EN_CHANGE, id, memberFxn)
#define ON_STN_CLICKED(id, memberFxn) ON_CONTROL(STN_CLICKED, id, memberFxn)

// void memberFxn(NMHDR* pNotifyStruct, LRESULT* pResult)
#define ON_NOTIFY(code, id, memberFxn)                                                             \
    {WM_NOTIFY, static_cast<UINT>(code), static_cast<UINT>(id),                                    \
     [](CCmdTarget* target, WPARAM, LPARAM lParam) -> LRESULT {                                    \
         LRESULT result = 0;                                                                       \
         AFX_THIS(target)->memberFxn(reinterpret_cast<NMHDR*>(lParam), &result);                   \
         return result;                                                                            \
     }},

// LRESULT memberFxn(WPARAM, LPARAM)
#define ON_MESSAGE(message, memberFxn)                                                             \
    {static_cast<UINT>(message), 0, 0, [](CCmdTarget* target, WPARAM wParam, LPARAM lParam) {      \
         return AFX_THIS(target)->memberFxn(wParam, lParam);                                       \
     }},

#define ON_WM_CREATE()                                                                             \
    {WM_CREATE, 0, 0, [](CCmdTarget* target, WPARAM, LPARAM lParam) -> LRESULT {                   \
         return AFX_THIS(target)->OnCreate(reinterpret_cast<LPCREATESTRUCTW>(lParam));             \
     }},

#define ON_WM_SETFOCUS()                                                                           \
    {WM_SETFOCUS, 0, 0, [](CCmdTarget* target, WPARAM wParam, LPARAM) -> LRESULT {                 \
         AFX_THIS(target)->OnSetFocus(CWnd::FromHandle(reinterpret_cast<HWND>(wParam)));           \
         return 0;                                                                                 \
     }},

#define ON_WM_CLOSE()                                                                              \
    {WM_CLOSE, 0, 0, [](CCmdTarget* target, WPARAM, LPARAM) -> LRESULT {                           \
         AFX_THIS(target)->OnClose();                                                              \
         return 0;                                                                                 \
     }},

#define ON_WM_DESTROY()                                                                            \
    {WM_DESTROY, 0, 0, [](CCmdTarget* target, WPARAM, LPARAM) -> LRESULT {                         \
         AFX_THIS(target)->OnDestroy();                                                            \
         return 0;                                                                                 \
     }},

// Messages a parent reflects to the child they concern arrive in the child's map as
// WM_REFLECT_BASE + the message. The colour requests (WM_CTLCOLORSTATIC and its siblings) are
// all reflected as WM_CTLCOLOR, with the CTLCOLOR_* kind in lParam (AfxGdi.h).
#ifndef WM_CTLCOLOR
#define WM_CTLCOLOR 0x0019
#endif
constexpr UINT WM_REFLECT_BASE = 0xBC00;

class CCmdTarget : public CObject {
public:
    static const CRuntimeClass classInfoCCmdTarget;
    const CRuntimeClass* GetRuntimeClass() const override;

    // Looks up a handler for the message (and, for WM_COMMAND and WM_NOTIFY, its code and id)
    // in this object's map and its bases'. Runs it and returns true when one exists; with
    // `probeOnly`, only says whether one exists.
    bool DispatchFromMap(UINT message, WPARAM wParam, LPARAM lParam, LRESULT& result,
                         bool probeOnly = false);

    // Routes a command (WM_COMMAND with no control window) to this object's map; frames pass
    // it on to the application. Returns true when a handler exists (and, unless `probeOnly`,
    // has run).
    virtual bool OnCmdMsg(UINT nID, int nCode, bool probeOnly = false);

protected:
    static const AFX_MSGMAP* GetThisMessageMap();
    virtual const AFX_MSGMAP* GetMessageMap() const;
};

// ---------------------------------------------------------------------------------------------
// Windows.

class CWnd : public CCmdTarget {
    DECLARE_DYNAMIC(CWnd)
public:
    CWnd();
    ~CWnd() override;

    HWND m_hWnd = nullptr;

    // The object bound to a window of ours or a control attached by DDX_Control; null for
    // other windows.
    static CWnd* FromHandle(HWND hWnd);

    operator HWND() const { return m_hWnd; }

    // Binds an existing window (a dialog's control) to this object without subclassing it.
    bool Attach(HWND hWnd);
    HWND Detach();

    BOOL CreateEx(DWORD dwExStyle, LPCWSTR lpszClassName, LPCWSTR lpszWindowName, DWORD dwStyle,
                  int x, int y, int nWidth, int nHeight, HWND hWndParent, HMENU nIDorHMenu,
                  LPVOID lpParam = nullptr);
    virtual BOOL DestroyWindow();
    virtual BOOL PreCreateWindow(CREATESTRUCTW& cs);
    // Keyboard and other messages before they are dispatched; true when handled.
    virtual BOOL PreTranslateMessage(MSG* pMsg);

    BOOL ShowWindow(int nCmdShow) { return ::ShowWindow(m_hWnd, nCmdShow); }
    void UpdateWindow() { ::UpdateWindow(m_hWnd); }
    CWnd* SetFocus() { return FromHandle(::SetFocus(m_hWnd)); }
    // Disabling the control that has the keyboard focus first moves the focus to the dialog's
    // next control, so that the keyboard never stays on a control that takes no keys.
    BOOL EnableWindow(BOOL bEnable = TRUE);
    void GetWindowRect(LPRECT lpRect) const { ::GetWindowRect(m_hWnd, lpRect); }
    void GetClientRect(LPRECT lpRect) const { ::GetClientRect(m_hWnd, lpRect); }
    BOOL SetWindowPos(const CWnd* pWndInsertAfter, int x, int y, int cx, int cy, UINT nFlags);
    void SetWindowText(const std::wstring& text) { ::SetWindowTextW(m_hWnd, text.c_str()); }
    std::wstring GetWindowText() const;
    int GetWindowTextLength() const { return ::GetWindowTextLengthW(m_hWnd); }
    LRESULT SendMessage(UINT message, WPARAM wParam = 0, LPARAM lParam = 0) const {
        return ::SendMessageW(m_hWnd, message, wParam, lParam);
    }
    BOOL ModifyStyle(DWORD dwRemove, DWORD dwAdd, UINT nFlags = 0);
    BOOL ModifyStyleEx(DWORD dwRemove, DWORD dwAdd, UINT nFlags = 0);
    HMENU GetSystemMenu(BOOL bRevert) const { return ::GetSystemMenu(m_hWnd, bRevert); }
    HICON SetIcon(HICON hIcon, BOOL bBigIcon);
    int GetDlgCtrlID() const { return ::GetDlgCtrlID(m_hWnd); }
    // Centres this pop-up window over its owner, or over the work area when the owner is
    // hidden or minimised, and keeps it inside that work area.
    void CenterWindow();

    // A message box owned by this window, through the seam (see Seam.h).
    int MessageBox(const std::wstring& text, const std::wstring& caption = {}, UINT nType = MB_OK);

protected:
    DECLARE_MESSAGE_MAP()

    // The message's default treatment (DefWindowProc, or the dialog manager for dialogs).
    virtual LRESULT DefWindowProc(UINT message, WPARAM wParam, LPARAM lParam);
    // Every message of the window: the message map first, then the default.
    virtual LRESULT WindowProc(UINT message, WPARAM wParam, LPARAM lParam);
    virtual BOOL OnCommand(WPARAM wParam, LPARAM lParam);
    virtual BOOL OnNotify(WPARAM wParam, LPARAM lParam, LRESULT* pResult);
    // The window's last message: unbinds the object from its window, then calls PostNcDestroy
    // as its last action. A map handler of WM_NCDESTROY must call it.
    void OnNcDestroy();
    // Called after the window's last message; objects that own themselves delete themselves
    // here. Nothing may touch the object afterwards.
    virtual void PostNcDestroy() {}

    // Binds `this` to a window being born inside CreateEx or a dialog creation.
    void BindCreating(HWND hWnd);
    // Runs `create` with this object as the one its window binds to on its first message;
    // the window, or null (the object then has none).
    HWND CreateBound(const std::function<HWND()>& create);
    BOOL ModifyWindowLong(int index, DWORD dwRemove, DWORD dwAdd, UINT nFlags);

public:
    // The window procedure of every window class registered by AfxRegisterWndClass.
    static LRESULT CALLBACK AfxWndProc(HWND hWnd, UINT message, WPARAM wParam, LPARAM lParam);

protected:
    friend class CDialog;
    friend class CWinApp;
    friend LRESULT AfxCallWndProc(CWnd* pWnd, HWND hWnd, UINT message, WPARAM wParam,
                                  LPARAM lParam);
    friend CWnd* AfxBindIfCreating(HWND hWnd);

    // Set while CreateEx or a dialog creation runs: a window that dies inside its own creation
    // leaves the object to the caller (PostNcDestroy is not called).
    bool m_bCreating = false;
    // The window was created by this object (not attached), so the object destroys it.
    bool m_bOwnsWindow = false;
};

// Counts the live window objects (constructed and not yet destroyed, with or without a
// window) whose class is `cls` or derived from it.
std::size_t AfxCountLiveObjects(const CRuntimeClass* cls);

// Frame style bits of the framework; they carry no meaning for the window system.
constexpr DWORD FWS_ADDTOTITLE = 0x00008000L;

class CFrameWnd : public CWnd {
    DECLARE_DYNAMIC(CFrameWnd)
public:
    CFrameWnd() = default;

    // Creates the frame with menu, accelerators, icon and title of resource `nIDResource`.
    virtual BOOL LoadFrame(UINT nIDResource, DWORD dwDefaultStyle, CWnd* pParentWnd = nullptr,
                           void* pContext = nullptr);
    BOOL PreCreateWindow(CREATESTRUCTW& cs) override;
    BOOL PreTranslateMessage(MSG* pMsg) override;
    bool OnCmdMsg(UINT nID, int nCode, bool probeOnly = false) override;

    HACCEL m_hAccelTable = nullptr; // from resources: freed with the module

protected:
    DECLARE_MESSAGE_MAP()

    int OnCreate(LPCREATESTRUCTW lpCreateStruct);
    // Menu items whose command has no handler are shown disabled.
    LRESULT OnInitMenuPopup(WPARAM wParam, LPARAM lParam);
    // Frames are allocated with new and delete themselves with their window.
    void PostNcDestroy() override { delete this; }

    UINT m_nIDResource = 0;
};

// ---------------------------------------------------------------------------------------------
// Dialogs: modal (DoModal, ended by EndDialog) and modeless (Create, ended by DestroyWindow).

class CDataExchange {
public:
    CDataExchange(CWnd* pDlgWnd, BOOL bSaveAndValidate)
        : m_bSaveAndValidate(bSaveAndValidate), m_pDlgWnd(pDlgWnd) {}
    BOOL m_bSaveAndValidate;
    CWnd* m_pDlgWnd;
};

// Binds the dialog's control `nIDC` to `rControl` (once; later exchanges leave it bound).
void DDX_Control(CDataExchange* pDX, int nIDC, CWnd& rControl);

class CDialog : public CWnd {
    DECLARE_DYNAMIC(CDialog)
public:
    explicit CDialog(UINT nIDTemplate = 0, CWnd* pParentWnd = nullptr);

    // Modeless: creates the dialog window from template `nIDTemplate` as a child or owned
    // window of `pParentWnd`.
    virtual BOOL Create(UINT nIDTemplate, CWnd* pParentWnd = nullptr);
    // Modal: runs the dialog from the template given at construction; returns the value passed
    // to EndDialog, or -1 when the dialog could not be created.
    virtual INT_PTR DoModal();
    void EndDialog(int nResult);
    BOOL DestroyWindow() override;

    virtual BOOL OnInitDialog();
    BOOL UpdateData(BOOL bSaveAndValidate = TRUE);
    BOOL PreTranslateMessage(MSG* pMsg) override;

    bool IsModal() const { return m_bModal; }
    // Widens each static text whose text does not fit its box, within the group box around
    // it (or the dialog), so that labels laid out for one font show whole in another.
    void FitStaticTexts();

protected:
    DECLARE_MESSAGE_MAP()

    virtual void OnOK();
    virtual void OnCancel();
    virtual void DoDataExchange(CDataExchange* pDX);

    LRESULT DefWindowProc(UINT message, WPARAM wParam, LPARAM lParam) override;
    LRESULT WindowProc(UINT message, WPARAM wParam, LPARAM lParam) override;

    static INT_PTR CALLBACK AfxDlgProc(HWND hWnd, UINT message, WPARAM wParam, LPARAM lParam);

    UINT m_nIDTemplate = 0;
    CWnd* m_pParentWnd = nullptr;

private:
    friend void DDX_Control(CDataExchange*, int, CWnd&);
    void DetachControls();

    bool m_bModal = false;
    std::vector<CWnd*> m_boundControls;
};

// A modeless dialog that only its own buttons end: Enter and Esc do nothing. With
// `autoDelete` the object was made with new and frees itself when its window is gone.
class CPageDialog : public CDialog {
    DECLARE_DYNAMIC(CPageDialog)
public:
    CPageDialog(UINT nIDTemplate, CWnd* pParentWnd, bool autoDelete);

    BOOL OnInitDialog() override;

protected:
    void OnOK() override {}
    void OnCancel() override {}
    void PostNcDestroy() override;

private:
    bool m_bAutoDelete;
};

// ---------------------------------------------------------------------------------------------
// The application.

class CWinApp : public CCmdTarget {
    DECLARE_DYNAMIC(CWinApp)
public:
    // Without a name, the title is string AFX_IDS_APP_TITLE of the program's resources.
    explicit CWinApp(const wchar_t* lpszAppName = nullptr);
    ~CWinApp() override;

    virtual BOOL InitInstance() { return TRUE; }
    // The message loop; returns the exit code.
    virtual int Run();
    virtual int ExitInstance();
    // Accelerators of the main window first, then the dialog keys of the modeless dialog that
    // holds the message's window.
    virtual BOOL PreTranslateMessage(MSG* pMsg);
    // Takes one message from the queue and dispatches it; FALSE on WM_QUIT.
    BOOL PumpMessage();
    // Dispatches every message waiting in the queue without blocking; FALSE on WM_QUIT.
    BOOL PumpWaitingMessages();
    // The exit code of the WM_QUIT that ended PumpMessage or PumpWaitingMessages.
    int ExitCode() const { return m_nExitCode; }

    HINSTANCE m_hInstance = nullptr;
    const wchar_t* m_pszAppName = nullptr;
    CWnd* m_pMainWnd = nullptr;

    // Set by AfxSocketInit and AfxOleInit; undone when the application object goes.
    bool m_bSocketsStarted = false;
    bool m_bOleStarted = false;

protected:
    DECLARE_MESSAGE_MAP()

    void OnAppExit();

private:
    BOOL DispatchOne(MSG& msg);

    std::wstring m_strAppName;
    int m_nExitCode = 0;
};

// The one application object, or null.
CWinApp* AfxGetApp();
CWnd* AfxGetMainWnd();
HINSTANCE AfxGetInstanceHandle();
HINSTANCE AfxGetResourceHandle();
// Runs the application object: InitInstance, then the message loop. An exception of a handler
// leaves it, for the program's entry to report.
int AfxWinMain(HINSTANCE hInstance, HINSTANCE hPrevInstance, LPWSTR lpCmdLine, int nCmdShow);

// String `nID` of the program's resources; empty when there is none.
std::wstring AfxLoadString(UINT nID);
// A message box captioned with the application title, owned by the main window.
int AfxMessageBox(const std::wstring& text, UINT nType = MB_OK, UINT nIDHelp = 0);
int AfxMessageBox(UINT nIDPrompt, UINT nType = MB_OK, UINT nIDHelp = (UINT)-1);
// Registers (once) a window class of the given class style, cursor, brush and icon and returns
// its name.
LPCWSTR AfxRegisterWndClass(UINT nClassStyle, HCURSOR hCursor = nullptr,
                            HBRUSH hbrBackground = nullptr, HICON hIcon = nullptr);
// Winsock 2.2 start-up; undone when the application object goes.
BOOL AfxSocketInit();
// OLE start-up; undone when the application object goes.
BOOL AfxOleInit();
// Hosting ActiveX controls in dialogs needs nothing beyond OLE start-up here.
void AfxEnableControlContainer();

// An exception thrown by a handler cannot cross the window system's frames: the window
// procedure keeps it and the message loop rethrows it once dispatching has returned.
void AfxRethrowPendingException();
