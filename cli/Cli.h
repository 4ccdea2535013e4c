// quorvane-cli: signing, checking and stripping from scripts, over the same engine as the
// desktop program. RunCli is the whole tool; main only binds it to the process.
#pragma once

#include <cstdint>
#include <cstdio>
#include <functional>
#include <filesystem>
#include <string>
#include <system_error>
#include <string_view>
#include <vector>

// An argument as the system hands it over: UTF-16 on Windows, bytes elsewhere.
using CliArg = std::filesystem::path::string_type;

// Where the tool writes: UTF-8 text; the sink turns it into what its device needs.
class ICliOutput {
public:
    virtual ~ICliOutput() = default;
    virtual void Write(std::string_view utf8) = 0;
    // The first error of a write, if any: output that did not arrive is a failure.
    virtual std::error_code Error() const { return {}; }
};

struct CliStreams {
    ICliOutput& out;
    ICliOutput& err;
    // Progress is shown only to a person watching.
    bool errIsTerminal = false;
    // Where `--text-file -` and the path `-` read from.
    std::FILE* in = stdin;
    // Where `--out -` writes the bytes of a signed or stripped stream; null when there is no
    // such place (the tool then says so).
    std::FILE* data = nullptr;
    // A terminal takes no such bytes.
    bool dataIsTerminal = false;
    // Standard output was closed when the tool started: what would go there (the texts of
    // check, the bytes of --out -, help and version) is refused before anything is read.
    bool outClosed = false;
    // A steady clock in milliseconds for the progress line; empty: the system's (tests give
    // their own).
    std::function<std::uint64_t()> clock{};
};

// Exit statuses.
inline constexpr int kExitAllDone = 0;
inline constexpr int kExitSomeFailed = 1;
inline constexpr int kExitUsage = 2;
// Ended by SIGINT or SIGTERM, as shells report it.
inline constexpr int kExitInterrupted = 130;
inline constexpr int kExitTerminated = 143;

// Runs the tool on `args` (without the program's name); returns the exit status.
int RunCli(const std::vector<CliArg>& args, CliStreams& streams);
