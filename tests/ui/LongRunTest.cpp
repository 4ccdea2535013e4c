// A batch whose copy is held in the middle by the test: the program keeps answering, shows the
// file and the bytes, takes no input in the main window, and stops on Cancel or on closing.
#include "SigningGui.h"

#include "EncProgress.h"
#include "ByteIo.h"
#include "TestHooks.h"
#include "resource.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <optional>
#include <thread>

namespace fs = std::filesystem;

namespace {

// Byte I/O that stops in the middle of the first copy of more than one block, after that
// block, until the test lets it go on. The engine's worker thread waits in it; the test's thread
// looks meanwhile.
class CGatedIo : public CByteIo {
public:
    bool SeesEveryByte() const override { return true; }
    void Begin(std::FILE*, std::FILE*) override {
        std::lock_guard lock(m_mutex);
        m_reads = 0;
    }
    std::size_t Read(std::FILE* file, void* buffer, std::size_t bytes) override {
        const std::size_t got = CByteIo::Read(file, buffer, bytes);
        std::unique_lock lock(m_mutex);
        if (++m_reads == 2) {
            m_held = true;
            m_changed.notify_all();
            m_changed.wait(lock, [&] { return m_open; });
        }
        return got;
    }
    // True once the copy is held.
    bool Held() {
        std::lock_guard lock(m_mutex);
        return m_held;
    }
    void Open() {
        std::lock_guard lock(m_mutex);
        m_open = true;
        m_changed.notify_all();
    }

private:
    std::mutex m_mutex;
    std::condition_variable m_changed;
    int m_reads = 0;
    bool m_held = false;
    bool m_open = false;
};

class LongRunTest : public SigningGuiTest {
protected:
    void SetUp() override {
        SigningGuiTest::SetUp();
        m_hooks.emplace();
        (*m_hooks)->byteIo = &io;
        out = temp / L"out";
        fs::create_directories(out);
        // The second file is large enough for several blocks: its copy is the one held.
        const fs::path in = temp / L"in";
        fs::create_directories(in);
        for (const auto& [name, size] :
             {std::pair{L"a.txt", 100}, std::pair{L"big.bin", 3 << 20}, std::pair{L"c.txt", 200}}) {
            WriteFile(in / name, Bytes(static_cast<std::size_t>(size), 0x5A));
            files.push_back((in / name).wstring());
        }
        SelectFiles(files);
        SetText(IDC_DEST_FOLDER, out.wstring());
        Type(IDC_SIGNATURE, L"held");
    }
    void TearDown() override {
        io.Open();
        m_hooks.reset();
        SigningGuiTest::TearDown();
    }
    // Starts the batch and runs `act` with the progress window once the copy is held.
    void RunHeld(const std::function<void(HWND progress)>& act) {
        CModalScript script(L"", [&](HWND progress) {
            ASSERT_TRUE(PumpUntil([&] { return io.Held(); }));
            act(progress);
            io.Open();
        });
        Click(StepWindow(), IDC_ENCRYPT_FILES);
        EXPECT_TRUE(script.Ran());
    }
    // No temporary or partial file is left in the output folder.
    void ExpectOnlyOutputs(const std::vector<std::wstring>& names) {
        EXPECT_EQ(FolderNames(out), names);
    }

    CGatedIo io;
    fs::path out;
    std::vector<std::wstring> files;

private:
    std::optional<CScopedTestHooks> m_hooks;
};

TEST_F(LongRunTest, TheProgramAnswersAndShowsTheFileAndItsBytesWhileTheInputWaits) {
    const HWND frame = session.FrameWindow();
    const HWND step = StepWindow();
    RunHeld([&](HWND progress) {
        // Pinged from another thread, as the system pings to tell a hung window: sent from
        // its own thread the message would be a plain call, answered whatever the program did.
        std::atomic<int> answered{-1};
        std::thread ping([&] {
            DWORD_PTR ignored = 0;
            answered =
                ::SendMessageTimeoutW(frame, WM_NULL, 0, 0, SMTO_ABORTIFHUNG, 1000, &ignored) != 0;
        });
        PumpUntil([&] { return answered >= 0; }, std::chrono::seconds(5));
        ping.join();
        EXPECT_EQ(answered, 1) << "the frame answers within a second";
        // Over the run's bytes: a's 100 and part of big's 3 MiB are done.
        const auto position = [&] {
            return static_cast<int>(
                ::SendMessageW(Control(progress, IDC_PROGRESS), PBM_GETPOS, 0, 0));
        };
        EXPECT_TRUE(PumpUntil([&] { return position() > 0; }));
        EXPECT_LT(position(), kProgressBarRange / 10);
        EXPECT_EQ(WindowText(Control(progress, IDC_PROGRESS_STATUS)), L"Signing file 2 of 3");
        EXPECT_EQ(WindowText(Control(progress, IDC_PROGRESS_FILE)), files[1]);
        EXPECT_EQ(WindowText(Control(progress, IDC_PROGRESS_DONE)).rfind(L"1 of 3 files, ", 0), 0u)
            << WindowText(Control(progress, IDC_PROGRESS_DONE));
        // The main window takes no input meanwhile: the step, the menu and F1 are off.
        EXPECT_FALSE(::IsWindowEnabled(step));
        const UINT state = ::GetMenuState(::GetMenu(frame), 0, MF_BYPOSITION);
        EXPECT_NE(state & MF_GRAYED, 0u);
        PressKey(VK_F1);
        EXPECT_TRUE(Seam().launches.empty());
        Answer(IDOK); // the summary
    });
    ExpectOnlyOutputs({L"a_signed.txt", L"big_signed.bin", L"c_signed.txt"});
    EXPECT_EQ(log, std::vector<std::wstring>{L"box Done 64: 3 files encrypted succesfully!"});
    EXPECT_EQ(session.StepClass(), "CWizardStepOne");
}

TEST_F(LongRunTest, CancelDropsTheFileBeingCopiedKeepsTheSignedOnesAndCountsThem) {
    RunHeld([&](HWND progress) {
        Answer(IDOK);
        Click(progress, IDC_CANCEL_SIGNING);
    });
    ExpectOnlyOutputs({L"a_signed.txt"});
    EXPECT_EQ(log, std::vector<std::wstring>{L"box Done 64: File encrypted succesfully!"});
    EXPECT_EQ(session.StepClass(), "CWizardStepOne");
}

TEST_F(LongRunTest, ClosingTheMainWindowAsksThenStopsAndCloses) {
    const HWND frame = session.FrameWindow();
    // No: the run goes on to its end.
    RunHeld([&](HWND progress) {
        AnswerWith([&] {
            EXPECT_EQ(Seam().messageBoxes.back().owner, progress) << "above the progress window";
            return IDNO;
        });
        Answer(IDOK);
        ::SendMessageW(frame, WM_CLOSE, 0, 0);
    });
    ASSERT_EQ(log.size(), 2u);
    EXPECT_EQ(log[0].rfind(L"box Question 52: Quorvane is still signing files.", 0), 0u);
    ExpectOnlyOutputs({L"a_signed.txt", L"big_signed.bin", L"c_signed.txt"});
    ASSERT_TRUE(::IsWindow(frame));
}

TEST_F(LongRunTest, ClosingTheMainWindowWithYesStopsTheRunAndClosesTheProgram) {
    const HWND frame = session.FrameWindow();
    RunHeld([&](HWND) {
        Answer(IDYES);
        ::SendMessageW(frame, WM_CLOSE, 0, 0);
    });
    PumpUntil([&] { return !::IsWindow(frame); });
    EXPECT_FALSE(::IsWindow(frame));
    ExpectOnlyOutputs({L"a_signed.txt"});
    // The user said to close: no summary, and no report of the files left out.
    ASSERT_EQ(log.size(), 1u);
    EXPECT_EQ(log[0].rfind(L"box Question 52: Quorvane is still signing files.", 0), 0u);
    EXPECT_TRUE(reportWatch.reports.empty());
}

} // namespace
