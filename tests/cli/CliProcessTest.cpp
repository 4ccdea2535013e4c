// The real program: arguments through main (wmain on Windows), output through the process's
// streams, exit status through the system.
#include "CliHarness.h"

#include "FileIo.h"
#include "PendingOutput.h"
#include "SigClock.h"
#include "Signature.h"
#include "SystemText.h"
#include "Sanitizers.h"
#include "TempDir.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <thread>

#ifdef _WIN32
#define WIN32_LEAN_AND_MEAN
#include <windows.h>
#else
#include <csignal>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
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

CProcess::CProcess(const std::vector<CliArg>& args, const ProcessOptions& options) {
    m_out = options.output.empty() ? m_streams / "out" : options.output;
    const fs::path errPath = m_streams / "err";
    const fs::path program = ProgramBesideTest();
#ifdef _WIN32
    std::wstring command = L"\"" + program.native() + L"\"";
    for (const CliArg& arg : args) {
        // Quoting as the C runtime parses it; the tests' arguments hold no quotes.
        command += L" \"" + arg + (arg.empty() || arg.back() != L'\\' ? L"\"" : L"\\\"");
    }
    SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
    HANDLE out = CreateFileW(m_out.c_str(), GENERIC_WRITE, FILE_SHARE_READ, &inherit, CREATE_ALWAYS,
                             0, nullptr);
    HANDLE err = CreateFileW(errPath.c_str(), GENERIC_WRITE, FILE_SHARE_READ, &inherit,
                             CREATE_ALWAYS, 0, nullptr);
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    startup.hStdOutput = out;
    startup.hStdError = err;
    PROCESS_INFORMATION process{};
    // The child inherits the variables of the moment it starts.
    std::vector<std::wstring> names;
    for (const std::string& variable : options.environment) {
        const std::size_t equals = variable.find('=');
        names.push_back(Arg(variable.substr(0, equals)));
        SetEnvironmentVariableW(names.back().c_str(), Arg(variable.substr(equals + 1)).c_str());
    }
    if (!options.stopInCopyOf.empty()) {
        m_stopped = m_streams / "stopped";
        names.insert(names.end(), {L"QUORVANE_TEST_STOP_IN_COPY", L"QUORVANE_TEST_STOPPED"});
        SetEnvironmentVariableW(names[names.size() - 2].c_str(), Arg(options.stopInCopyOf).c_str());
        SetEnvironmentVariableW(names.back().c_str(), m_stopped.c_str());
    }
    if (CreateProcessW(program.c_str(), command.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr,
                       &startup, &process)) {
        CloseHandle(process.hThread);
        m_process = process.hProcess;
    }
    for (const std::wstring& name : names)
        SetEnvironmentVariableW(name.c_str(), nullptr);
    CloseHandle(out);
    CloseHandle(err);
#else
    std::vector<std::string> strings = {program.native()};
    strings.insert(strings.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (auto& text : strings)
        argv.push_back(text.data());
    argv.push_back(nullptr);
    std::vector<std::string> environment;
    for (char** variable = environ; *variable != nullptr; ++variable)
        environment.emplace_back(*variable);
    environment.insert(environment.end(), options.environment.begin(), options.environment.end());
    if (!options.stopInCopyOf.empty())
        environment.push_back("QUORVANE_TEST_STOP_IN_COPY=" + options.stopInCopyOf);
    std::vector<char*> envp;
    for (auto& text : environment)
        envp.push_back(text.data());
    envp.push_back(nullptr);
    m_pid = ::fork();
    if (m_pid == 0) {
        const auto redirect = [](const fs::path& path, int fd, int flags) {
            const int opened = ::open(path.c_str(), flags, 0644);
            if (opened < 0 || ::dup2(opened, fd) < 0)
                ::_exit(127);
            ::close(opened);
        };
        if (!options.input.empty())
            redirect(options.input, 0, O_RDONLY);
        redirect(m_out, 1, O_WRONLY | O_CREAT | O_TRUNC);
        redirect(errPath, 2, O_WRONLY | O_CREAT | O_TRUNC);
        if (options.errToBrokenPipe) {
            int ends[2];
            if (::pipe(ends) != 0 || ::dup2(ends[1], 2) < 0)
                ::_exit(127);
            ::close(ends[0]);
            ::close(ends[1]);
        }
        if (options.closedStreams)
            for (const int fd : {0, 1, 2})
                ::close(fd);
        if (options.closedOutput)
            ::close(1);
        const auto limit = [](int resource, std::uint64_t value) {
            const rlimit limit{value, value};
            if (value != 0 && ::setrlimit(resource, &limit) != 0)
                ::_exit(127);
        };
        limit(RLIMIT_AS, options.addressSpace);
        limit(RLIMIT_NOFILE, options.openFiles);
        limit(RLIMIT_FSIZE, options.fileSize);
        if (options.user != 0 && (::setgid(options.user) != 0 || ::setuid(options.user) != 0))
            ::_exit(127);
        ::execve(program.c_str(), argv.data(), envp.data());
        ::_exit(127);
    }
#endif
}

CProcess::~CProcess() {
    if (Started())
        Wait(0);
}

bool CProcess::Started() const {
#ifdef _WIN32
    return m_process != nullptr;
#else
    return m_pid > 0;
#endif
}

std::optional<CliRun> CProcess::Wait(double seconds) {
    if (!Started())
        return std::nullopt;
    CliRun run;
    bool ended = true;
#ifdef _WIN32
    if (WaitForSingleObject(m_process, static_cast<DWORD>(seconds * 1000)) != WAIT_OBJECT_0) {
        ended = false;
        TerminateProcess(m_process, 1);
        WaitForSingleObject(m_process, INFINITE);
    }
    DWORD code = 0;
    GetExitCodeProcess(m_process, &code);
    run.status = static_cast<int>(code);
    CloseHandle(m_process);
    m_process = nullptr;
#else
    int status = m_ended.value_or(0);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    while (!m_ended && ::waitpid(m_pid, &status, WNOHANG) == 0) {
        if (std::chrono::steady_clock::now() >= deadline) {
            ended = false;
            ::kill(m_pid, SIGKILL);
            ::waitpid(m_pid, &status, 0);
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    m_pid = -1;
    run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -WTERMSIG(status);
#endif
    if (!ended)
        return std::nullopt;
    if (m_out == m_streams / "out")
        run.out = FileContent(m_out);
    run.err = FileContent(m_streams / "err");
    return run;
}

int CProcess::Id() const {
#ifdef _WIN32
    return 0;
#else
    return m_pid;
#endif
}

bool CProcess::WaitUntilStopped(double seconds) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    for (;;) {
#ifdef _WIN32
        std::error_code error;
        if (!m_stopped.empty() && fs::exists(m_stopped, error))
            return true;
        if (WaitForSingleObject(m_process, 0) == WAIT_OBJECT_0)
            return false;
#else
        int status = 0;
        const pid_t changed = ::waitpid(m_pid, &status, WNOHANG | WUNTRACED);
        if (changed == m_pid && WIFSTOPPED(status))
            return true;
        if (changed == m_pid) {
            m_ended = status;
            return false;
        }
#endif
        if (std::chrono::steady_clock::now() >= deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
}

void CProcess::Continue() {
#ifndef _WIN32
    ::kill(m_pid, SIGCONT);
#endif
}

void CProcess::End(int signal) {
#ifdef _WIN32
    (void)signal;
    TerminateProcess(m_process, 1);
#else
    ::kill(m_pid, signal);
#endif
}

bool CProcess::Writes(const fs::path& folder) const {
#ifdef _WIN32
    // The copy in the making is there under its temporary name, to be deleted with its handle,
    // and holds bytes once the copy is under way (as on other systems: not the instant between
    // the temporary's creation and its marking for deletion).
    std::error_code error;
    for (fs::directory_iterator entry(folder, error), end; !error && entry != end;
         entry.increment(error)) {
        std::error_code sizeError;
        if (IsPendingOutputName(entry->path()) && entry->file_size(sizeError) > 0 && !sizeError)
            return true;
    }
    return false;
#else
    const std::string prefix = fs::canonical(folder).native() + "/";
    std::error_code error;
    for (fs::directory_iterator entry("/proc/" + std::to_string(m_pid) + "/fd", error), end;
         !error && entry != end; entry.increment(error)) {
        std::error_code ignored;
        const fs::path target = fs::read_symlink(entry->path(), ignored);
        struct stat info {};
        if (target.native().rfind(prefix, 0) == 0 && ::stat(entry->path().c_str(), &info) == 0 &&
            info.st_size > 0)
            return true;
    }
    return false;
#endif
}

CliRun RunProcess(const std::vector<CliArg>& args) {
    CProcess process(args);
    return process.Wait(600).value_or(CliRun{});
}

namespace {

// The names in `folder` once they are `expected`, or as they are after `seconds`: under Wine a
// process is reported ended a moment before the system has deleted the files it held.
std::vector<fs::path> NamesOnceSettled(const fs::path& folder,
                                       const std::vector<fs::path>& expected, int seconds) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    std::vector<fs::path> names = Names(folder);
    while (names != expected && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        names = Names(folder);
    }
    return names;
}

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

#ifdef _WIN32
// As Outlook, a database or a virtual machine holds its files: the file fails with Windows'
// words, and the run goes on.
TEST(CliProcess, ASourceHeldByAnotherProgramFailsWithWindowsWords) {
    TempDir dir;
    WriteBytes(dir / "held.pst", PatternBytes(100, 1));
    WriteBytes(dir / "free.txt", PatternBytes(100, 2));
    fs::create_directory(dir / "out");
    const HANDLE holder = CreateFileW((dir / "held.pst").c_str(), GENERIC_READ | GENERIC_WRITE, 0,
                                      nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(holder, INVALID_HANDLE_VALUE);
    const CliRun run = RunProcess({Arg("sign"), Arg("--text"), Arg("x"), Arg("--out"),
                                   Arg(dir / "out"), Arg(dir / "held.pst"), Arg(dir / "free.txt")});
    CloseHandle(holder);
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.err, "Could not open file " + (dir / "held.pst").string() + " for signing! (" +
                           SystemText(ERROR_SHARING_VIOLATION, 0) + ")" + kNewline +
                           "File encrypted succesfully!" + kNewline);
    EXPECT_TRUE(fs::exists(dir / "out" / "free_signed.txt"));
    EXPECT_FALSE(fs::exists(dir / "out" / "held_signed.pst"));
}
#endif

// A real run ended in the middle of a copy leaves nothing in the output folder, and an output
// it was replacing stays as it was. The run stops itself there: past its first 64 MiB on Linux,
// where the kernel copies in steps of that size.
TEST(CliProcess, EndedMidCopyLeavesNothingBehind) {
    TempDir dir;
    const fs::path big = dir / "big.bin", out = dir / "out";
    WriteBytes(big, PatternBytes(1 << 20, 5));
    fs::resize_file(big, std::uintmax_t{160} << 20);
    fs::create_directory(out);
    const Bytes existing = PatternBytes(1000, 7);
    WriteBytes(out / "big_signed.bin", existing);
    struct Case {
        int signal;
        int status; // minus the signal when it ends the process unhandled
        bool named;
    };
#ifdef _WIN32
    const Case cases[] = {{0, 1, false}};
#else
    const Case cases[] = {{SIGKILL, -SIGKILL, false}, {SIGTERM, 143, false},
                          {SIGINT, 130, false},       {SIGTERM, 143, true},
                          {SIGINT, 130, true},        {SIGKILL, -SIGKILL, true},
                          {SIGHUP, 129, true}};
#endif
    for (const Case& c : cases) {
        ProcessOptions options;
        if (c.named)
            options.environment.push_back("QUORVANE_NAMED_TEMPORARIES=1");
        options.stopInCopyOf = "big.bin";
        CProcess run({Arg("sign"), Arg("--text"), Arg("x"), Arg("--out"), Arg(out), Arg("--force"),
                      Arg(big)},
                     options);
        ASSERT_TRUE(run.WaitUntilStopped(60)) << c.signal;
        run.End(c.signal);
        run.Continue();
        const auto ended = run.Wait(60);
        ASSERT_TRUE(ended);
        EXPECT_EQ(ended->status, c.status) << c.signal << " " << ended->err;
        EXPECT_EQ(ended->err, "") << c.signal;
        if (c.named && c.status < 0) {
            // Only a named temporary can outlive a kill; a folder walk reports it and does not
            // take it for a source.
            const std::vector<fs::path> names = Names(out);
            ASSERT_EQ(names.size(), 2u);
            fs::create_directory(dir / "again");
            const CliRun walk = RunProcess({Arg("sign"), Arg("--text"), Arg("x"), Arg("--out"),
                                            Arg(dir / "again"), Arg("-r"), Arg(out)});
            EXPECT_EQ(walk.status, 1);
            EXPECT_EQ(walk.err, "quorvane-cli: " + PathUtf8(out / names.front()) +
                                    ": named like an unfinished copy of Quorvane's, skipped" +
                                    kNewline + "File encrypted succesfully!" + kNewline);
            for (const fs::path& name : Names(out))
                if (name != "big_signed.bin")
                    fs::remove(out / name);
        } else {
            EXPECT_EQ(NamesOnceSettled(out, {"big_signed.bin"}, 60),
                      std::vector<fs::path>{"big_signed.bin"})
                << c.signal << c.named;
        }
        EXPECT_EQ(ReadBytes(out / "big_signed.bin"), existing);
    }
}

#ifndef _WIN32
// Anything but a regular file is refused at once; a FIFO would otherwise wait for a writer.
TEST(CliProcess, FifosAndDevicesAreRefusedAtOnce) {
    TempDir dir;
    const fs::path fifo = dir / "fifo";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    fs::create_directory(dir / "out");
    const std::vector<std::vector<CliArg>> commands = {
        {Arg("sign"), Arg("--text"), Arg("x"), Arg("--out"), Arg(dir / "out"), Arg(fifo)},
        {Arg("check"), Arg(fifo)},
        {Arg("check"), Arg("/dev/zero")},
        {Arg("strip"), Arg("--out"), Arg(dir / "out"), Arg(fifo)},
    };
    for (const auto& args : commands) {
        CProcess run(args);
        const auto ended = run.Wait(20);
        ASSERT_TRUE(ended) << Shown(args[0]) << " waited";
        EXPECT_EQ(ended->status, 1) << ended->err;
        EXPECT_NE(ended->err.find("not a regular file"), std::string::npos) << ended->err;
    }
    EXPECT_TRUE(fs::is_empty(dir / "out"));
}

// An endless text file is read only as far as the longest text needs, in little memory.
TEST(CliProcess, EndlessTextFileIsRefusedInBoundedMemory) {
    TempDir dir;
    WriteBytes(dir / "a.txt", {'a'});
    fs::create_directory(dir / "out");
    ProcessOptions options;
#ifndef QUORVANE_SANITIZED
    options.addressSpace = std::uint64_t{64} << 20;
#endif
    for (const bool fromInput : {false, true}) {
        options.input = fromInput ? "/dev/zero" : "";
        CProcess run({Arg("sign"), Arg("--text-file"), Arg(fromInput ? "-" : "/dev/zero"),
                      Arg("--out"), Arg(dir / "out"), Arg(dir / "a.txt")},
                     options);
        const auto ended = run.Wait(60);
        ASSERT_TRUE(ended);
        EXPECT_EQ(ended->status, 2) << ended->err;
        EXPECT_NE(ended->err.find("longer than 32767 UTF-16 code units"), std::string::npos)
            << ended->err;
    }
    EXPECT_TRUE(fs::is_empty(dir / "out"));
}

TEST(CliProcess, FullStandardOutputIsAFailure) {
    TempDir dir;
    WriteBytes(dir / "a.txt", PatternBytes(100, 1));
    ASSERT_EQ(RunProcess({Arg("sign"), Arg("--text"), Arg("x"), Arg("--out"), Arg(dir.Path()),
                          Arg(dir / "a.txt")})
                  .status,
              0);
    ProcessOptions options;
    options.output = "/dev/full";
    CProcess run({Arg("check"), Arg(dir / "a_signed.txt")}, options);
    const auto ended = run.Wait(60);
    ASSERT_TRUE(ended);
    EXPECT_EQ(ended->status, 2);
    EXPECT_EQ(ended->err,
              "quorvane-cli: cannot write to standard output: No space left on device\n");
}

// Folders that cannot be read are reported and fail the run (as an ordinary user: root reads
// everything).
TEST(CliProcess, UnreadableFoldersAreReported) {
    TempDir dir;
    fs::create_directories(dir / "tree" / "closed");
    WriteBytes(dir / "tree" / "a.txt", PatternBytes(10, 1));
    WriteBytes(dir / "tree" / "closed" / "b.txt", PatternBytes(10, 2));
    fs::create_directory(dir / "out");
    fs::permissions(dir / "out", fs::perms::all);
    fs::permissions(dir / "tree" / "closed", fs::perms::none);
    ProcessOptions options;
    options.user = ::geteuid() == 0 ? 65534 : 0;
    CProcess run({Arg("sign"), Arg("--text"), Arg("x"), Arg("--out"), Arg(dir / "out"), Arg("-r"),
                  Arg(dir / "tree")},
                 options);
    const auto ended = run.Wait(60);
    fs::permissions(dir / "tree" / "closed", fs::perms::owner_all);
    ASSERT_TRUE(ended);
    EXPECT_EQ(ended->status, 1);
    EXPECT_EQ(ended->err, "quorvane-cli: " + (dir / "tree" / "closed").native() +
                              ": cannot be read, skipped (Permission denied)\n"
                              "File encrypted succesfully!\n");
    EXPECT_TRUE(fs::exists(dir / "out" / "tree" / "a_signed.txt"));
}
#endif

} // namespace
