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
BOOL WINAPI OnConsoleEvent(DWORD event) {
    RemovePendingOutputsNow();
    // Not ExitProcess: the main thread may hold the C runtime's locks. Ending the process
    // closes the handles, and the system deletes the pending copies with them.
    TerminateProcess(GetCurrentProcess(),
                     event == CTRL_C_EVENT ? kExitInterrupted : kExitTerminated);
    return TRUE;
}

void HandleEndRequests() {
    SetConsoleCtrlHandler(OnConsoleEvent, TRUE);
}
#else
extern "C" void OnEndRequest(int signal) {
    RemovePendingOutputsNow();
    _exit(128 + signal);
}

void HandleEndRequests() {
    struct sigaction action {};
    action.sa_handler = OnEndRequest;
    sigemptyset(&action.sa_mask);
    for (const int signal : {SIGINT, SIGTERM, SIGHUP})
        sigaddset(&action.sa_mask, signal);
    for (const int signal : {SIGINT, SIGTERM, SIGHUP})
        sigaction(signal, &action, nullptr);
}
#endif

int Run(const std::vector<CliArg>& args) {
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
    CliStreams streams{out, err, terminal};
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
