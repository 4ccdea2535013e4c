#include "AfxDrop.h"

#include <shellapi.h>

#include <memory>
#include <type_traits>

namespace {

struct DropFinisher {
    void operator()(HDROP drop) const { ::DragFinish(drop); }
};
using UniqueDrop = std::unique_ptr<std::remove_pointer_t<HDROP>, DropFinisher>;

// Sent with WM_DROPFILES by the shell; not in the SDK's headers.
constexpr UINT kCopyGlobalData = 0x0049;

} // namespace

void AfxAcceptDroppedFiles(HWND hWnd) {
    ::DragAcceptFiles(hWnd, TRUE);
    for (UINT message :
         {static_cast<UINT>(WM_DROPFILES), static_cast<UINT>(WM_COPYDATA), kCopyGlobalData})
        ::ChangeWindowMessageFilterEx(hWnd, message, MSGFLT_ALLOW, nullptr);
}

std::vector<std::wstring> AfxTakeDroppedFiles(WPARAM wParam) {
    const UniqueDrop drop(reinterpret_cast<HDROP>(wParam));
    const UINT count = ::DragQueryFileW(drop.get(), 0xFFFFFFFF, nullptr, 0);
    std::vector<std::wstring> paths;
    paths.reserve(count);
    for (UINT i = 0; i < count; ++i) {
        const UINT length = ::DragQueryFileW(drop.get(), i, nullptr, 0);
        std::wstring path(static_cast<std::size_t>(length) + 1, L'\0');
        path.resize(::DragQueryFileW(drop.get(), i, path.data(), length + 1));
        if (!path.empty())
            paths.push_back(std::move(path));
    }
    return paths;
}
