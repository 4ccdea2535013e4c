#include "CliPlatform.h"

#include "PendingOutput.h"
#include "TextConvert.h"

#include <algorithm>
#include <atomic>

#define WIN32_LEAN_AND_MEAN
#include <fcntl.h>
#include <io.h>
#include <windows.h>

const std::string_view kCliNewline = "\r\n";

namespace {

// The longest path Windows takes (with the \\?\ prefix), in UTF-16 code units.
constexpr std::size_t kLongestPathUnits = 32767;

} // namespace

const std::string_view kLongestPathText = "32767 UTF-16 code units";
// A UTF-16 code unit takes at most three bytes of UTF-8, and a byte that is not UTF-8 one unit.
const std::size_t kMaxListedBytes = 3 * kLongestPathUnits;

std::optional<CliArg> ListedPath(std::string_view bytes) {
    const std::u16string units = Utf8ToUtf16Lossy(bytes);
    if (units.size() > kLongestPathUnits)
        return std::nullopt;
    return ToWide(units);
}

std::ptrdiff_t ReadSome(std::FILE* file, void* buffer, std::size_t bytes) {
    const auto handle = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(file)));
    DWORD got = 0;
    const DWORD want = static_cast<DWORD>(std::min<std::size_t>(bytes, 1u << 30));
    if (::ReadFile(handle, buffer, want, &got, nullptr))
        return static_cast<std::ptrdiff_t>(got);
    // A pipe whose writer is gone has ended.
    return ::GetLastError() == ERROR_BROKEN_PIPE ? 0 : -1;
}

std::optional<std::u16string> ArgumentText(const CliArg& arg) {
    return FromWide(arg);
}

namespace {

// Runs on a thread of its own, which the system starts for the event: it may take the lock
// that makes temporaries, so that none is made after it.
std::atomic<bool> g_ending{false};

BOOL WINAPI OnConsoleEvent(DWORD event) {
    g_ending.store(true);
    StopAndRemovePendingOutputs();
    // Not ExitProcess: the main thread may hold the C runtime's locks. Ending the process
    // closes the handles, and the system deletes the pending copies with them.
    TerminateProcess(GetCurrentProcess(),
                     event == CTRL_C_EVENT ? kExitInterrupted : kExitTerminated);
    return TRUE;
}

bool Missing(DWORD which) {
    const HANDLE handle = GetStdHandle(which);
    return handle == nullptr || handle == INVALID_HANDLE_VALUE;
}

} // namespace

void HandleEndRequests() {
    SetConsoleCtrlHandler(OnConsoleEvent, TRUE);
}

bool EndRequested() {
    return g_ending.load();
}

// The event's thread ends the process with the event's status.
int EndStatus(int status) {
    while (g_ending.load())
        Sleep(INFINITE);
    return status;
}

// A program started without standard input or output has no handle for it; the C runtime
// then fails reads and drops writes, and no file can take its place.
bool OpenStandardStreams(StandardStreamsAtStart& start) {
    start.inputClosed = Missing(STD_INPUT_HANDLE);
    start.outputClosed = Missing(STD_OUTPUT_HANDLE);
    return true;
}

void UseBinaryStandardStreams() {
    _setmode(_fileno(stdin), _O_BINARY);
}

bool IsTerminal(std::FILE* stream) {
    return _isatty(_fileno(stream)) != 0;
}

CStdOutput::CStdOutput(std::FILE* stream) : m_stream(stream) {
    // Line breaks are written as the tool means them, not translated again.
    _setmode(_fileno(stream), _O_BINARY);
    const HANDLE console = GetStdHandle(stream == stdout ? STD_OUTPUT_HANDLE : STD_ERROR_HANDLE);
    DWORD mode = 0;
    if (console != INVALID_HANDLE_VALUE && GetConsoleMode(console, &mode))
        m_console = console;
}

bool CStdOutput::WriteToConsole(std::string_view utf8) {
    if (m_console == nullptr)
        return false;
    std::fflush(m_stream);
    const std::wstring wide = ToWide(Utf8ToUtf16Lossy(utf8));
    DWORD written = 0;
    if (!WriteConsoleW(static_cast<HANDLE>(m_console), wide.data(), static_cast<DWORD>(wide.size()),
                       &written, nullptr))
        m_error = std::error_code(static_cast<int>(GetLastError()), std::system_category());
    return true;
}
