// Help > Help Topics and F1: the help page beside the program, never one from the folder it was
// started in, opened in the browser registered in the prefix's registry, from every step.
#include "BrowserFixtures.h"
#include "GuiTest.h"
#include "TempDir.h"

#include "resource.h"

#include <gtest/gtest.h>

#include <fstream>
#include <memory>
#include <optional>
#include <sstream>

namespace fs = std::filesystem;

namespace {

const std::wstring kBrowser = LR"(C:\Program Files\Web\browser.exe)";
const std::wstring kHelpMissing = L"Help file not found! Please re-install Quorvane!";

// The help command as the user gives it.
enum class Trigger { F1, Menu };

void RunHelp(CDesktopSession& session, Trigger trigger) {
    if (trigger == Trigger::F1) {
        ::SetFocus(session.StepWindow());
        PumpPending();
        PressKey(VK_F1);
    } else {
        ::SendMessageW(session.FrameWindow(), WM_COMMAND, MAKEWPARAM(ID_HELP_TOPICS, 0), 0);
    }
    PumpPending();
}

const char* TriggerName(Trigger trigger) {
    return trigger == Trigger::F1 ? "F1" : "Help > Help Topics";
}

// Runs `check` in the home step, the add-signature step and the check-signature step, and
// comes back to the home step.
template <class Check> void InEveryStep(CDesktopSession& session, Check check) {
    check("CWizardStepOne");
    for (const auto& [forward, back] :
         {std::pair{IDC_ADD_SIGNATURE, IDC_BACK}, std::pair{IDC_CHECK_SIGNATURE, IDC_GO_BACK}}) {
        Click(session.StepWindow(), forward);
        PumpPending();
        check(session.StepClass());
        Click(session.StepWindow(), back);
        PumpPending();
    }
}

// The help page beside the program (the test's folder, whose name has a blank in it), another
// planted in the start-up directory, and the program started there with `command` registered
// as the browser.
class HelpTest : public testing::Test {
protected:
    explicit HelpTest(std::optional<std::wstring> command = LR"(")" + kBrowser + LR"(" -nohome)",
                      bool withHelpPage = true)
        : m_startDir(Prepare(m_temp / "start dir")), m_browserCommand(command),
          m_withHelpPage(withHelpPage) {}

    void SetUp() override {
        ASSERT_TRUE(m_browserCommand.Applied());
        ASSERT_NE(ProgramDirectory().wstring().find(L' '), std::wstring::npos);
        ASSERT_FALSE(fs::exists(ProgramDirectory() / "help.html"));
        if (m_withHelpPage)
            m_page.emplace(ProgramDirectory() / "help.html",
                           "<html><body>Quorvane Help</body></html>");
        m_cwd = std::make_unique<CScopedCurrentDirectory>(m_startDir);
        m_session = std::make_unique<CDesktopSession>();
        ASSERT_TRUE(m_session->Started());
        ASSERT_EQ(m_session->App().m_szStartDir, m_startDir.wstring());
    }

    void TearDown() override {
        m_session.reset();
        m_cwd.reset();
        m_page.reset();
    }

    static std::wstring Address() {
        return L"file:///" + ProgramDirectory().wstring() + L"\\help.html";
    }

    // Started from Explorer's verb, Quorvane starts in the checked file's folder, which anyone
    // may have filled.
    static fs::path Prepare(const fs::path& dir) {
        fs::create_directory(dir);
        std::ofstream(dir / "help.html") << "<html><body>Planted</body></html>";
        return dir;
    }

    TempDir m_temp;
    fs::path m_startDir;
    CScopedBrowserCommand m_browserCommand;
    bool m_withHelpPage;
    std::optional<CScopedFile> m_page;
    std::unique_ptr<CScopedCurrentDirectory> m_cwd;
    std::unique_ptr<CDesktopSession> m_session;
};

TEST_F(HelpTest, HelpTopicsAndF1StartTheBrowserWithTheQuotedAddressInEveryStep) {
    CScriptedSeam& seam = m_session->Seam();
    InEveryStep(*m_session, [&](const std::string& step) {
        for (Trigger trigger : {Trigger::F1, Trigger::Menu}) {
            SCOPED_TRACE(step + ", " + TriggerName(trigger));
            const HWND stepWindow = m_session->StepWindow();
            seam.launches.clear();
            RunHelp(*m_session, trigger);
            ASSERT_EQ(seam.launches.size(), 1u);
            const ShellExecuteRequest& launch = seam.launches[0];
            EXPECT_EQ(launch.file, kBrowser);
            // One parameter, although the program's folder has a blank in it.
            EXPECT_EQ(launch.parameters, L"\"" + Address() + L"\"");
            EXPECT_EQ(launch.owner, nullptr);
            EXPECT_EQ(launch.verb, L"");
            EXPECT_EQ(launch.directory, L"");
            EXPECT_EQ(launch.show, SW_SHOWNORMAL);
            EXPECT_TRUE(seam.messageBoxes.empty());
            // Help does not change the step.
            EXPECT_EQ(m_session->StepWindow(), stepWindow);
            EXPECT_EQ(m_session->StepClass(), step);
        }
    });
}

TEST_F(HelpTest, WhenTheBrowserCannotBeStartedTheSystemOpensTheAddress) {
    CScriptedSeam& seam = m_session->Seam();
    seam.SetShellExecuteResult(SE_ERR_FNF);
    RunHelp(*m_session, Trigger::F1);
    ASSERT_EQ(seam.launches.size(), 2u);
    EXPECT_EQ(seam.launches[0].file, kBrowser);
    EXPECT_EQ(seam.launches[1].file, Address());
    EXPECT_EQ(seam.launches[1].parameters, L"");
    EXPECT_EQ(seam.launches[1].verb, L"");
    EXPECT_TRUE(seam.messageBoxes.empty());

    // 32 is a failure too; 33 the first success.
    seam.launches.clear();
    seam.SetShellExecuteResult(32);
    RunHelp(*m_session, Trigger::Menu);
    EXPECT_EQ(seam.launches.size(), 2u);
    seam.launches.clear();
    seam.SetShellExecuteResult(33);
    RunHelp(*m_session, Trigger::Menu);
    EXPECT_EQ(seam.launches.size(), 1u);
}

TEST_F(HelpTest, HelpIsThePageBesideTheProgramWhateverTheCurrentDirectory) {
    // The open-file dialog leaves the current directory where the user picked a file.
    TempDir elsewhere;
    std::ofstream(elsewhere / "help.html") << "another page";
    ASSERT_TRUE(::SetCurrentDirectoryW(elsewhere.Path().c_str()));
    RunHelp(*m_session, Trigger::F1);
    ASSERT_EQ(m_session->Seam().launches.size(), 1u);
    EXPECT_EQ(m_session->Seam().launches[0].parameters, L"\"" + Address() + L"\"");

    fs::remove(elsewhere / "help.html");
    RunHelp(*m_session, Trigger::Menu);
    ASSERT_EQ(m_session->Seam().launches.size(), 2u);
    EXPECT_EQ(m_session->Seam().launches[1].parameters, L"\"" + Address() + L"\"");
    EXPECT_TRUE(m_session->Seam().messageBoxes.empty());
}

TEST_F(HelpTest, HelpMenuOffersHelpTopicsAndAbout) {
    const HMENU help = ::GetSubMenu(::GetMenu(m_session->FrameWindow()), 1);
    ASSERT_NE(help, nullptr);
    ::SendMessageW(m_session->FrameWindow(), WM_INITMENUPOPUP, reinterpret_cast<WPARAM>(help), 1);
    for (UINT id : {ID_HELP_TOPICS, ID_APP_ABOUT})
        EXPECT_EQ(::GetMenuState(help, id, MF_BYCOMMAND) & (MF_GRAYED | MF_DISABLED), 0u) << id;
}

// --- No browser registered ---------------------------------------------------------------

class NoBrowserTest : public HelpTest, public testing::WithParamInterface<const wchar_t*> {
protected:
    NoBrowserTest()
        : HelpTest(GetParam() ? std::optional<std::wstring>(GetParam()) : std::nullopt) {}
};

TEST_P(NoBrowserTest, TheSystemOpensTheAddress) {
    CScriptedSeam& seam = m_session->Seam();
    for (Trigger trigger : {Trigger::F1, Trigger::Menu}) {
        SCOPED_TRACE(TriggerName(trigger));
        seam.launches.clear();
        RunHelp(*m_session, trigger);
        ASSERT_EQ(seam.launches.size(), 1u);
        EXPECT_EQ(seam.launches[0].file, Address());
        EXPECT_EQ(seam.launches[0].parameters, L"");
        EXPECT_EQ(seam.launches[0].show, SW_SHOWNORMAL);
    }
    EXPECT_TRUE(seam.messageBoxes.empty());
}

INSTANTIATE_TEST_SUITE_P(Help, NoBrowserTest, testing::Values(nullptr, L"", L"\"\""),
                         [](const testing::TestParamInfo<const wchar_t*>& info) {
                             return !info.param            ? std::string("NoValue")
                                    : *info.param == L'\0' ? std::string("EmptyValue")
                                                           : std::string("EmptyQuotes");
                         });

// --- No help page -------------------------------------------------------------------------

class MissingHelpTest : public HelpTest {
protected:
    MissingHelpTest() : HelpTest(LR"(")" + kBrowser + LR"(")", false) {}
};

TEST_F(MissingHelpTest, SaysSoInAMessageBoxAndStartsNothing) {
    CScriptedSeam& seam = m_session->Seam();
    InEveryStep(*m_session, [&](const std::string& step) {
        for (Trigger trigger : {Trigger::F1, Trigger::Menu}) {
            SCOPED_TRACE(step + ", " + TriggerName(trigger));
            seam.messageBoxes.clear();
            RunHelp(*m_session, trigger);
            ASSERT_EQ(seam.messageBoxes.size(), 1u);
            EXPECT_EQ(seam.messageBoxes[0].text, kHelpMissing);
            EXPECT_EQ(seam.messageBoxes[0].caption, L"Quorvane");
            EXPECT_EQ(seam.messageBoxes[0].type, static_cast<UINT>(MB_OK));
            EXPECT_EQ(seam.messageBoxes[0].owner, m_session->FrameWindow());
        }
    });
    EXPECT_TRUE(seam.launches.empty());
}

TEST_F(MissingHelpTest, APageInTheCurrentDirectoryDoesNotCount) {
    TempDir elsewhere;
    std::ofstream(elsewhere / "help.html") << "another page";
    CScopedCurrentDirectory cwd(elsewhere.Path());
    RunHelp(*m_session, Trigger::F1);
    ASSERT_EQ(m_session->Seam().messageBoxes.size(), 1u);
    EXPECT_EQ(m_session->Seam().messageBoxes[0].text, kHelpMissing);
    EXPECT_TRUE(m_session->Seam().launches.empty());
}

// Put back as the message says, the page serves at once.
TEST_F(MissingHelpTest, ThePagePutBackBesideTheProgramServes) {
    const CScopedFile beside(ProgramDirectory() / "help.html", "<html>installed</html>");
    RunHelp(*m_session, Trigger::F1);
    EXPECT_TRUE(m_session->Seam().messageBoxes.empty());
    ASSERT_EQ(m_session->Seam().launches.size(), 1u);
    EXPECT_EQ(m_session->Seam().launches[0].parameters,
              L"\"file:///" + ProgramDirectory().wstring() + L"\\help.html\"");
}

// --- The real start of a registered browser ----------------------------------------------

// Starts only the recording browser for real; anything else (an address handed to the
// system, which Wine would pass to the host's browser) is recorded and refused.
class CRecorderOnlySeam : public CScriptedSeam {
public:
    explicit CRecorderOnlySeam(std::wstring recorder) : m_recorder(std::move(recorder)) {}

    INT_PTR ShellExecute(const ShellExecuteRequest& request) override {
        launches.push_back(request);
        if (request.file != m_recorder)
            return SE_ERR_NOASSOC;
        return CRealSeam().ShellExecute(request);
    }

private:
    std::wstring m_recorder;
};

struct ChangeNotification {
    explicit ChangeNotification(HANDLE h) : handle(h) {}
    ~ChangeNotification() {
        if (handle != INVALID_HANDLE_VALUE)
            ::FindCloseChangeNotification(handle);
    }
    ChangeNotification(const ChangeNotification&) = delete;
    ChangeNotification& operator=(const ChangeNotification&) = delete;
    HANDLE handle;
};

std::wstring RecorderPath() {
    return (ProgramDirectory() / "browser_recorder.exe").wstring();
}

// The browser registered as `command` started for real; `program` is the only program the
// seam lets start, and the browser writes its arguments, one per line, to `output`.
class RecordingBrowserTest : public HelpTest {
protected:
    RecordingBrowserTest(const std::wstring& command, std::wstring program, fs::path output)
        : HelpTest(command), m_program(std::move(program)), m_output(std::move(output)) {}

    void SetUp() override {
        HelpTest::SetUp();
        ASSERT_TRUE(fs::exists(m_program));
        // The session's scripted seam goes; this one takes its place.
        m_seam = std::make_unique<CRecorderOnlySeam>(m_program);
    }

    void TearDown() override {
        m_seam.reset();
        HelpTest::TearDown();
    }

    // The recorder's arguments, once it has written them: the program's messages are pumped
    // while the wait wakes for each change of the folder's names. Wine may still refuse the
    // renamed file for a moment, so an unreadable file is looked at again shortly.
    std::string WaitForRecording() {
        const ChangeNotification change(::FindFirstChangeNotificationW(
            m_output.parent_path().c_str(), FALSE, FILE_NOTIFY_CHANGE_FILE_NAME));
        if (change.handle == INVALID_HANDLE_VALUE)
            return "(cannot watch the folder)";
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
        for (;;) {
            PumpPending();
            if (fs::exists(m_output)) {
                std::ifstream in(m_output, std::ios::binary);
                std::stringstream content;
                content << in.rdbuf();
                in.close();
                if (!content.str().empty()) {
                    fs::remove(m_output);
                    return content.str();
                }
            }
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            if (left.count() <= 0)
                return "(the browser was not started)";
            const DWORD wait = fs::exists(m_output) ? 20 : static_cast<DWORD>(left.count());
            if (::MsgWaitForMultipleObjects(1, &change.handle, FALSE, wait, QS_ALLINPUT) ==
                WAIT_OBJECT_0)
                ::FindNextChangeNotification(change.handle);
        }
    }

    std::string ExpectedRecording() const {
        const std::wstring address = Address();
        return std::string(address.begin(), address.end()) + "\n"; // the address is ASCII here
    }

    std::wstring m_program;
    fs::path m_output;
    std::unique_ptr<CRecorderOnlySeam> m_seam;
};

// A Windows program of ours registered as the browser.
class RealBrowserTest : public RecordingBrowserTest {
protected:
    RealBrowserTest()
        : RecordingBrowserTest(L"\"" + RecorderPath() + L"\" -nohome", RecorderPath(), {}) {
        m_output = m_temp / "browser.txt";
    }

    CScopedEnvironment m_environment{L"QUORVANE_RECORDER_OUTPUT",
                                     (m_temp / "browser.txt").wstring()};
};

// The path of `path` on the Unix side of Wine.
std::string UnixPath(const fs::path& path) {
    using UnixFileName = char*(CDECL*)(const wchar_t*);
    const auto convert = reinterpret_cast<UnixFileName>(reinterpret_cast<void*>(
        ::GetProcAddress(::GetModuleHandleW(L"kernel32"), "wine_get_unix_file_name")));
    if (!convert)
        return {};
    char* name = convert(path.c_str());
    if (!name)
        return {};
    std::string text = name;
    ::HeapFree(::GetProcessHeap(), 0, name);
    return text;
}

// Wine's own registration, as a fresh prefix has it: winebrowser.exe hands the address to the
// first Unix program of HKCU\Software\Wine\WineBrowser "Browsers", here a script in the folder
// above this test's (winebrowser starts no program whose path has a blank) that writes its
// arguments beside itself.
class WineBrowserTest : public RecordingBrowserTest {
protected:
    WineBrowserTest()
        : RecordingBrowserTest(LR"("C:\windows\system32\winebrowser.exe" "%1")",
                               LR"(C:\windows\system32\winebrowser.exe)",
                               ProgramDirectory().parent_path() / "wine-browser.sh.out") {}

    void SetUp() override {
        ASSERT_TRUE(m_browsers.Applied());
        RecordingBrowserTest::SetUp();
    }

    const std::string m_script = UnixPath(ProgramDirectory().parent_path() / "wine-browser.sh");
    CScopedRegistryValue m_browsers{HKEY_CURRENT_USER, LR"(Software\Wine\WineBrowser)", L"Browsers",
                                    std::wstring(m_script.begin(), m_script.end())};
};

TEST_F(RealBrowserTest, F1AndHelpTopicsStartTheRegisteredBrowserFromEveryStep) {
    InEveryStep(*m_session, [&](const std::string& step) {
        for (Trigger trigger : {Trigger::F1, Trigger::Menu}) {
            SCOPED_TRACE(step + ", " + TriggerName(trigger));
            m_seam->launches.clear();
            RunHelp(*m_session, trigger);
            ASSERT_EQ(m_seam->launches.size(), 1u) << "only the browser, no second attempt";
            // The browser got the address as its one argument, blank included.
            EXPECT_EQ(WaitForRecording(), ExpectedRecording());
        }
    });
    EXPECT_TRUE(m_seam->messageBoxes.empty());
}

} // namespace

namespace {

TEST_F(WineBrowserTest, F1OpensTheHelpPageThroughWinesOwnBrowserRegistration) {
    for (Trigger trigger : {Trigger::F1, Trigger::Menu}) {
        SCOPED_TRACE(TriggerName(trigger));
        m_seam->launches.clear();
        RunHelp(*m_session, trigger);
        ASSERT_EQ(m_seam->launches.size(), 1u) << "only the browser, no second attempt";
        EXPECT_EQ(m_seam->launches[0].file, m_program);
        // winebrowser hands the Unix browser the page's Unix path as a file address.
        std::string page = UnixPath(ProgramDirectory() / "help.html");
        for (std::size_t blank; (blank = page.find(' ')) != std::string::npos;)
            page.replace(blank, 1, "%20");
        EXPECT_EQ(WaitForRecording(), "file://" + page + "\n");
    }
    EXPECT_TRUE(m_seam->messageBoxes.empty());
}

} // namespace
