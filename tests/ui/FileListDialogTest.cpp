// The file list dialog, "View Selected Files": its template, Add (duplicates skipped whatever
// their case), Remove, Done and Escape, and files dropped from the shell.
#include "SigningGui.h"

#include "SelFilesDlg.h"
#include "resource.h"

namespace fs = std::filesystem;

namespace {

using FileListDialogTest = SigningGuiTest;

const std::vector<std::wstring> kFive = {L"C:\\a\\zero.txt", L"C:\\a\\one.txt", L"C:\\a\\two.txt",
                                         L"C:\\a\\three.txt", L"C:\\a\\four.txt"};

bool RemoveEnabled(HWND dialog) {
    return ::IsWindowEnabled(Control(dialog, IDC_REMOVE_FILES)) != FALSE;
}

TEST_F(FileListDialogTest, EmptyListOpensTheOpenFileDialogAtOnceAndCancelLeavesItEmpty) {
    Seam().CancelFileDialog();
    HWND seen = nullptr;
    OpenFileList([&](HWND dialog) {
        seen = dialog;
        EXPECT_TRUE(ListItems(dialog).empty());
        EXPECT_FALSE(RemoveEnabled(dialog));
        Click(dialog, IDOK);
    });
    ASSERT_EQ(Seam().fileDialogs.size(), 1u);
    const OpenFileRequest& request = Seam().fileDialogs[0];
    EXPECT_EQ(request.owner, seen) << "owned by the list dialog";
    EXPECT_EQ(request.filter, L"All Files (*.*)|*.*||");
    EXPECT_EQ(request.defaultExt, L"");
    EXPECT_EQ(request.fileName, L"");
    EXPECT_EQ(request.flags,
              static_cast<DWORD>(OFN_HIDEREADONLY | OFN_ALLOWMULTISELECT | OFN_PATHMUSTEXIST |
                                 OFN_FILEMUSTEXIST | OFN_ENABLESIZING));
    EXPECT_TRUE(AddStep()->FileList().empty());
    EXPECT_FALSE(::IsWindow(seen));
    EXPECT_EQ(AfxCountLiveObjects(RUNTIME_CLASS(CSelFilesDlg)), 0u);
}

TEST_F(FileListDialogTest, TemplateCaptionControlsAndColumn) {
    // Room around the frame, so that the dialog can be centred over it within the screen.
    ::SetWindowPos(session.FrameWindow(), nullptr, 200, 150, 0, 0,
                   SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
    Seam().ChooseFiles({L"C:\\docs\\report.doc"});
    OpenFileList([this](HWND dialog) {
        EXPECT_EQ(WindowText(dialog), L"View Selected Files");
        const auto style = static_cast<DWORD>(::GetWindowLongW(dialog, GWL_STYLE));
        EXPECT_EQ(style & WS_CAPTION, WS_CAPTION);
        EXPECT_NE(style & WS_SYSMENU, 0u);
        EXPECT_EQ(style & (WS_MINIMIZEBOX | WS_MAXIMIZEBOX | WS_THICKFRAME), 0u);
        const SIZE size = DialogUnitsToPixels(dialog, 336, 219);
        EXPECT_EQ(ClientRect(dialog).right, size.cx);
        EXPECT_EQ(ClientRect(dialog).bottom, size.cy);

        EXPECT_TRUE(CentredOver(dialog, ::GetWindow(dialog, GW_OWNER)));
        EXPECT_EQ(::GetWindow(dialog, GW_OWNER), ::GetAncestor(session.StepWindow(), GA_ROOT));
        EXPECT_EQ(WindowText(Control(dialog, IDC_ADD_FILES)), L"Add");
        EXPECT_EQ(WindowText(Control(dialog, IDC_REMOVE_FILES)), L"Remove");
        EXPECT_EQ(WindowText(Control(dialog, IDOK)), L"Done");
        const HWND list = Control(dialog, IDC_FILE_LIST);
        const auto listStyle = static_cast<DWORD>(::GetWindowLongW(list, GWL_STYLE));
        EXPECT_EQ(listStyle & LVS_TYPEMASK, static_cast<DWORD>(LVS_REPORT));
        EXPECT_EQ(listStyle & (LVS_SINGLESEL | LVS_SORTASCENDING | LVS_SORTDESCENDING), 0u);
        EXPECT_NE(listStyle & WS_TABSTOP, 0u);

        std::wstring heading(64, L'\0');
        LVCOLUMNW column{};
        column.mask = LVCF_TEXT | LVCF_WIDTH | LVCF_FMT;
        column.pszText = heading.data();
        column.cchTextMax = static_cast<int>(heading.size());
        ASSERT_TRUE(::SendMessageW(list, LVM_GETCOLUMNW, 0, reinterpret_cast<LPARAM>(&column)));
        EXPECT_STREQ(heading.c_str(), L"Files");
        const int pathWidth = column.cx;
        EXPECT_EQ(column.fmt & LVCFMT_JUSTIFYMASK, LVCFMT_LEFT);
        // The sizes beside the paths, both in view without scrolling.
        ASSERT_TRUE(::SendMessageW(list, LVM_GETCOLUMNW, 1, reinterpret_cast<LPARAM>(&column)));
        EXPECT_STREQ(heading.c_str(), L"Size");
        EXPECT_EQ(column.fmt & LVCFMT_JUSTIFYMASK, LVCFMT_RIGHT);
        EXPECT_LE(pathWidth + column.cx, ClientRect(list).right);
        EXPECT_EQ(ListItems(dialog), std::vector<std::wstring>{L"C:\\docs\\report.doc"});
        Click(dialog, IDOK);
    });
}

TEST_F(FileListDialogTest, ReopenedListShowsTheStepsOrderWithoutAnOpenFileDialog) {
    SelectFiles({L"C:\\b\\2.txt", L"C:\\a\\1.txt", L"C:\\c\\3.txt"});
    const std::size_t dialogsBefore = Seam().fileDialogs.size();
    OpenFileList([](HWND dialog) {
        EXPECT_EQ(ListItems(dialog),
                  (std::vector<std::wstring>{L"C:\\b\\2.txt", L"C:\\a\\1.txt", L"C:\\c\\3.txt"}));
        Click(dialog, IDOK);
    });
    EXPECT_EQ(Seam().fileDialogs.size(), dialogsBefore);
}

TEST_F(FileListDialogTest, AddSkipsPathsAlreadyListedWhateverTheirCase) {
    SelectFiles({L"C:\\Docs\\Report.doc", L"C:\\docs\\photo.jpg"});
    // The open-file dialog object is made once per run of the list dialog and reused.
    OpenFileList([&](HWND dialog) {
        Seam().ChooseFiles({L"c:\\DOCS\\report.DOC", L"C:\\docs\\new.txt", L"C:\\docs\\NEW.TXT"});
        Click(dialog, IDC_ADD_FILES);
        Seam().ChooseFiles({L"C:\\docs\\photo.jpg", L"C:\\other\\photo.jpg"});
        Click(dialog, IDC_ADD_FILES);
        Seam().CancelFileDialog();
        Click(dialog, IDC_ADD_FILES);
        Click(dialog, IDOK);
    });
    EXPECT_EQ(AddStep()->FileList(),
              (std::vector<std::wstring>{L"C:\\Docs\\Report.doc", L"C:\\docs\\photo.jpg",
                                         L"C:\\docs\\new.txt", L"C:\\other\\photo.jpg"}));
}

TEST_F(FileListDialogTest, PathsLongerThanTheClassicLimitAreKeptWholeAndFoundAsDuplicates) {
    const std::wstring folder = L"C:\\" + std::wstring(150, L'f') + L"\\" + std::wstring(150, L'g');
    const std::wstring first = folder + L"\\same-start-a.bin";
    const std::wstring second = folder + L"\\same-start-b.bin";
    SelectFiles({first, second});
    std::wstring upper = first;
    for (auto& c : upper)
        c = static_cast<wchar_t>(::towupper(c));
    SelectFiles({upper, second});
    EXPECT_EQ(AddStep()->FileList(), (std::vector<std::wstring>{first, second}));
}

TEST_F(FileListDialogTest, RemovingItemsOneThreeAndFourOfFiveLeavesItemsZeroAndTwo) {
    SelectFiles(kFive);
    OpenFileList([](HWND dialog) {
        EXPECT_FALSE(RemoveEnabled(dialog)) << "nothing selected yet";
        // "Remove" with nothing selected does nothing.
        ::SendMessageW(dialog, WM_COMMAND, MAKEWPARAM(IDC_REMOVE_FILES, BN_CLICKED),
                       reinterpret_cast<LPARAM>(Control(dialog, IDC_REMOVE_FILES)));
        EXPECT_EQ(ListItems(dialog).size(), 5u);

        SelectItems(dialog, {1});
        EXPECT_TRUE(RemoveEnabled(dialog)) << "one selected";
        SelectItems(dialog, {1, 3, 4});
        EXPECT_TRUE(RemoveEnabled(dialog));
        Click(dialog, IDC_REMOVE_FILES);
        EXPECT_EQ(ListItems(dialog), (std::vector<std::wstring>{kFive[0], kFive[2]}));
        EXPECT_FALSE(RemoveEnabled(dialog)) << "the removed items were the selected ones";
        Click(dialog, IDOK);
    });
    EXPECT_EQ(AddStep()->FileList(), (std::vector<std::wstring>{kFive[0], kFive[2]}));
}

TEST_F(FileListDialogTest, RemoveFollowsWhatIsStillSelectedAfterARemoval) {
    SelectFiles(kFive);
    OpenFileList([](HWND dialog) {
        SelectItems(dialog, {0, 4});
        // Remove as the keyboard presses it: with the focus on it.
        ::SetFocus(Control(dialog, IDC_REMOVE_FILES));
        Click(dialog, IDC_REMOVE_FILES);
        EXPECT_EQ(ListItems(dialog), (std::vector<std::wstring>{kFive[1], kFive[2], kFive[3]}));
        EXPECT_FALSE(RemoveEnabled(dialog));
        // The disabled button gave the focus on, so that Tab, Enter and Esc still work.
        const HWND focus = ::GetFocus();
        EXPECT_TRUE(focus && ::IsChild(dialog, focus) && ::IsWindowEnabled(focus));
        SelectItems(dialog, {2});
        EXPECT_TRUE(RemoveEnabled(dialog));
        SelectItems(dialog, {});
        EXPECT_FALSE(RemoveEnabled(dialog));
        Click(dialog, IDOK);
    });
}

TEST_F(FileListDialogTest, EscapeAfterChangesKeepsTheStepsList) {
    SelectFiles({L"C:\\docs\\a.txt", L"C:\\docs\\b.txt"});
    OpenFileList([&](HWND dialog) {
        Seam().ChooseFiles({L"C:\\docs\\c.txt"});
        Click(dialog, IDC_ADD_FILES);
        SelectItems(dialog, {0});
        Click(dialog, IDC_REMOVE_FILES);
        EXPECT_EQ(ListItems(dialog).size(), 2u);
        // Esc through the dialog's own keyboard handling, in its message loop.
        const HWND list = Control(dialog, IDC_FILE_LIST);
        ::SetFocus(list);
        ::PostMessageW(list, WM_KEYDOWN, VK_ESCAPE, 1);
        ::PostMessageW(list, WM_KEYUP, VK_ESCAPE, 1u | (3u << 30));
    });
    EXPECT_EQ(AddStep()->FileList(),
              (std::vector<std::wstring>{L"C:\\docs\\a.txt", L"C:\\docs\\b.txt"}));
    EXPECT_EQ(AfxCountLiveObjects(RUNTIME_CLASS(CSelFilesDlg)), 0u);
}

TEST_F(FileListDialogTest, TheCloseBoxAlsoKeepsTheStepsList) {
    SelectFiles({L"C:\\docs\\a.txt"});
    OpenFileList([](HWND dialog) {
        SelectItems(dialog, {0});
        Click(dialog, IDC_REMOVE_FILES);
        ::SendMessageW(dialog, WM_SYSCOMMAND, SC_CLOSE, 0);
    });
    EXPECT_EQ(AddStep()->FileList(), std::vector<std::wstring>{L"C:\\docs\\a.txt"});
}

TEST_F(FileListDialogTest, RemovingEveryItemAndDoneEmptiesTheStepsList) {
    SelectFiles(kFive);
    OpenFileList([](HWND dialog) {
        SelectItems(dialog, {0, 1, 2, 3, 4});
        Click(dialog, IDC_REMOVE_FILES);
        EXPECT_TRUE(ListItems(dialog).empty());
        Click(dialog, IDOK);
    });
    EXPECT_TRUE(AddStep()->FileList().empty());
}

TEST_F(FileListDialogTest, DroppedFilesAndFolderContentsAreAddedAsAddAddsThem) {
    const fs::path docs = temp / L"docs";
    const auto loose = MakeFiles(temp.Path(), {L"loose.txt", L"Second.bin"});
    const auto inside = MakeFiles(docs, {L"page10.txt", L"page2.txt", L"Photo.JPG"});
    MakeFiles(docs / L"nested", {L"deep.txt"});
    const auto hidden = MakeFiles(docs, {L"desktop.ini"});
    ASSERT_TRUE(::SetFileAttributesW(hidden[0].c_str(), FILE_ATTRIBUTE_HIDDEN));

    SelectFiles({loose[0]});
    OpenFileList([&](HWND dialog) {
        std::wstring looseUpper = loose[0];
        for (auto& c : looseUpper)
            c = static_cast<wchar_t>(::towupper(c));
        DropFiles(dialog, {looseUpper, docs.wstring(), loose[1], inside[2]});
        Click(dialog, IDOK);
    });
    // The folder's own files in Explorer's order, after the files dropped before it; its
    // subfolder, its hidden file and every path already listed are left out.
    EXPECT_EQ(AddStep()->FileList(),
              (std::vector<std::wstring>{loose[0], inside[1], inside[0], inside[2], loose[1]}));
}

TEST_F(FileListDialogTest, ADropOntoAnEmptyDialogThenDoneFillsTheStep) {
    const auto files = MakeFiles(temp / L"in", {L"a.txt", L"b.txt"});
    Seam().CancelFileDialog();
    OpenFileList([&](HWND dialog) {
        DropFiles(dialog, {(temp / L"in").wstring() + L"\\", (temp / L"missing.txt").wstring()});
        Click(dialog, IDOK);
    });
    EXPECT_EQ(AddStep()->FileList(), files);
    EXPECT_TRUE(Enabled(IDC_SIGNATURE));
    EXPECT_EQ(Text(IDC_DEST_FOLDER), (temp / L"in").wstring() + L"\\");
}

// 20,000 files handed over at once (as from the command line), each twice in another letter
// case: listed once each with their sizes, counted on the page, and all removed at once. Only
// a few exist: making 20,000 files under Wine takes minutes, and a missing one lists as empty.
TEST_F(FileListDialogTest, TwentyThousandFilesAreListedDeduplicatedAndRemoved) {
    const fs::path folder = temp / L"many";
    fs::create_directories(folder);
    std::vector<std::wstring> files;
    for (int i = 0; i < 20000; ++i)
        files.push_back((folder / (L"f" + std::to_wstring(i) + L".bin")).wstring());
    for (int i = 0; i < 3; ++i)
        WriteFile(files[static_cast<std::size_t>(i)], Bytes(static_cast<std::size_t>(i), 0x41));
    for (int i = 0; i < 20000; i += 7)
        files.push_back((folder / (L"F" + std::to_wstring(i) + L".BIN")).wstring());
    const auto cell = [](HWND dialog, int row, int column) {
        std::wstring text(1024, L'\0');
        LVITEMW item{};
        item.iSubItem = column;
        item.pszText = text.data();
        item.cchTextMax = static_cast<int>(text.size());
        text.resize(static_cast<std::size_t>(
            ::SendMessageW(::GetDlgItem(dialog, IDC_FILE_LIST), LVM_GETITEMTEXTW,
                           static_cast<WPARAM>(row), reinterpret_cast<LPARAM>(&item))));
        return text;
    };
    const auto count = [](HWND dialog) {
        return ::SendMessageW(::GetDlgItem(dialog, IDC_FILE_LIST), LVM_GETITEMCOUNT, 0, 0);
    };
    AddStep()->SetFileList(files);
    EXPECT_EQ(Text(IDC_FILE_COUNT).rfind(L"20,000 files (", 0), 0u) << Text(IDC_FILE_COUNT);
    std::wstring path, size;
    LRESULT listed = 0;
    OpenFileList([&](HWND dialog) {
        DropFiles(dialog, {files[20000], files[1]});
        listed = count(dialog);
        path = cell(dialog, 2, 0);
        size = cell(dialog, 2, 1);
        Click(dialog, IDOK);
    });
    EXPECT_EQ(listed, 20000);
    EXPECT_EQ(path, files[2]);
    EXPECT_NE(size.find(L"2"), std::wstring::npos) << size;

    OpenFileList([&](HWND dialog) {
        LVITEMW all{};
        all.stateMask = all.state = LVIS_SELECTED;
        ::SendMessageW(::GetDlgItem(dialog, IDC_FILE_LIST), LVM_SETITEMSTATE,
                       static_cast<WPARAM>(-1), reinterpret_cast<LPARAM>(&all));
        Click(dialog, IDC_REMOVE_FILES);
        listed = count(dialog);
        EXPECT_FALSE(::IsWindowEnabled(::GetDlgItem(dialog, IDC_REMOVE_FILES)));
        Click(dialog, IDOK);
    });
    EXPECT_EQ(listed, 0);
    EXPECT_EQ(Text(IDC_FILE_COUNT), L"No files chosen");
}

} // namespace
