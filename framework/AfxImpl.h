// Inside the layer: binding a window to its object while it is being created.
#pragma once

#include "AfxWin.h"

// The object of a window; binds the object under creation to the window on its first message.
CWnd* AfxBindIfCreating(HWND hWnd);
// Makes `pWnd` the object under creation and returns the one it replaces.
CWnd* AfxSetWindowBeingCreated(CWnd* pWnd);
LRESULT AfxCallWndProc(CWnd* pWnd, HWND hWnd, UINT message, WPARAM wParam, LPARAM lParam);

// A parent's colour request for one of its controls (WM_CTLCOLORSTATIC and its siblings).
inline bool IsCtlColorMessage(UINT message) {
    return message >= WM_CTLCOLORMSGBOX && message <= WM_CTLCOLORSTATIC;
}
