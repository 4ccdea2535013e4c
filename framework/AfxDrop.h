// Files dropped from the shell onto a window of ours.
#pragma once

#include "AfxWin.h"

#include <string>
#include <vector>

// Lets `hWnd` take files dropped from Explorer, also when this program runs elevated and
// Explorer does not.
void AfxAcceptDroppedFiles(HWND hWnd);

// The full paths of the drop that WM_DROPFILES hands over in `wParam`, in the shell's order.
// The drop is finished: the handle is invalid afterwards.
std::vector<std::wstring> AfxTakeDroppedFiles(WPARAM wParam);
