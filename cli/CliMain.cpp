// Binds RunCli to the process: arguments as the system gives them, UTF-8 to pipes and files,
// UTF-16 to a Windows console.
#include "Cli.h"
#include "TextConvert.h"

#include <cstdio>

#ifdef _WIN32
#define WIN32_LEAN_AND_MEAN
#include <fcntl.h>
#include <io.h>
#include <windows.h>
#else
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
#ifdef _WIN32
        if (m_console != nullptr) {
            std::fflush(m_stream);
            const std::wstring wide = ToWide(Utf8ToUtf16Lossy(utf8));
            DWORD written = 0;
            WriteConsoleW(m_console, wide.data(), static_cast<DWORD>(wide.size()), &written,
                          nullptr);
            return;
        }
#endif
        std::fwrite(utf8.data(), 1, utf8.size(), m_stream);
        std::fflush(m_stream);
    }

private:
    std::FILE* m_stream;
#ifdef _WIN32
    HANDLE m_console = nullptr;
#endif
};

int Run(const std::vector<CliArg>& args) {
    CStdOutput out(stdout);
    CStdOutput err(stderr);
#ifdef _WIN32
    const bool terminal = _isatty(_fileno(stderr)) != 0;
#else
    const bool terminal = ::isatty(2) != 0;
#endif
    CliStreams streams{out, err, terminal};
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
