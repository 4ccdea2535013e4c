#include "CliHarness.h"
#include "CliProgress.h"

#include "FileIo.h"
#include "OutputName.h"
#include "SignEngine.h"
#include "SignRecorder.h"
#include "Signature.h"
#include "SystemText.h"
#include "TempDir.h"
#include "TestHooks.h"
#include "TrailerReaders.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <sstream>

#ifndef _WIN32
#include <sys/stat.h>
#endif

namespace fs = std::filesystem;

std::optional<std::map<std::string, JsonValue>> ParseJsonObject(const std::string& line) {
    std::size_t i = 0;
    const auto skip = [&] {
        while (i < line.size() && (line[i] == ' ' || line[i] == '\r' || line[i] == '\n'))
            ++i;
    };
    const auto parseString = [&]() -> std::optional<std::string> {
        if (i >= line.size() || line[i] != '"')
            return std::nullopt;
        std::string out;
        for (++i; i < line.size() && line[i] != '"'; ++i) {
            if (line[i] != '\\') {
                out.push_back(line[i]);
                continue;
            }
            if (++i >= line.size())
                return std::nullopt;
            switch (line[i]) {
            case 'n':
                out.push_back('\n');
                break;
            case 'r':
                out.push_back('\r');
                break;
            case 't':
                out.push_back('\t');
                break;
            case '"':
            case '\\':
            case '/':
                out.push_back(line[i]);
                break;
            case 'u': {
                if (i + 4 >= line.size())
                    return std::nullopt;
                const auto unit =
                    static_cast<char16_t>(std::stoul(line.substr(i + 1, 4), nullptr, 16));
                out += Utf16ToUtf8(std::u16string(1, unit));
                i += 4;
                break;
            }
            default:
                return std::nullopt;
            }
        }
        if (i >= line.size())
            return std::nullopt;
        ++i;
        return out;
    };
    std::map<std::string, JsonValue> object;
    skip();
    if (i >= line.size() || line[i++] != '{')
        return std::nullopt;
    for (;;) {
        skip();
        const auto key = parseString();
        skip();
        if (!key || i >= line.size() || line[i++] != ':')
            return std::nullopt;
        skip();
        if (line.compare(i, 4, "true") == 0) {
            object[*key] = true, i += 4;
        } else if (line.compare(i, 5, "false") == 0) {
            object[*key] = false, i += 5;
        } else if (line.compare(i, 4, "null") == 0) {
            object[*key] = nullptr, i += 4;
        } else if (auto value = parseString()) {
            object[*key] = *value;
        } else {
            return std::nullopt;
        }
        skip();
        if (i < line.size() && line[i] == ',') {
            ++i;
            continue;
        }
        if (i < line.size() && line[i] == '}') {
            ++i;
            skip();
            return i == line.size() ? std::optional(object) : std::nullopt;
        }
        return std::nullopt;
    }
}

namespace {

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        lines.push_back(line);
    }
    return lines;
}

class Cli : public testing::Test {
protected:
    Cli() {
        fs::create_directory(m_dir / "out");
        m_hooks->clock = FixedClock(0x66000000);
    }

    fs::path File(const std::string& name, const Bytes& content) {
        const fs::path path = m_dir / PathFromText(Utf8ToUtf16Lossy(name));
        fs::create_directories(path.parent_path());
        WriteBytes(path, content);
        return path;
    }
    fs::path Out() const { return m_dir / "out"; }

    CliRun Sign(const std::string& text, std::vector<CliArg> paths,
                std::vector<CliArg> extra = {}) {
        std::vector<CliArg> args = {Arg("sign"), Arg("--text"), Arg(text), Arg("--out"),
                                    Arg(Out())};
        args.insert(args.end(), extra.begin(), extra.end());
        args.insert(args.end(), paths.begin(), paths.end());
        return RunInProcess(args);
    }

    TempDir m_dir;
    CScopedTestHooks m_hooks;
};

TEST_F(Cli, UsageErrorsExitWithTwoAndTouchNothing) {
    const fs::path a = File("a.txt", PatternBytes(50, 1));
    const fs::path textFile = File("t.txt", {'h', 'i'});
    const std::vector<std::vector<CliArg>> bad = {
        {},
        {Arg("frobnicate")},
        {Arg("sign"), Arg("--out"), Arg(Out()), Arg(a)},
        {Arg("sign"), Arg("--text"), Arg("x"), Arg("--text-file"), Arg(textFile), Arg("--out"),
         Arg(Out()), Arg(a)},
        {Arg("sign"), Arg("--text"), Arg("x"), Arg(a)},
        {Arg("sign"), Arg("--text"), Arg("x"), Arg("--out"), Arg(Out())},
        {Arg("sign"), Arg("--text"), Arg("x"), Arg("--out"), Arg(Out()), Arg("--force"),
         Arg("--no-clobber"), Arg(a)},
        {Arg("sign"), Arg("--text"), Arg(""), Arg("--out"), Arg(Out()), Arg(a)},
        {Arg("sign"), Arg("--text"), Arg(std::string(kMaxSignatureUnits + 1, 'x')), Arg("--out"),
         Arg(Out()), Arg(a)},
        {Arg("sign"), Arg("--text"), Arg("x"), Arg("--out"), Arg(Out()), Arg("--bogus"), Arg(a)},
        {Arg("sign"), Arg("--text"), Arg("x"), Arg("--out"), Arg(Out()), Arg("--text")},
        {Arg("sign"), Arg("--text-file"), Arg(m_dir / "missing"), Arg("--out"), Arg(Out()), Arg(a)},
        {Arg("check")},
        {Arg("check"), Arg("--json"), Arg("--text"), Arg(a)},
        {Arg("strip"), Arg(a)},
#ifndef _WIN32
        {Arg("sign"), Arg("--text"), Arg("bad \xFF utf-8"), Arg("--out"), Arg(Out()), Arg(a)},
#endif
    };
    for (const auto& args : bad) {
        const CliRun run = RunInProcess(args);
        std::string shown;
        for (const auto& arg : args)
            shown += Shown(arg) + " ";
        EXPECT_EQ(run.status, kExitUsage) << shown;
        EXPECT_NE(run.err.find("usage: quorvane-cli"), std::string::npos) << shown;
        EXPECT_EQ(run.out, "") << shown;
    }
    EXPECT_TRUE(fs::is_empty(Out()));
}

TEST_F(Cli, MissingOutputFolderIsTheDesktopsMessage) {
    const fs::path a = File("a.txt", PatternBytes(50, 1));
    for (const char* command : {"sign", "strip"}) {
        std::vector<CliArg> args = {Arg(command), Arg("--out"), Arg(m_dir / "nowhere"), Arg(a)};
        if (std::string(command) == "sign")
            args.insert(args.begin() + 1, {Arg("--text"), Arg("x")});
        const CliRun run = RunInProcess(args);
        EXPECT_EQ(run.status, kExitUsage) << command;
        EXPECT_EQ(run.err, "Please select a valid output folder." + kNewline) << command;
    }
}

TEST_F(Cli, HelpAndVersion) {
    CliRun run = RunInProcess({Arg("--help")});
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.out.rfind("usage: quorvane-cli sign", 0), 0u);
    run = RunInProcess({Arg("--version")});
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.out, "quorvane-cli " QUORVANE_VERSION + kNewline);
    // Each command's own help wins over anything else on the line, up to "--".
    for (const char* command : {"sign", "check", "strip"}) {
        run = RunInProcess({Arg(command), Arg("--bogus"), Arg("--help")});
        EXPECT_EQ(run.status, 0) << command;
        EXPECT_EQ(run.out.rfind("usage: quorvane-cli " + std::string(command), 0), 0u) << run.out;
        EXPECT_NE(run.out.find("Exit status"), std::string::npos) << command;
    }
    EXPECT_EQ(RunInProcess({Arg("check"), Arg("--"), Arg("--help")}).status, 1);
}

// Two sources with one name: the second never replaces the first copy, --force or not, and the
// message names both; --force still replaces what existed before the run.
TEST_F(Cli, AnOutputOfThisRunIsNeverReplaced) {
    const fs::path one = File("one/docs/a.txt", PatternBytes(100, 1));
    const fs::path two = File("two/docs/a.txt", PatternBytes(200, 2));
    WriteBytes(Out() / "a_signed.txt", {'o', 'l', 'd'});
    const std::string refused = "Could not open file " + Text(two) + " for writing! (" +
                                Text(Out() / "a_signed.txt") + " was written from " + Text(one) +
                                " earlier in this run)";
    CliRun run = Sign("x", {Arg(one), Arg(two)}, {Arg("--force")});
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(Lines(run.err), (std::vector<std::string>{refused, "File encrypted succesfully!"}));
    EXPECT_EQ(ReadBytes(Out() / "a_signed.txt").size(), 100u + TrailerBytes(1));

    run = Sign("x", {Arg(m_dir / "one" / "docs"), Arg(m_dir / "two" / "docs" / "")},
               {Arg("-r"), Arg("--force")});
    EXPECT_EQ(run.status, 1);
    const fs::path inTree = Out() / "docs" / "a_signed.txt";
    EXPECT_NE(
        run.err.find(Text(inTree) + " was written from " + Text(m_dir / "one" / "docs" / "a.txt")),
        std::string::npos)
        << run.err;
    EXPECT_EQ(ReadBytes(inTree).size(), 100u + TrailerBytes(1));

    fs::create_directory(m_dir / "back");
    run = RunInProcess({Arg("strip"), Arg("--out"), Arg(m_dir / "back"), Arg("--force"),
                        Arg(Out() / "a_signed.txt"), Arg(inTree)});
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.err, "quorvane-cli: " + Text(inTree) + ": " + Text(m_dir / "back" / "a.txt") +
                           " was written from " + Text(Out() / "a_signed.txt") +
                           " earlier in this run, kept" + kNewline);
    EXPECT_EQ(ReadBytes(m_dir / "back" / "a.txt"), PatternBytes(100, 1));
}

// Whatever the operands, every copy lies inside --out.
TEST_F(Cli, ParentFolderOperandsStayInsideTheOutputFolder) {
    File("tree/a.txt", PatternBytes(10, 1));
    File("tree/x/b.txt", PatternBytes(10, 2));
    const fs::path previous = fs::current_path();
    fs::current_path(m_dir / "tree" / "x");
    for (const char* operand : {"..", "../x/..", "../", "."}) {
        std::error_code ignored;
        fs::remove_all(Out(), ignored);
        fs::create_directory(Out());
        const CliRun run = Sign("p", {Arg(operand)}, {Arg("-r"), Arg("--force")});
        EXPECT_EQ(run.status, 0) << operand << run.err;
        std::size_t outside = 0;
        for (const auto& entry : fs::recursive_directory_iterator(m_dir / "tree"))
            outside +=
                entry.path().filename().native().find(kSignedSuffix) != fs::path::string_type::npos;
        EXPECT_EQ(outside, 0u) << operand;
    }
    fs::current_path(previous);
    EXPECT_TRUE(fs::exists(Out() / "b_signed.txt"));
    EXPECT_TRUE(fs::exists(m_dir / "tree" / "x" / "b.txt"));
}

// Devices are refused at once, with the reason after the desktop's message.
TEST_F(Cli, DevicesAreNotRead) {
#ifdef _WIN32
    const CliArg device = Arg("NUL");
#else
    const CliArg device = Arg("/dev/null");
#endif
    CliRun run = Sign("x", {device});
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(Lines(run.err)[0],
              "Could not open file " + Shown(device) + " for signing! (not a regular file)");
    run = RunInProcess({Arg("check"), device});
    EXPECT_EQ(run.err,
              "quorvane-cli: cannot read " + Shown(device) + " (not a regular file)" + kNewline);
    run = RunInProcess({Arg("strip"), Arg("--out"), Arg(Out()), device});
    EXPECT_EQ(run.status, 1);
    EXPECT_TRUE(fs::is_empty(Out()));
}

TEST_F(Cli, OutputNameTooLongIsNamedWithTheReason) {
    const fs::path a = File(std::string(250, 'n') + ".txt", PatternBytes(10, 1));
    const CliRun run = Sign("x", {Arg(a)});
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(Lines(run.err)[0], "Could not open file " + Text(a) + " for writing! (" +
                                     Text(Out() / (std::string(250, 'n') + "_signed.txt")) +
                                     ": file name too long)");
}

TEST_F(Cli, SignCheckStripRoundTrip) {
    const Bytes one = PatternBytes(100000, 1), two = PatternBytes(10, 2);
    const fs::path a = File("photo.jpg", one);
    const fs::path b = File("notes", two);
    CliRun run = Sign("First line\nSecond\r\nThird\rFourth", {Arg(a), Arg(b)});
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.err, "2 files encrypted succesfully!" + kNewline);
    const fs::path sa = Out() / "photo_signed.jpg", sb = Out() / "notes_signed";
    const std::u16string stored = u"First line\r\nSecond\r\nThird\r\nFourth";
    EXPECT_TRUE(ReadSignatureText(OpenFile(sa, "rb").get()) == stored);

    run = RunInProcess({Arg("check"), Arg(sa)});
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.out, "First line" + kNewline + "Second" + kNewline + "Third" + kNewline +
                           "Fourth" + kNewline);
    EXPECT_EQ(run.err, "");

    run = RunInProcess({Arg("check"), Arg(sa), Arg(sb)});
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(Lines(run.out), (std::vector<std::string>{
                                  Text(sa) + ":", "First line", "Second", "Third", "Fourth", "",
                                  Text(sb) + ":", "First line", "Second", "Third", "Fourth", ""}));

    fs::create_directory(m_dir / "orig");
    run = RunInProcess({Arg("strip"), Arg("--out"), Arg(m_dir / "orig"), Arg(sa), Arg(sb)});
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(ReadBytes(m_dir / "orig" / "photo.jpg"), one);
    EXPECT_EQ(ReadBytes(m_dir / "orig" / "notes"), two);
    EXPECT_EQ(ReadBytes(a), one);
}

TEST_F(Cli, ProgressOnlyOnATerminal) {
    const fs::path a = File("a.txt", PatternBytes(10, 1));
    const fs::path b = File("b.txt", PatternBytes(10, 2));
    std::vector<CliArg> args = {Arg("sign"), Arg("--text"), Arg("p"), Arg("--out"),
                                Arg(Out()),  Arg(a),        Arg(b)};
    const CliRun piped = RunInProcess(args);
    EXPECT_EQ(piped.err, "2 files encrypted succesfully!" + kNewline);

    args.insert(args.begin() + 1, Arg("--force"));
    const CliRun shown = RunInProcess(args, true);
    const std::string line = "Signing 0 of 2 files, 0 B of 20 B";
    const std::string blank = "\r" + std::string(line.size(), ' ') + "\r";
    EXPECT_EQ(shown.err, "\r" + line + blank + "2 files encrypted succesfully!" + kNewline);

    // --no-progress on a terminal, --progress as lines anywhere; not both.
    args.insert(args.begin() + 1, Arg("--no-progress"));
    EXPECT_EQ(RunInProcess(args, true).err, "2 files encrypted succesfully!" + kNewline);
    args[1] = Arg("--progress");
    EXPECT_EQ(RunInProcess(args).err,
              line + kNewline + "2 files encrypted succesfully!" + kNewline);
    args.insert(args.begin() + 1, Arg("--no-progress"));
    EXPECT_EQ(RunInProcess(args).status, 2);
}

// The line on a terminal: at most ten redraws a second, bytes moving within a file, erased
// before a message and at the end; as lines at most once a second; the rate and the time left
// once a second has passed.
TEST(ProgressLine, RedrawsAtMostTenTimesASecondAndGivesWayToMessages) {
    std::uint64_t now = 0;
    CStringOutput err;
    CProgressLine line(err, CProgressLine::Mode::Terminal, "Signing", [&] { return now; });
    line.Known(3, 3000);
    for (now = 1; now < 100; now += 7)
        line.Copied(now * 10);
    now = 100;
    line.Copied(1000);
    EXPECT_EQ(err.text, "\rSigning 0 of 3 files, 0 B of 2.9 KiB"
                        "\rSigning 0 of 3 files, 1000 B of 2.9 KiB");
    err.text.clear();
    line.Line("File a.txt (gzip): ...");
    EXPECT_EQ(err.text, "\r" + std::string(39, ' ') + "\rFile a.txt (gzip): ..." + kNewline);
    err.text.clear();
    now = 2000;
    line.FileDone();
    const std::string last = "Signing 1 of 3 files, 1000 B of 2.9 KiB, 500 B/s, 4 s left";
    EXPECT_EQ(err.text, "\r" + last);
    err.text.clear();
    line.Finish();
    EXPECT_EQ(err.text, "\r" + std::string(last.size(), ' ') + "\r");

    CStringOutput log;
    CProgressLine lines(log, CProgressLine::Mode::Lines, "Checking", [&] { return now; });
    now = 0;
    lines.Known(2, 0);
    now = 999;
    lines.FileDone();
    now = 1000;
    lines.FileDone();
    lines.Finish();
    EXPECT_EQ(log.text, "Checking 0 of 2 files" + kNewline + "Checking 2 of 2 files" + kNewline);
}

TEST_F(Cli, JsonLinesParseBackExactly) {
#ifdef _WIN32
    // Windows names hold no quote or backslash; the folders' backslashes are escaped.
    const std::string name = "quote'd", signedName = "quote'd_signed.txt";
#else
    const std::string name = "quote\"back\\slash", signedName = "quote\"back\\slash_signed.txt";
#endif
    const fs::path a = File(name + ".txt", PatternBytes(30, 1));
    const fs::path plain = File("plain.bin", PatternBytes(30, 2));
    ASSERT_EQ(Sign("tab\there \"quoted\"\n\xC3\xA9\x01", {Arg(a)}).status, 0);
    const fs::path signedCopy = Out() / PathFromText(Utf8ToUtf16Lossy(signedName));
    const fs::path missing = m_dir / "missing.txt";

    const CliRun run =
        RunInProcess({Arg("check"), Arg("--json"), Arg(signedCopy), Arg(plain), Arg(missing)});
    EXPECT_EQ(run.status, 1);
    const auto lines = Lines(run.out);
    ASSERT_EQ(lines.size(), 3u) << run.out;
    const auto first = ParseJsonObject(lines[0]);
    const auto second = ParseJsonObject(lines[1]);
    const auto third = ParseJsonObject(lines[2]);
    ASSERT_TRUE(first && second && third) << run.out;
    EXPECT_EQ(std::get<std::string>(first->at("path")), Text(signedCopy));
    EXPECT_EQ(std::get<bool>(first->at("signed")), true);
    EXPECT_EQ(std::get<std::string>(first->at("text")), "tab\there \"quoted\"\r\n\xC3\xA9\x01");
    // The seed is the signing time; 0x66000000 s after 1970 in UTC.
    EXPECT_EQ(std::get<std::string>(first->at("signed_at")), "2024-03-24T10:27:12Z");
    EXPECT_EQ(std::get<bool>(second->at("signed")), false);
    EXPECT_TRUE(std::holds_alternative<std::nullptr_t>(second->at("text")));
    EXPECT_TRUE(std::holds_alternative<std::nullptr_t>(second->at("signed_at")));
    // The last second a seed can hold, and a leap day.
    for (const auto& [seed, iso] : {std::pair{0xFFFFFFFFu, "2106-02-07T06:28:15Z"},
                                    std::pair{951782400u, "2000-02-29T00:00:00Z"}}) {
        CScopedTestHooks hooks;
        hooks->clock = FixedClock(seed);
        fs::remove(signedCopy);
        ASSERT_EQ(Sign("t", {Arg(a)}).status, 0);
        const auto line = ParseJsonObject(
            Lines(RunInProcess({Arg("check"), Arg("--json"), Arg(signedCopy)}).out).at(0));
        ASSERT_TRUE(line);
        EXPECT_EQ(std::get<std::string>(line->at("signed_at")), iso);
    }
    EXPECT_EQ(std::get<bool>(third->at("signed")), false);
    EXPECT_TRUE(third->count("error"));
    EXPECT_EQ(std::get<std::string>(third->at("path")), Text(missing));
}

TEST_F(Cli, ExistingOutputsNeedForce) {
    const fs::path a = File("a.txt", PatternBytes(100, 1));
    const Bytes existing = PatternBytes(10, 9);
    WriteBytes(Out() / "a_signed.txt", existing);

    CliRun run = Sign("x", {Arg(a)});
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(Lines(run.err), (std::vector<std::string>{
                                  "File " + Text(Out() / "a_signed.txt") +
                                      " already exists, overwrite? No: kept (--force replaces it)",
                                  "No files were encrypted!"}));
    EXPECT_EQ(ReadBytes(Out() / "a_signed.txt"), existing);

    run = Sign("x", {Arg(a)}, {Arg("--no-clobber")});
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.err, "No files were encrypted!" + kNewline);
    EXPECT_EQ(ReadBytes(Out() / "a_signed.txt"), existing);

    run = Sign("x", {Arg(a)}, {Arg("--force")});
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.err, "File encrypted succesfully!" + kNewline);
    EXPECT_TRUE(ReadSignatureText(OpenFile(Out() / "a_signed.txt", "rb").get()) == u"x");
}

TEST_F(Cli, RefusalsUseTheDesktopsMessagesAndExitWithOne) {
    const fs::path a = File("a.txt", PatternBytes(100, 1));
    const fs::path missing = m_dir / "missing.doc";
    ASSERT_EQ(Sign("first", {Arg(a)}).status, 0);
    const fs::path signedCopy = Out() / "a_signed.txt";
    const CliRun run = Sign("again", {Arg(signedCopy), Arg(missing)});
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(Lines(run.err),
              (std::vector<std::string>{"File " + Text(signedCopy) +
                                            " is already digitally signed, cannot re-sign!",
                                        "Could not open file " + Text(missing) + " for reading! (" +
                                            SystemText(2 /* ERROR_FILE_NOT_FOUND */, ENOENT) + ")",
                                        "No files were encrypted!"}));
}

TEST_F(Cli, FoldersAreSignedRecursivelyWithTheirStructure) {
    File("docs/a.txt", PatternBytes(10, 1));
    File("docs/sub/deeper/b.bin", PatternBytes(20, 2));
    File("docs/sub/c", PatternBytes(30, 3));
    const fs::path docs = m_dir / "docs";

    CliRun run = Sign("tree", {Arg(docs)});
    EXPECT_EQ(run.status, 1) << "a folder without -r is refused";
    EXPECT_NE(run.err.find("is a folder"), std::string::npos);
    EXPECT_TRUE(fs::is_empty(Out()));

    run = Sign("tree", {Arg(docs)}, {Arg("-r")});
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.err, "3 files encrypted succesfully!" + kNewline);
    EXPECT_EQ(ReadBytes(Out() / "docs" / "sub" / "deeper" / "b_signed.bin").size(),
              20u + TrailerBytes(4));
    EXPECT_TRUE(fs::exists(Out() / "docs" / "a_signed.txt"));
    EXPECT_TRUE(fs::exists(Out() / "docs" / "sub" / "c_signed"));

    // Again, with a file named like an unfinished copy: what is not signed is said in its
    // place among the files, in the order of their paths, with one job as with several.
    File("docs/sub/.quorvane-0123456789ab.tmp", PatternBytes(5, 4));
    for (const char* jobs : {"1", "3"}) {
        run = Sign("tree", {Arg(docs)}, {Arg("-r"), Arg("--jobs"), Arg(jobs)});
        EXPECT_EQ(run.status, 1) << run.err;
        std::size_t at = 0;
        for (const std::string& said :
             {std::string("a_signed.txt"), std::string(".quorvane-0123456789ab.tmp"),
              std::string("c_signed"), std::string("b_signed.bin"), std::string("encrypted")}) {
            const std::size_t found = run.err.find(said, at);
            ASSERT_NE(found, std::string::npos) << said << " after " << at << ":\n" << run.err;
            at = found;
        }
    }
    fs::remove(docs / "sub" / ".quorvane-0123456789ab.tmp");

    // An output folder inside the tree is not signed again on the next run.
    fs::create_directory(docs / "signed");
    run = RunInProcess({Arg("sign"), Arg("--text"), Arg("t"), Arg("--out"), Arg(docs / "signed"),
                        Arg("-r"), Arg(docs)});
    EXPECT_EQ(run.status, 0) << run.err;
    run = RunInProcess({Arg("sign"), Arg("--text"), Arg("t"), Arg("--out"), Arg(docs / "signed"),
                        Arg("-r"), Arg("--no-clobber"), Arg(docs)});
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_FALSE(fs::exists(docs / "signed" / "docs" / "signed"));
}

#ifndef _WIN32
// A link planted inside a shared output folder never takes a copy elsewhere: one on the way to
// a subfolder fails that file; one with an output's name is that output, kept unless --force
// replaces the link itself. The output folder named may be a link: it is followed.
TEST_F(Cli, LinksInsideTheOutputFolderAreNotFollowed) {
    const fs::path a = File("in/photos/a.txt", PatternBytes(10, 1));
    const fs::path b = File("in/photos/deep/er/b.txt", PatternBytes(20, 2));
    const fs::path elsewhere = m_dir / "elsewhere", shared = m_dir / "shared";
    fs::create_directory(elsewhere);
    fs::create_directory_symlink(Out(), shared);
    const fs::path photos = shared / "photos", signedA = m_dir / "in" / "a_signed.txt";
    const fs::path tree = m_dir / "in" / "photos";
    const std::vector<CliArg> sign(
        {Arg("sign"), Arg("--text"), Arg("t"), Arg("--out"), Arg(shared), Arg("-r"), Arg(tree)});
    const std::vector<CliArg> strip = {Arg("strip"), Arg("--out"), Arg(shared), Arg(signedA)};
    ASSERT_EQ(RunInProcess({sign[0], sign[1], sign[2], sign[3], Arg(m_dir / "in"), Arg(a)}).status,
              0);
    const auto forced = [](std::vector<CliArg> args) {
        args.push_back(Arg("--force"));
        return args;
    };
    const auto refused = [&](const fs::path& source, const fs::path& output) {
        return "Could not open file " + Text(source) + " for writing! (" + Text(output) +
               ": a link inside the output folder, not followed)" + kNewline;
    };
    const std::string kept = "File " + Text(photos / "a_signed.txt") +
                             " already exists, overwrite? No: kept (--force replaces it)" +
                             kNewline;
    const std::string strippedKept = "quorvane-cli: " + Text(signedA) + ": " +
                                     Text(shared / "a.txt") +
                                     " already exists, kept (--force replaces it)" + kNewline;
    const struct {
        fs::path link, to; // the link planted, and where it leads
        std::vector<CliArg> args;
        int status;
        std::string err;
    } cases[] = {
        {photos, elsewhere, sign, 1,
         refused(a, photos / "a_signed.txt") + refused(b, photos / "deep/er/b_signed.txt") +
             "No files were encrypted!" + kNewline},
        {photos / "deep/er", elsewhere, sign, 1,
         refused(b, photos / "deep/er/b_signed.txt") + "File encrypted succesfully!" + kNewline},
        {photos / "a_signed.txt", elsewhere / "x", sign, 1,
         kept + "File encrypted succesfully!" + kNewline},
        {photos / "a_signed.txt", elsewhere / "x", forced(sign), 0,
         "2 files encrypted succesfully!" + kNewline},
        {shared / "a.txt", elsewhere / "x", strip, 1, strippedKept},
        {shared / "a.txt", elsewhere / "x", forced(strip), 0, ""},
    };
    for (const auto& c : cases) {
        for (const auto& entry : fs::directory_iterator(Out()))
            fs::remove_all(entry.path());
        fs::create_directories(c.link.parent_path());
        fs::create_symlink(c.to, c.link);
        const CliRun run = RunInProcess(c.args);
        EXPECT_EQ(run.status, c.status) << c.link;
        EXPECT_EQ(run.err, c.err) << c.link;
        EXPECT_TRUE(fs::is_empty(elsewhere)) << c.link;
        // --force replaced the link with the output.
        EXPECT_EQ(fs::is_symlink(c.link), c.status != 0) << c.link;
    }
    EXPECT_EQ(ReadBytes(shared / "a.txt"), PatternBytes(10, 1));
}
#endif

TEST_F(Cli, FilesSignedByEitherSideReadOnTheOther) {
    const Bytes content = PatternBytes(5000, 4);
    const fs::path a = File("a.doc", content);
    CSignRecorder desktop;
    ASSERT_EQ(RunSignBatch({a}, Out(), u"Desk\r\ntop \u00E9", desktop).signedCount, 1u);
    CliRun run = RunInProcess({Arg("check"), Arg(Out() / "a_signed.doc")});
    EXPECT_EQ(run.out, "Desk" + kNewline + "top \xC3\xA9" + kNewline);

    fs::create_directory(m_dir / "cli");
    run = RunInProcess(
        {Arg("sign"), Arg("--text"), Arg("Tool\nline"), Arg("--out"), Arg(m_dir / "cli"), Arg(a)});
    ASSERT_EQ(run.status, 0);
    const fs::path fromTool = m_dir / "cli" / "a_signed.doc";
    EXPECT_TRUE(ReadSignatureText(OpenFile(fromTool, "rb").get()) == u"Tool\r\nline");
    // The desktop side refuses the tool's copy as already signed.
    CSignRecorder again;
    EXPECT_EQ(RunSignBatch({fromTool}, Out(), u"x", again).outcomes[0], SignOutcome::AlreadySigned);
    const Bytes bytes = ReadBytes(fromTool);
    EXPECT_TRUE(std::equal(content.begin(), content.end(), bytes.begin()));
}

TEST_F(Cli, TextFromAFile) {
    const fs::path a = File("a.txt", PatternBytes(100, 1));
    const fs::path utf8 =
        File("sig8.txt", {0xEF, 0xBB, 0xBF, 'o', 'n', 'e', '\n', 't', 'w', 'o', 0xC3, 0xA9, '\n'});
    const fs::path utf16 = File("sig16.txt", {0xFF, 0xFE, 'h', 0, 0xAC, 0x20, '\r', 0, '\n', 0});
    const fs::path utf16be = File("sig16be.txt", {0xFE, 0xFF, 0, 'b', 0xD8, 0x3D, 0xDD, 0x8B});
    for (const auto& [file, expected] : {std::pair{utf8, std::u16string(u"one\r\ntwo\u00E9")},
                                         {utf16, u"h\u20AC"},
                                         {utf16be, u"b\U0001F58B"}}) {
        const CliRun run = RunInProcess({Arg("sign"), Arg("--text-file"), Arg(file), Arg("--out"),
                                         Arg(Out()), Arg("--force"), Arg(a)});
        ASSERT_EQ(run.status, 0) << run.err;
        EXPECT_TRUE(ReadSignatureText(OpenFile(Out() / "a_signed.txt", "rb").get()) == expected)
            << Text(file);
    }
}

TEST_F(Cli, TextFromStandardInputAndWhatIsRefused) {
    const fs::path a = File("a.txt", PatternBytes(100, 1));
    const fs::path input = File("input.txt", {'s', 't', 'd', 'i', 'n', '\n'});
    UniqueFile in = OpenFile(input, "rb");
    CStringOutput out, err;
    CliStreams streams{out, err, false, in.get()};
    ASSERT_EQ(RunCli({Arg("sign"), Arg("--text-file"), Arg("-"), Arg("--out"), Arg(Out()), Arg(a)},
                     streams),
              0)
        << err.text;
    EXPECT_TRUE(ReadSignatureText(OpenFile(Out() / "a_signed.txt", "rb").get()) == u"stdin");

    const std::string accepted = "neither UTF-8 nor UTF-16 with a byte order mark (FF FE or FE FF)";
    const struct {
        Bytes content;
        std::string message;
    } refused[] = {
        {{'b', 'a', 'd', 0xFF}, accepted},
        {{0xFE, 0xFF, 0, 'o', 'd'}, accepted},
        {Bytes(3 * kMaxSignatureUnits + 6, 'x'), "longer than 32767 UTF-16 code units"},
    };
    for (const auto& c : refused) {
        const fs::path file = File("refused.txt", c.content);
        const CliRun run = RunInProcess({Arg("sign"), Arg("--text-file"), Arg(file), Arg("--out"),
                                         Arg(Out()), Arg("--force"), Arg(a)});
        EXPECT_EQ(run.status, kExitUsage);
        EXPECT_NE(run.err.find(c.message), std::string::npos) << run.err;
    }
}

// JSON gives texts and names exactly: unpaired surrogates and a name's bytes that are not UTF-8
// as \u escapes, so that no two differ only where U+FFFD would have stood.
TEST_F(Cli, JsonKeepsUnpairedSurrogatesAndNamesExactly) {
    const fs::path a = File("a.txt", PatternBytes(40, 1));
    CSignRecorder desktop;
    ASSERT_EQ(RunSignBatch({a}, Out(), std::u16string(u"x\xD800y\xDC00"), desktop).signedCount, 1u);
    std::vector<fs::path> copies = {Out() / "a_signed.txt"};
#ifndef _WIN32
    for (const char* name : {"n\xFF.txt", "n\xFE.txt"}) {
        fs::copy_file(copies[0], Out() / name);
        copies.push_back(Out() / name);
    }
#endif
    std::vector<CliArg> args = {Arg("check"), Arg("--json")};
    for (const auto& copy : copies)
        args.push_back(Arg(copy));
    const CliRun run = RunInProcess(args);
    const auto lines = Lines(run.out);
    ASSERT_EQ(lines.size(), copies.size()) << run.out;
    EXPECT_NE(lines[0].find(R"("text": "x\ud800y\udc00")"), std::string::npos) << lines[0];
#ifndef _WIN32
    EXPECT_NE(lines[1].find(R"(n\udcff.txt")"), std::string::npos) << lines[1];
    EXPECT_NE(lines[2].find(R"(n\udcfe.txt")"), std::string::npos) << lines[2];
#endif
}

// A stranger's name or signature cannot drive the terminal: what cannot be typed shows as an
// escape in every line for people, on standard output and standard error; --json is exact.
TEST_F(Cli, NamesAndTextsShowWhatCannotBeTypedAsEscapes) {
#ifdef _WIN32
    const std::string name = "a.txt"; // Windows' names hold no controls
    const std::string shown = "a_signed.txt";
#else
    const std::string name = "a\x1b[2J\nb.txt";
    const std::string shown = "a\\x1b[2J\\nb_signed.txt";
#endif
    const fs::path a = File(name, PatternBytes(40, 1));
    CSignRecorder desktop;
    ASSERT_EQ(RunSignBatch({a}, Out(), u"ok\x1b]0;PWNED\x07\x1b[2J\r\nline\rX\x9b\x202e", desktop)
                  .signedCount,
              1u);
    const fs::path copy = Out() / Names(Out()).front();
    const auto typable = [](const std::string& bytes) {
        return std::none_of(bytes.begin(), bytes.end(),
                            [](char c) {
                                return (c >= 0 && c < 0x20 && c != '\n' && c != '\r') || c == 0x7F;
                            }) &&
               bytes.find("\xC2\x9B") == std::string::npos &&
               bytes.find("\xE2\x80\xAE") == std::string::npos;
    };
    const std::vector<std::vector<CliArg>> runs = {
        {Arg("check"), Arg(copy)},
        {Arg("check"), Arg(copy), Arg(a)},
        {Arg("check"), Arg("-r"), Arg(Out())},
        {Arg("sign"), Arg("--text"), Arg("x"), Arg("--out"), Arg(Out()), Arg(copy)},
        {Arg("strip"), Arg("--out"), Arg(Out()), Arg(a)},
        {Arg("check"), Arg(m_dir / "\x1b[31mmissing")},
        {Arg("check"), Arg("--\x1b[2J")},
    };
    for (const auto& args : runs) {
        const CliRun run = RunInProcess(args);
        EXPECT_TRUE(typable(run.out) && typable(run.err)) << run.out << run.err;
    }
    const std::string text = "ok\\x1b]0;PWNED\\x07\\x1b[2J" + kNewline + "line\\rX\\u009b\\u202e";
    EXPECT_EQ(RunInProcess({Arg("check"), Arg(copy)}).out, text + kNewline);
    std::string folder = Text(Out() / "x");
    folder.pop_back();
    EXPECT_EQ(Lines(RunInProcess(runs[3]).err).front(),
              "File " + folder + shown + " is already digitally signed, cannot re-sign!");
    const auto json = ParseJsonObject(RunInProcess({Arg("check"), Arg("--json"), Arg(copy)}).out);
    ASSERT_TRUE(json);
    EXPECT_EQ(std::get<std::string>(json->at("text")),
              "ok\x1b]0;PWNED\x07\x1b[2J\r\nline\rX\xC2\x9B\xE2\x80\xAE");
}

TEST_F(Cli, StripRefusesWhatItCannotDoSafely) {
    const fs::path plain = File("plain.txt", PatternBytes(100, 1));
    const fs::path a = File("a.txt", PatternBytes(100, 2));
    ASSERT_EQ(Sign("s", {Arg(a)}).status, 0);
    // A signed file without _signed in its name, stripped into its own folder: the output
    // would be the file itself.
    const fs::path renamed = Out() / "kept.txt";
    fs::rename(Out() / "a_signed.txt", renamed);
    const Bytes signedBytes = ReadBytes(renamed);

    CliRun run = RunInProcess({Arg("strip"), Arg("--out"), Arg(Out()), Arg(plain), Arg(renamed)});
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(Lines(run.err).size(), 2u) << run.err;
    EXPECT_NE(run.err.find(Text(plain) + ": holds no signature"), std::string::npos);
    EXPECT_EQ(ReadBytes(renamed), signedBytes);

    // An existing output is kept unless --force.
    fs::create_directory(m_dir / "back");
    WriteBytes(m_dir / "back" / "kept.txt", {'o', 'l', 'd'});
    run = RunInProcess({Arg("strip"), Arg("--out"), Arg(m_dir / "back"), Arg(renamed)});
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(ReadBytes(m_dir / "back" / "kept.txt"), (Bytes{'o', 'l', 'd'}));
    run = RunInProcess(
        {Arg("strip"), Arg("--out"), Arg(m_dir / "back"), Arg("--force"), Arg(renamed)});
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(ReadBytes(m_dir / "back" / "kept.txt"), PatternBytes(100, 2));
}

// A trailer counts only when it decodes in full: check, sign and strip all agree.
TEST_F(Cli, TrailerWithACodeMissingFromTheTableIsNoSignature) {
    const Bytes content = PatternBytes(200, 5);
    ASSERT_EQ(Sign("payload", {Arg(File("a.txt", content))}).status, 0);
    Bytes bytes = ReadBytes(Out() / "a_signed.txt");
    CSigCodeTable table;
    table.Build(0x66000000);
    std::uint16_t unused = 0;
    while (table.IndexOf(unused))
        ++unused;
    bytes[content.size()] = static_cast<std::uint8_t>(unused & 0xFF);
    bytes[content.size() + 1] = static_cast<std::uint8_t>(unused >> 8);
    const fs::path damaged = File("damaged.txt", bytes);

    CliRun run = RunInProcess({Arg("check"), Arg(damaged)});
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.err, "quorvane-cli: no signature in " + Text(damaged) + kNewline);
    fs::create_directory(m_dir / "orig");
    run = RunInProcess({Arg("strip"), Arg("--out"), Arg(m_dir / "orig"), Arg(damaged)});
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.err,
              "quorvane-cli: " + Text(damaged) + ": holds no signature, skipped" + kNewline);
    EXPECT_TRUE(fs::is_empty(m_dir / "orig"));
    run = Sign("again", {Arg(damaged)});
    EXPECT_EQ(run.status, 0) << run.err;
    const Bytes signedAgain = ReadBytes(Out() / "damaged_signed.txt");
    EXPECT_TRUE(std::equal(bytes.begin(), bytes.end(), signedAgain.begin()));
    EXPECT_TRUE(ReadSignatureText(OpenFile(Out() / "damaged_signed.txt", "rb").get()) == u"again");
}

TEST_F(Cli, FiveGiBSparseFileIsCheckedFromItsEnd) {
    constexpr std::int64_t kFiveGiB = std::int64_t{5} << 30;
    const fs::path big = m_dir / "big.iso";
    {
        UniqueFile file = OpenFile(big, "wb");
        ASSERT_TRUE(file && SeekFile(file.get(), kFiveGiB - 1, SEEK_SET));
        ASSERT_EQ(std::fputc('z', file.get()), 'z');
    }
    EXPECT_EQ(RunInProcess({Arg("check"), Arg(big)}).status, 1);
    {
        UniqueFile file = OpenFile(big, "r+b");
        CSigCodeTable table;
        const std::u16string text = u"five";
        ASSERT_TRUE(AppendSignature(table, file.get(), text.data(), 2 * text.size()));
    }
    const CliRun run = RunInProcess({Arg("check"), Arg("--json"), Arg(big)});
    EXPECT_EQ(run.status, 0);
    const auto object = ParseJsonObject(run.out);
    ASSERT_TRUE(object) << run.out;
    EXPECT_EQ(std::get<std::string>(object->at("text")), "five");
}

// Every file of the output folder with its bytes.
std::map<std::string, Bytes> TreeOf(const fs::path& folder) {
    std::map<std::string, Bytes> tree;
    for (const auto& entry : fs::recursive_directory_iterator(folder))
        tree[Text(entry.path())] = entry.is_regular_file() ? ReadBytes(entry.path()) : Bytes{};
    return tree;
}

// Several files at once: the same messages, questions and summary in the same order, the same
// exit status and the same files as one at a time, on a tree with every kind of refusal.
TEST_F(Cli, JobsGiveTheRunOfOneFileAtATime) {
    for (int i = 0; i < 30; ++i)
        File("one/docs/f" + std::to_string(i) + ".txt", PatternBytes(100 + 37 * i, i));
    for (int i = 0; i < 30; i += 3)
        File("two/docs/f" + std::to_string(i) + ".txt", PatternBytes(50, i)); // same names
    File("two/docs/big.bin", PatternBytes(3 << 20, 99));
    File("two/docs/b_signed.bin", PatternBytes(10, 98));
    const fs::path lone = File("lone.txt", PatternBytes(64, 7));
    const std::vector<CliArg> operands = {
        Arg(m_dir / "one" / "docs"),
        Arg(m_dir / "two" / "docs"),
        Arg(lone),
        Arg(Out() / "lone_signed.txt"), // an output of this very run
        Arg(m_dir / "missing.txt"),
        Arg(lone)};
    const auto prepareOut = [&] {
        fs::remove_all(Out());
        File("out/docs/f4_signed.txt", {'o', 'l', 'd'});          // existed before the run
        fs::create_directories(Out() / "docs" / "f5_signed.txt"); // a folder in the way
    };
    for (const bool force : {false, true}) {
        SCOPED_TRACE(force ? "--force" : "asking");
        std::vector<CliArg> extra = {Arg("-r")};
        if (force)
            extra.push_back(Arg("--force"));
        prepareOut();
        extra.push_back(Arg("--jobs=1"));
        const CliRun one = Sign("same", operands, extra);
        const auto tree = TreeOf(Out());
        EXPECT_EQ(one.status, 1);
        EXPECT_NE(one.err.find("already digitally signed"), std::string::npos) << one.err;
        EXPECT_NE(one.err.find("earlier in this run"), std::string::npos) << one.err;
        for (const char* jobs : {"2", "5"}) {
            prepareOut();
            extra.back() = Arg(std::string("--jobs=") + jobs);
            const CliRun many = Sign("same", operands, extra);
            EXPECT_EQ(many.status, one.status) << jobs;
            EXPECT_EQ(Lines(many.err), Lines(one.err)) << jobs;
            EXPECT_TRUE(TreeOf(Out()) == tree) << jobs;
        }
    }
    for (const char* bad : {"0", "x", "65", "-1"})
        EXPECT_EQ(Sign("x", {Arg(lone)}, {Arg("--jobs"), Arg(bad)}).status, kExitUsage) << bad;
}

// check and strip with several jobs: the output, messages, exit status and files of one job at
// a time, over signed and unsigned files of many sizes and every kind of refusal.
TEST_F(Cli, CheckAndStripWithJobsGiveTheRunOfOne) {
    for (int i = 0; i < 24; ++i)
        File("src/f" + std::to_string(i) + ".bin",
             PatternBytes(i % 5 == 0 ? (std::size_t{2} << 20) + i : 50 + 97 * i, i));
    ASSERT_EQ(Sign("mine", {Arg(m_dir / "src")}, {Arg("-r")}).status, 0);
    const fs::path tree = Out() / "src";
    File("out/src/plain.txt", PatternBytes(300, 1));
    File("out/src/sub/deep_signed.txt", PatternBytes(10, 2));
#ifndef _WIN32
    ASSERT_EQ(::mkfifo((tree / "fifo").c_str(), 0600), 0);
    fs::create_symlink(m_dir / "missing", tree / "dangling");
    fs::create_directory_symlink(m_dir / "src", tree / "folder-link");
#endif
    std::vector<CliArg> sources;
    for (const auto& entry : fs::directory_iterator(tree))
        sources.push_back(Arg(entry.path()));
    std::sort(sources.begin(), sources.end());
    sources.insert(sources.end(), {Arg(m_dir / "missing"), Arg(tree / "f1_signed.bin")});

    const auto withJobs = [](std::vector<CliArg> args, const char* jobs) {
        args.insert(args.begin() + 1, {Arg("--jobs"), Arg(jobs)});
        return args;
    };
    for (const std::vector<CliArg>& args :
         {std::vector<CliArg>{Arg("check"), Arg("-r"), Arg(tree), Arg(m_dir / "missing")},
          std::vector<CliArg>{Arg("check"), Arg("--json"), Arg("-r"), Arg(tree)}}) {
        const CliRun one = RunInProcess(withJobs(args, "1"));
        EXPECT_EQ(one.status, 1);
        EXPECT_NE(one.out.find("mine"), std::string::npos) << one.out;
        const CliRun many = RunInProcess(withJobs(args, "8"));
        EXPECT_EQ(many.status, one.status);
        EXPECT_EQ(many.out, one.out);
        EXPECT_EQ(many.err, one.err);
    }

    const fs::path back = m_dir / "back";
    std::vector<CliArg> strip = {Arg("strip"), Arg("--out"), Arg(back)};
    strip.insert(strip.end(), sources.begin(), sources.end());
    std::optional<CliRun> one;
    std::map<std::string, Bytes> files;
    for (const char* jobs : {"1", "8", "3"}) {
        fs::remove_all(back);
        File("back/f3.bin", {'o', 'l', 'd'}); // existed before the run
        const CliRun run = RunInProcess(withJobs(strip, jobs));
        if (!one) {
            one = run;
            files = TreeOf(back);
            EXPECT_EQ(run.status, 1);
            EXPECT_NE(run.err.find("earlier in this run"), std::string::npos) << run.err;
            EXPECT_EQ(files.size(), 24u) << run.err;
            continue;
        }
        EXPECT_EQ(run.status, one->status) << jobs;
        EXPECT_EQ(run.err, one->err) << jobs;
        EXPECT_TRUE(TreeOf(back) == files) << jobs;
    }
    for (const char* bad : {"0", "65", "x"})
        EXPECT_EQ(RunInProcess(withJobs({Arg("check"), Arg(tree)}, bad)).status, kExitUsage);
}

// Every file below, in the order of their paths whatever the order of the folder, with each
// file's text and JSON line as when named; one unsigned file makes the status 1.
TEST_F(Cli, CheckOfAFolderWithRListsEveryFileBelowInOrder) {
    File("tree/b/z.txt", PatternBytes(30, 1));
    File("tree/a.txt", PatternBytes(20, 2));
    File("tree/b/c/y.bin", PatternBytes(10, 3));
    const fs::path tree = m_dir / "tree";
    ASSERT_EQ(Sign("mine", {Arg(tree)}, {Arg("-r")}).status, 0);
    const fs::path copies = Out() / "tree";
    const std::vector<fs::path> expected = {copies / "a_signed.txt",
                                            copies / "b" / "c" / "y_signed.bin",
                                            copies / "b" / "z_signed.txt"};

    CliRun run = RunInProcess({Arg("check"), Arg("-r"), Arg(copies)});
    EXPECT_EQ(run.status, 0) << run.err;
    std::vector<std::string> lines;
    for (const fs::path& path : expected)
        lines.insert(lines.end(), {Text(path) + ":", "mine", ""});
    EXPECT_EQ(Lines(run.out), lines);

    File("out/tree/b/plain.txt", PatternBytes(30, 4));
    run = RunInProcess({Arg("check"), Arg("--json"), Arg("--recursive"), Arg(copies / ""),
                        Arg(m_dir / "tree" / "a.txt")});
    EXPECT_EQ(run.status, 1);
    const std::vector<std::string> json = Lines(run.out);
    ASSERT_EQ(json.size(), 5u) << run.out;
    const std::vector<fs::path> order = {expected[0], expected[1], copies / "b" / "plain.txt",
                                         expected[2], m_dir / "tree" / "a.txt"};
    for (std::size_t i = 0; i < json.size(); ++i) {
        const auto object = ParseJsonObject(json[i]);
        ASSERT_TRUE(object) << json[i];
        EXPECT_EQ(std::get<std::string>(object->at("path")), Text(order[i].lexically_normal()));
        EXPECT_EQ(std::get<bool>(object->at("signed")), i != 2 && i != 4) << json[i];
    }

    // Without -r a folder is still a path that cannot be read.
    run = RunInProcess({Arg("check"), Arg(copies)});
    EXPECT_EQ(run.status, 1);
    EXPECT_NE(run.err.find("cannot read " + Text(copies)), std::string::npos) << run.err;
}

// Paths from a list, one per line or NUL-separated, from a file or standard input, for each
// command, with the messages and exit statuses of operands.
TEST_F(Cli, FilesFromAListWithOddNames) {
    const std::vector<std::string> names = {"a b.txt", "-dash.txt", "\xC3\xA9t\xC3\xA9.txt"};
    // Runs of empty entries, skipped a stretch at a time: across the reader's blocks (64 KiB),
    // and one byte short of and past a stretch (4 KiB).
    const std::size_t runs[] = {70000, 4095, 4097};
    std::string lines, nuls(5000, '\0');
    for (std::size_t i = 0; i < names.size(); ++i) {
        File(names[i], PatternBytes(40 + names[i].size(), 1));
        // An empty line between the paths: on Windows, a CR LF alone (it ended the list).
        lines += Text(m_dir / PathFromText(Utf8ToUtf16Lossy(names[i]))) + kNewline + kNewline;
        nuls += Text(m_dir / PathFromText(Utf8ToUtf16Lossy(names[i]))) + std::string(runs[i], '\0');
    }
#ifndef _WIN32
    // A line break in a name needs the NUL-separated form.
    File("two\nlines.txt", PatternBytes(50, 2));
    nuls += (m_dir / "two\nlines.txt").native() + '\0';
#endif
    const fs::path lineList = File("list.txt", Bytes(lines.begin(), lines.end()));
    const fs::path nulList = File("list0", Bytes(nuls.begin(), nuls.end()));
    const std::size_t count = names.size() + (kNewline == std::string("\n") ? 1 : 0);

    CliRun run = Sign("x", {}, {Arg("--files-from"), Arg(lineList)});
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.err, std::to_string(names.size()) + " files encrypted succesfully!" + kNewline);
    run = Sign("x", {}, {Arg("--files-from"), Arg(nulList), Arg("-0"), Arg("--no-clobber")});
    EXPECT_EQ(run.status, 0) << run.err;

    // From standard input, the signed copies, checked and stripped.
    std::string signedList;
    for (const auto& entry : fs::directory_iterator(Out()))
        signedList += Text(entry.path()) + '\0';
    const fs::path listed = File("signed0", Bytes(signedList.begin(), signedList.end()));
    fs::create_directory(m_dir / "back");
    for (const std::vector<CliArg>& args :
         {std::vector<CliArg>{Arg("check"), Arg("--json")},
          std::vector<CliArg>{Arg("strip"), Arg("--out"), Arg(m_dir / "back")}}) {
        UniqueFile in = OpenFile(listed, "rb");
        CStringOutput out, err;
        CliStreams streams{out, err, false, in.get()};
        std::vector<CliArg> all = args;
        all.insert(all.end(), {Arg("--null"), Arg("--files-from"), Arg("-")});
        EXPECT_EQ(RunCli(all, streams), 0) << err.text;
        if (args[0] == Arg("check")) {
            EXPECT_EQ(Lines(out.text).size(), count);
        }
    }
    EXPECT_EQ(std::distance(fs::directory_iterator(m_dir / "back"), {}),
              static_cast<std::ptrdiff_t>(count));

    // A path of the list that is missing fails as an operand does; a list that is missing, or
    // standard input twice, is a usage error.
    const std::string missing = Text(m_dir / "missing.txt") + "\n";
    const fs::path withMissing = File("missing-list", Bytes(missing.begin(), missing.end()));
    run = Sign("x", {}, {Arg("--files-from"), Arg(withMissing)});
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(
        run.err.rfind("Could not open file " + Text(m_dir / "missing.txt") + " for reading!", 0),
        0u)
        << run.err;
    for (const std::vector<CliArg>& extra :
         {std::vector<CliArg>{Arg("--files-from"), Arg(m_dir / "nolist")},
          std::vector<CliArg>{Arg("-0"), Arg(m_dir / "a b.txt")},
          std::vector<CliArg>{Arg("--files-from"), Arg("-"), Arg("--text-file"), Arg("-")}}) {
        std::vector<CliArg> args = {Arg("sign"), Arg("--out"), Arg(Out())};
        if (extra.size() < 4)
            args.insert(args.end(), {Arg("--text"), Arg("x")});
        args.insert(args.end(), extra.begin(), extra.end());
        run = RunInProcess(args);
        EXPECT_EQ(run.status, kExitUsage) << run.err;
    }

    // An entry longer than the longest path the system takes cannot name a file: the list is
    // refused. One of that length is an operand like any other, which the system refuses.
#ifdef _WIN32
    const std::size_t longest = 32767;
#else
    const std::size_t longest = 4096;
#endif
    for (const std::size_t length : {longest, longest + 1}) {
        const fs::path list = File("long-list", Bytes(length, 'a'));
        run = RunInProcess({Arg("check"), Arg("--files-from"), Arg(list)});
        EXPECT_EQ(run.status, length > longest ? kExitUsage : 1) << run.err;
        EXPECT_EQ(run.err.rfind("quorvane-cli: an entry of the list of files from " + Text(list) +
                                    " is longer than the longest path",
                                0) == 0,
                  length > longest)
            << run.err;
    }
}

// A list is read as the run goes: one that stops naming paths part of the way ends the run
// there, the files before it done, and the usage error comes last.
TEST_F(Cli, FilesFromAListThatStopsNamingPathsPartOfTheWay) {
    const fs::path first = File("first.txt", PatternBytes(30, 1));
    const fs::path second = File("second.txt", PatternBytes(31, 2));
    std::string list = Text(first) + "\n" + Text(second) + "\n";
    list += std::string(70000, 'a') + "\n" + Text(first) + "\n";
    const fs::path listed = File("list.txt", Bytes(list.begin(), list.end()));
    CliRun run = Sign("x", {}, {Arg("--files-from"), Arg(listed)});
    EXPECT_EQ(run.status, kExitUsage);
    EXPECT_EQ(run.err.rfind("2 files encrypted succesfully!" + std::string(kNewline) +
                                "quorvane-cli: an entry of the list of files from " + Text(listed) +
                                " is longer than the longest path",
                            0),
              0u)
        << run.err;
    EXPECT_EQ(std::distance(fs::directory_iterator(Out()), {}), 2);
}

// Entries and runs of empty entries across the reader's 64 KiB blocks and its 4 KiB stretches,
// in both forms of list, the last entry without a separator after it.
TEST_F(Cli, FilesFromListsWhoseEntriesCrossTheReadersBlocks) {
    const std::vector<fs::path> sources = {File("first.txt", PatternBytes(30, 1)),
                                           File("second.txt", PatternBytes(31, 2)),
                                           File("third.txt", PatternBytes(32, 3))};
    for (const char separator : {'\0', '\n'}) {
        fs::remove_all(Out());
        fs::create_directory(Out());
        // The first entry begins three bytes before the first block ends; a run of exactly one
        // stretch, then one of two stretches and a byte.
        std::string list(65533, separator);
        list += Text(sources[0]) + std::string(4096, separator) + Text(sources[1]) +
                std::string(8193, separator) + Text(sources[2]);
        const fs::path path = File("list", Bytes(list.begin(), list.end()));
        std::vector<CliArg> extra = {Arg("--files-from"), Arg(path)};
        if (separator == '\0')
            extra.push_back(Arg("-0"));
        const CliRun run = Sign("x", {}, extra);
        EXPECT_EQ(run.status, 0) << run.err;
        EXPECT_EQ(run.err, "3 files encrypted succesfully!" + std::string(kNewline));
        for (const char* name : {"first_signed.txt", "second_signed.txt", "third_signed.txt"})
            EXPECT_TRUE(fs::exists(Out() / name)) << name << int(separator);
    }
}

#ifndef _WIN32
// Below -r, a link to a folder or a file is reported and not followed, by sign and check
// alike: whoever filled the tree gets no copy of another file of the user's. A link given as
// the folder to walk is followed; -L follows the links below too, and reports a loop.
TEST_F(Cli, LinksBelowAWalkAreReportedNotFollowedUnlessAsked) {
    File("real/a.txt", PatternBytes(30, 1));
    File("tree/b.txt", PatternBytes(30, 2));
    const fs::path secret = File("secret.txt", PatternBytes(30, 3));
    fs::permissions(secret, fs::perms::owner_read | fs::perms::owner_write);
    fs::create_directory_symlink(m_dir / "real", m_dir / "tree" / "link");
    fs::create_directory_symlink(m_dir / "tree", m_dir / "tree" / "loop");
    fs::create_symlink("../secret.txt", m_dir / "tree" / "notes.txt");
    fs::create_directory_symlink(m_dir / "tree", m_dir / "given");
    const auto line = [&](const char* name, const std::string& why) {
        return "quorvane-cli: " + Text(m_dir / "given" / name) + why + kNewline;
    };
    const auto unread = [&](const char* name, const std::string& why) {
        return "quorvane-cli: cannot read " + Text(m_dir / "given" / name) + " (" + why + ")" +
               kNewline;
    };
    CliRun run = Sign("x", {Arg(m_dir / "given")}, {Arg("-r")});
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.err, line("link", ": a link to a folder, not followed") +
                           line("loop", ": a link to a folder, not followed") +
                           line("notes.txt", ": a link to a file, not followed") +
                           "File encrypted succesfully!" + kNewline);
    EXPECT_EQ(Names(Out() / "given"), std::vector<fs::path>{"b_signed.txt"});

    run = RunInProcess({Arg("check"), Arg("-r"), Arg(m_dir / "given")});
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.err, unread("link", "a link to a folder, not followed") +
                           unread("loop", "a link to a folder, not followed") +
                           unread("notes.txt", "a link to a file, not followed"));

    fs::remove_all(Out() / "given");
    run = Sign("x", {Arg(m_dir / "given")}, {Arg("-r"), Arg("-L")});
    EXPECT_EQ(run.status, 1);
    const std::string loop =
        std::make_error_code(std::errc::too_many_symbolic_link_levels).message();
    EXPECT_EQ(run.err, line("loop", ": cannot be read, skipped (" + loop + ")") +
                           "3 files encrypted succesfully!" + kNewline);
    EXPECT_TRUE(fs::exists(Out() / "given" / "link" / "a_signed.txt"));
    EXPECT_TRUE(fs::exists(Out() / "given" / "notes_signed.txt"));
    EXPECT_EQ(RunInProcess({Arg("sign"), Arg("-L"), Arg("--text"), Arg("x"), Arg("--out"),
                            Arg(Out()), Arg(m_dir / "given")})
                  .status,
              2);
}
#endif

} // namespace

namespace {

// A file whose own tools object to a trailer: a warning line and a signed copy, or with
// --skip-kinds a refusal; the same for a named file sent to standard output.
TEST_F(Cli, KindsWhoseToolsObjectAreToldOrLeftOut) {
    Bytes gzip = PatternBytes(300, 3);
    gzip[0] = 0x1F, gzip[1] = 0x8B, gzip[2] = 8, gzip[3] = 0;
    const fs::path archive = File("logs.gz", gzip);
    const fs::path plain = File("notes.txt", PatternBytes(300, 4));
    std::string warning = "Warning: File ";
    warning += PathUtf8(archive) + " (gzip): ";
    CliRun run = Sign("me", {Arg(archive), Arg(plain)});
    EXPECT_EQ(run.status, 0);
    ASSERT_EQ(Lines(run.err).size(), 2u) << run.err;
    EXPECT_EQ(Lines(run.err)[0].rfind(warning, 0), 0u) << run.err;
    EXPECT_NE(run.err.find("`quorvane-cli strip` gives the original back."), std::string::npos);
    EXPECT_TRUE(fs::exists(Out() / "logs_signed.gz"));

    fs::remove(Out() / "logs_signed.gz");
    fs::remove(Out() / "notes_signed.txt");
    run = Sign("me", {Arg(archive), Arg(plain)}, {Arg("--skip-kinds")});
    EXPECT_EQ(run.status, 1);
    std::string leftOut = "File ";
    leftOut += PathUtf8(archive) +
               " (gzip): gzip will warn of trailing garbage and end with exit status 2. Left out.";
    EXPECT_EQ(Lines(run.err)[0], leftOut);
    EXPECT_FALSE(fs::exists(Out() / "logs_signed.gz"));
    EXPECT_TRUE(fs::exists(Out() / "notes_signed.txt"));
}

} // namespace
