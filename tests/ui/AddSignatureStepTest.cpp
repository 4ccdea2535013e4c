// The add-signature step: its template, its enable and disable rules, the default
// destination, "Browse", and auto-completion of the destination.
#include "SigningGui.h"

#include "resource.h"

#include <shlobj.h>

namespace {

using AddSignatureStepTest = SigningGuiTest;

struct TemplateControl {
    int id;
    const wchar_t* text;
    RECT units; // x, y, width, height
};

TEST_F(AddSignatureStepTest, ControlsSitWhereTheTemplateSaysWithTheirTexts) {
    const TemplateControl controls[] = {
        {IDC_SELECT_FILES, L"Select Files", {117, 38, 57, 14}},
        {IDC_ENCRYPT_FILES, L"Encrypt Files", {117, 248, 57, 14}},
        {IDC_SIGNATURE, L"", {18, 116, 256, 94}},
        {IDC_SIGNATURE_PROMPT,
         L"Type the digital signature you would like to encrypt into your file(s):",
         {18, 103, 256, 8}},
        {IDC_BACK, L"Back", {18, 276, 50, 14}},
        {IDC_BROWSE, L"Browse", {244, 66, 30, 14}},
        {IDC_DEST_FOLDER, L"", {18, 67, 221, 12}},
    };
    for (const auto& control : controls) {
        const HWND hWnd = Ctl(control.id);
        ASSERT_NE(hWnd, nullptr) << control.id;
        EXPECT_EQ(WindowText(hWnd), control.text) << control.id;
        // The dialog manager converts position and size each on its own.
        const SIZE position =
            DialogUnitsToPixels(StepWindow(), control.units.left, control.units.top);
        const SIZE size =
            DialogUnitsToPixels(StepWindow(), control.units.right, control.units.bottom);
        const RECT expected = {position.cx, position.cy, position.cx + size.cx,
                               position.cy + size.cy};
        RECT actual = WindowRect(hWnd);
        ::MapWindowPoints(nullptr, StepWindow(), reinterpret_cast<POINT*>(&actual), 2);
        EXPECT_EQ(actual.left, expected.left) << control.id;
        EXPECT_EQ(actual.top, expected.top) << control.id;
        EXPECT_EQ(actual.right, expected.right) << control.id;
        EXPECT_EQ(actual.bottom, expected.bottom) << control.id;
    }
    const auto signatureStyle = static_cast<DWORD>(::GetWindowLongW(Ctl(IDC_SIGNATURE), GWL_STYLE));
    EXPECT_EQ(signatureStyle & (ES_MULTILINE | ES_WANTRETURN | ES_AUTOVSCROLL | WS_VSCROLL),
              static_cast<DWORD>(ES_MULTILINE | ES_WANTRETURN | ES_AUTOVSCROLL | WS_VSCROLL));
}

TEST_F(AddSignatureStepTest, AFreshStepOffersOnlySelectFilesAndBack) {
    EXPECT_TRUE(Enabled(IDC_SELECT_FILES));
    EXPECT_TRUE(Enabled(IDC_BACK));
    EXPECT_FALSE(Enabled(IDC_SIGNATURE));
    EXPECT_FALSE(Enabled(IDC_DEST_FOLDER));
    EXPECT_FALSE(Enabled(IDC_BROWSE));
    EXPECT_FALSE(Enabled(IDC_ENCRYPT_FILES));
    EXPECT_EQ(Text(IDC_SIGNATURE), L"");
    EXPECT_EQ(Text(IDC_DEST_FOLDER), L"");
    // Writable, though disabled until files are chosen.
    EXPECT_EQ(::GetWindowLongW(Ctl(IDC_SIGNATURE), GWL_STYLE) & ES_READONLY, 0);
    EXPECT_EQ(AddStep()->DestFolder(), L"");
    EXPECT_TRUE(AddStep()->FileList().empty());
    EXPECT_EQ(Text(IDC_FILE_COUNT), L"No files chosen");
}

// The line beside "Select Files" follows every change of the list, from the dialog and from
// outside, in the user's number format, and shows whole beside the button.
TEST_F(AddSignatureStepTest, TheCountLineFollowsTheListWithItsSize) {
    const std::filesystem::path in = temp / L"in";
    std::filesystem::create_directories(in);
    WriteFile(in / L"a.bin", Bytes(1000, 1));
    WriteFile(in / L"b.bin", Bytes(24, 2));
    SelectFiles({(in / L"a.bin").wstring()});
    const std::wstring one = Text(IDC_FILE_COUNT);
    EXPECT_EQ(one.rfind(L"1 file (", 0), 0u) << one;
    AddStep()->SetFileList({(in / L"a.bin").wstring(), (in / L"b.bin").wstring()});
    const std::wstring two = Text(IDC_FILE_COUNT);
    EXPECT_EQ(two.rfind(L"2 files (", 0), 0u) << two;
    EXPECT_TRUE(ShowsWhole(Ctl(IDC_FILE_COUNT))) << two;
    const RECT button = WindowRect(Ctl(IDC_SELECT_FILES));
    const RECT line = WindowRect(Ctl(IDC_FILE_COUNT));
    EXPECT_GE(line.left, button.right) << "beside the button";
    EXPECT_LT(line.right, WindowRect(StepWindow()).right);
    OpenFileList([](HWND dialog) {
        SelectItems(dialog, {0, 1});
        Click(dialog, IDC_REMOVE_FILES);
        Click(dialog, IDOK);
    });
    EXPECT_EQ(Text(IDC_FILE_COUNT), L"No files chosen");
}

TEST_F(AddSignatureStepTest, OneFileFillsItsFolderWithTheTrailingBackslash) {
    SelectFiles({L"C:\\docs\\report.doc"});
    EXPECT_EQ(Text(IDC_DEST_FOLDER), L"C:\\docs\\");
    EXPECT_EQ(AddStep()->DestFolder(), L"C:\\docs\\");
    EXPECT_TRUE(Enabled(IDC_SIGNATURE));
    EXPECT_TRUE(Enabled(IDC_DEST_FOLDER));
    EXPECT_TRUE(Enabled(IDC_BROWSE));
    EXPECT_FALSE(Enabled(IDC_ENCRYPT_FILES)) << "no signature yet";

    // "Encrypt Files" follows the signature text; nothing is trimmed.
    Type(IDC_SIGNATURE, L"x");
    EXPECT_TRUE(Enabled(IDC_ENCRYPT_FILES));
    Type(IDC_SIGNATURE, L"");
    EXPECT_FALSE(Enabled(IDC_ENCRYPT_FILES));
    Type(IDC_SIGNATURE, L"\r\n");
    EXPECT_TRUE(Enabled(IDC_ENCRYPT_FILES));
    Type(IDC_SIGNATURE, L"   ");
    EXPECT_TRUE(Enabled(IDC_ENCRYPT_FILES));
}

TEST_F(AddSignatureStepTest, DefaultFolderOfOtherPathForms) {
    struct Case {
        const wchar_t* first;
        const wchar_t* folder;
    };
    for (const Case& c : {Case{L"\\\\server\\share\\a.txt", L"\\\\server\\share\\"},
                          Case{L"D:\\top.txt", L"D:\\"}, Case{L"E:/x/y/z.bin", L"E:/x/y/"}}) {
        Click(StepWindow(), IDC_BACK);
        Click(StepWindow(), IDC_ADD_SIGNATURE);
        SelectFiles({c.first});
        EXPECT_EQ(Text(IDC_DEST_FOLDER), c.folder) << c.first;
    }
}

TEST_F(AddSignatureStepTest, AFilledDestinationStaysWhenTheListChanges) {
    SelectFiles({L"C:\\docs\\report.doc"});
    // Files from another folder, and a new first file: the destination stays.
    OpenFileList([&](HWND dialog) {
        Seam().ChooseFiles({L"E:\\other\\first.txt"});
        Click(dialog, IDC_ADD_FILES);
        SelectItems(dialog, {0});
        Click(dialog, IDC_REMOVE_FILES);
        Click(dialog, IDOK);
    });
    EXPECT_EQ(AddStep()->FileList(), std::vector<std::wstring>{L"E:\\other\\first.txt"});
    EXPECT_EQ(Text(IDC_DEST_FOLDER), L"C:\\docs\\");

    // A typed destination is the edit's only: the buffer still holds the default, so
    // reopening the list fills nothing in.
    SetText(IDC_DEST_FOLDER, L"D:\\out");
    OpenFileList();
    EXPECT_EQ(Text(IDC_DEST_FOLDER), L"D:\\out");
    EXPECT_EQ(AddStep()->DestFolder(), L"C:\\docs\\");
}

TEST_F(AddSignatureStepTest, EmptyingTheListDisablesAllButKeepsTheSignatureText) {
    SelectFiles({L"C:\\docs\\report.doc"});
    Type(IDC_SIGNATURE, L"Mine");
    ASSERT_TRUE(Enabled(IDC_ENCRYPT_FILES));
    OpenFileList([](HWND dialog) {
        SelectItems(dialog, {0});
        Click(dialog, IDC_REMOVE_FILES);
        Click(dialog, IDOK);
    });
    EXPECT_FALSE(Enabled(IDC_SIGNATURE));
    EXPECT_FALSE(Enabled(IDC_DEST_FOLDER));
    EXPECT_FALSE(Enabled(IDC_BROWSE));
    EXPECT_FALSE(Enabled(IDC_ENCRYPT_FILES));
    EXPECT_EQ(Text(IDC_DEST_FOLDER), L"");
    EXPECT_EQ(AddStep()->DestFolder(), L"");
    EXPECT_EQ(Text(IDC_SIGNATURE), L"Mine");

    // Files again: the signature edit comes back, "Encrypt Files" waits for a change of the
    // text, and the default folder is the new first file's.
    SelectFiles({L"F:\\new\\a.txt"});
    EXPECT_TRUE(Enabled(IDC_SIGNATURE));
    EXPECT_FALSE(Enabled(IDC_ENCRYPT_FILES));
    EXPECT_EQ(Text(IDC_DEST_FOLDER), L"F:\\new\\");
    Type(IDC_SIGNATURE, L"Mine.");
    EXPECT_TRUE(Enabled(IDC_ENCRYPT_FILES));
}

TEST_F(AddSignatureStepTest, EscapeInTheListStillAppliesTheRules) {
    // Escape on the first opening: the chosen file is not taken, the page stays empty.
    Seam().ChooseFiles({L"C:\\docs\\report.doc"});
    OpenFileList([](HWND dialog) { ::SendMessageW(dialog, WM_COMMAND, IDCANCEL, 0); });
    EXPECT_TRUE(AddStep()->FileList().empty());
    EXPECT_FALSE(Enabled(IDC_SIGNATURE));

    // With files and a destination buffer the batch emptied (an empty folder text), Escape
    // refills the default folder.
    SelectFiles({L"C:\\docs\\report.doc"});
    Type(IDC_SIGNATURE, L"s");
    SetText(IDC_DEST_FOLDER, L"");
    Answer();
    Click(StepWindow(), IDC_ENCRYPT_FILES);
    ASSERT_EQ(log,
              std::vector<std::wstring>{L"box Error! 16: Please select a valid output folder."});
    EXPECT_EQ(AddStep()->DestFolder(), L"");
    OpenFileList([](HWND dialog) { ::SendMessageW(dialog, WM_COMMAND, IDCANCEL, 0); });
    EXPECT_EQ(Text(IDC_DEST_FOLDER), L"C:\\docs\\");
    EXPECT_TRUE(Enabled(IDC_ENCRYPT_FILES));
}

TEST_F(AddSignatureStepTest, BrowseSetsTheChosenFolderAndACancelKeepsTheOldOne) {
    SelectFiles({L"C:\\docs\\report.doc"});
    Seam().ChooseFolder(L"D:\\out");
    Click(StepWindow(), IDC_BROWSE);
    ASSERT_EQ(Seam().folderBrowsers.size(), 1u);
    EXPECT_EQ(Seam().folderBrowsers[0].owner, StepWindow());
    EXPECT_EQ(Seam().folderBrowsers[0].title, L"Select destination folder");
    EXPECT_EQ(Seam().folderBrowsers[0].flags, 0x8040u);
    EXPECT_EQ(Seam().folderBrowsers[0].flags,
              static_cast<UINT>(BIF_NEWDIALOGSTYLE | BIF_SHAREABLE));
    EXPECT_EQ(Seam().folderBrowsers[0].initialFolder, L"C:\\docs\\") << "starts where typed";
    EXPECT_EQ(Text(IDC_DEST_FOLDER), L"D:\\out") << "no trailing backslash added";
    EXPECT_EQ(AddStep()->DestFolder(), L"D:\\out");
    EXPECT_TRUE(Seam().messageBoxes.empty());

    // A cancelled browser, and a folder without a file-system path, which the browser gives
    // back the same way.
    for (int round = 0; round < 2; ++round) {
        if (round == 0)
            Seam().CancelFolderBrowser();
        else
            Seam().ChooseFolder(L"");
        Answer();
        Click(StepWindow(), IDC_BROWSE);
        EXPECT_EQ(Text(IDC_DEST_FOLDER), L"D:\\out");
        EXPECT_EQ(AddStep()->DestFolder(), L"D:\\out");
    }
    EXPECT_EQ(log, std::vector<std::wstring>(
                       2, L"box Error 16: Please choose a valid destination folder!"));
    EXPECT_EQ(Seam().messageBoxes.back().owner, StepWindow());
}

TEST_F(AddSignatureStepTest, TheSignatureTakes32767UnitsAndRefusesMoreVisibly) {
    SelectFiles({L"C:\\docs\\report.doc"});
    const std::wstring most(32767, L'x');
    Type(IDC_SIGNATURE, most);
    EXPECT_EQ(Text(IDC_SIGNATURE), most) << "not cut at the edit's default limit";
    EXPECT_TRUE(Seam().messageBoxes.empty());

    // A paste that would pass the limit is refused whole, and the user is told.
    Type(IDC_SIGNATURE, L"Mine");
    Answer();
    ::SendMessageW(Ctl(IDC_SIGNATURE), EM_REPLACESEL, TRUE,
                   reinterpret_cast<LPARAM>(std::wstring(40000, L'y').c_str()));
    EXPECT_EQ(Text(IDC_SIGNATURE), L"Mine");
    ASSERT_EQ(log.size(), 1u);
    EXPECT_EQ(log[0].rfind(L"box Error 16: A digital signature holds at most 32767 characters", 0),
              0u)
        << log[0];
    EXPECT_TRUE(Enabled(IDC_ENCRYPT_FILES));

    // Lone line feeds are stored as CR LF: counted so, as the engine counts them.
    Answer();
    ::SendMessageW(Ctl(IDC_SIGNATURE), EM_REPLACESEL, TRUE,
                   reinterpret_cast<LPARAM>(std::wstring(16382, L'\n').c_str()));
    EXPECT_EQ(Text(IDC_SIGNATURE), L"Mine");
    EXPECT_EQ(log.size(), 2u);
}

// The pages' controls are reached with Tab in the order they stand on the screen, row by row,
// and every label shows its whole text in the dialog font Wine substitutes.
TEST_F(AddSignatureStepTest, EveryPageTabsInScreenOrderAndShowsItsLabelsWhole) {
    SelectFiles({L"C:\\docs\\report.doc"});
    Type(IDC_SIGNATURE, L"Mine");
    const auto check = [](HWND page) {
        std::vector<RECT> stops;
        for (HWND child = ::GetWindow(page, GW_CHILD); child;
             child = ::GetWindow(child, GW_HWNDNEXT)) {
            const auto style = static_cast<DWORD>(::GetWindowLongW(child, GWL_STYLE));
            if (style & WS_TABSTOP)
                stops.push_back(WindowRect(child));
            std::wstring kind(32, L'\0');
            kind.resize(static_cast<std::size_t>(
                ::GetClassNameW(child, kind.data(), static_cast<int>(kind.size()))));
            if (kind == L"Static" && (style & SS_TYPEMASK) <= SS_RIGHT &&
                !WindowText(child).empty()) {
                EXPECT_TRUE(ShowsWhole(child))
                    << "clipped: "
                    << std::string(WindowText(child).begin(), WindowText(child).end());
            }
        }
        for (std::size_t i = 1; i < stops.size(); ++i) {
            const bool sameRow = stops[i].top < stops[i - 1].bottom;
            EXPECT_TRUE(sameRow ? stops[i].left > stops[i - 1].left
                                : stops[i].top >= stops[i - 1].top)
                << "tab stop " << i;
        }
    };
    check(StepWindow());
    OpenFileList([&](HWND dialog) {
        check(dialog);
        Click(dialog, IDOK);
    });
    Click(StepWindow(), IDC_BACK);
    PumpPending();
    check(StepWindow());
    Click(StepWindow(), IDC_CHECK_SIGNATURE);
    PumpPending();
    check(StepWindow());
}

// --- Auto-completion ---------------------------------------------------------------------

struct AutoCompleteCall {
    HWND edit;
    DWORD flags;
};
std::vector<AutoCompleteCall> g_autoCompleteCalls;

HRESULT WINAPI RecordAutoComplete(HWND edit, DWORD flags) {
    g_autoCompleteCalls.push_back({edit, flags});
    return E_FAIL; // the step ignores the result
}

TEST_F(AddSignatureStepTest, TheDestinationEditGetsFileSystemSuggestions) {
    g_autoCompleteCalls.clear();
    session.App().m_pfnSHAutoComplete = RecordAutoComplete;
    Click(StepWindow(), IDC_BACK);
    Click(StepWindow(), IDC_ADD_SIGNATURE);
    ASSERT_EQ(g_autoCompleteCalls.size(), 1u);
    EXPECT_EQ(g_autoCompleteCalls[0].edit, Ctl(IDC_DEST_FOLDER));
    EXPECT_EQ(g_autoCompleteCalls[0].flags, 0x10000001u);
}

TEST_F(AddSignatureStepTest, WithoutAutoCompletionTheStepWorksTheSame) {
    g_autoCompleteCalls.clear();
    session.App().m_pfnSHAutoComplete = nullptr;
    Click(StepWindow(), IDC_BACK);
    Click(StepWindow(), IDC_ADD_SIGNATURE);
    EXPECT_TRUE(g_autoCompleteCalls.empty());
    SelectFiles({L"C:\\docs\\report.doc"});
    SetText(IDC_DEST_FOLDER, L"D:\\typed");
    EXPECT_EQ(Text(IDC_DEST_FOLDER), L"D:\\typed");
    EXPECT_TRUE(Enabled(IDC_BROWSE));
}

} // namespace
