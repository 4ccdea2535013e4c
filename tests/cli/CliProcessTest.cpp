// The real program: arguments through main (wmain on Windows), output through the process's
// streams, exit status through the system.
#include "CliHarness.h"

#include "FileIo.h"
#include "SigClock.h"
#include "Signature.h"
#include "TempDir.h"

#include <gtest/gtest.h>

#include <cstdlib>

#ifdef _WIN32
#define WIN32_LEAN_AND_MEAN
#include <windows.h>
#else
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>
extern char** environ;
#endif

namespace fs = std::filesystem;

namespace {

fs::path ProgramBesideTest() {
#ifdef _WIN32
    std::wstring self(32768, L'\0');
    self.resize(GetModuleFileNameW(nullptr, self.data(), static_cast<DWORD>(self.size())));
    return fs::path(self).parent_path() / "quorvane-cli.exe";
#else
    return fs::read_symlink("/proc/self/exe").parent_path() / "quorvane-cli";
#endif
}

std::string FileContent(const fs::path& path) {
    const Bytes bytes = ReadBytes(path);
    return std::string(bytes.begin(), bytes.end());
}

} // namespace

CliRun RunProcess(const std::vector<CliArg>& args) {
    TempDir streams;
    const fs::path outPath = streams / "out", errPath = streams / "err";
    CliRun run;
    const fs::path program = ProgramBesideTest();
#ifdef _WIN32
    std::wstring command = L"\"" + program.native() + L"\"";
    for (const CliArg& arg : args) {
        // Quoting as the C runtime parses it; the tests' arguments hold no quotes.
        command += L" \"" + arg + (arg.empty() || arg.back() != L'\\' ? L"\"" : L"\\\"");
    }
    SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
    HANDLE out = CreateFileW(outPath.c_str(), GENERIC_WRITE, FILE_SHARE_READ, &inherit,
                             CREATE_ALWAYS, 0, nullptr);
    HANDLE err = CreateFileW(errPath.c_str(), GENERIC_WRITE, FILE_SHARE_READ, &inherit,
                             CREATE_ALWAYS, 0, nullptr);
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    startup.hStdOutput = out;
    startup.hStdError = err;
    PROCESS_INFORMATION process{};
    if (CreateProcessW(program.c_str(), command.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr,
                       &startup, &process)) {
        WaitForSingleObject(process.hProcess, INFINITE);
        DWORD code = 0;
        GetExitCodeProcess(process.hProcess, &code);
        run.status = static_cast<int>(code);
        CloseHandle(process.hThread);
        CloseHandle(process.hProcess);
    }
    CloseHandle(out);
    CloseHandle(err);
#else
    std::vector<std::string> strings = {program.native()};
    strings.insert(strings.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (auto& s : strings)
        argv.push_back(s.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                     0644);
    posix_spawn_file_actions_addopen(&actions, 2, errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                     0644);
    pid_t pid = 0;
    if (posix_spawn(&pid, program.c_str(), &actions, nullptr, argv.data(), environ) == 0) {
        int status = 0;
        waitpid(pid, &status, 0);
        run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
    posix_spawn_file_actions_destroy(&actions);
#endif
    run.out = FileContent(outPath);
    run.err = FileContent(errPath);
    return run;
}

namespace {

#ifdef _WIN32
constexpr const char* kNewline = "\r\n";
#else
constexpr const char* kNewline = "\n";
#endif

TEST(CliProcess, SignCheckAndStripWithNonAsciiNamesAndText) {
    TempDir dir;
    const fs::path source = PathFromText(u"\u00E9t\u00E9 \u65E5\u672C.txt");
    const Bytes content = PatternBytes(70000, 3);
    WriteBytes(dir / source, content);
    fs::create_directory(dir / "out");
    fs::create_directory(dir / "back");
    const std::string text = "Gr\xC3\xBC\xC3\x9F"
                             "e\n\xE2\x9C\x8D \xF0\x9F\x96\x8B";

    CliRun run = RunProcess(
        {Arg("sign"), Arg("--text"), Arg(text), Arg("--out"), Arg(dir / "out"), Arg(dir / source)});
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.out, "");
    EXPECT_EQ(run.err, std::string("File encrypted succesfully!") + kNewline);
    const fs::path signedCopy =
        dir / "out" / PathFromText(u"\u00E9t\u00E9 \u65E5\u672C_signed.txt");
    ASSERT_TRUE(fs::exists(signedCopy));

    run = RunProcess({Arg("check"), Arg(signedCopy)});
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.out, "Gr\xC3\xBC\xC3\x9F"
                       "e" +
                           std::string(kNewline) + "\xE2\x9C\x8D \xF0\x9F\x96\x8B" + kNewline);

    run = RunProcess({Arg("check"), Arg("--json"), Arg(signedCopy), Arg(dir / source)});
    EXPECT_EQ(run.status, 1);
    const auto first = ParseJsonObject(run.out.substr(0, run.out.find('\n')));
    ASSERT_TRUE(first) << run.out;
    EXPECT_EQ(std::get<std::string>(first->at("text")), "Gr\xC3\xBC\xC3\x9F"
                                                        "e\r\n\xE2\x9C\x8D \xF0\x9F\x96\x8B");
    EXPECT_EQ(std::get<std::string>(first->at("path")), Utf16ToUtf8(PathText(signedCopy)));

    run = RunProcess({Arg("strip"), Arg("--out"), Arg(dir / "back"), Arg(signedCopy)});
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(ReadBytes(dir / "back" / source), content);
}

TEST(CliProcess, ExitStatusesReachTheSystem) {
    TempDir dir;
    EXPECT_EQ(RunProcess({}).status, 2);
    EXPECT_EQ(RunProcess({Arg("--version")}).status, 0);
    WriteBytes(dir / "plain.txt", PatternBytes(100, 1));
    EXPECT_EQ(RunProcess({Arg("check"), Arg(dir / "plain.txt")}).status, 1);
}

} // namespace
