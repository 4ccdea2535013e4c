// The table of options (CliHelp.h) against every text that lists them: --help, the manual
// page, the Bash completion and docs/cli.md. Each must name every option of the table, and no
// option the table lacks.
#include "CliHarness.h"
#include "CliHelp.h"

#include <gtest/gtest.h>

#include <fstream>
#include <regex>
#include <set>
#include <sstream>

namespace {

using NameSet = std::set<std::string>;

NameSet TableNames(unsigned where, bool valuedOnly = false) {
    NameSet names;
    for (const clihelp::Option& option : clihelp::Options()) {
        if (!(option.where & where) || (valuedOnly && !option.takesValue))
            continue;
        names.emplace(option.name);
        if (!option.alias.empty())
            names.emplace(option.alias);
    }
    return names;
}

constexpr unsigned kAnywhere = clihelp::kSign | clihelp::kCheck | clihelp::kStrip | clihelp::kTop;

std::string ReadText(const char* path) {
    std::ifstream file(path, std::ios::binary);
    EXPECT_TRUE(file) << path;
    std::ostringstream text;
    text << file.rdbuf();
    return text.str();
}

// From `heading` to the next heading of the same level.
std::string Section(const std::string& text, const std::string& heading) {
    const std::size_t start = text.find("\n" + heading + "\n");
    EXPECT_NE(start, std::string::npos) << heading;
    if (start == std::string::npos)
        return {};
    const std::string level = heading.substr(0, heading.find(' ') + 1);
    const std::size_t end = text.find("\n" + level, start + 1);
    return text.substr(start, end == std::string::npos ? std::string::npos : end - start);
}

// Every match of the first group of `pattern` in `text`.
NameSet Matches(const std::string& text, const std::string& pattern) {
    NameSet found;
    const std::regex re(pattern);
    for (auto it = std::sregex_iterator(text.begin(), text.end(), re); it != std::sregex_iterator();
         ++it)
        found.insert((*it)[1]);
    return found;
}

// quorvane-cli's options as a text shows them: --long or -x, standing alone (so not find's
// -print0 or the -16 of UTF-16).
NameSet OptionsIn(const std::string& text) {
    return Matches(text, R"((?:^|[\s(\[|,*`])(--[a-z][a-z0-9-]*|-[A-Za-z0-9])(?![A-Za-z0-9_-]))");
}

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    return lines;
}

NameSet Words(const std::string& text) {
    NameSet words;
    std::istringstream in(text);
    for (std::string word; in >> word;)
        words.insert(word);
    return words;
}

const struct {
    const char* command;
    unsigned where;
} kCommands[] = {{"sign", clihelp::kSign}, {"check", clihelp::kCheck}, {"strip", clihelp::kStrip}};

} // namespace

TEST(CliReference, HelpNamesEveryOptionAndNoOther) {
    const CliRun all = RunInProcess({Arg("--help")});
    ASSERT_EQ(all.status, kExitAllDone);
    EXPECT_EQ(OptionsIn(all.out), TableNames(kAnywhere));
    for (const auto& [command, where] : kCommands) {
        const NameSet shown = OptionsIn(RunInProcess({Arg(command), Arg("--help")}).out);
        for (const std::string& name : TableNames(where))
            EXPECT_TRUE(shown.count(name)) << command << " --help lacks " << name;
    }
}

TEST(CliReference, ManualPageAgrees) {
    const std::string page = ReadText(QUORVANE_MAN_PAGE);
    // The terms of OPTIONS: "*-r*, *--recursive*", "*--out* _DIR_".
    NameSet terms, valued;
    for (const std::string& line : Lines(Section(page, "# OPTIONS"))) {
        if (line.rfind("*-", 0) != 0)
            continue;
        const NameSet names = Matches(line, R"(\*(-[^*\s]+))");
        terms.insert(names.begin(), names.end());
        if (std::regex_search(line, std::regex("_[A-Z]+_")))
            valued.insert(names.begin(), names.end());
    }
    EXPECT_EQ(terms, TableNames(kAnywhere));
    EXPECT_EQ(valued, TableNames(kAnywhere, true));
    for (const std::string& name : OptionsIn(Section(page, "# SYNOPSIS")))
        EXPECT_TRUE(TableNames(kAnywhere).count(name)) << "SYNOPSIS names " << name;
}

TEST(CliReference, BashCompletionAgrees) {
    const std::string script = ReadText(QUORVANE_BASH_COMPLETION);
    std::smatch match;
    ASSERT_TRUE(std::regex_search(script, match, std::regex(R"(compgen -W '([^']*)')")));
    NameSet top = Words(match[1]);
    for (const auto& command : kCommands)
        EXPECT_EQ(top.erase(command.command), 1u) << command.command;
    EXPECT_EQ(top, TableNames(clihelp::kTop));
    for (const auto& [command, where] : kCommands) {
        const std::regex line("\\n\\s*" + std::string(command) + R"(\) options='([^']*)')");
        ASSERT_TRUE(std::regex_search(script, match, line)) << command;
        EXPECT_EQ(Words(match[1]), TableNames(where)) << command;
    }
    const auto arms = [&](const std::string& subject) {
        const std::size_t start = script.find("case " + subject + " in");
        EXPECT_NE(start, std::string::npos) << subject;
        const std::string block = script.substr(start, script.find("esac", start) - start);
        return Matches(block, R"((?:\n\s*|\| )(-[^\s|)]+))");
    };
    // The options after which a value comes: the arms of `case $prev`.
    EXPECT_EQ(arms("$prev"), TableNames(kAnywhere, true));
    // The options that rule others out once given.
    for (const std::string& name : arms("$word"))
        EXPECT_TRUE(TableNames(kAnywhere).count(name)) << "the completion names " << name;
}

// docs/cli.md's table of options: `-r`, `--recursive` | VALUE | sign, check (alone: quorvane-cli
// without a command).
TEST(CliReference, DocumentationAgrees) {
    const std::string page = ReadText(QUORVANE_CLI_DOC);
    NameSet rows, expected;
    for (const std::string& line : Lines(Section(page, "## Options"))) {
        if (line.rfind("| `-", 0) != 0)
            continue;
        std::vector<std::string> cells;
        std::istringstream in(line.substr(1));
        for (std::string cell; std::getline(in, cell, '|');)
            cells.push_back(cell);
        ASSERT_GE(cells.size(), 3u) << line;
        std::string row;
        for (const std::string& name : Matches(cells[0], "`(-[^`]+)`"))
            row += name + " ";
        row += Words(cells[1]).empty() ? "flag" : "value";
        for (const std::string& where : Words(std::regex_replace(cells[2], std::regex(","), " ")))
            row += " " + where;
        rows.insert(row);
    }
    for (const clihelp::Option& option : clihelp::Options()) {
        NameSet names{std::string(option.name)};
        if (!option.alias.empty())
            names.emplace(option.alias);
        std::string row;
        for (const std::string& name : names)
            row += name + " ";
        row += option.takesValue ? "value" : "flag";
        NameSet where;
        for (const auto& command : kCommands)
            if (option.where & command.where)
                where.insert(command.command);
        if (option.where & clihelp::kTop)
            where.insert("alone");
        for (const std::string& word : where)
            row += " " + word;
        expected.insert(row);
    }
    EXPECT_EQ(rows, expected);
    // The synopsis and the examples use only the table's options.
    const std::regex command(R"(^\s*(\$ )?quorvane-cli )");
    for (const std::string& line : Lines(page)) {
        if (!std::regex_search(line, command))
            continue;
        for (const std::string& name : OptionsIn(line))
            EXPECT_TRUE(TableNames(kAnywhere).count(name)) << line;
    }
}
