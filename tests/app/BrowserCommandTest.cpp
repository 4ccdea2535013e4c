// The program path cut from the browser's registered command line, and the help page's
// address.
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

INSTANTIATE_TEST_SUITE_P(
    RegistryValues, ProgramPathTest,
    testing::Values(
        // A quoted program with a blank in its path, then an option.
        CommandCase{"QuotedProgramThenOption", LR"("C:\Program Files\Web\browser.exe" -nohome)",
                    LR"(C:\Program Files\Web\browser.exe)"},
        CommandCase{"ShortPathThenOption", LR"(C:\PROGRA~1\Web\browser.exe -nohome)",
                    LR"(C:\PROGRA~1\Web\browser.exe)"},
        CommandCase{"ProgramAlone", LR"(C:\Web\browser.exe)", LR"(C:\Web\browser.exe)"},
        // Quotes around the program and around the argument: everything between the first and
        // the last quote, the program's closing quote and the argument included.
        CommandCase{"QuotedProgramQuotedArgument", LR"("C:\Web\browser.exe" "%1")",
                    LR"(C:\Web\browser.exe" "%1)"},
        CommandCase{"WineDefault", LR"("C:\windows\system32\winebrowser.exe" "%1")",
                    LR"(C:\windows\system32\winebrowser.exe" "%1)"},
        // An unquoted program followed by a quoted argument: the argument's text.
        CommandCase{"UnquotedProgramQuotedArgument", LR"(C:\Web\browser.exe "%1")", LR"(%1)"},
        CommandCase{"ArgumentBetweenOptions", LR"(C:\Web\browser.exe -url "%1" -new)", LR"(%1)"},
        // Exactly one quote: the whole value.
        CommandCase{"OneLeadingQuote", LR"("C:\Web\browser.exe -nohome)",
                    LR"("C:\Web\browser.exe -nohome)"},
        CommandCase{"OneInnerQuote", LR"(C:\Web\browser.exe" -nohome)",
                    LR"(C:\Web\browser.exe" -nohome)"},
        // An empty pair of quotes leaves nothing between them.
        CommandCase{"EmptyQuotes", LR"("" -nohome)", L""},
        // The blank is looked for after the last backslash only.
        CommandCase{"BlankInFolderThenOption", LR"(C:\My Web\browser.exe -nohome)",
                    LR"(C:\My Web\browser.exe)"},
        CommandCase{"BlankInFolderOnly", LR"(C:\My Web\browser.exe)", LR"(C:\My Web\browser.exe)"},
        // No backslash, or one only at the start: the whole value.
        CommandCase{"NoBackslash", L"browser.exe -nohome", L"browser.exe -nohome"},
        CommandCase{"BackslashAtStartOnly", LR"(\browser.exe -nohome)", LR"(\browser.exe -nohome)"},
        // A backslash at index 1 counts.
        CommandCase{"BackslashAtIndexOne", LR"(a\browser.exe -nohome)", LR"(a\browser.exe)"},
        // A blank right after the last backslash.
        CommandCase{"BlankAfterLastBackslash", LR"(C:\Web\ browser.exe)", LR"(C:\Web\)"},
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
