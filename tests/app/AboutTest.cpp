// The About box: opened from every step, closed with OK and Esc, its underlined link in the
// system's link colour on the button face (also under a high-contrast scheme), and the link's
// click, from the mouse and from the keyboard.
#include "BrowserFixtures.h"
#include "GuiTest.h"

#include "resource.h"

#include <gtest/gtest.h>

#include <functional>
#include <initializer_list>
#include <utility>
#include <vector>

namespace {

const std::wstring kSite = L"https://www.quorvane.example/";

// Sets the system's colours for the test, as a high-contrast theme does, and restores them.
class CScopedSysColors {
public:
    CScopedSysColors(std::initializer_list<std::pair<int, COLORREF>> colors) {
        for (const auto& [element, color] : colors) {
            m_elements.push_back(element);
            m_before.push_back(::GetSysColor(element));
            m_after.push_back(color);
        }
        Apply(m_after);
    }
    ~CScopedSysColors() { Apply(m_before); }
    CScopedSysColors(const CScopedSysColors&) = delete;
    CScopedSysColors& operator=(const CScopedSysColors&) = delete;

private:
    void Apply(const std::vector<COLORREF>& colors) {
        if (!m_elements.empty())
            ::SetSysColors(static_cast<int>(m_elements.size()), m_elements.data(), colors.data());
    }
    std::vector<int> m_elements;
    std::vector<COLORREF> m_before, m_after;
};

// Runs `inspect` once the About box is shown and has been painted, inside its modal loop, then
// lets the box go on; `inspect` ends it (it posts the user's input). Should the box still be
// open after a while, it is ended so that the test fails instead of hanging.
class CAboutBoxWatcher {
public:
    explicit CAboutBoxWatcher(std::function<void(HWND)> inspect) : m_inspect(std::move(inspect)) {
        s_current = this;
        m_hook = ::SetWindowsHookExW(WH_CBT, OnCbt, nullptr, ::GetCurrentThreadId());
    }
    ~CAboutBoxWatcher() {
        if (m_hook)
            ::UnhookWindowsHookEx(m_hook);
        for (UINT_PTR timer : {m_shownTimer, m_safetyTimer}) {
            if (timer)
                ::KillTimer(nullptr, timer);
        }
        s_current = nullptr;
    }
    CAboutBoxWatcher(const CAboutBoxWatcher&) = delete;
    CAboutBoxWatcher& operator=(const CAboutBoxWatcher&) = delete;

    HWND box = nullptr;       // the About box once it was seen
    int boxesSeen = 0;        // About boxes activated
    bool forcedClose = false; // the box did not close by itself and was ended

private:
    static LRESULT CALLBACK OnCbt(int code, WPARAM wParam, LPARAM lParam) {
        CAboutBoxWatcher* self = s_current;
        if (self && code == HCBT_ACTIVATE) {
            const auto hWnd = reinterpret_cast<HWND>(wParam);
            if (WindowText(hWnd) == L"About Quorvane" && hWnd != self->box) {
                self->box = hWnd;
                ++self->boxesSeen;
                // Looked at once it is visible and painted: after the activation, from its loop.
                self->m_shownTimer = ::SetTimer(nullptr, 0, 10, OnShown);
                self->m_safetyTimer = ::SetTimer(nullptr, 0, 15000, OnSafety);
            }
        }
        return ::CallNextHookEx(nullptr, code, wParam, lParam);
    }

    static void CALLBACK OnShown(HWND, UINT, UINT_PTR timer, DWORD) {
        ::KillTimer(nullptr, timer);
        CAboutBoxWatcher* self = s_current;
        if (!self || timer != self->m_shownTimer)
            return;
        self->m_shownTimer = 0;
        if (!::IsWindowVisible(self->box)) {
            // Activated before it was shown: look again shortly.
            self->m_shownTimer = ::SetTimer(nullptr, 0, 10, OnShown);
            return;
        }
        ::UpdateWindow(self->box);
        self->m_inspect(self->box);
    }

    static void CALLBACK OnSafety(HWND, UINT, UINT_PTR timer, DWORD) {
        ::KillTimer(nullptr, timer);
        CAboutBoxWatcher* self = s_current;
        if (!self || timer != self->m_safetyTimer)
            return;
        self->m_safetyTimer = 0;
        if (::IsWindow(self->box)) {
            self->forcedClose = true;
            ::EndDialog(self->box, IDABORT);
        }
    }

    static inline CAboutBoxWatcher* s_current = nullptr;
    std::function<void(HWND)> m_inspect;
    HHOOK m_hook = nullptr;
    UINT_PTR m_shownTimer = 0;
    UINT_PTR m_safetyTimer = 0;
};

// A memory device context for colour requests.
struct MemoryDC {
    MemoryDC() : dc(::CreateCompatibleDC(nullptr)) {}
    ~MemoryDC() { ::DeleteDC(dc); }
    MemoryDC(const MemoryDC&) = delete;
    MemoryDC& operator=(const MemoryDC&) = delete;
    HDC dc;
};

struct WindowDC {
    explicit WindowDC(HWND hWnd) : wnd(hWnd), dc(::GetDC(hWnd)) {}
    ~WindowDC() { ::ReleaseDC(wnd, dc); }
    WindowDC(const WindowDC&) = delete;
    WindowDC& operator=(const WindowDC&) = delete;
    HWND wnd;
    HDC dc;
};

LOGFONTW FontOf(HWND hWnd) {
    LOGFONTW logFont{};
    const auto font = reinterpret_cast<HGDIOBJ>(::SendMessageW(hWnd, WM_GETFONT, 0, 0));
    EXPECT_NE(font, nullptr);
    if (font) {
        EXPECT_EQ(::GetObjectW(font, sizeof logFont, &logFont), static_cast<int>(sizeof logFont));
    }
    return logFont;
}

// The static text control of `box` that shows `text`.
HWND StaticWithText(HWND box, const std::wstring& text) {
    for (HWND child = ::GetWindow(box, GW_CHILD); child; child = ::GetWindow(child, GW_HWNDNEXT)) {
        if (WindowText(child) == text)
            return child;
    }
    return nullptr;
}

class AboutTest : public testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(session.Started()); }
    void TearDown() override { EXPECT_EQ(session.Seam().unscripted, 0); }

    // Opens the About box as Help > About does and returns once it has closed.
    void OpenAbout(CAboutBoxWatcher& watcher) {
        ::SendMessageW(session.FrameWindow(), WM_COMMAND, MAKEWPARAM(ID_APP_ABOUT, 0), 0);
        PumpPending();
        EXPECT_EQ(watcher.boxesSeen, 1);
        EXPECT_FALSE(watcher.forcedClose) << "the box did not close";
        EXPECT_FALSE(::IsWindow(watcher.box));
    }

    CDesktopSession session;
};

TEST_F(AboutTest, OpensFromEveryStepAndClosesWithOkAndEsc) {
    struct Close {
        const char* name;
        void (*press)(HWND box);
    };
    const Close closes[] = {
        {"OK clicked", [](HWND box) { ::PostMessageW(Control(box, IDOK), BM_CLICK, 0, 0); }},
        {"Enter",
         [](HWND box) {
             ::PostMessageW(::GetFocus(), WM_KEYDOWN, VK_RETURN, 1);
             (void)box;
         }},
        {"Esc",
         [](HWND box) {
             ::PostMessageW(::GetFocus(), WM_KEYDOWN, VK_ESCAPE, 1);
             (void)box;
         }},
        {"close box", [](HWND box) { ::PostMessageW(box, WM_SYSCOMMAND, SC_CLOSE, 0); }},
    };
    for (const auto& [forward, back] : {std::pair{0, 0}, std::pair{IDC_ADD_SIGNATURE, IDC_BACK},
                                        std::pair{IDC_CHECK_SIGNATURE, IDC_GO_BACK}}) {
        if (forward)
            Click(session.StepWindow(), forward);
        const HWND step = session.StepWindow();
        for (const Close& close : closes) {
            SCOPED_TRACE(session.StepClass() + ", " + close.name);
            CAboutBoxWatcher watcher([&](HWND box) {
                // Owned by the main frame, which it disables while it is open.
                EXPECT_EQ(::GetWindow(box, GW_OWNER), session.FrameWindow());
                EXPECT_FALSE(::IsWindowEnabled(session.FrameWindow()));
                EXPECT_TRUE(::IsWindowVisible(box));
                // The focus is on the default OK button.
                EXPECT_EQ(::GetFocus(), Control(box, IDOK));
                close.press(box);
            });
            OpenAbout(watcher);
            EXPECT_TRUE(::IsWindowEnabled(session.FrameWindow()));
            EXPECT_EQ(session.StepWindow(), step) << "the About box leaves the step in place";
        }
        if (back)
            Click(step, back);
    }
    EXPECT_TRUE(session.Seam().launches.empty());
}

TEST_F(AboutTest, ShowsNameVersionAndTheLinkTextOnTheTemplate) {
    CAboutBoxWatcher watcher([&](HWND box) {
        EXPECT_NE(StaticWithText(box, L"Quorvane Version 1.0.1"), nullptr);
        EXPECT_EQ(WindowText(Control(box, IDC_WEB_LINK)), L"www.quorvane.example");
        EXPECT_EQ(WindowText(Control(box, IDOK)), L"OK");
        EXPECT_NE(::SendMessageW(Control(box, IDOK), WM_GETDLGCODE, 0, 0) & DLGC_DEFPUSHBUTTON, 0);
        EXPECT_NE(::GetWindowLongW(Control(box, IDC_WEB_LINK), GWL_STYLE) & SS_NOTIFY, 0);
        const SIZE size = DialogUnitsToPixels(box, 235, 55);
        const RECT client = ClientRect(box);
        EXPECT_EQ(client.right, size.cx);
        EXPECT_EQ(client.bottom, size.cy);
        ::PostMessageW(Control(box, IDOK), BM_CLICK, 0, 0);
    });
    OpenAbout(watcher);
}

TEST_F(AboutTest, TheLinkHasTheSystemsLinkColourAndIsUnderlinedOnTheButtonFace) {
    // The default scheme, then High Contrast Black's link and face colours.
    for (const bool highContrast : {false, true}) {
        SCOPED_TRACE(highContrast ? "high contrast" : "default colours");
        const CScopedSysColors scheme = highContrast
                                            ? CScopedSysColors{{COLOR_BTNFACE, RGB(0, 0, 0)},
                                                               {COLOR_HOTLIGHT, RGB(255, 255, 0)},
                                                               {COLOR_BTNTEXT, RGB(255, 255, 255)}}
                                            : CScopedSysColors{};
        const COLORREF kBlue = ::GetSysColor(COLOR_HOTLIGHT);
        if (highContrast) {
            ASSERT_EQ(kBlue, RGB(255, 255, 0));
        }
        CAboutBoxWatcher watcher([&](HWND box) {
            const HWND link = Control(box, IDC_WEB_LINK);
            const HWND version = StaticWithText(box, L"Quorvane Version 1.0.1");
            ASSERT_NE(link, nullptr);
            ASSERT_NE(version, nullptr);

            // The link's font is the dialog's font, underlined; the other texts keep theirs.
            const LOGFONTW linkFont = FontOf(link);
            const LOGFONTW dialogFont = FontOf(version);
            EXPECT_TRUE(linkFont.lfUnderline);
            EXPECT_FALSE(dialogFont.lfUnderline);
            EXPECT_EQ(linkFont.lfHeight, dialogFont.lfHeight);
            EXPECT_EQ(std::wstring(linkFont.lfFaceName), std::wstring(dialogFont.lfFaceName));

            // The box's colour request for the link is answered by the link: the system's link
            // colour on the button face, with a solid button-face brush.
            const COLORREF face = ::GetSysColor(COLOR_BTNFACE);
            MemoryDC memory;
            ::SetTextColor(memory.dc, RGB(1, 2, 3));
            ::SetBkColor(memory.dc, RGB(4, 5, 6));
            const auto brush = reinterpret_cast<HBRUSH>(
                ::SendMessageW(box, WM_CTLCOLORSTATIC, reinterpret_cast<WPARAM>(memory.dc),
                               reinterpret_cast<LPARAM>(link)));
            ASSERT_NE(brush, nullptr);
            EXPECT_EQ(::GetTextColor(memory.dc), kBlue);
            EXPECT_EQ(::GetBkColor(memory.dc), face);
            LOGBRUSH logBrush{};
            ASSERT_EQ(::GetObjectW(brush, sizeof logBrush, &logBrush),
                      static_cast<int>(sizeof logBrush));
            EXPECT_EQ(logBrush.lbStyle, static_cast<UINT>(BS_SOLID));
            EXPECT_EQ(logBrush.lbColor, face);

            // The other texts are left to the dialog: not the link's colour.
            ::SetTextColor(memory.dc, RGB(1, 2, 3));
            ::SendMessageW(box, WM_CTLCOLORSTATIC, reinterpret_cast<WPARAM>(memory.dc),
                           reinterpret_cast<LPARAM>(version));
            EXPECT_NE(::GetTextColor(memory.dc), kBlue);

            // On screen: the link's colour (its underline at least) on the button face.
            const RECT rect = ClientRect(link);
            int blue = 0;
            int otherThanFaceOrBlue = 0;
            {
                WindowDC screen(link);
                for (int y = 0; y < rect.bottom; ++y) {
                    for (int x = 0; x < rect.right; ++x) {
                        const COLORREF pixel = ::GetPixel(screen.dc, x, y);
                        if (pixel == kBlue)
                            ++blue;
                        else if (pixel != face)
                            ++otherThanFaceOrBlue;
                    }
                }
                EXPECT_EQ(::GetPixel(screen.dc, rect.right - 1, rect.bottom - 1), face);
            }
            EXPECT_GT(blue, rect.right / 2) << "at least the underline";
            // Anti-aliased edges may blend the two; nothing else is drawn.
            EXPECT_LT(otherThanFaceOrBlue, blue);
            ::PostMessageW(Control(box, IDOK), BM_CLICK, 0, 0);
        });
        OpenAbout(watcher);
    }
}

class AboutLinkTest : public AboutTest {
protected:
    CScopedBrowserCommand browser{LR"("C:\Program Files\Web\browser.exe" -nohome)"};
};

TEST_F(AboutLinkTest, AClickAnywhereOnTheLinkOpensTheSiteAndTheBoxStays) {
    ASSERT_TRUE(browser.Applied());
    CScriptedSeam& seam = session.Seam();
    CAboutBoxWatcher watcher([&](HWND box) {
        const HWND link = Control(box, IDC_WEB_LINK);
        const RECT rect = ClientRect(link);
        // Far corners of the control's rectangle, beyond the text.
        for (const POINT at : {POINT{0, 0}, POINT{rect.right - 1, rect.bottom - 1}}) {
            const LPARAM where = MAKELPARAM(at.x, at.y);
            ::SendMessageW(link, WM_LBUTTONDOWN, MK_LBUTTON, where);
            ::SendMessageW(link, WM_LBUTTONUP, 0, where);
        }
        EXPECT_TRUE(::IsWindowVisible(box)) << "the box stays open";
        // Should the browser not start, the system's handler gets the address.
        seam.SetShellExecuteResult(SE_ERR_ACCESSDENIED);
        ::SendMessageW(box, WM_COMMAND, MAKEWPARAM(IDC_WEB_LINK, STN_CLICKED),
                       reinterpret_cast<LPARAM>(link));
        ::PostMessageW(box, WM_KEYDOWN, VK_ESCAPE, 1);
    });
    OpenAbout(watcher);

    ASSERT_EQ(seam.launches.size(), 4u);
    for (int i = 0; i < 3; ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(seam.launches[i].file, LR"(C:\Program Files\Web\browser.exe)");
        EXPECT_EQ(seam.launches[i].parameters, L"\"" + kSite + L"\"");
        EXPECT_EQ(seam.launches[i].verb, L"");
        EXPECT_EQ(seam.launches[i].owner, nullptr);
        EXPECT_EQ(seam.launches[i].show, SW_SHOWNORMAL);
    }
    EXPECT_EQ(seam.launches[3].file, kSite);
    EXPECT_EQ(seam.launches[3].parameters, L"");
    EXPECT_TRUE(seam.messageBoxes.empty());
}

TEST_F(AboutLinkTest, TheKeyboardReachesTheLinkAndEnterOrSpaceOpensTheSite) {
    ASSERT_TRUE(browser.Applied());
    CScriptedSeam& seam = session.Seam();
    CAboutBoxWatcher watcher([&](HWND box) {
        const HWND link = Control(box, IDC_WEB_LINK);
        ASSERT_EQ(::GetFocus(), Control(box, IDOK));
        ::SendMessageW(box, WM_NEXTDLGCTL, 0, FALSE); // Tab
        EXPECT_EQ(::GetFocus(), link) << "Tab reaches the link";
        for (const UINT key : {VK_RETURN, VK_SPACE}) {
            MSG message{link, WM_KEYDOWN, key, 1, 0, {}};
            EXPECT_TRUE(::IsDialogMessageW(box, &message));
        }
        EXPECT_TRUE(::IsWindowVisible(box)) << "Enter on the link is not OK";
        ::PostMessageW(box, WM_KEYDOWN, VK_ESCAPE, 1);
    });
    OpenAbout(watcher);
    ASSERT_EQ(seam.launches.size(), 2u);
    EXPECT_EQ(seam.launches[1].parameters, L"\"" + kSite + L"\"");
}

} // namespace
