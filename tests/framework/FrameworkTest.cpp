// The thin Win32 layer: message maps and their chaining, command routing, run-time classes,
// modal and modeless dialogs, window ownership, exceptions from handlers, and the seam.
#include "AfxCtrls.h"
#include "AfxDlgs.h"
#include "GuiTest.h"
#include "resource.h"

#include <gtest/gtest.h>

#include <memory>
#include <stdexcept>

namespace {

// A modeless dialog on the home step's template with a handler of its own for button 1000;
// IDOK and IDCANCEL come from CDialog's map.
class CProbeDialog : public CDialog {
    DECLARE_DYNAMIC(CProbeDialog)
public:
    CProbeDialog() : CDialog(IDD_WIZARD_STEP_ONE) {}
    int clicks = 0;
    bool throwOnClick = false;
    CButton m_button;

protected:
    DECLARE_MESSAGE_MAP()
    void DoDataExchange(CDataExchange* pDX) override {
        DDX_Control(pDX, IDC_ADD_SIGNATURE, m_button);
    }
    void OnFirst() {
        ++clicks;
        if (throwOnClick)
            throw std::runtime_error("handler failed");
    }
};

IMPLEMENT_DYNAMIC(CProbeDialog, CDialog)

BEGIN_MESSAGE_MAP(CProbeDialog, CDialog)
ON_BN_CLICKED(IDC_ADD_SIGNATURE, OnFirst)
END_MESSAGE_MAP()

// Overrides the base map's IDCANCEL entry: the derived table is searched first.
class CKeepOpenDialog : public CProbeDialog {
    DECLARE_DYNAMIC(CKeepOpenDialog)
public:
    int cancels = 0;

protected:
    DECLARE_MESSAGE_MAP()
    void OnKeepOpen() { ++cancels; }
};

IMPLEMENT_DYNAMIC(CKeepOpenDialog, CProbeDialog)

BEGIN_MESSAGE_MAP(CKeepOpenDialog, CProbeDialog)
ON_COMMAND(IDCANCEL, OnKeepOpen)
END_MESSAGE_MAP()

// A modal dialog that ends itself once it runs, or fails to bind a control.
class CSelfEndingDialog : public CDialog {
public:
    explicit CSelfEndingDialog(CWnd* parent, int missingControl = 0)
        : CDialog(IDD_WIZARD_STEP_ONE, parent), m_missingControl(missingControl) {}
    CButton m_button;
    CButton m_missing;
    HWND boundDuringDialog = nullptr;

protected:
    void DoDataExchange(CDataExchange* pDX) override {
        DDX_Control(pDX, IDC_CHECK_SIGNATURE, m_button);
        if (m_missingControl)
            DDX_Control(pDX, m_missingControl, m_missing);
    }
    BOOL OnInitDialog() override {
        CDialog::OnInitDialog();
        boundDuringDialog = m_button.m_hWnd;
        ::PostMessageW(m_hWnd, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), 0);
        return TRUE;
    }

private:
    int m_missingControl;
};

constexpr UINT kAppCommand = 40001;
constexpr UINT kFrameCommand = 40002;
constexpr UINT kNobodysCommand = 40003;

class CProbeApp : public CWinApp {
public:
    CProbeApp() : CWinApp(L"Probe Title") {}
    int appCommands = 0;

protected:
    DECLARE_MESSAGE_MAP()
    void OnAppCommand() { ++appCommands; }
};

BEGIN_MESSAGE_MAP(CProbeApp, CWinApp)
ON_COMMAND(kAppCommand, OnAppCommand)
END_MESSAGE_MAP()

class CProbeFrame : public CFrameWnd {
public:
    int frameCommands = 0;
    bool Make(HMENU menu) {
        return CreateEx(0, AfxRegisterWndClass(0), L"probe", WS_OVERLAPPEDWINDOW, 10, 10, 300, 200,
                        nullptr, menu) != FALSE;
    }

protected:
    DECLARE_MESSAGE_MAP()
    void OnFrameCommand() { ++frameCommands; }
};

BEGIN_MESSAGE_MAP(CProbeFrame, CFrameWnd)
ON_COMMAND(kFrameCommand, OnFrameCommand)
END_MESSAGE_MAP()

class FrameworkTest : public testing::Test {
protected:
    // The program's templates are child dialogs: they need a parent window.
    void SetUp() override {
        host = std::make_unique<CWnd>();
        ASSERT_TRUE(host->CreateEx(0, AfxRegisterWndClass(0), L"host", WS_POPUP, 0, 0, 800, 600,
                                   nullptr, nullptr));
    }
    void TearDown() override {
        host.reset();
        while (!PumpPending()) {
        }
        EXPECT_EQ(AfxCountLiveObjects(RUNTIME_CLASS(CWnd)), 0u);
    }
    CScriptedSeam seam;
    std::unique_ptr<CWnd> host;
};

TEST_F(FrameworkTest, RunTimeClassesKnowTheirNamesAndBases) {
    CKeepOpenDialog dialog;
    EXPECT_STREQ(dialog.GetRuntimeClass()->m_lpszClassName, "CKeepOpenDialog");
    EXPECT_TRUE(dialog.IsKindOf(RUNTIME_CLASS(CProbeDialog)));
    EXPECT_TRUE(dialog.IsKindOf(RUNTIME_CLASS(CDialog)));
    EXPECT_TRUE(dialog.IsKindOf(RUNTIME_CLASS(CWnd)));
    EXPECT_TRUE(dialog.IsKindOf(RUNTIME_CLASS(CObject)));
    EXPECT_FALSE(dialog.IsKindOf(RUNTIME_CLASS(CFrameWnd)));
    CProbeDialog base;
    EXPECT_FALSE(base.IsKindOf(RUNTIME_CLASS(CKeepOpenDialog)));
    EXPECT_EQ(AfxCountLiveObjects(RUNTIME_CLASS(CDialog)), 2u);
    EXPECT_EQ(AfxCountLiveObjects(RUNTIME_CLASS(CKeepOpenDialog)), 1u);
}

TEST_F(FrameworkTest, MessageMapsFindOwnEntriesThenTheBaseClasses) {
    CProbeDialog probe;
    ASSERT_TRUE(probe.Create(IDD_WIZARD_STEP_ONE, host.get()));
    EXPECT_EQ(probe.m_button.m_hWnd, Control(probe.m_hWnd, IDC_ADD_SIGNATURE)) << "DDX_Control";
    Click(probe.m_hWnd, IDC_ADD_SIGNATURE);
    EXPECT_EQ(probe.clicks, 1);
    // IDCANCEL is in CDialog's map: a modeless dialog is destroyed, its controls unbound.
    const HWND window = probe.m_hWnd;
    ::SendMessageW(window, WM_COMMAND, MAKEWPARAM(IDCANCEL, BN_CLICKED), 0);
    EXPECT_FALSE(::IsWindow(window));
    EXPECT_EQ(probe.m_hWnd, nullptr);
    EXPECT_EQ(probe.m_button.m_hWnd, nullptr);

    CKeepOpenDialog keepOpen;
    ASSERT_TRUE(keepOpen.Create(IDD_WIZARD_STEP_ONE, host.get()));
    ::SendMessageW(keepOpen.m_hWnd, WM_COMMAND, MAKEWPARAM(IDCANCEL, BN_CLICKED), 0);
    EXPECT_EQ(keepOpen.cancels, 1);
    EXPECT_TRUE(::IsWindow(keepOpen.m_hWnd));
    Click(keepOpen.m_hWnd, IDC_ADD_SIGNATURE);
    EXPECT_EQ(keepOpen.clicks, 1) << "the base class's entry still serves";
}

TEST_F(FrameworkTest, CommandsGoToTheFrameThenTheApplicationAndMenusShowWhatIsHandled) {
    CProbeApp app;
    const HMENU menu = ::CreateMenu();
    const HMENU popup = ::CreatePopupMenu();
    ::AppendMenuW(popup, MF_STRING, kAppCommand, L"app");
    ::AppendMenuW(popup, MF_STRING, kFrameCommand, L"frame");
    ::AppendMenuW(popup, MF_SEPARATOR, 0, nullptr);
    ::AppendMenuW(popup, MF_STRING, kNobodysCommand, L"nobody");
    ::AppendMenuW(popup, MF_STRING, ID_APP_EXIT, L"exit");
    ::AppendMenuW(menu, MF_POPUP, reinterpret_cast<UINT_PTR>(popup), L"menu");
    auto* frame = new CProbeFrame;
    ASSERT_TRUE(frame->Make(menu));
    app.m_pMainWnd = frame;
    const HWND window = frame->m_hWnd;

    ::SendMessageW(window, WM_COMMAND, MAKEWPARAM(kFrameCommand, 0), 0);
    ::SendMessageW(window, WM_COMMAND, MAKEWPARAM(kAppCommand, 1), 0); // from an accelerator
    ::SendMessageW(window, WM_COMMAND, MAKEWPARAM(kNobodysCommand, 0), 0);
    EXPECT_EQ(frame->frameCommands, 1);
    EXPECT_EQ(app.appCommands, 1);

    ::SendMessageW(window, WM_INITMENUPOPUP, reinterpret_cast<WPARAM>(popup), 0);
    const auto enabled = [&](UINT id) {
        return (::GetMenuState(popup, id, MF_BYCOMMAND) & (MF_GRAYED | MF_DISABLED)) == 0;
    };
    EXPECT_TRUE(enabled(kAppCommand));
    EXPECT_TRUE(enabled(kFrameCommand));
    EXPECT_TRUE(enabled(ID_APP_EXIT));
    EXPECT_FALSE(enabled(kNobodysCommand));

    // Exit closes the main window; the frame deletes itself and the loop ends.
    ::SendMessageW(window, WM_COMMAND, MAKEWPARAM(ID_APP_EXIT, 0), 0);
    EXPECT_FALSE(::IsWindow(window));
    EXPECT_EQ(app.m_pMainWnd, nullptr);
    EXPECT_FALSE(PumpPending());
}

TEST_F(FrameworkTest, ModalDialogsEndWithTheirResultAndUnbindTheirControls) {
    CSelfEndingDialog dialog(host.get());
    EXPECT_EQ(dialog.DoModal(), IDOK);
    EXPECT_NE(dialog.boundDuringDialog, nullptr);
    EXPECT_EQ(dialog.m_button.m_hWnd, nullptr);
    EXPECT_EQ(dialog.m_hWnd, nullptr);
    EXPECT_EQ(dialog.DoModal(), IDOK) << "a dialog object can run again";
}

TEST_F(FrameworkTest, ExceptionsFromHandlersComeOutOfTheMessageLoopAndDoModal) {
    CProbeDialog probe;
    ASSERT_TRUE(probe.Create(IDD_WIZARD_STEP_ONE, host.get()));
    probe.throwOnClick = true;
    ::PostMessageW(probe.m_hWnd, WM_COMMAND, MAKEWPARAM(IDC_ADD_SIGNATURE, BN_CLICKED),
                   reinterpret_cast<LPARAM>(probe.m_button.m_hWnd));
    CProbeApp app;
    EXPECT_THROW(app.PumpWaitingMessages(), std::runtime_error);
    EXPECT_EQ(probe.clicks, 1);
    EXPECT_NO_THROW(app.PumpWaitingMessages()) << "reported once";
    probe.DestroyWindow();

    CSelfEndingDialog broken(host.get(), 4242); // binds a control the template lacks
    EXPECT_THROW(broken.DoModal(), std::logic_error);
}

TEST_F(FrameworkTest, AWindowObjectDestroysTheWindowItMade) {
    HWND window = nullptr;
    {
        CWnd wnd;
        ASSERT_TRUE(wnd.CreateEx(0, AfxRegisterWndClass(0), L"owned", WS_POPUP, 0, 0, 10, 10,
                                 nullptr, nullptr));
        window = wnd.m_hWnd;
        EXPECT_EQ(CWnd::FromHandle(window), &wnd);
    }
    EXPECT_FALSE(::IsWindow(window));
    EXPECT_EQ(CWnd::FromHandle(window), nullptr);
    EXPECT_EQ(AfxRegisterWndClass(0), AfxRegisterWndClass(0)) << "registered once";
}

TEST_F(FrameworkTest, MessageBoxesGoThroughTheSeamWithTheApplicationTitle) {
    CProbeApp app;
    seam.AnswerMessageBox(IDYES);
    EXPECT_EQ(AfxMessageBox(L"Proceed?", MB_YESNO), IDYES);
    EXPECT_EQ(AfxMessageBox(IDR_MAINFRAME), IDOK); // a string of the resources; one button
    ASSERT_EQ(seam.messageBoxes.size(), 2u);
    EXPECT_EQ(seam.messageBoxes[0].text, L"Proceed?");
    EXPECT_EQ(seam.messageBoxes[0].caption, L"Probe Title");
    EXPECT_EQ(seam.messageBoxes[0].type, static_cast<UINT>(MB_YESNO));
    EXPECT_EQ(seam.messageBoxes[1].text, L"Quorvane");

    CProbeDialog owner;
    ASSERT_TRUE(owner.Create(IDD_WIZARD_STEP_ONE, host.get()));
    owner.MessageBox(L"No signature", L"Error", MB_OK);
    ASSERT_EQ(seam.messageBoxes.size(), 3u);
    EXPECT_EQ(seam.messageBoxes[2].owner, owner.m_hWnd);
    EXPECT_EQ(seam.messageBoxes[2].caption, L"Error");
    owner.DestroyWindow();
    EXPECT_EQ(seam.unscripted, 0);
}

TEST_F(FrameworkTest, FileDialogsGoThroughTheSeam) {
    seam.ChooseFiles({L"C:\\docs\\report.doc", L"C:\\docs\\b.txt"});
    seam.CancelFileDialog();
    CFileDialog dialog(TRUE, nullptr, nullptr, OFN_HIDEREADONLY | OFN_ALLOWMULTISELECT,
                       L"All Files (*.*)|*.*||");
    EXPECT_EQ(dialog.DoModal(), IDOK);
    EXPECT_EQ(dialog.GetPathName(), L"C:\\docs\\report.doc");
    EXPECT_EQ(dialog.GetPathNames().size(), 2u);
    EXPECT_EQ(dialog.DoModal(), IDCANCEL);
    EXPECT_EQ(dialog.GetPathName(), L"");
    ASSERT_EQ(seam.fileDialogs.size(), 2u);
    EXPECT_EQ(seam.fileDialogs[0].filter, L"All Files (*.*)|*.*||");
    EXPECT_EQ(seam.unscripted, 0);
    // Nothing scripted: the dialog counts as cancelled, and the test can see it was not planned.
    EXPECT_EQ(dialog.DoModal(), IDCANCEL);
    EXPECT_EQ(seam.unscripted, 1);
    seam.unscripted = 0;
}

TEST(OpenFileResultTest, SplitsTheDialogsFormIntoFullPaths) {
    struct Case {
        std::wstring buffer; // with its NULs
        std::vector<std::wstring> paths;
    };
    const Case cases[] = {
        {std::wstring(L"C:\\docs\\report.doc\0", 19), {L"C:\\docs\\report.doc"}},
        {std::wstring(L"C:\\docs\0a.txt\0b c.doc\0\0", 24),
         {L"C:\\docs\\a.txt", L"C:\\docs\\b c.doc"}},
        {std::wstring(L"C:\\\0a.txt\0b.txt\0\0", 17), {L"C:\\a.txt", L"C:\\b.txt"}},
        {std::wstring(L"\0", 1), {}},
    };
    for (const Case& c : cases) {
        std::wstring buffer = c.buffer + std::wstring(2, L'\0');
        EXPECT_EQ(SplitOpenFileResult(buffer.c_str()), c.paths);
    }
    EXPECT_EQ(OpenFileFilter(L"All Files (*.*)|*.*||"),
              std::wstring(L"All Files (*.*)\0*.*\0\0\0", 22));
}

} // namespace
