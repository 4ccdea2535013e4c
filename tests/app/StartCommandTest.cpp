// How Quorvane.exe reads its arguments, and when a command line counts as possibly cut.
#include "StartCommand.h"

#include <gtest/gtest.h>

namespace {

TEST(StartCommandTest, ArgumentsChooseThePageAndItsFiles) {
    const struct {
        std::vector<std::wstring> arguments;
        OpeningPage page;
        std::vector<std::wstring> paths;
        std::wstring problem;
        bool usage;
    } cases[] = {
        {{}, OpeningPage::Home, {}, L"", false},
        {{L""}, OpeningPage::Home, {}, L"", false},
        {{L"/check", L"C:\\a b\\ü.txt"},
         OpeningPage::CheckSignature,
         {L"C:\\a b\\ü.txt"},
         L"",
         false},
        {{L"/Check", L"x"}, OpeningPage::CheckSignature, {L"x"}, L"", false},
        {{L"a", L"", L"-b", L"\\\\server\\c"},
         OpeningPage::AddSignature,
         {L"a", L"-b", L"\\\\server\\c"},
         L"",
         false},
        {{L"/?"}, OpeningPage::Home, {}, L"", true},
        {{L"/check"}, OpeningPage::Home, {}, L"/check takes one or more files or folders.", true},
        {{L"/check", L"a", L"b"}, OpeningPage::CheckSignature, {L"a", L"b"}, L"", false},
        {{L"/check", L"a", L"/?"},
         OpeningPage::Home,
         {},
         L"/check takes files and folders, not /?.",
         true},
        {{L"a", L"/check", L"b"},
         OpeningPage::Home,
         {},
         L"/check comes first, before any file.",
         true},
        {{L"/x"}, OpeningPage::Home, {}, L"Unknown switch: /x", true},
        {{L"a", L"/sign"}, OpeningPage::Home, {}, L"Unknown switch: /sign", true},
    };
    for (const auto& c : cases) {
        const StartCommand command = ParseStartCommand(c.arguments);
        EXPECT_EQ(command.page, c.page) << testing::PrintToString(c.arguments);
        EXPECT_EQ(command.paths, c.paths) << testing::PrintToString(c.arguments);
        EXPECT_EQ(command.problem, c.problem) << testing::PrintToString(c.arguments);
        EXPECT_EQ(command.showUsage, c.usage) << testing::PrintToString(c.arguments);
    }
}

TEST(StartCommandTest, ALineIsPossiblyCutWhenNoFurtherFullLengthPathFits) {
    // A blank, 260 characters and two quotes still fit up to the limit's last character.
    EXPECT_FALSE(CommandLineMayBeCut(kCommandLineLimit - 1 - 263));
    EXPECT_TRUE(CommandLineMayBeCut(kCommandLineLimit - 263));
    EXPECT_TRUE(CommandLineMayBeCut(kCommandLineLimit - 1));
    EXPECT_FALSE(CommandLineMayBeCut(0));
}

} // namespace
