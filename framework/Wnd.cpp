#include "AfxWin.h"
#include "AfxImpl.h"

#include "Seam.h"

#include <algorithm>
#include <unordered_map>
#include <utility>
#include <unordered_set>

namespace {

// The program has one user-interface thread; these belong to it.
std::unordered_map<HWND, CWnd*>& HandleMap() {
    static std::unordered_map<HWND, CWnd*> map;
    return map;
}

std::unordered_set<const CWnd*>& LiveWindows() {
    static std::unordered_set<const CWnd*> live;
    return live;
}

CWnd*& WindowBeingCreated() {
    static CWnd* creating = nullptr;
    return creating;
}

std::exception_ptr& PendingException() {
    static std::exception_ptr pending;
    return pending;
}

// A colour request of a dialog or window for one of its controls goes to the control's own map
// first, as WM_REFLECT_BASE + WM_CTLCOLOR; a brush from there answers it.
bool ReflectCtlColor(const CWnd* parent, UINT message, WPARAM wParam, LPARAM lParam,
                     LRESULT& result) {
    CWnd* child = CWnd::FromHandle(reinterpret_cast<HWND>(lParam));
    if (!child || child == parent)
        return false;
    LRESULT brush = 0;
    if (!child->DispatchFromMap(WM_REFLECT_BASE + WM_CTLCOLOR, wParam,
                                static_cast<LPARAM>(message - WM_CTLCOLORMSGBOX), brush) ||
        !brush)
        return false;
    result = brush;
    return true;
}

} // namespace

// ---------------------------------------------------------------------------------------------

const CRuntimeClass CObject::classInfoCObject = {"CObject", nullptr};

const CRuntimeClass* CObject::GetRuntimeClass() const {
    return &classInfoCObject;
}

bool CObject::IsKindOf(const CRuntimeClass* cls) const {
    return GetRuntimeClass()->IsDerivedFrom(cls);
}

bool CRuntimeClass::IsDerivedFrom(const CRuntimeClass* base) const {
    for (const CRuntimeClass* cls = this; cls; cls = cls->m_pBaseClass) {
        if (cls == base)
            return true;
    }
    return false;
}

IMPLEMENT_DYNAMIC(CCmdTarget, CObject)

const AFX_MSGMAP* CCmdTarget::GetThisMessageMap() {
    static const AFX_MSGMAP_ENTRY entries[] = {{0, 0, 0, nullptr}};
    static const AFX_MSGMAP messageMap = {nullptr, entries};
    return &messageMap;
}

const AFX_MSGMAP* CCmdTarget::GetMessageMap() const {
    return GetThisMessageMap();
}

bool CCmdTarget::DispatchFromMap(UINT message, WPARAM wParam, LPARAM lParam, LRESULT& result,
                                 bool probeOnly) {
    UINT code = 0;
    UINT id = 0;
    if (message == WM_COMMAND) {
        code = HIWORD(wParam);
        id = LOWORD(wParam);
    } else if (message == WM_NOTIFY) {
        const auto* header = reinterpret_cast<const NMHDR*>(lParam);
        code = header->code;
        id = static_cast<UINT>(header->idFrom);
    }
    for (const AFX_MSGMAP* map = GetMessageMap(); map;
         map = map->pfnGetBaseMap ? map->pfnGetBaseMap() : nullptr) {
        for (const AFX_MSGMAP_ENTRY* entry = map->lpEntries; entry->pfn; ++entry) {
            if (entry->nMessage != message || entry->nCode != code || entry->nID != id)
                continue;
            if (!probeOnly)
                result = entry->pfn(this, wParam, lParam); // may have deleted this
            return true;
        }
    }
    return false;
}

bool CCmdTarget::OnCmdMsg(UINT nID, int nCode, bool probeOnly) {
    LRESULT ignored = 0;
    return DispatchFromMap(WM_COMMAND, MAKEWPARAM(nID, nCode), 0, ignored, probeOnly);
}

// ---------------------------------------------------------------------------------------------

IMPLEMENT_DYNAMIC(CWnd, CCmdTarget)

BEGIN_MESSAGE_MAP(CWnd, CCmdTarget)
END_MESSAGE_MAP()

CWnd::CWnd() {
    LiveWindows().insert(this);
}

CWnd::~CWnd() {
    LiveWindows().erase(this);
    if (!m_hWnd)
        return;
    const bool owns = m_bOwnsWindow;
    const HWND hWnd = Detach();
    // The window must not outlive the object it calls into.
    if (owns)
        ::DestroyWindow(hWnd);
}

std::size_t AfxCountLiveObjects(const CRuntimeClass* cls) {
    std::size_t count = 0;
    for (const CWnd* wnd : LiveWindows()) {
        if (wnd->IsKindOf(cls))
            ++count;
    }
    return count;
}

CWnd* CWnd::FromHandle(HWND hWnd) {
    const auto& map = HandleMap();
    const auto found = map.find(hWnd);
    return found == map.end() ? nullptr : found->second;
}

bool CWnd::Attach(HWND hWnd) {
    if (m_hWnd || !hWnd || FromHandle(hWnd))
        return false;
    m_hWnd = hWnd;
    HandleMap()[hWnd] = this;
    return true;
}

HWND CWnd::Detach() {
    const HWND hWnd = m_hWnd;
    if (hWnd) {
        const auto found = HandleMap().find(hWnd);
        if (found != HandleMap().end() && found->second == this)
            HandleMap().erase(found);
    }
    m_hWnd = nullptr;
    m_bOwnsWindow = false;
    return hWnd;
}

void CWnd::BindCreating(HWND hWnd) {
    Attach(hWnd);
    m_bOwnsWindow = true;
}

LRESULT AfxCallWndProc(CWnd* pWnd, HWND hWnd, UINT message, WPARAM wParam, LPARAM lParam) {
    try {
        return pWnd->WindowProc(message, wParam, lParam);
    } catch (...) {
        // Keep the first one; the message loop, or DoModal, rethrows it on our side of the
        // window system's frames. A modal dialog ends, so that DoModal can return.
        if (!PendingException())
            PendingException() = std::current_exception();
        const CWnd* alive = CWnd::FromHandle(hWnd);
        if (alive && alive->IsKindOf(RUNTIME_CLASS(CDialog)) &&
            static_cast<const CDialog*>(alive)->IsModal())
            ::EndDialog(hWnd, -1);
        return message == WM_CREATE ? -1 : 0;
    }
}

void AfxRethrowPendingException() {
    if (std::exception_ptr pending = std::exchange(PendingException(), nullptr))
        std::rethrow_exception(pending);
}

CWnd* AfxSetWindowBeingCreated(CWnd* pWnd) {
    return std::exchange(WindowBeingCreated(), pWnd);
}

CWnd* AfxBindIfCreating(HWND hWnd) {
    CWnd* pWnd = CWnd::FromHandle(hWnd);
    if (!pWnd && WindowBeingCreated()) {
        pWnd = std::exchange(WindowBeingCreated(), nullptr);
        pWnd->BindCreating(hWnd);
    }
    return pWnd;
}

LRESULT CALLBACK CWnd::AfxWndProc(HWND hWnd, UINT message, WPARAM wParam, LPARAM lParam) {
    CWnd* pWnd = AfxBindIfCreating(hWnd);
    if (!pWnd)
        return ::DefWindowProcW(hWnd, message, wParam, lParam);
    return AfxCallWndProc(pWnd, hWnd, message, wParam, lParam);
}

BOOL CWnd::CreateEx(DWORD dwExStyle, LPCWSTR lpszClassName, LPCWSTR lpszWindowName, DWORD dwStyle,
                    int x, int y, int nWidth, int nHeight, HWND hWndParent, HMENU nIDorHMenu,
                    LPVOID lpParam) {
    CREATESTRUCTW cs{};
    cs.dwExStyle = dwExStyle;
    cs.lpszClass = lpszClassName;
    cs.lpszName = lpszWindowName;
    cs.style = static_cast<LONG>(dwStyle);
    cs.x = x;
    cs.y = y;
    cs.cx = nWidth;
    cs.cy = nHeight;
    cs.hwndParent = hWndParent;
    cs.hMenu = nIDorHMenu;
    cs.hInstance = AfxGetInstanceHandle();
    cs.lpCreateParams = lpParam;
    if (!PreCreateWindow(cs) || !cs.lpszClass)
        return FALSE;

    return CreateBound([&] {
               return ::CreateWindowExW(cs.dwExStyle, cs.lpszClass, cs.lpszName,
                                        static_cast<DWORD>(cs.style), cs.x, cs.y, cs.cx, cs.cy,
                                        cs.hwndParent, cs.hMenu, cs.hInstance, cs.lpCreateParams);
           }) != nullptr;
}

HWND CWnd::CreateBound(const std::function<HWND()>& create) {
    m_bCreating = true;
    CWnd* const outer = AfxSetWindowBeingCreated(this);
    const HWND hWnd = create();
    AfxSetWindowBeingCreated(outer);
    m_bCreating = false;
    if (!hWnd)
        Detach();
    return hWnd;
}

BOOL CWnd::PreCreateWindow(CREATESTRUCTW&) {
    return TRUE;
}

BOOL CWnd::PreTranslateMessage(MSG*) {
    return FALSE;
}

BOOL CWnd::DestroyWindow() {
    return m_hWnd ? ::DestroyWindow(m_hWnd) : FALSE;
}

BOOL CWnd::SetWindowPos(const CWnd* pWndInsertAfter, int x, int y, int cx, int cy, UINT nFlags) {
    return ::SetWindowPos(m_hWnd, pWndInsertAfter ? pWndInsertAfter->m_hWnd : nullptr, x, y, cx, cy,
                          nFlags);
}

std::wstring CWnd::GetWindowText() const {
    std::wstring text(static_cast<std::size_t>(::GetWindowTextLengthW(m_hWnd)) + 1, L'\0');
    text.resize(static_cast<std::size_t>(
        ::GetWindowTextW(m_hWnd, text.data(), static_cast<int>(text.size()))));
    return text;
}

BOOL CWnd::ModifyStyle(DWORD dwRemove, DWORD dwAdd, UINT nFlags) {
    return ModifyWindowLong(GWL_STYLE, dwRemove, dwAdd, nFlags);
}

BOOL CWnd::ModifyStyleEx(DWORD dwRemove, DWORD dwAdd, UINT nFlags) {
    return ModifyWindowLong(GWL_EXSTYLE, dwRemove, dwAdd, nFlags);
}

BOOL CWnd::ModifyWindowLong(int index, DWORD dwRemove, DWORD dwAdd, UINT nFlags) {
    const auto style = static_cast<DWORD>(::GetWindowLongW(m_hWnd, index));
    const DWORD newStyle = (style & ~dwRemove) | dwAdd;
    if (style == newStyle)
        return FALSE;
    ::SetWindowLongW(m_hWnd, index, static_cast<LONG>(newStyle));
    if (nFlags)
        ::SetWindowPos(m_hWnd, nullptr, 0, 0, 0, 0,
                       SWP_NOSIZE | SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE | nFlags);
    return TRUE;
}

HICON CWnd::SetIcon(HICON hIcon, BOOL bBigIcon) {
    return reinterpret_cast<HICON>(
        SendMessage(WM_SETICON, bBigIcon ? ICON_BIG : ICON_SMALL, reinterpret_cast<LPARAM>(hIcon)));
}

BOOL CWnd::EnableWindow(BOOL bEnable) {
    if (!bEnable && ::GetFocus() == m_hWnd) {
        if (const HWND parent = ::GetParent(m_hWnd))
            ::SendMessageW(parent, WM_NEXTDLGCTL, 0, FALSE);
    }
    return ::EnableWindow(m_hWnd, bEnable);
}

void CWnd::CenterWindow() {
    const HWND owner = ::GetWindow(m_hWnd, GW_OWNER);
    MONITORINFO monitor{};
    monitor.cbSize = sizeof monitor;
    ::GetMonitorInfoW(::MonitorFromWindow(owner ? owner : m_hWnd, MONITOR_DEFAULTTONEAREST),
                      &monitor);
    const RECT area = monitor.rcWork;
    RECT target = area;
    if (owner && ::IsWindowVisible(owner) && !::IsIconic(owner))
        ::GetWindowRect(owner, &target);
    RECT self{};
    ::GetWindowRect(m_hWnd, &self);
    const LONG width = self.right - self.left;
    const LONG height = self.bottom - self.top;
    LONG x = (target.left + target.right - width) / 2;
    LONG y = (target.top + target.bottom - height) / 2;
    x = std::max(area.left, std::min(x, area.right - width));
    y = std::max(area.top, std::min(y, area.bottom - height));
    ::SetWindowPos(m_hWnd, nullptr, x, y, 0, 0, SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
}

int CWnd::MessageBox(const std::wstring& text, const std::wstring& caption, UINT nType) {
    const CWinApp* app = AfxGetApp();
    const std::wstring& title = caption.empty() && app ? std::wstring(app->m_pszAppName) : caption;
    return GetSeam().MessageBox(m_hWnd, text, title, nType);
}

LRESULT CWnd::DefWindowProc(UINT message, WPARAM wParam, LPARAM lParam) {
    return ::DefWindowProcW(m_hWnd, message, wParam, lParam);
}

LRESULT CWnd::WindowProc(UINT message, WPARAM wParam, LPARAM lParam) {
    // A handler may destroy the window and delete this object: once a handler has run, only
    // its result is used.
    LRESULT result = 0;
    switch (message) {
    case WM_COMMAND:
        if (OnCommand(wParam, lParam))
            return 0;
        break;
    case WM_NOTIFY:
        if (OnNotify(wParam, lParam, &result))
            return result;
        break;
    case WM_NCDESTROY:
        if (!DispatchFromMap(message, wParam, lParam, result))
            OnNcDestroy();
        return 0;
    default:
        if (IsCtlColorMessage(message) && ReflectCtlColor(this, message, wParam, lParam, result))
            return result;
        if (DispatchFromMap(message, wParam, lParam, result))
            return result;
        break;
    }
    return DefWindowProc(message, wParam, lParam);
}

BOOL CWnd::OnCommand(WPARAM wParam, LPARAM lParam) {
    int code = HIWORD(wParam);
    if (lParam == 0 && code == 1)
        code = 0; // an accelerator is a command like a menu item
    return OnCmdMsg(LOWORD(wParam), code);
}

BOOL CWnd::OnNotify(WPARAM wParam, LPARAM lParam, LRESULT* pResult) {
    return DispatchFromMap(WM_NOTIFY, wParam, lParam, *pResult);
}

void CWnd::OnNcDestroy() {
    DefWindowProc(WM_NCDESTROY, 0, 0);
    const bool diedInCreation = m_bCreating;
    CWinApp* app = AfxGetApp();
    if (app && app->m_pMainWnd == this) {
        app->m_pMainWnd = nullptr;
        if (!diedInCreation)
            ::PostQuitMessage(0);
    }
    Detach();
    if (!diedInCreation)
        PostNcDestroy();
}
