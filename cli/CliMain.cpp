// Binds RunCli to the process: arguments as the system gives them, UTF-8 to pipes and files,
// UTF-16 to a Windows console, and Ctrl-C or a request to end, which remove what was being
// written.
#include "Cli.h"
#include "CliPlatform.h"
#ifdef _WIN32
#include "DllSearch.h"
#endif

#include <cstdio>

namespace {

int Run(const std::vector<CliArg>& args) {
    StandardStreamsAtStart start;
    if (!OpenStandardStreams(start))
        return kExitUsage;
    HandleEndRequests();
    UseBinaryStandardStreams();
    CStdOutput out(stdout);
    CStdOutput err(stderr);
    CliStreams streams{out, err, IsTerminal(stderr), start.inputClosed ? nullptr : stdin};
    streams.data = stdout;
    streams.dataIsTerminal = IsTerminal(stdout);
    streams.outClosed = start.outputClosed;
    return EndStatus(RunCli(args, streams));
}

} // namespace

#ifdef _WIN32
int wmain(int argc, wchar_t** argv) {
    RestrictDllSearchToSystem();
#else
int main(int argc, char** argv) {
#endif
    std::vector<CliArg> args;
    for (int i = 1; i < argc; ++i)
        args.emplace_back(argv[i]);
    return Run(args);
}
