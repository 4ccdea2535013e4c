// Binds RunCli to the process: arguments as the system gives them, UTF-8 to pipes and files,
// UTF-16 to a Windows console, and Ctrl-C or a request to end, which remove what was being
// written.
#include "Cli.h"
#include "FileOps.h"
#include "TextConvert.h"

#include <cerrno>
#include <cstdio>

#ifdef _WIN32
#define WIN32_LEAN_AND_MEAN
#include <fcntl.h>
#include <io.h>
#include <windows.h>
#else
#include <csignal>
#include <fcntl.h>
#include <pthread.h>
#include <thread>
#include <unistd.h>
#endif

namespace {

class CStdOutput : public ICliOutput {
public:
    explicit CStdOutput(std::FILE* stream) : m_stream(stream) {
#ifdef _WIN32
        // Line breaks are written as the tool means them, not translated again.
        _setmode(_fileno(stream), _O_BINARY);
        m_console = GetStdHandle(stream == stdout ? STD_OUTPUT_HANDLE : STD_ERROR_HANDLE);
        DWORD mode = 0;
        if (m_console == INVALID_HANDLE_VALUE || !GetConsoleMode(m_console, &mode))
            m_console = nullptr;
#endif
    }

    void Write(std::string_view utf8) override {
        if (m_error)
            return;
#ifdef _WIN32
        if (m_console != nullptr) {
            std::fflush(m_stream);
            const std::wstring wide = ToWide(Utf8ToUtf16Lossy(utf8));
            DWORD written = 0;
            if (!WriteConsoleW(m_console, wide.data(), static_cast<DWORD>(wide.size()), &written,
                               nullptr))
                m_error = std::error_code(static_cast<int>(GetLastError()), std::system_category());
            return;
        }
#endif
        errno = 0;
        if (std::fwrite(utf8.data(), 1, utf8.size(), m_stream) != utf8.size() ||
            std::fflush(m_stream) != 0)
            m_error = errno != 0 ? LastError() : std::make_error_code(std::errc::io_error);
    }
    std::error_code Error() const override {
        return m_error;
    }

private:
    std::FILE* m_stream;
    std::error_code m_error;
#ifdef _WIN32
    HANDLE m_console = nullptr;
#endif
};

#ifdef _WIN32
// Runs on a thread of its own, which the system starts for the event: it may take the lock
// that makes temporaries, so that none is made after it.
BOOL WINAPI OnConsoleEvent(DWORD event) {
    StopAndRemovePendingOutputs();
    // Not ExitProcess: the main thread may hold the C runtime's locks. Ending the process
    // closes the handles, and the system deletes the pending copies with them.
    TerminateProcess(GetCurrentProcess(),
                     event == CTRL_C_EVENT ? kExitInterrupted : kExitTerminated);
    return TRUE;
}

void HandleEndRequests() {
    SetConsoleCtrlHandler(OnConsoleEvent, TRUE);
}

// A program started without standard input has no handle for it.
bool OpenStandardStreams(bool& inputClosed) {
    const HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
    inputClosed = input == nullptr || input == INVALID_HANDLE_VALUE;
    return true;
}
#else
// Only when no thread could be started for the requests: removes what it can see at once.
extern "C" void OnEndRequest(int signal) {
    RemovePendingOutputsNow();
    _exit(128 + signal);
}

// SIGINT, SIGTERM and SIGHUP are blocked in every thread (the workers inherit the mask) and
// taken by one thread that waits for them. It stops the making of temporaries under the lock
// that makes them, removes every one made, and ends the process: no temporary is made after
// an interruption, and none made before it is left.
void HandleEndRequests() {
    sigset_t requests;
    sigemptyset(&requests);
    for (const int signal : {SIGINT, SIGTERM, SIGHUP})
        sigaddset(&requests, signal);
    // A broken pipe and a file over the size limit are errors of that write, not a kill.
    std::signal(SIGPIPE, SIG_IGN);
    std::signal(SIGXFSZ, SIG_IGN);
    pthread_sigmask(SIG_BLOCK, &requests, nullptr);
    try {
        std::thread([requests] {
            int signal = 0;
            while (sigwait(&requests, &signal) != 0) {
            }
            StopAndRemovePendingOutputs();
            _exit(128 + signal);
        }).detach();
        return;
    } catch (const std::system_error&) {
    }
    pthread_sigmask(SIG_UNBLOCK, &requests, nullptr);
    struct sigaction action {};
    action.sa_handler = OnEndRequest;
    action.sa_mask = requests;
    for (const int signal : {SIGINT, SIGTERM, SIGHUP})
        sigaction(signal, &action, nullptr);
}

// Grows the main thread's stack now, while the address space has room: under a limit
// (ulimit -v) the workers' stacks and allocations may take the rest, and a stack that cannot
// grow later ends the process.
void ReserveStack() {
    volatile char stack[std::size_t{512} << 10];
    for (std::size_t i = 0; i < sizeof stack; i += 4096)
        stack[i] = 0;
}

// Descriptors 0, 1 and 2 are open before any file is: one that was closed gets /dev/null, as
// careful Unix tools do, so that no copy can take its number and receive our messages.
// `inputClosed` tells that standard input was not given. False when /dev/null cannot be opened.
bool OpenStandardStreams(bool& inputClosed) {
    ReserveStack();
    for (int fd = 0; fd <= 2; ++fd) {
        if (::fcntl(fd, F_GETFD) != -1 || errno != EBADF)
            continue;
        if (fd == 0)
            inputClosed = true;
        // The lowest free number: this one, since the lower ones are open by now.
        if (::open("/dev/null", fd == 0 ? O_RDONLY : O_WRONLY) != fd)
            return false;
    }
    return true;
}
#endif

int Run(const std::vector<CliArg>& args) {
    bool inputClosed = false;
    if (!OpenStandardStreams(inputClosed))
        return kExitUsage;
    HandleEndRequests();
#ifdef _WIN32
    _setmode(_fileno(stdin), _O_BINARY);
#endif
    CStdOutput out(stdout);
    CStdOutput err(stderr);
#ifdef _WIN32
    const bool terminal = _isatty(_fileno(stderr)) != 0;
#else
    const bool terminal = ::isatty(2) != 0;
#endif
    CliStreams streams{out, err, terminal, inputClosed ? nullptr : stdin};
    streams.data = stdout;
#ifdef _WIN32
    streams.dataIsTerminal = _isatty(_fileno(stdout)) != 0;
#else
    streams.dataIsTerminal = ::isatty(1) != 0;
#endif
    return RunCli(args, streams);
}

} // namespace

#ifdef _WIN32
int wmain(int argc, wchar_t** argv) {
#else
int main(int argc, char** argv) {
#endif
    std::vector<CliArg> args;
    for (int i = 1; i < argc; ++i)
        args.emplace_back(argv[i]);
    return Run(args);
}
