// The desktop program's shell driven in-process: start-up, the main frame, the step protocol,
// the home step and the keyboard.
#include "GuiTest.h"

#include "WizardStepOne.h"
#include "WizardStepTwoDecode.h"
#include "WizardStepTwoEncode.h"
#include "resource.h"

#include <gtest/gtest.h>

namespace {

struct StepKind {
    const char* className;
    int templateWidth; // dialog units
    int templateHeight;
};

const StepKind kHome{"CWizardStepOne", 221, 270};
const StepKind kAdd{"CWizardStepTwoEncode", 292, 297};
const StepKind kCheck{"CWizardStepTwoDecode", 292, 248};

std::size_t LiveSteps() {
    return AfxCountLiveObjects(RUNTIME_CLASS(CWizardStepOne)) +
           AfxCountLiveObjects(RUNTIME_CLASS(CWizardStepTwoEncode)) +
           AfxCountLiveObjects(RUNTIME_CLASS(CWizardStepTwoDecode));
}

// The frame shows exactly `kind`: it is the current step, at the client area's top-left
// corner, the client area is the template's size in the step's dialog font, and no other step
// object is alive.
void ExpectShows(CDesktopSession& session, const StepKind& kind) {
    ASSERT_EQ(session.StepClass(), kind.className);
    const HWND step = session.StepWindow();
    ASSERT_TRUE(::IsWindow(step));
    EXPECT_TRUE(::IsWindowVisible(step));
    EXPECT_EQ(::GetParent(step), session.FrameWindow());

    const SIZE expected = DialogUnitsToPixels(step, kind.templateWidth, kind.templateHeight);
    const RECT client = ClientRect(session.FrameWindow());
    EXPECT_EQ(client.right, expected.cx) << kind.className;
    EXPECT_EQ(client.bottom, expected.cy) << kind.className;

    RECT stepRect = WindowRect(step);
    ::MapWindowPoints(nullptr, session.FrameWindow(), reinterpret_cast<POINT*>(&stepRect), 2);
    EXPECT_EQ(stepRect.left, 0);
    EXPECT_EQ(stepRect.top, 0);
    EXPECT_EQ(stepRect.right - stepRect.left, expected.cx);
    EXPECT_EQ(stepRect.bottom - stepRect.top, expected.cy);

    EXPECT_EQ(LiveSteps(), 1u);
}

class ShellTest : public testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(session.Started()); }
    void TearDown() override { EXPECT_EQ(session.Seam().unscripted, 0); }

    // Clicks a navigation button of the current step and checks that the frame now shows
    // `next`, with its top-left corner where it was.
    void Navigate(int buttonId, const StepKind& next) {
        const RECT before = WindowRect(session.FrameWindow());
        Click(session.StepWindow(), buttonId);
        PumpPending();
        ExpectShows(session, next);
        const RECT after = WindowRect(session.FrameWindow());
        EXPECT_EQ(after.left, before.left);
        EXPECT_EQ(after.top, before.top);
    }

    CDesktopSession session;
};

TEST_F(ShellTest, StartsWithTheHomeStepFillingTheFrame) {
    ExpectShows(session, kHome);
    EXPECT_TRUE(::IsWindowVisible(session.FrameWindow()));
    EXPECT_EQ(session.App().m_pMainWnd, session.Frame());
    EXPECT_TRUE(session.Seam().messageBoxes.empty());
}

TEST_F(ShellTest, FrameHasFixedSizeTitleIconAndMenu) {
    const HWND frame = session.FrameWindow();
    const auto style = static_cast<DWORD>(::GetWindowLongW(frame, GWL_STYLE));
    EXPECT_EQ(style & WS_THICKFRAME, 0u) << "no sizing border";
    EXPECT_EQ(style & WS_MAXIMIZEBOX, 0u) << "no maximise box";
    EXPECT_NE(style & WS_MINIMIZEBOX, 0u);
    EXPECT_EQ(style & WS_CAPTION, WS_CAPTION);
    EXPECT_NE(style & WS_SYSMENU, 0u);
    EXPECT_EQ(::GetWindowLongW(frame, GWL_EXSTYLE) & WS_EX_CLIENTEDGE, 0);

    const HMENU systemMenu = ::GetSystemMenu(frame, FALSE);
    ASSERT_NE(systemMenu, nullptr);
    EXPECT_EQ(::GetMenuState(systemMenu, SC_SIZE, MF_BYCOMMAND), static_cast<UINT>(-1));
    EXPECT_EQ(::GetMenuState(systemMenu, SC_MAXIMIZE, MF_BYCOMMAND), static_cast<UINT>(-1));
    for (UINT kept : {SC_RESTORE, SC_MOVE, SC_MINIMIZE, SC_CLOSE})
        EXPECT_NE(::GetMenuState(systemMenu, kept, MF_BYCOMMAND), static_cast<UINT>(-1)) << kept;

    EXPECT_EQ(WindowText(frame), L"Quorvane");
    EXPECT_NE(::SendMessageW(frame, WM_GETICON, ICON_BIG, 0), 0);
    EXPECT_NE(::GetMenu(frame), nullptr);
}

TEST_F(ShellTest, EachSwitchFitsTheFrameToTheNewStepWithoutMovingIt) {
    // Move the frame away from its default place so that a move would show.
    ::SetWindowPos(session.FrameWindow(), nullptr, 37, 29, 0, 0,
                   SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
    Navigate(IDC_ADD_SIGNATURE, kAdd);
    Navigate(IDC_BACK, kHome);
    Navigate(IDC_CHECK_SIGNATURE, kCheck);
    Navigate(IDC_GO_BACK, kHome);
    EXPECT_EQ(WindowRect(session.FrameWindow()).left, 37);
    EXPECT_EQ(WindowRect(session.FrameWindow()).top, 29);
}

TEST_F(ShellTest, ReturningToTheAddSignatureStepShowsAFreshStep) {
    Navigate(IDC_ADD_SIGNATURE, kAdd);
    const HWND first = session.StepWindow();
    ::SetWindowTextW(Control(first, IDC_SIGNATURE), L"typed text");
    ::SetWindowTextW(Control(first, IDC_DEST_FOLDER), L"C:\\out");
    ::EnableWindow(Control(first, IDC_ENCRYPT_FILES), TRUE);

    Navigate(IDC_BACK, kHome);
    EXPECT_FALSE(::IsWindow(first));
    EXPECT_EQ(AfxCountLiveObjects(RUNTIME_CLASS(CWizardStepTwoEncode)), 0u);

    Navigate(IDC_ADD_SIGNATURE, kAdd);
    const HWND second = session.StepWindow();
    EXPECT_EQ(WindowText(Control(second, IDC_SIGNATURE)), L"");
    EXPECT_EQ(WindowText(Control(second, IDC_DEST_FOLDER)), L"");
    EXPECT_FALSE(::IsWindowEnabled(Control(second, IDC_ENCRYPT_FILES)));
    EXPECT_FALSE(::IsWindowEnabled(Control(second, IDC_SIGNATURE)));
}

TEST_F(ShellTest, ManySwitchesLeaveOnlyTheCurrentStepAlive) {
    for (int round = 0; round < 40; ++round) {
        Click(session.StepWindow(), IDC_ADD_SIGNATURE);
        Click(session.StepWindow(), IDC_BACK);
        Click(session.StepWindow(), IDC_CHECK_SIGNATURE);
        Click(session.StepWindow(), IDC_GO_BACK);
        PumpPending();
        ASSERT_EQ(LiveSteps(), 1u) << "round " << round;
    }
    ExpectShows(session, kHome);
    // Exactly one step window is left in the frame.
    int children = 0;
    for (HWND child = ::GetWindow(session.FrameWindow(), GW_CHILD); child;
         child = ::GetWindow(child, GW_HWNDNEXT))
        ++children;
    EXPECT_EQ(children, 1);
}

TEST_F(ShellTest, HomeStepButtonsAndTheirFocus) {
    const HWND home = session.StepWindow();
    EXPECT_EQ(WindowText(Control(home, IDC_ADD_SIGNATURE)), L"Add Signature");
    EXPECT_EQ(WindowText(Control(home, IDC_CHECK_SIGNATURE)), L"Check Signature");
    // Neither is the default button.
    for (int id : {IDC_ADD_SIGNATURE, IDC_CHECK_SIGNATURE})
        EXPECT_EQ(::SendMessageW(Control(home, id), WM_GETDLGCODE, 0, 0) & DLGC_DEFPUSHBUTTON, 0);

    // Activating the frame puts the keyboard in the step, on its first button.
    ::SetFocus(nullptr);
    ::SetFocus(session.FrameWindow());
    PumpPending();
    EXPECT_EQ(::GetFocus(), Control(home, IDC_ADD_SIGNATURE));

    PressKey(VK_TAB);
    EXPECT_EQ(::GetFocus(), Control(home, IDC_CHECK_SIGNATURE));
    PressKey(VK_TAB);
    EXPECT_EQ(::GetFocus(), Control(home, IDC_ADD_SIGNATURE));
}

TEST_F(ShellTest, EscapeAndEnterNeverCloseAStep) {
    for (const auto& [button, kind, back] :
         {std::tuple{0, kHome, 0}, std::tuple{IDC_ADD_SIGNATURE, kAdd, IDC_BACK},
          std::tuple{IDC_CHECK_SIGNATURE, kCheck, IDC_GO_BACK}}) {
        if (button)
            Click(session.StepWindow(), button);
        const HWND step = session.StepWindow();
        ::SetFocus(step);
        PumpPending();
        ASSERT_TRUE(::IsChild(step, ::GetFocus())) << kind.className;

        PressKey(VK_ESCAPE);
        ASSERT_EQ(session.StepWindow(), step) << kind.className;
        ExpectShows(session, kind);
        // What the dialog manager sends for Enter when no push button has the focus.
        ::SendMessageW(step, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), 0);
        ::SendMessageW(step, WM_COMMAND, MAKEWPARAM(IDCANCEL, BN_CLICKED), 0);
        PumpPending();
        ASSERT_EQ(session.StepWindow(), step) << kind.className;
        EXPECT_TRUE(::IsWindowVisible(step));

        if (back)
            Click(step, back);
    }
}

TEST_F(ShellTest, EnterClicksTheFocusedButtonAndMultiLineEditsKeepIt) {
    // Enter on the focused "Check Signature" button clicks it.
    const HWND home = session.StepWindow();
    ::SetFocus(session.FrameWindow());
    PumpPending();
    PressKey(VK_TAB);
    ASSERT_EQ(::GetFocus(), Control(home, IDC_CHECK_SIGNATURE));
    PressKey(VK_RETURN);
    ExpectShows(session, kCheck);

    // The signature box takes Enter itself: the step stays.
    const HWND check = session.StepWindow();
    ::SetFocus(Control(check, IDC_SIGNATURE_VIEW));
    PressKey(VK_RETURN);
    EXPECT_EQ(session.StepWindow(), check);
}

TEST_F(ShellTest, EditingKeysReachTheStepsInsteadOfBecomingCommands) {
    // Accelerators are translated before a step sees a key: only F1 may be one.
    const HACCEL table = session.Frame()->m_hAccelTable;
    ASSERT_NE(table, nullptr);
    Click(session.StepWindow(), IDC_CHECK_SIGNATURE);
    const HWND edit = Control(session.StepWindow(), IDC_SIGNATURE_VIEW);

    BYTE keys[256]{};
    ASSERT_TRUE(::GetKeyboardState(keys));
    const BYTE saved[3] = {keys[VK_CONTROL], keys[VK_SHIFT], keys[VK_MENU]};
    const auto translates = [&](UINT vk, BYTE control, BYTE shift, BYTE alt) {
        keys[VK_CONTROL] = control;
        keys[VK_SHIFT] = shift;
        keys[VK_MENU] = alt;
        ::SetKeyboardState(keys);
        MSG msg{};
        msg.hwnd = edit;
        msg.message = alt ? WM_SYSKEYDOWN : WM_KEYDOWN;
        msg.wParam = vk;
        msg.lParam = 1;
        return ::TranslateAcceleratorW(session.FrameWindow(), table, &msg) != 0;
    };
    constexpr BYTE down = 0x80;
    EXPECT_TRUE(translates(VK_F1, 0, 0, 0));
    EXPECT_FALSE(translates('C', down, 0, 0));
    EXPECT_FALSE(translates('V', down, 0, 0));
    EXPECT_FALSE(translates('X', down, 0, 0));
    EXPECT_FALSE(translates('Z', down, 0, 0));
    EXPECT_FALSE(translates(VK_INSERT, down, 0, 0));
    EXPECT_FALSE(translates(VK_INSERT, 0, down, 0));
    EXPECT_FALSE(translates(VK_DELETE, 0, down, 0));
    EXPECT_FALSE(translates(VK_BACK, 0, 0, down));
    EXPECT_FALSE(translates(VK_F6, 0, 0, 0));
    keys[VK_CONTROL] = saved[0];
    keys[VK_SHIFT] = saved[1];
    keys[VK_MENU] = saved[2];
    ::SetKeyboardState(keys);
    PumpPending();
}

TEST_F(ShellTest, FileExitClosesTheProgramAndItsStep) {
    Click(session.StepWindow(), IDC_ADD_SIGNATURE);
    const HWND frame = session.FrameWindow();
    ::SendMessageW(frame, WM_COMMAND, MAKEWPARAM(ID_APP_EXIT, 0), 0);
    EXPECT_FALSE(::IsWindow(frame));
    EXPECT_EQ(session.App().m_pMainWnd, nullptr);
    EXPECT_EQ(session.App().m_pMainFrame, nullptr);
    EXPECT_EQ(LiveSteps(), 0u);
    EXPECT_EQ(AfxCountLiveObjects(RUNTIME_CLASS(CMainFrame)), 0u);
    // The message loop ends.
    EXPECT_FALSE(PumpPending());
}

TEST_F(ShellTest, ExitIsOfferedInTheFileMenu) {
    const HMENU file = ::GetSubMenu(::GetMenu(session.FrameWindow()), 0);
    ASSERT_NE(file, nullptr);
    ::SendMessageW(session.FrameWindow(), WM_INITMENUPOPUP, reinterpret_cast<WPARAM>(file), 0);
    EXPECT_EQ(::GetMenuState(file, ID_APP_EXIT, MF_BYCOMMAND) & (MF_GRAYED | MF_DISABLED), 0u);
}

TEST_F(ShellTest, AStepThatCannotBeCreatedLeavesTheCurrentStepInPlace) {
    const HWND home = session.StepWindow();
    const RECT frameBefore = WindowRect(session.FrameWindow());
    EXPECT_FALSE(session.Frame()->ShowStep<CWizardStepTwoEncode>(4242)); // no such template
    EXPECT_EQ(session.StepWindow(), home);
    ExpectShows(session, kHome);
    const RECT frameAfter = WindowRect(session.FrameWindow());
    EXPECT_EQ(frameAfter.right - frameAfter.left, frameBefore.right - frameBefore.left);
    EXPECT_EQ(frameAfter.bottom - frameAfter.top, frameBefore.bottom - frameBefore.top);
}

TEST_F(ShellTest, RecordsTheStartUpDirectoryAndTheAutoCompletionEntry) {
    std::wstring current(::GetCurrentDirectoryW(0, nullptr), L'\0');
    current.resize(::GetCurrentDirectoryW(static_cast<DWORD>(current.size()), current.data()));
    EXPECT_EQ(session.App().m_szStartDir, current);
    EXPECT_NE(session.App().m_hShlwapi, nullptr);
    EXPECT_NE(session.App().m_pfnSHAutoComplete, nullptr);
}

// --- Start-up failures --------------------------------------------------------------------

struct StartupFailure {
    const char* name;
    void (CScriptedSeam::*fail)();
    const wchar_t* message;
};

class StartupFailureTest : public testing::TestWithParam<StartupFailure> {};

TEST_P(StartupFailureTest, ShowsItsMessageAndEndsWithoutAWindow) {
    CScriptedSeam seam;
    (seam.*GetParam().fail)();
    {
        CMainApp app;
        EXPECT_FALSE(app.InitInstance());
        ASSERT_EQ(seam.messageBoxes.size(), 1u);
        EXPECT_EQ(seam.messageBoxes[0].text, GetParam().message);
        EXPECT_EQ(seam.messageBoxes[0].caption, L"Quorvane");
        EXPECT_EQ(seam.messageBoxes[0].type, static_cast<UINT>(MB_OK));
        EXPECT_EQ(seam.messageBoxes[0].owner, nullptr);
        EXPECT_EQ(app.m_pMainWnd, nullptr);
        EXPECT_EQ(app.m_pMainFrame, nullptr);
        EXPECT_EQ(AfxCountLiveObjects(RUNTIME_CLASS(CWnd)), 0u);
    }
    MSG msg{};
    EXPECT_FALSE(::PeekMessageW(&msg, nullptr, WM_QUIT, WM_QUIT, PM_NOREMOVE))
        << "nothing was created, so nothing posts the end of the loop";
}

INSTANTIATE_TEST_SUITE_P(
    Shell, StartupFailureTest,
    testing::Values(StartupFailure{"Sockets", &CScriptedSeam::FailSocketStartup,
                                   L"Windows sockets initialization failed."},
                    StartupFailure{
                        "Ole", &CScriptedSeam::FailOleStartup,
                        L"OLE initialization failed.  Make sure that the OLE libraries are the "
                        L"correct version."}),
    [](const testing::TestParamInfo<StartupFailure>& info) { return info.param.name; });

} // namespace
