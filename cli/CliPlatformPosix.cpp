#include "CliPlatform.h"

#include "PendingOutput.h"
#include "TextConvert.h"

#include <atomic>
#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <pthread.h>
#include <sys/syscall.h>
#include <thread>
#include <unistd.h>

const std::string_view kCliNewline = "\n";

// PATH_MAX: no call that takes a path takes a longer one.
const std::string_view kLongestPathText = "4096 bytes";
const std::size_t kMaxListedBytes = 4096;

std::optional<CliArg> ListedPath(std::string_view bytes) {
    if (bytes.size() > kMaxListedBytes)
        return std::nullopt;
    return CliArg(bytes);
}

std::ptrdiff_t ReadSome(std::FILE* file, void* buffer, std::size_t bytes) {
    for (;;) {
        const ssize_t got = ::read(::fileno(file), buffer, bytes);
        if (got >= 0 || errno != EINTR)
            return got;
    }
}

std::optional<std::u16string> ArgumentText(const CliArg& arg) {
    return Utf8ToUtf16(arg);
}

namespace {

constexpr int kEndRequests[] = {SIGINT, SIGTERM, SIGHUP};

// Set once a request to end is taken: from then on nothing more is said, and the run's own
// end waits for the request's.
std::atomic<bool> g_ending{false};

#ifdef SYS_exit_group
// At once: under ThreadSanitizer _exit first sleeps a second (its atexit_sleep_ms) while the
// other threads run on, and a run that ended meanwhile gave the process its own status.
[[noreturn]] void EndNow(int status) {
    ::syscall(SYS_exit_group, status);
    _exit(status);
}
#else
[[noreturn]] void EndNow(int status) {
    _exit(status);
}
#endif

// Only when no thread could be started for the requests: removes what it can see at once.
extern "C" void OnEndRequest(int signal) {
    g_ending.store(true);
    RemovePendingOutputsNow();
    EndNow(128 + signal);
}

// Grows the main thread's stack now, while the address space has room: under a limit
// (ulimit -v) the workers' stacks and allocations may take the rest, and a stack that cannot
// grow later ends the process.
void ReserveStack() {
    volatile char stack[std::size_t{512} << 10];
    for (std::size_t i = 0; i < sizeof stack; i += 4096)
        stack[i] = 0;
}

} // namespace

// SIGINT, SIGTERM and SIGHUP are blocked in every thread (the workers inherit the mask) and
// taken by one thread that waits for them. It stops the making of temporaries under the lock
// that makes them, removes every one made, and ends the process: no temporary is made after
// an interruption, and none made before it is left.
void HandleEndRequests() {
    sigset_t requests;
    sigemptyset(&requests);
    for (const int signal : kEndRequests)
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
            g_ending.store(true);
            StopAndRemovePendingOutputs();
            EndNow(128 + signal);
        }).detach();
        return;
    } catch (const std::system_error&) {
    }
    pthread_sigmask(SIG_UNBLOCK, &requests, nullptr);
    struct sigaction action {};
    action.sa_handler = OnEndRequest;
    action.sa_mask = requests;
    for (const int signal : kEndRequests)
        sigaction(signal, &action, nullptr);
}

bool EndRequested() {
    return g_ending.load() || EndRequestWaiting();
}

// A request that came while the run ended is still taken: its thread ends the process.
int EndStatus(int status) {
    while (EndRequested())
        ::pause();
    return status;
}

// Descriptors 0, 1 and 2 are open before any file is: one that was closed gets /dev/null, as
// careful Unix tools do, so that no copy can take its number and receive our messages.
bool OpenStandardStreams(StandardStreamsAtStart& start) {
    ReserveStack();
    for (int fd = 0; fd <= 2; ++fd) {
        if (::fcntl(fd, F_GETFD) != -1 || errno != EBADF)
            continue;
        if (fd == 0)
            start.inputClosed = true;
        if (fd == 1)
            start.outputClosed = true;
        // The lowest free number: this one, since the lower ones are open by now.
        if (::open("/dev/null", fd == 0 ? O_RDONLY : O_WRONLY) != fd)
            return false;
    }
    return true;
}

void UseBinaryStandardStreams() {}

bool IsTerminal(std::FILE* stream) {
    return ::isatty(::fileno(stream)) != 0;
}

CStdOutput::CStdOutput(std::FILE* stream) : m_stream(stream) {}

bool CStdOutput::WriteToConsole(std::string_view) {
    return false;
}
