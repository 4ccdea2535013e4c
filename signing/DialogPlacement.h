// Where the signing side's pop-up windows appear.
#pragma once

#include <winsock2.h>
#include <windows.h>

#include <algorithm>

// Centres the pop-up window `hWnd` over its owner, or over the work area when the owner is
// hidden or minimised, and keeps it inside that work area: the dialogs of this side are made
// invisible at position 0, 0, where they would cover the frame's menu.
inline void CenterOverOwner(HWND hWnd) {
    const HWND owner = ::GetWindow(hWnd, GW_OWNER);
    MONITORINFO monitor{};
    monitor.cbSize = sizeof monitor;
    ::GetMonitorInfoW(::MonitorFromWindow(owner ? owner : hWnd, MONITOR_DEFAULTTONEAREST),
                      &monitor);
    const RECT area = monitor.rcWork;
    RECT target = area;
    if (owner && ::IsWindowVisible(owner) && !::IsIconic(owner))
        ::GetWindowRect(owner, &target);
    RECT self{};
    ::GetWindowRect(hWnd, &self);
    const LONG width = self.right - self.left;
    const LONG height = self.bottom - self.top;
    LONG x = (target.left + target.right - width) / 2;
    LONG y = (target.top + target.bottom - height) / 2;
    x = std::max(area.left, std::min(x, area.right - width));
    y = std::max(area.top, std::min(y, area.bottom - height));
    ::SetWindowPos(hWnd, nullptr, x, y, 0, 0, SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
}
