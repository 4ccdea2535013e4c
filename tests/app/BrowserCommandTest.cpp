// The program of the browser's registered command line, and the help page's address.
#include "BrowserCommand.h"

#include <gtest/gtest.h>

namespace {

struct CommandCase {
    const char* name;
    const wchar_t* command;
    const wchar_t* programPath;
};

void PrintTo(const CommandCase& c, std::ostream* out) {
    *out << c.name;
}

class ProgramPathTest : public testing::TestWithParam<CommandCase> {};

TEST_P(ProgramPathTest, CutsTheProgramOutOfTheCommandLine) {
    EXPECT_EQ(ProgramPathOfCommand(GetParam().command), GetParam().programPath);
}

// The shapes browsers register themselves with, on Windows and under Wine.
INSTANTIATE_TEST_SUITE_P(
    RegistryValues, ProgramPathTest,
    testing::Values(
        CommandCase{"WineDefault", LR"("C:\windows\system32\winebrowser.exe" "%1")",
                    LR"(C:\windows\system32\winebrowser.exe)"},
        CommandCase{"QuotedWithOptionsAndQuotedArgument",
                    LR"("C:\Program Files\Mozilla Firefox\firefox.exe" -osint -url "%1")",
                    LR"(C:\Program Files\Mozilla Firefox\firefox.exe)"},
        CommandCase{"QuotedWithUnquotedArgument",
                    LR"("C:\Program Files (x86)\Web\browser.exe" --single-argument %1)",
                    LR"(C:\Program Files (x86)\Web\browser.exe)"},
        CommandCase{"UnquotedThenQuotedArgument", LR"(C:\Web\browser.exe "%1")",
                    LR"(C:\Web\browser.exe)"},
        CommandCase{"UnquotedShortPathThenOption", LR"(C:\PROGRA~1\Web\browser.exe -nohome)",
                    LR"(C:\PROGRA~1\Web\browser.exe)"},
        CommandCase{"TabAfterProgram", L"C:\\Web\\browser.exe\t%1", LR"(C:\Web\browser.exe)"},
        CommandCase{"ProgramAlone", LR"(C:\Web\browser.exe)", LR"(C:\Web\browser.exe)"},
        CommandCase{"LeadingBlanks", LR"(   "C:\Web\browser.exe" "%1")", LR"(C:\Web\browser.exe)"},
        // A quote that is never closed runs to the end, as Windows reads it.
        CommandCase{"UnclosedQuote", LR"("C:\Web\browser.exe -nohome)",
                    LR"(C:\Web\browser.exe -nohome)"},
        CommandCase{"EmptyQuotes", LR"("" -nohome)", L""}, CommandCase{"OnlyBlanks", L"   ", L""},
        CommandCase{"Empty", L"", L""}),
    [](const testing::TestParamInfo<CommandCase>& info) { return std::string(info.param.name); });

TEST(HelpAddressTest, JoinsTheFolderAndThePageAsTheyAre) {
    EXPECT_EQ(HelpFilePath(LR"(C:\Tools)"), LR"(C:\Tools\help.html)");
    EXPECT_EQ(HelpAddress(LR"(C:\Tools)"), LR"(file:///C:\Tools\help.html)");
    // A drive's root keeps its own backslash: two in a row.
    EXPECT_EQ(HelpAddress(LR"(C:\)"), LR"(file:///C:\\help.html)");
    // Nothing is escaped: blanks and other characters stay.
    EXPECT_EQ(HelpAddress(LR"(D:\My Tools\Qu#orvane)"),
              LR"(file:///D:\My Tools\Qu#orvane\help.html)");
    // Without a start-up directory the address has no folder part.
    EXPECT_EQ(HelpAddress(L""), LR"(file:///\help.html)");
}

TEST(HelpAddressTest, IsHandedOverAsOneQuotedParameter) {
    EXPECT_EQ(QuotedParameter(LR"(file:///C:\My Tools\help.html)"),
              LR"("file:///C:\My Tools\help.html")");
    EXPECT_EQ(QuotedParameter(kQuorvaneWebSite), L"\"https://www.quorvane.example/\"");
}

} // namespace
