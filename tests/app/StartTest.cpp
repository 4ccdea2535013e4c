// Quorvane.exe's command line, started in-process: "/check FILE", "FILE...", unknown switches
// and a selection too long for one command line.
#include "GuiTest.h"
#include "TempDir.h"

#include "FileIo.h"
#include "SigCodeTable.h"
#include "Signature.h"
#include "StartCommand.h"
#include "WizardStepTwoDecode.h"
#include "WizardStepTwoEncode.h"
#include "resource.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

namespace fs = std::filesystem;

namespace {

std::wstring Quoted(const fs::path& path) {
    return L"\"" + path.wstring() + L"\"";
}

void WriteSigned(const fs::path& path, const std::wstring& text) {
    WriteBytes(path, PatternBytes(3000, 11));
    UniqueFile file = OpenFile(path, "r+b");
    ASSERT_TRUE(file);
    CSigCodeTable table;
    ASSERT_TRUE(AppendSignature(table, file.get(), text.data(), text.size() * sizeof(wchar_t)));
}

std::wstring Text(CDesktopSession& session, int id) {
    return WindowText(Control(session.StepWindow(), id));
}

class StartTest : public testing::Test {
protected:
    // Files `names` with distinct contents in `folder`; their full paths.
    std::vector<std::wstring> MakeFiles(const fs::path& folder,
                                        const std::vector<std::wstring>& names) {
        fs::create_directories(folder);
        std::vector<std::wstring> paths;
        std::uint32_t seed = 1;
        for (const auto& name : names) {
            WriteBytes(folder / name, PatternBytes(100 + seed, seed));
            ++seed;
            paths.push_back((folder / name).wstring());
        }
        return paths;
    }

    TempDir temp;
};

TEST_F(StartTest, CheckShowsTheFilesSignatureOrTheMessagesSelectFileWouldShow) {
    const fs::path folder = temp / L"Mes documents ü";
    fs::create_directories(folder);
    const fs::path signedFile = folder / L"résumé signé_signed.txt";
    WriteSigned(signedFile, L"© 2026 Zoë\r\nline two");
    const auto plain = MakeFiles(folder, {L"plain.txt"});

    {
        CDesktopSession session(L"Quorvane.exe /check " + Quoted(signedFile));
        ASSERT_TRUE(session.Started());
        EXPECT_EQ(session.StepClass(), "CWizardStepTwoDecode");
        EXPECT_EQ(Text(session, IDC_SIGNATURE_VIEW), L"© 2026 Zoë\r\nline two");
        EXPECT_TRUE(session.Seam().messageBoxes.empty());
        // The home step is gone, and the page works on as usual.
        EXPECT_EQ(AfxCountLiveObjects(RUNTIME_CLASS(CWizardStepTwoDecode)), 1u);
        Click(session.StepWindow(), IDC_GO_BACK);
        EXPECT_EQ(session.StepClass(), "CWizardStepOne");
    }
    const struct {
        fs::path file;
        const wchar_t* message;
    } refused[] = {
        {plain[0], L"No signature found in selected file!"},
        {folder / L"missing.txt", L"Could not open file!"},
    };
    for (const auto& c : refused) {
        // The switch in any letter case, as Windows users type it.
        CDesktopSession session(L"\"C:\\Program Files\\Q\\Quorvane.exe\" /CHECK " + Quoted(c.file));
        ASSERT_TRUE(session.Started());
        EXPECT_EQ(session.StepClass(), "CWizardStepTwoDecode");
        EXPECT_EQ(Text(session, IDC_SIGNATURE_VIEW), L"");
        ASSERT_EQ(session.Seam().messageBoxes.size(), 1u) << c.file;
        const auto& box = session.Seam().messageBoxes[0];
        EXPECT_EQ(box.text, c.message);
        EXPECT_EQ(box.caption, L"Error");
        EXPECT_EQ(box.owner, session.StepWindow());
    }
}

TEST_F(StartTest, FilesFillTheListAsADropAndProposeTheFirstFilesFolder) {
    const fs::path folder = temp / L"Été 2026 photos";
    const auto loose = MakeFiles(folder, {L"b.txt", L"a b.txt"});
    const auto inside = MakeFiles(folder / L"sub", {L"x10.jpg", L"x9.jpg"});
    MakeFiles(folder / L"sub" / L"deeper", {L"not taken.txt"});
    std::wstring upper = loose[0];
    for (auto& c : upper)
        c = static_cast<wchar_t>(::towupper(c));

    const fs::path gone = folder / L"gone.txt";

    CDesktopSession session(L"Quorvane.exe " + Quoted(loose[0]) + L" " + Quoted(folder / L"sub") +
                            L" " + Quoted(gone) + L" " + Quoted(loose[1]) + L" " + Quoted(upper));
    ASSERT_TRUE(session.Started());
    ASSERT_EQ(session.StepClass(), "CWizardStepTwoEncode");
    const auto* step = static_cast<CWizardStepTwoEncode*>(session.Step());
    // As a drop takes them: a folder's own files in Explorer's order, each file once, and
    // nothing for a path that names nothing, which a message names.
    EXPECT_EQ(step->FileList(),
              (std::vector<std::wstring>{loose[0], inside[1], inside[0], loose[1]}));
    EXPECT_EQ(Text(session, IDC_DEST_FOLDER), folder.wstring() + L"\\");
    EXPECT_EQ(step->DestFolder(), folder.wstring() + L"\\");
    EXPECT_TRUE(::IsWindowEnabled(Control(session.StepWindow(), IDC_SIGNATURE)));
    EXPECT_TRUE(::IsWindowEnabled(Control(session.StepWindow(), IDC_BROWSE)));
    EXPECT_FALSE(::IsWindowEnabled(Control(session.StepWindow(), IDC_ENCRYPT_FILES)));
    ASSERT_EQ(session.Seam().messageBoxes.size(), 1u);
    EXPECT_EQ(session.Seam().messageBoxes[0].text,
              L"Quorvane cannot find these files, so they are not in the list:\n\n" +
                  gone.wstring());
    EXPECT_EQ(session.Seam().messageBoxes[0].owner, session.FrameWindow());
}

TEST_F(StartTest, WrongSwitchesShowTheUsageThenTheHomePage) {
    const struct {
        const wchar_t* commandLine;
        const wchar_t* firstLine;
        UINT icon;
    } cases[] = {
        {L"Quorvane.exe /frobnicate", L"Unknown switch: /frobnicate", MB_ICONWARNING},
        {L"Quorvane.exe /check a /x", L"/check takes files and folders, not /x.", MB_ICONWARNING},
        {L"Quorvane.exe /?", L"Quorvane.exe\nopens the first page.", MB_ICONINFORMATION},
    };
    for (const auto& c : cases) {
        CDesktopSession session(c.commandLine);
        ASSERT_TRUE(session.Started());
        EXPECT_EQ(session.StepClass(), "CWizardStepOne") << c.commandLine;
        ASSERT_EQ(session.Seam().messageBoxes.size(), 1u) << c.commandLine;
        const auto& box = session.Seam().messageBoxes[0];
        EXPECT_EQ(box.text.rfind(c.firstLine, 0), 0u) << box.text;
        EXPECT_NE(box.text.find(L"Quorvane.exe /check FILE"), std::wstring::npos);
        EXPECT_EQ(box.caption, L"Quorvane");
        EXPECT_EQ(box.type, MB_OK | c.icon);
        EXPECT_EQ(box.owner, session.FrameWindow());
    }
}

TEST_F(StartTest, ASelectionCutAtTheCommandLinesLimitIsSaidAndItsCutPathLeftOut) {
    const auto files = MakeFiles(temp / L"sent files", {L"one.txt", L"two.txt"});
    MakeFiles(temp / L"sent", {L"other.txt"});
    {
        // Send To passes the whole selection; Windows ends the line at its limit, here in
        // the middle of "...\sent files\one.txt", which then names a folder that exists.
        const std::wstring cut = L" \"" + (temp / L"sent").wstring();
        std::wstring commandLine = L"Quorvane.exe";
        for (std::size_t i = 0;; ++i) {
            const std::wstring next = L" " + Quoted(files[i % 2]);
            if (commandLine.size() + next.size() + cut.size() >= kCommandLineLimit)
                break;
            commandLine += next;
        }
        commandLine += cut;

        CDesktopSession session(commandLine);
        ASSERT_TRUE(session.Started());
        ASSERT_EQ(session.StepClass(), "CWizardStepTwoEncode");
        EXPECT_EQ(static_cast<CWizardStepTwoEncode*>(session.Step())->FileList(), files);
        ASSERT_EQ(session.Seam().messageBoxes.size(), 1u);
        const std::wstring& text = session.Seam().messageBoxes[0].text;
        EXPECT_EQ(text.rfind(L"Windows could not pass all the files you sent to Quorvane", 0), 0u)
            << text;
        EXPECT_NE(text.find(L"The list holds the 2 files that arrived."), std::wstring::npos);
        EXPECT_EQ(session.Seam().messageBoxes[0].type, MB_OK | MB_ICONWARNING);
    }
    // A long command line that ends well before the limit is taken whole, without a word.
    CDesktopSession whole(L"Quorvane.exe " + Quoted(files[0]) + std::wstring(20000, L' ') +
                          Quoted(files[1]));
    ASSERT_TRUE(whole.Started());
    EXPECT_EQ(static_cast<CWizardStepTwoEncode*>(whole.Step())->FileList(), files);
    EXPECT_TRUE(whole.Seam().messageBoxes.empty());
}

} // namespace
