#include "AfxWin.h"
#include "AfxImpl.h"

#include <algorithm>
#include <stdexcept>
#include <string>
#include <utility>

namespace {

// Set by CDialog::DefWindowProc: the dialog procedure then leaves the message to the dialog
// manager. One flag per message being handled, so nested messages keep their own.
bool* g_pLeftToDialogManager = nullptr;

// Messages whose result the dialog procedure returns itself instead of through DWLP_MSGRESULT.
bool ReturnsResultDirectly(UINT message) {
    if (IsCtlColorMessage(message))
        return true;
    switch (message) {
    case WM_COMPAREITEM:
    case WM_VKEYTOITEM:
    case WM_CHARTOITEM:
    case WM_QUERYDRAGICON:
    case WM_INITDIALOG:
        return true;
    default:
        return false;
    }
}

HWND SafeHwnd(const CWnd* pWnd) {
    return pWnd ? pWnd->m_hWnd : nullptr;
}

} // namespace

IMPLEMENT_DYNAMIC(CDialog, CWnd)

BEGIN_MESSAGE_MAP(CDialog, CWnd)
ON_COMMAND(IDOK, OnOK)
ON_COMMAND(IDCANCEL, OnCancel)
END_MESSAGE_MAP()

CDialog::CDialog(UINT nIDTemplate, CWnd* pParentWnd)
    : m_nIDTemplate(nIDTemplate), m_pParentWnd(pParentWnd) {}

INT_PTR CALLBACK CDialog::AfxDlgProc(HWND hWnd, UINT message, WPARAM wParam, LPARAM lParam) {
    CWnd* pWnd = AfxBindIfCreating(hWnd);
    if (!pWnd)
        return FALSE;
    bool leftToDialogManager = false;
    bool* const outer = std::exchange(g_pLeftToDialogManager, &leftToDialogManager);
    const LRESULT result = AfxCallWndProc(pWnd, hWnd, message, wParam, lParam);
    g_pLeftToDialogManager = outer;
    // The object may be gone now (a handler destroyed its window): use only local values.
    if (leftToDialogManager || message == WM_NCDESTROY)
        return FALSE;
    if (ReturnsResultDirectly(message))
        return static_cast<INT_PTR>(result);
    if (::IsWindow(hWnd))
        ::SetWindowLongPtrW(hWnd, DWLP_MSGRESULT, result);
    return TRUE;
}

LRESULT CDialog::DefWindowProc(UINT, WPARAM, LPARAM) {
    if (g_pLeftToDialogManager)
        *g_pLeftToDialogManager = true;
    return 0;
}

LRESULT CDialog::WindowProc(UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_INITDIALOG)
        return OnInitDialog();
    if (message == WM_NCDESTROY)
        DetachControls();
    return CWnd::WindowProc(message, wParam, lParam);
}

BOOL CDialog::Create(UINT nIDTemplate, CWnd* pParentWnd) {
    if (m_hWnd)
        return FALSE;
    m_nIDTemplate = nIDTemplate;
    m_pParentWnd = pParentWnd;
    m_bModal = false;
    return CreateBound([&] {
               return ::CreateDialogParamW(AfxGetResourceHandle(), MAKEINTRESOURCEW(nIDTemplate),
                                           SafeHwnd(pParentWnd), AfxDlgProc,
                                           reinterpret_cast<LPARAM>(this));
           }) != nullptr;
}

INT_PTR CDialog::DoModal() {
    if (m_hWnd)
        return -1;
    HWND owner = SafeHwnd(m_pParentWnd);
    if (!owner)
        owner = SafeHwnd(AfxGetMainWnd());
    m_bModal = true;
    CWnd* const outer = AfxSetWindowBeingCreated(this);
    const INT_PTR result =
        ::DialogBoxParamW(AfxGetResourceHandle(), MAKEINTRESOURCEW(m_nIDTemplate), owner,
                          AfxDlgProc, reinterpret_cast<LPARAM>(this));
    AfxSetWindowBeingCreated(outer);
    m_bModal = false;
    Detach();
    AfxRethrowPendingException();
    return result;
}

void CDialog::EndDialog(int nResult) {
    ::EndDialog(m_hWnd, nResult);
}

BOOL CDialog::DestroyWindow() {
    return CWnd::DestroyWindow();
}

BOOL CDialog::OnInitDialog() {
    UpdateData(FALSE);
    return TRUE;
}

BOOL CDialog::UpdateData(BOOL bSaveAndValidate) {
    CDataExchange dx(this, bSaveAndValidate);
    DoDataExchange(&dx);
    return TRUE;
}

void CDialog::DoDataExchange(CDataExchange*) {}

void CDialog::OnOK() {
    if (!UpdateData(TRUE))
        return;
    if (m_bModal)
        EndDialog(IDOK);
    else
        DestroyWindow();
}

void CDialog::OnCancel() {
    if (m_bModal)
        EndDialog(IDCANCEL);
    else
        DestroyWindow();
}

BOOL CDialog::PreTranslateMessage(MSG* pMsg) {
    // Modal dialogs get their keys from the dialog manager's own loop.
    if (m_bModal || !m_hWnd)
        return FALSE;
    if (pMsg->message < WM_KEYFIRST || pMsg->message > WM_KEYLAST)
        return FALSE;
    if (pMsg->hwnd != m_hWnd && !::IsChild(m_hWnd, pMsg->hwnd))
        return FALSE;
    return ::IsDialogMessageW(m_hWnd, pMsg);
}

void CDialog::DetachControls() {
    for (CWnd* control : m_boundControls)
        control->Detach();
    m_boundControls.clear();
}

void DDX_Control(CDataExchange* pDX, int nIDC, CWnd& rControl) {
    if (rControl.m_hWnd)
        return;
    auto* dialog = static_cast<CDialog*>(pDX->m_pDlgWnd);
    const HWND hWnd = ::GetDlgItem(dialog->m_hWnd, nIDC);
    if (!hWnd || !rControl.Attach(hWnd))
        throw std::logic_error("DDX_Control: no control " + std::to_string(nIDC) +
                               " to bind in the dialog template");
    dialog->m_boundControls.push_back(&rControl);
}

IMPLEMENT_DYNAMIC(CPageDialog, CDialog)

CPageDialog::CPageDialog(UINT nIDTemplate, CWnd* pParentWnd, bool autoDelete)
    : CDialog(nIDTemplate, pParentWnd), m_bAutoDelete(autoDelete) {}

BOOL CPageDialog::OnInitDialog() {
    const BOOL result = CDialog::OnInitDialog();
    FitStaticTexts();
    return result;
}

void CPageDialog::PostNcDestroy() {
    if (m_bAutoDelete)
        delete this;
}

namespace {

bool HasClass(HWND hWnd, const wchar_t* name) {
    std::wstring found(64, L'\0');
    found.resize(static_cast<std::size_t>(
        ::GetClassNameW(hWnd, found.data(), static_cast<int>(found.size()))));
    return ::lstrcmpiW(found.c_str(), name) == 0;
}

RECT RectIn(HWND parent, HWND child) {
    RECT rect{};
    ::GetWindowRect(child, &rect);
    ::MapWindowPoints(nullptr, parent, reinterpret_cast<POINT*>(&rect), 2);
    return rect;
}

// The room a static text at `label` may take: the inside of the group box that holds it, or
// of the dialog.
RECT RoomFor(HWND dialog, const RECT& label) {
    RECT room{};
    ::GetClientRect(dialog, &room);
    const LONG margin = ::MulDiv(4, LOWORD(::GetDialogBaseUnits()), 4);
    for (HWND child = ::GetWindow(dialog, GW_CHILD); child;
         child = ::GetWindow(child, GW_HWNDNEXT)) {
        if (!HasClass(child, L"Button") ||
            (::GetWindowLongW(child, GWL_STYLE) & BS_TYPEMASK) != BS_GROUPBOX)
            continue;
        const RECT box = RectIn(dialog, child);
        if (box.left <= label.left && label.right <= box.right && box.top <= label.top &&
            label.bottom <= box.bottom) {
            room = {box.left + margin / 2, box.top, box.right - margin / 2, box.bottom};
            break;
        }
    }
    return room;
}

} // namespace

void CDialog::FitStaticTexts() {
    for (HWND label = ::GetWindow(m_hWnd, GW_CHILD); label;
         label = ::GetWindow(label, GW_HWNDNEXT)) {
        const auto style = static_cast<DWORD>(::GetWindowLongW(label, GWL_STYLE));
        const DWORD kind = style & SS_TYPEMASK;
        if (!HasClass(label, L"Static") || (kind != SS_LEFT && kind != SS_CENTER))
            continue;
        const int length = ::GetWindowTextLengthW(label);
        if (length == 0)
            continue;
        std::wstring text(static_cast<std::size_t>(length) + 1, L'\0');
        text.resize(static_cast<std::size_t>(::GetWindowTextW(label, text.data(), length + 1)));

        const HDC dc = ::GetDC(label);
        const HGDIOBJ old =
            ::SelectObject(dc, reinterpret_cast<HGDIOBJ>(::SendMessageW(label, WM_GETFONT, 0, 0)));
        const UINT format = DT_CALCRECT | DT_EXPANDTABS | ((style & SS_NOPREFIX) ? DT_NOPREFIX : 0);
        const RECT box = RectIn(m_hWnd, label);
        RECT wrapped{0, 0, box.right - box.left, 0};
        ::DrawTextW(dc, text.c_str(), -1, &wrapped, format | DT_WORDBREAK);
        RECT line{};
        ::DrawTextW(dc, text.c_str(), -1, &line, format | DT_SINGLELINE);
        ::SelectObject(dc, old);
        ::ReleaseDC(label, dc);
        if (wrapped.bottom <= box.bottom - box.top)
            continue;

        const RECT room = RoomFor(m_hWnd, box);
        // On one line when it fits; else as wide as the room allows.
        const LONG width = std::min(line.right + 2, room.right - room.left);
        LONG left = kind == SS_CENTER ? (box.left + box.right - width) / 2 : box.left;
        left = std::max(room.left, std::min(left, room.right - width));
        ::SetWindowPos(label, nullptr, left, box.top, width, box.bottom - box.top,
                       SWP_NOZORDER | SWP_NOACTIVATE);
    }
}
