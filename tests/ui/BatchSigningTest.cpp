// "Encrypt Files": the batch as the user sees it, with the progress window and the messages
// in the order they come, the signed copies on disk, and faults that strike mid-batch.
#include "ByteIo.h"
#include "SigningGui.h"

#include "EncProgress.h"
#include "FileIo.h"
#include "SigCodeTable.h"
#include "Signature.h"
#include "TestHooks.h"
#include "WizardStepOne.h"
#include "resource.h"

#include <io.h>

namespace fs = std::filesystem;

namespace {

const std::wstring kSignature = L"(c) Quorvane tests";

std::u16string U16(const std::wstring& text) {
    return std::u16string(text.begin(), text.end());
}

// A file that already carries a trailer with `text`.
void SignInPlace(const fs::path& path, const std::wstring& text) {
    UniqueFile file = OpenFile(Long(path), "ab");
    ASSERT_TRUE(file);
    CSigCodeTable table;
    const std::u16string units = U16(text);
    ASSERT_TRUE(AppendSignature(table, file.get(), units.data(), 2 * units.size()));
}

// Holds a file open without sharing, as another program may.
class CLockedFile {
public:
    explicit CLockedFile(const fs::path& path)
        : m_handle(::CreateFileW(Long(path).c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING,
                                 FILE_ATTRIBUTE_NORMAL, nullptr)) {}
    ~CLockedFile() { Release(); }
    CLockedFile(const CLockedFile&) = delete;
    CLockedFile& operator=(const CLockedFile&) = delete;
    bool Held() const { return m_handle != INVALID_HANDLE_VALUE; }
    void Release() {
        if (Held())
            ::CloseHandle(m_handle);
        m_handle = INVALID_HANDLE_VALUE;
    }

private:
    HANDLE m_handle;
};

class BatchSigningTest : public SigningGuiTest {
protected:
    // Chooses `files`, types the destination and the signature.
    void Prepare(const std::vector<std::wstring>& files, const std::wstring& folder,
                 const std::wstring& text = kSignature) {
        SelectFiles(files);
        SetText(IDC_DEST_FOLDER, folder);
        Type(IDC_SIGNATURE, text);
        ASSERT_TRUE(Enabled(IDC_ENCRYPT_FILES));
    }
    void Encrypt() {
        stepWindow = StepWindow();
        Click(stepWindow, IDC_ENCRYPT_FILES);
    }
    // The batch ran to its end: the home step replaced the add-signature step, and nothing
    // of the batch is left.
    void ExpectBackHome() {
        EXPECT_EQ(session.StepClass(), "CWizardStepOne");
        EXPECT_FALSE(::IsWindow(stepWindow));
        EXPECT_EQ(AfxCountLiveObjects(RUNTIME_CLASS(CWizardStepTwoEncode)), 0u);
        EXPECT_EQ(AfxCountLiveObjects(RUNTIME_CLASS(CEncProgress)), 0u);
        for (const auto& window : spy.windows)
            EXPECT_FALSE(::IsWindow(window.dialog));
        // A box during the run stands above the progress window, which owns it; the summary
        // and a refused folder come when it is gone, from the step.
        for (const auto& box : Seam().messageBoxes) {
            const bool fromProgress =
                std::any_of(spy.windows.begin(), spy.windows.end(),
                            [&](const auto& w) { return w.dialog == box.owner; });
            EXPECT_TRUE(fromProgress || box.owner == stepWindow);
            EXPECT_EQ(box.owner == stepWindow,
                      box.caption == L"Done" || box.text == L"Please select a valid output folder.")
                << std::string(box.text.begin(), box.text.end());
        }
    }
    // `output` holds `source`'s bytes as they were, then one trailer with `text`.
    void ExpectSignedCopy(const fs::path& output, const Bytes& source,
                          const std::wstring& text = kSignature) {
        ASSERT_TRUE(Exists(output)) << output;
        const Bytes bytes = ReadFile(output);
        ASSERT_EQ(static_cast<std::int64_t>(bytes.size()),
                  static_cast<std::int64_t>(source.size()) + TrailerBytes(text.size()));
        EXPECT_TRUE(std::equal(source.begin(), source.end(), bytes.begin()));
        EXPECT_EQ(SignatureOf(output), U16(text));
    }
    // The sign of a progress window that ran over `count` files, all of which got this far.
    static std::vector<std::wstring> Progress(int count) {
        std::vector<std::wstring> lines = {L"range 0..1000", L"position 0", L"shown"};
        for (int i = 1; i <= count; ++i) {
            lines.push_back(L"status Signing file " + std::to_wstring(i) + L" of " +
                            std::to_wstring(count));
            lines.push_back(i == count ? L"position full" : L"position part");
        }
        lines.push_back(L"destroyed, status Signing file " + std::to_wstring(count) + L" of " +
                        std::to_wstring(count));
        return lines;
    }

    // The message boxes of the log, without the progress window's lines.
    std::vector<std::wstring> Boxes() const {
        std::vector<std::wstring> boxes;
        for (const auto& line : log)
            if (line.rfind(L"box ", 0) == 0)
                boxes.push_back(line);
        return boxes;
    }

    CProgressSpy spy{log};
    HWND stepWindow = nullptr;
    fs::path out = temp / L"out";
};

TEST_F(BatchSigningTest, ThreeFilesOfWhichTheSecondIsAlreadySigned) {
    const auto files = MakeFiles(temp / L"in", {L"a.txt", L"b.txt", L"c.txt"});
    SignInPlace(files[1], L"earlier");
    const Bytes a = ReadFile(files[0]), b = ReadFile(files[1]), c = ReadFile(files[2]);
    fs::create_directory(out);
    Prepare(files, out.wstring());
    Answer();
    Answer();
    Encrypt();

    EXPECT_EQ(log, (std::vector<std::wstring>{
                       L"range 0..1000",
                       L"position 0",
                       L"shown",
                       L"status Signing file 1 of 3",
                       L"position part",
                       L"status Signing file 2 of 3",
                       L"box Error! 16: File " + files[1] +
                           L" is already digitally signed, cannot re-sign!",
                       L"position part",
                       L"status Signing file 3 of 3",
                       L"position full",
                       L"destroyed, status Signing file 3 of 3",
                       L"box Done 64: 2 files encrypted succesfully!",
                   }));
    EXPECT_EQ(FolderNames(out), (std::vector<std::wstring>{L"a_signed.txt", L"c_signed.txt"}));
    ExpectSignedCopy(out / L"a_signed.txt", a);
    ExpectSignedCopy(out / L"c_signed.txt", c);
    EXPECT_EQ(ReadFile(files[0]), a);
    EXPECT_EQ(ReadFile(files[1]), b);
    EXPECT_EQ(ReadFile(files[2]), c);
    ASSERT_EQ(spy.windows.size(), 1u);
    EXPECT_EQ(spy.windows[0].owner, session.FrameWindow()) << "the step's window owns it";
    ExpectBackHome();
}

TEST_F(BatchSigningTest, TheDefaultFolderWithItsBackslashTakesTheCopyBesideItsSource) {
    const auto files = MakeFiles(temp / L"docs", {L"report.doc"});
    const Bytes source = ReadFile(files[0]);
    SelectFiles(files);
    ASSERT_EQ(Text(IDC_DEST_FOLDER), (temp / L"docs").wstring() + L"\\");
    Type(IDC_SIGNATURE, kSignature);
    Answer();
    Encrypt();
    EXPECT_EQ(log.back(), L"box Done 64: File encrypted succesfully!");
    EXPECT_EQ(FolderNames(temp / L"docs"),
              (std::vector<std::wstring>{L"report.doc", L"report_signed.doc"}));
    ExpectSignedCopy(temp / L"docs" / L"report_signed.doc", source);
    ExpectBackHome();
}

TEST_F(BatchSigningTest, ABadOutputFolderStopsBeforeAnythingHappens) {
    const auto files = MakeFiles(temp / L"in", {L"a.txt"});
    for (const std::wstring& folder :
         {std::wstring(), (temp / L"missing").wstring(), files[0], std::wstring(L"   ")}) {
        log.clear();
        if (AddStep()->FileList().empty())
            Prepare(files, folder);
        SetText(IDC_DEST_FOLDER, folder);
        const HWND step = StepWindow();
        Answer();
        Click(step, IDC_ENCRYPT_FILES);
        EXPECT_EQ(log,
                  std::vector<std::wstring>{L"box Error! 16: Please select a valid output folder."})
            << "folder \"" << testing::PrintToString(folder) << "\"";
        EXPECT_EQ(StepWindow(), step) << "the step stays for another try";
        EXPECT_EQ(AddStep()->DestFolder(), folder) << "the batch takes the edit's text";
        EXPECT_TRUE(Enabled(IDC_ENCRYPT_FILES));
        EXPECT_EQ(Text(IDC_SIGNATURE), kSignature);
    }
    EXPECT_TRUE(spy.windows.empty()) << "no progress window";
    EXPECT_EQ(FolderNames(temp / L"in"), std::vector<std::wstring>{L"a.txt"});
}

TEST_F(BatchSigningTest, AnEmptyListShowsAndRemovesTheProgressWindowThenSaysNone) {
    fs::create_directory(out);
    SetText(IDC_DEST_FOLDER, out.wstring());
    Answer();
    stepWindow = StepWindow();
    // The button is disabled in this state; the command itself still copes.
    ::SendMessageW(stepWindow, WM_COMMAND, MAKEWPARAM(IDC_ENCRYPT_FILES, BN_CLICKED),
                   reinterpret_cast<LPARAM>(Ctl(IDC_ENCRYPT_FILES)));
    EXPECT_EQ(log, (std::vector<std::wstring>{L"range 0..1000", L"position 0", L"shown",
                                              L"destroyed, status Signing Progress:",
                                              L"box Done 64: No files were encrypted!"}));
    EXPECT_TRUE(FolderNames(out).empty());
    ExpectBackHome();
}

struct SummaryCase {
    const char* name;
    int files;
    int missing; // sources deleted after they were chosen
    const wchar_t* summary;
};

class BatchSummaryTest : public BatchSigningTest,
                         public testing::WithParamInterface<SummaryCase> {};

TEST_P(BatchSummaryTest, CountsOnlyCompletedCopies) {
    const SummaryCase& c = GetParam();
    std::vector<std::wstring> names;
    for (int i = 0; i < c.files; ++i)
        names.push_back(L"file" + std::to_wstring(i) + L".dat");
    const auto files = MakeFiles(temp / L"in", names);
    fs::create_directory(out);
    Prepare(files, out.wstring());
    std::vector<std::wstring> expected;
    for (int i = 0; i < c.missing; ++i) {
        fs::remove(files[static_cast<std::size_t>(i)]);
        Answer();
        expected.push_back(L"box Error 16: Could not open file " +
                           files[static_cast<std::size_t>(i)] + L" for reading!");
    }
    Answer();
    expected.push_back(std::wstring(L"box Done 64: ") + c.summary);
    Encrypt();

    const std::vector<std::wstring> boxes = Boxes();
    EXPECT_EQ(boxes, expected);
    EXPECT_EQ(FolderNames(out).size(), static_cast<std::size_t>(c.files - c.missing));
    EXPECT_EQ(std::count(log.begin(), log.end(), L"shown"), 1);
    EXPECT_NE(std::find(log.begin(), log.end(), L"position full"), log.end())
        << "the bar ends full";
    ExpectBackHome();
}

INSTANTIATE_TEST_SUITE_P(
    Summaries, BatchSummaryTest,
    testing::Values(SummaryCase{"One", 1, 0, L"File encrypted succesfully!"},
                    SummaryCase{"OneOfThree", 3, 2, L"File encrypted succesfully!"},
                    SummaryCase{"None", 2, 2, L"No files were encrypted!"},
                    SummaryCase{"Many", 12, 1, L"11 files encrypted succesfully!"}),
    [](const testing::TestParamInfo<SummaryCase>& info) { return info.param.name; });

TEST_F(BatchSigningTest, TheProgressWindowIsCaptionlessTopmostAndDeafToEnterAndEsc) {
    const auto files = MakeFiles(temp / L"in", {L"a.txt"});
    fs::create_directory(out);
    WriteFile(out / L"a_signed.txt", {1, 2, 3});
    Prepare(files, out.wstring());
    AnswerWith([&] {
        // While the question is open, the progress window is up.
        EXPECT_EQ(spy.windows.size(), 1u);
        if (spy.windows.empty())
            return IDNO;
        const HWND progress = spy.windows[0].dialog;
        EXPECT_TRUE(::IsWindowVisible(progress));
        const auto style = static_cast<DWORD>(::GetWindowLongW(progress, GWL_STYLE));
        EXPECT_NE(style & WS_POPUP, 0u);
        EXPECT_EQ(style & WS_CAPTION, 0u);
        EXPECT_EQ(style & WS_SYSMENU, 0u);
        EXPECT_NE(::GetWindowLongW(progress, GWL_EXSTYLE) & WS_EX_TOPMOST, 0);
        const SIZE size = DialogUnitsToPixels(progress, 240, 100);
        EXPECT_EQ(ClientRect(progress).right, size.cx);
        EXPECT_EQ(ClientRect(progress).bottom, size.cy);
        const HWND bar = Control(progress, IDC_PROGRESS);
        EXPECT_EQ(::GetWindowLongW(bar, GWL_STYLE) & (PBS_SMOOTH | PBS_VERTICAL), 0);
        EXPECT_EQ(WindowText(Control(progress, IDC_PROGRESS_STATUS)), L"Signing file 1 of 1");
        // The status line holds large counts whole, and the window sits over the frame.
        EXPECT_TRUE(
            FitsOnOneLine(Control(progress, IDC_PROGRESS_STATUS), L"Signing file 12345 of 12345"));
        EXPECT_TRUE(CentredOver(progress, session.FrameWindow()));

        ::SendMessageW(progress, WM_COMMAND, IDOK, 0);
        ::SendMessageW(progress, WM_COMMAND, IDCANCEL, 0);
        ::SetFocus(progress);
        PressKey(VK_ESCAPE);
        PressKey(VK_RETURN);
        EXPECT_TRUE(::IsWindowVisible(progress));
        EXPECT_EQ(WindowText(Control(progress, IDC_PROGRESS_STATUS)), L"Signing file 1 of 1");
        return IDNO;
    });
    Answer();
    Encrypt();
    EXPECT_EQ(log.back(), L"box Done 64: No files were encrypted!");
    ExpectBackHome();
}

class OverwriteTest : public BatchSigningTest, public testing::WithParamInterface<int> {};

// Esc and the box's close button answer IDCANCEL: like No, they keep the output.
TEST_P(OverwriteTest, OnlyYesReplacesTheOutput) {
    const bool yes = GetParam() == IDYES;
    const auto files = MakeFiles(temp / L"in", {L"photo.jpg"});
    const Bytes source = ReadFile(files[0]);
    fs::create_directory(out);
    const Bytes old = {'o', 'l', 'd'};
    WriteFile(out / L"photo_signed.jpg", old);
    Prepare(files, out.wstring());
    Answer(GetParam());
    Answer();
    Encrypt();
    const std::vector<std::wstring> boxes = Boxes();
    ASSERT_EQ(boxes.size(), 2u);
    EXPECT_EQ(boxes[0], L"box Question 52: File " + (out / L"photo_signed.jpg").wstring() +
                            L" already exists, overwrite?")
        << "the question names the copy it would replace, not the source";
    EXPECT_EQ(boxes[1], yes ? L"box Done 64: File encrypted succesfully!"
                            : L"box Done 64: No files were encrypted!");
    EXPECT_EQ(Seam().messageBoxes.size(), 2u) << "keeping brings no further message";
    if (yes)
        ExpectSignedCopy(out / L"photo_signed.jpg", source);
    else
        EXPECT_EQ(ReadFile(out / L"photo_signed.jpg"), old);
    EXPECT_EQ(FolderNames(out), std::vector<std::wstring>{L"photo_signed.jpg"});
    ExpectBackHome();
}

INSTANTIATE_TEST_SUITE_P(Answers, OverwriteTest, testing::Values(IDYES, IDNO, IDCANCEL),
                         [](const testing::TestParamInfo<int>& info) {
                             return std::string(info.param == IDYES  ? "Yes"
                                                : info.param == IDNO ? "No"
                                                                     : "EscOrCloseBox");
                         });

TEST_F(BatchSigningTest, AReadOnlyOutputIsNotWrittenEvenAfterYes) {
    const auto files = MakeFiles(temp / L"in", {L"notes.txt"});
    fs::create_directory(out);
    const fs::path output = out / L"notes_signed.txt";
    const Bytes old = {'k', 'e', 'e', 'p'};
    WriteFile(output, old);
    ASSERT_TRUE(::SetFileAttributesW(output.c_str(), FILE_ATTRIBUTE_READONLY));
    ASSERT_NE(_waccess(output.c_str(), 2), 0) << "Wine honours the read-only attribute";
    Prepare(files, out.wstring());
    Answer(IDYES);
    Answer();
    Answer();
    Encrypt();
    const std::vector<std::wstring> boxes = Boxes();
    EXPECT_EQ(boxes,
              (std::vector<std::wstring>{
                  L"box Question 52: File " + output.wstring() + L" already exists, overwrite?",
                  L"box Error 16: Could not open file " + files[0] + L" for writing!",
                  L"box Done 64: No files were encrypted!"}));
    EXPECT_EQ(ReadFile(output), old);
    EXPECT_NE(::GetFileAttributesW(output.c_str()) & FILE_ATTRIBUTE_READONLY, 0u);
    EXPECT_EQ(FolderNames(out), std::vector<std::wstring>{L"notes_signed.txt"});
    ::SetFileAttributesW(output.c_str(), FILE_ATTRIBUTE_NORMAL);
    ExpectBackHome();
}

TEST_F(BatchSigningTest, ZeroByteSourceAndNamesWithoutOrWithSeveralDots) {
    const fs::path in = temp / L"in";
    fs::create_directories(in);
    const std::vector<std::pair<std::wstring, std::wstring>> names = {
        {L"empty.bin", L"empty_signed.bin"},
        {L"notes", L"notes_signed"},
        {L"archive.tar.gz", L"archive.tar_signed.gz"},
        {L".profile", L"_signed.profile"},
        {L"Ünïcödé 文件 🎉.txt", L"Ünïcödé 文件 🎉_signed.txt"},
    };
    std::vector<std::wstring> files;
    std::vector<std::wstring> outputs;
    for (std::size_t i = 0; i < names.size(); ++i) {
        files.push_back((in / names[i].first).wstring());
        outputs.push_back(names[i].second);
        WriteFile(files.back(), i == 0 ? Bytes{} : PatternBytes(10 + i, 7));
    }
    fs::create_directory(out);
    Prepare(files, out.wstring());
    Answer();
    Encrypt();
    EXPECT_EQ(log.back(), L"box Done 64: 5 files encrypted succesfully!");
    std::sort(outputs.begin(), outputs.end());
    EXPECT_EQ(FolderNames(out), outputs);
    for (std::size_t i = 0; i < names.size(); ++i)
        ExpectSignedCopy(out / names[i].second, ReadFile(files[i]));
    EXPECT_EQ(static_cast<std::int64_t>(ReadFile(out / L"empty_signed.bin").size()),
              TrailerBytes(kSignature.size()))
        << "a zero-byte source gives the trailer alone";
    ExpectBackHome();
}

class SameNameTest : public BatchSigningTest, public testing::WithParamInterface<int> {};

TEST_P(SameNameTest, TheSecondSourceOfAFileNameMeetsTheOverwriteQuestion) {
    const bool yes = GetParam() == IDYES;
    const auto first = MakeFiles(temp / L"a", {L"report.doc"});
    const auto second = MakeFiles(temp / L"b", {L"report.doc"});
    WriteFile(second[0], PatternBytes(5000, 99));
    fs::create_directory(out);
    Prepare({first[0], second[0]}, out.wstring());
    Answer(GetParam());
    Answer();
    Encrypt();
    const std::vector<std::wstring> boxes = Boxes();
    EXPECT_EQ(boxes, (std::vector<std::wstring>{
                         L"box Question 52: File " + (out / L"report_signed.doc").wstring() +
                             L" already exists, overwrite?",
                         yes ? L"box Done 64: 2 files encrypted succesfully!"
                             : L"box Done 64: File encrypted succesfully!"}));
    ExpectSignedCopy(out / L"report_signed.doc", ReadFile(yes ? second[0] : first[0]));
    EXPECT_EQ(FolderNames(out), std::vector<std::wstring>{L"report_signed.doc"});
    ExpectBackHome();
}

INSTANTIATE_TEST_SUITE_P(Answers, SameNameTest, testing::Values(IDYES, IDNO),
                         [](const testing::TestParamInfo<int>& info) {
                             return std::string(info.param == IDYES ? "Yes" : "No");
                         });

TEST_F(BatchSigningTest, AMultiLineSignatureIsReadBackAsTyped) {
    const std::wstring text = L"First line\r\nSecond line\r\n\r\n  Übersetzung – 署名 🎉\r\n";
    const auto files = MakeFiles(temp / L"in", {L"doc.pdf"});
    fs::create_directory(out);
    Prepare(files, out.wstring(), text);
    Answer();
    Encrypt();
    ExpectSignedCopy(out / L"doc_signed.pdf", ReadFile(files[0]), text);
    ExpectBackHome();
}

TEST_F(BatchSigningTest, ASignedCopyIsItsSourcePlusTheTrailerAndCannotBeSignedAgain) {
    const auto files = MakeFiles(temp / L"in", {L"clip.mp4"});
    WriteFile(files[0], PatternBytes(3 << 20, 5)); // several copy blocks
    const Bytes source = ReadFile(files[0]);
    fs::create_directory(out);
    Prepare(files, out.wstring());
    Answer();
    Encrypt();
    const fs::path signedCopy = out / L"clip_signed.mp4";
    ExpectSignedCopy(signedCopy, source);

    log.clear();
    Click(StepWindow(), IDC_ADD_SIGNATURE);
    fs::create_directory(temp / L"again");
    Prepare({signedCopy.wstring()}, (temp / L"again").wstring(), L"another");
    Answer();
    Answer();
    Encrypt();
    const std::vector<std::wstring> boxes = Boxes();
    EXPECT_EQ(boxes,
              (std::vector<std::wstring>{L"box Error! 16: File " + signedCopy.wstring() +
                                             L" is already digitally signed, cannot re-sign!",
                                         L"box Done 64: No files were encrypted!"}));
    EXPECT_TRUE(FolderNames(temp / L"again").empty());
    ExpectSignedCopy(signedCopy, source);
}

TEST_F(BatchSigningTest, PathsLongerThanTheClassicLimitWork) {
    const fs::path in = temp / std::wstring(120, L'i') / std::wstring(120, L'j');
    const fs::path longOut = temp / std::wstring(130, L'o') / std::wstring(130, L'p');
    const auto files = MakeFiles(in, {L"a file with a long path.bin"});
    fs::create_directories(Long(longOut));
    ASSERT_GT(files[0].size(), 260u);
    ASSERT_GT(longOut.wstring().size(), 260u);
    Prepare(files, longOut.wstring());
    Answer();
    Encrypt();
    EXPECT_EQ(log.back(), L"box Done 64: File encrypted succesfully!");
    ExpectSignedCopy(longOut / L"a file with a long path_signed.bin", ReadFile(files[0]));
    ExpectBackHome();
}

// --- Faults ----------------------------------------------------------------------------------

TEST_F(BatchSigningTest, TheOutputFolderRemovedMidBatchFailsTheRestAndCountsExactly) {
    const auto files = MakeFiles(temp / L"in", {L"a.txt", L"b.txt", L"c.txt", L"d.txt"});
    std::vector<Bytes> before;
    for (const auto& file : files)
        before.push_back(ReadFile(file));
    fs::remove(files[1]);
    fs::create_directory(out);
    Prepare(files, out.wstring());
    // One file at a time: copies made ahead of their turn would hold the folder open, and a
    // folder in use cannot be removed (on Windows as under Wine).
    struct COneAtATime : CByteIo {
        bool OneFileAtATime() const override { return true; }
    } oneAtATime;
    CScopedTestHooks hooks;
    hooks->byteIo = &oneAtATime;
    // While the message about b shows, the output folder goes (a's copy with it).
    AnswerWith([&] {
        fs::remove_all(out);
        return IDOK;
    });
    Answer();
    Answer();
    Answer();
    Encrypt();
    const std::vector<std::wstring> boxes = Boxes();
    EXPECT_EQ(boxes, (std::vector<std::wstring>{
                         L"box Error 16: Could not open file " + files[1] + L" for reading!",
                         L"box Error 16: Could not open file " + files[2] + L" for writing!",
                         L"box Error 16: Could not open file " + files[3] + L" for writing!",
                         L"box Done 64: File encrypted succesfully!"}));
    EXPECT_FALSE(Exists(out)) << "nothing recreated it";
    EXPECT_EQ(ReadFile(files[0]), before[0]);
    EXPECT_EQ(ReadFile(files[2]), before[2]);
    EXPECT_EQ(ReadFile(files[3]), before[3]);
    EXPECT_EQ(FolderNames(temp / L"in"), (std::vector<std::wstring>{L"a.txt", L"c.txt", L"d.txt"}));
    ExpectBackHome();
}

TEST_F(BatchSigningTest, ASourceHeldOpenByAnotherProgramIsReportedAndSkipped) {
    const auto files = MakeFiles(temp / L"in", {L"busy.doc", L"free.doc"});
    fs::create_directory(out);
    Prepare(files, out.wstring());
    CLockedFile lock(files[0]);
    ASSERT_TRUE(lock.Held());
    Answer();
    Answer();
    Encrypt();
    lock.Release();
    const std::vector<std::wstring> boxes = Boxes();
    EXPECT_EQ(boxes, (std::vector<std::wstring>{L"box Error! 16: Could not open file " + files[0] +
                                                    L" for signing!",
                                                L"box Done 64: File encrypted succesfully!"}));
    EXPECT_EQ(FolderNames(out), std::vector<std::wstring>{L"free_signed.doc"});
    ExpectBackHome();
}

TEST_F(BatchSigningTest, AnOutputThatCannotBeReplacedStaysAsItWasWithNoTemporaryLeft) {
    const auto files = MakeFiles(temp / L"in", {L"movie.mkv"});
    fs::create_directory(out);
    const fs::path output = out / L"movie_signed.mkv";
    const Bytes old = PatternBytes(777, 3);
    WriteFile(output, old);
    Prepare(files, out.wstring());
    CLockedFile lock(output);
    ASSERT_TRUE(lock.Held());
    Answer(IDYES);
    Answer();
    Answer();
    Encrypt();
    lock.Release();
    const std::vector<std::wstring> boxes = Boxes();
    ASSERT_EQ(boxes.size(), 3u);
    EXPECT_EQ(boxes[1], L"box Error! 16: Could not sign file " + files[0] + L"!");
    EXPECT_EQ(boxes[2], L"box Done 64: No files were encrypted!");
    EXPECT_EQ(ReadFile(output), old);
    EXPECT_EQ(FolderNames(out), std::vector<std::wstring>{L"movie_signed.mkv"});
    ExpectBackHome();
}

// A re-run of 50 files into the same folder: the overwrite question once, answered for all;
// No keeps every copy, and the files not signed come in one report after the summary, which
// saves as CSV; Yes for all replaces them all without a report. A refusal of another kind
// still asks.
TEST_F(BatchSigningTest, ARerunOfFiftyAsksOnceForAllAndReportsWhatWasNotSigned) {
    std::vector<std::wstring> names;
    for (int i = 0; i < 50; ++i)
        names.push_back(L"f" + std::to_wstring(i) + L".txt");
    auto files = MakeFiles(temp / L"in", names);
    fs::create_directory(out);
    Prepare(files, out.wstring());
    Answer();
    Encrypt();
    ASSERT_EQ(FolderNames(out).size(), 50u);
    const Bytes first = ReadFile(out / L"f7_signed.txt");
    EXPECT_TRUE(reportWatch.reports.empty()) << "all signed: no report";

    const fs::path csv = temp / L"not signed.csv";
    std::vector<std::vector<std::wstring>> rows;
    bool reportRan = false;
    const auto rerun = [&](int answer) {
        log.clear();
        Seam().messageBoxes.clear();
        Click(session.StepWindow(), IDC_ADD_SIGNATURE);
        Prepare(files, out.wstring(), L"again");
        AnswerWith([answer] { return answer | CScriptedSeam::kTicked; });
        Answer(); // the summary
        // Armed last: the file list dialog has a script of its own.
        CModalScript report(L"Files not signed", [&](HWND dialog) {
            rows = ReportRows(dialog, 3);
            Seam().SaveAs(csv.wstring());
            Click(dialog, IDC_REPORT_SAVE);
            Click(dialog, IDCANCEL);
        });
        Encrypt();
        reportRan = report.Ran();
    };
    reportWatch.keepOpen = true;
    rerun(IDNO);
    ASSERT_TRUE(reportRan);
    ASSERT_EQ(Boxes().size(), 2u);
    EXPECT_EQ(Seam().messageBoxes[0].verification, L"Do this for all remaining files");
    EXPECT_EQ(Boxes()[1], L"box Done 64: No files were encrypted!");
    EXPECT_EQ(ReadFile(out / L"f7_signed.txt"), first);
    ASSERT_EQ(rows.size(), 50u);
    EXPECT_EQ(rows[7][0], files[7]);
    EXPECT_EQ(rows[7][1],
              L"File " + (out / L"f7_signed.txt").wstring() + L" already exists, overwrite?");
    EXPECT_EQ(rows[7][2], L"The existing file was kept (the answer was No).");
    const Bytes saved = ReadFile(csv);
    const std::string text(saved.begin(), saved.end());
    EXPECT_EQ(text.rfind("\xEF\xBB\xBF"
                         "File,What happened,Cause\r\n",
                         0),
              0u);
    EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 51);

    reportWatch.keepOpen = false;
    rerun(IDYES);
    EXPECT_EQ(Boxes().size(), 2u);
    EXPECT_EQ(Boxes()[1], L"box Done 64: 50 files encrypted succesfully!");
    EXPECT_EQ(SignatureOf(out / L"f7_signed.txt"), u"again");
    EXPECT_TRUE(reportWatch.reports.empty());

    // Yes for all to the question; an unreadable source is still said, once, and reported.
    fs::remove(files[3]);
    fs::remove(files[9]);
    log.clear();
    Seam().messageBoxes.clear();
    Click(session.StepWindow(), IDC_ADD_SIGNATURE);
    Prepare(files, out.wstring(), L"third");
    AnswerWith([] { return IDYES | CScriptedSeam::kTicked; });
    AnswerWith([] { return IDOK | CScriptedSeam::kTicked; });
    Answer();
    Encrypt();
    const std::vector<std::wstring> boxes = Boxes();
    ASSERT_EQ(boxes.size(), 3u);
    EXPECT_EQ(boxes[1], L"box Error 16: Could not open file " + files[3] + L" for reading!");
    EXPECT_EQ(boxes[2], L"box Done 64: 48 files encrypted succesfully!");
    ASSERT_EQ(reportWatch.reports.size(), 1u);
    ASSERT_EQ(reportWatch.reports[0].size(), 2u);
    EXPECT_EQ(reportWatch.reports[0][1][0], files[9]);
    EXPECT_FALSE(reportWatch.reports[0][1][2].empty()) << "the system's reason";
}

} // namespace

namespace {

// Files whose own programs object to a signature: one question, in the first such file's turn
// (the files before it are signed already; no pass over the files before the run), from the
// progress window, naming that file. No leaves them all out (listed in the report, without a
// box each), Yes signs them, Cancel stops the run there: the files before it stay signed.
TEST_F(BatchSigningTest, FilesOfObjectingKindsAreAskedAboutOnceInTheFirstOnesTurn) {
    const auto files = MakeFiles(temp / L"in", {L"a.txt", L"b.gz", L"c.gz", L"d.txt"});
    for (const auto& name : {files[1], files[2]}) {
        Bytes gzip = ReadFile(name);
        gzip[0] = 0x1F, gzip[1] = 0x8B, gzip[2] = 8, gzip[3] = 0;
        WriteFile(name, gzip);
    }
    fs::create_directory(out);
    for (const int answer : {IDCANCEL, IDNO, IDYES}) {
        log.clear();
        Seam().messageBoxes.clear();
        if (answer != IDCANCEL) // the run before went home
            Click(session.StepWindow(), IDC_ADD_SIGNATURE);
        Prepare(files, out.wstring());
        Answer(answer);
        Answer(); // the summary
        Encrypt();
        ExpectBackHome();
        const std::vector<std::wstring> boxes = Boxes();
        ASSERT_EQ(boxes.size(), 2u);
        EXPECT_EQ(boxes[0].rfind(L"box Question 51: This file is of a kind", 0), 0u) << boxes[0];
        EXPECT_NE(boxes[0].find(L"File " + files[1] + L" (gzip): gzip will warn of trailing"),
                  std::wstring::npos)
            << boxes[0];
        // Asked in b.gz's turn, while the window names it, after a.txt was signed.
        const auto asked = std::find(log.begin(), log.end(), boxes[0]);
        EXPECT_NE(std::find(log.begin(), asked, L"status Signing file 2 of 4"), asked);
        EXPECT_EQ(std::find(log.begin(), asked, L"status Signing file 3 of 4"), asked);
        const wchar_t* const summary[] = {L"box Done 64: File encrypted succesfully!",
                                          L"box Done 64: 2 files encrypted succesfully!",
                                          L"box Done 64: 4 files encrypted succesfully!"};
        const std::size_t which = answer == IDCANCEL ? 0 : answer == IDNO ? 1 : 2;
        EXPECT_EQ(boxes[1], summary[which]);
        const std::vector<std::wstring> expected[] = {
            {L"a_signed.txt"}, {L"a_signed.txt", L"d_signed.txt"}, {}};
        if (answer != IDYES)
            EXPECT_EQ(FolderNames(out), expected[which]);
        else
            EXPECT_EQ(FolderNames(out).size(), 4u);
        for (const auto& name : FolderNames(out))
            fs::remove(out / name);
    }
    // Cancel: b.gz stopped at the question, the others not reached; No: both left out, each
    // with the reason; Yes: no report.
    ASSERT_EQ(reportWatch.reports.size(), 2u);
    ASSERT_EQ(reportWatch.reports[0].size(), 3u);
    EXPECT_EQ(reportWatch.reports[0][0][0], files[1]);
    EXPECT_EQ(reportWatch.reports[0][0][1], L"Signing was stopped at the question about its kind.");
    EXPECT_EQ(reportWatch.reports[0][2][0], files[3]);
    EXPECT_EQ(reportWatch.reports[0][2][1], L"Signing was stopped before this file.");
    ASSERT_EQ(reportWatch.reports[1].size(), 2u);
    EXPECT_EQ(reportWatch.reports[1][1][0], files[2]);
    EXPECT_NE(reportWatch.reports[1][1][1].find(L"Left out."), std::wstring::npos);
}

} // namespace
