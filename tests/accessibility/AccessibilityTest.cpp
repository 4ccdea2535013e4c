// What a screen reader reads of every window: each control's accessible name and role through
// oleacc (AccessibleObjectFromWindow), as Narrator or NVDA ask for them.
#include "GuiTest.h"
#include "WideUtf8.h"
#include "resource.h"

#include <commctrl.h>
#include <oleacc.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

struct Accessible {
    HWND window = nullptr;
    std::wstring className, name;
    long role = 0;
};

std::wstring ClassOf(HWND window) {
    std::wstring name(256, L'\0');
    name.resize(static_cast<std::size_t>(::GetClassNameW(window, name.data(), 256)));
    return name;
}

std::wstring Read(IAccessible* object,
                  HRESULT (STDMETHODCALLTYPE IAccessible::*get)(VARIANT, BSTR*)) {
    VARIANT self;
    self.vt = VT_I4;
    self.lVal = CHILDID_SELF;
    BSTR text = nullptr;
    std::wstring result;
    if ((object->*get)(self, &text) == S_OK && text != nullptr)
        result.assign(text, ::SysStringLen(text));
    ::SysFreeString(text);
    return result;
}

Accessible ReadControl(HWND child) {
    Accessible control{child, ClassOf(child), {}, 0};
    IAccessible* object = nullptr;
    if (FAILED(::AccessibleObjectFromWindow(child, static_cast<DWORD>(OBJID_CLIENT),
                                            __uuidof(IAccessible),
                                            reinterpret_cast<void**>(&object))))
        return control;
    control.name = Read(object, &IAccessible::get_accName);
    VARIANT self;
    self.vt = VT_I4;
    self.lVal = CHILDID_SELF;
    VARIANT role;
    ::VariantInit(&role);
    if (object->get_accRole(self, &role) == S_OK && role.vt == VT_I4)
        control.role = role.lVal;
    object->Release();
    return control;
}

bool IsDecoration(HWND child) {
    const std::wstring className = ClassOf(child);
    const LONG style = ::GetWindowLongW(child, GWL_STYLE);
    return className == L"Static" ||
           (className == L"Button" && (style & BS_TYPEMASK) == BS_GROUPBOX);
}

// The text a sighted user reads as the box's label: the nearest static text above it.
std::wstring LabelAbove(HWND dialog, HWND box) {
    const RECT target = WindowRect(box);
    std::wstring label;
    LONG nearest = LONG_MIN;
    for (HWND child = ::GetWindow(dialog, GW_CHILD); child;
         child = ::GetWindow(child, GW_HWNDNEXT)) {
        const RECT rect = WindowRect(child);
        if (ClassOf(child) != L"Static" || rect.bottom > target.top || rect.right <= target.left ||
            rect.left >= target.right || rect.bottom <= nearest)
            continue;
        nearest = rect.bottom;
        label = WindowText(child);
    }
    return label;
}

INT_PTR CALLBACK PlainDialog(HWND, UINT message, WPARAM, LPARAM) {
    return message == WM_INITDIALOG ? TRUE : FALSE;
}

TEST(Accessibility, EveryControlOfEveryWindowHasANameThatSaysWhatItIs) {
    ASSERT_TRUE(SUCCEEDED(::CoInitialize(nullptr)));
    INITCOMMONCONTROLSEX classes{sizeof classes, ICC_LISTVIEW_CLASSES | ICC_PROGRESS_CLASS};
    ::InitCommonControlsEx(&classes);
    HWND parent = ::CreateWindowW(L"STATIC", L"Quorvane", WS_OVERLAPPEDWINDOW, 0, 0, 800, 800,
                                  nullptr, nullptr, nullptr, nullptr);
    ASSERT_NE(parent, nullptr);
    for (const int id :
         {IDD_WIZARD_STEP_ONE, IDD_WIZARD_STEP_TWO_ENCODE, IDD_WIZARD_STEP_TWO_DECODE,
          IDD_SEL_FILES, IDD_ENC_PROGRESS, IDD_ABOUTBOX}) {
        HWND dialog = ::CreateDialogParamW(::GetModuleHandleW(nullptr), MAKEINTRESOURCEW(id),
                                           parent, PlainDialog, 0);
        ASSERT_NE(dialog, nullptr) << id;
        int controls = 0;
        for (HWND child = ::GetWindow(dialog, GW_CHILD); child;
             child = ::GetWindow(child, GW_HWNDNEXT)) {
            const Accessible control = ReadControl(child);
            SCOPED_TRACE(std::to_string(id) + " control " + std::to_string(::GetDlgCtrlID(child)));
            EXPECT_NE(control.role, 0) << "oleacc has no object for it";
            if (IsDecoration(child)) {
                // What a static says is read as its name: the progress window's status line.
                EXPECT_EQ(control.name, WindowText(child));
                continue;
            }
            ++controls;
            EXPECT_FALSE(control.name.empty()) << Utf8(control.className);
            if (control.className == L"Edit") {
                EXPECT_EQ(control.role, ROLE_SYSTEM_TEXT);
                EXPECT_EQ(control.name, LabelAbove(dialog, child));
            }
        }
        EXPECT_GT(controls, 0);
        ::DestroyWindow(dialog);
    }
    ::DestroyWindow(parent);
    ::CoUninitialize();
}

} // namespace
