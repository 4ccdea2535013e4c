// Runs quorvane-cli in-process or as a real process, and reads its JSON lines back.
#pragma once

#include "Cli.h"
#include "TempDir.h"
#include "TextConvert.h"

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <variant>
#include <vector>

struct CliRun {
    int status = -1;
    std::string out;
    std::string err;
};

class CStringOutput : public ICliOutput {
public:
    std::string text;
    void Write(std::string_view utf8) override { text += utf8; }
};

// An argument from UTF-8 text, as the system would pass it.
inline CliArg Arg(const std::string& utf8) {
#ifdef _WIN32
    return ToWide(Utf8ToUtf16Lossy(utf8));
#else
    return utf8;
#endif
}
inline CliArg Arg(const char* utf8) {
    return Arg(std::string(utf8));
}
inline CliArg Arg(const std::filesystem::path& path) {
    return path.native();
}
inline std::string Shown(const CliArg& arg) {
    return Utf16ToUtf8(PathText(std::filesystem::path(arg)));
}

// The line break that quorvane-cli writes.
#ifdef _WIN32
inline const std::string kNewline = "\r\n";
#else
inline const std::string kNewline = "\n";
#endif

// The names in `folder`, temporary files included, sorted.
inline std::vector<std::filesystem::path> Names(const std::filesystem::path& folder) {
    std::vector<std::filesystem::path> names;
    for (const auto& entry : std::filesystem::directory_iterator(folder))
        names.push_back(entry.path().filename());
    std::sort(names.begin(), names.end());
    return names;
}

inline CliRun RunInProcess(const std::vector<CliArg>& args, bool errIsTerminal = false) {
    CStringOutput out, err;
    CliStreams streams{out, err, errIsTerminal};
    // A clock that stands still: the progress line is drawn once and then only erased.
    streams.clock = [] { return std::uint64_t{0}; };
    CliRun run;
    run.status = RunCli(args, streams);
    run.out = out.text;
    run.err = err.text;
    return run;
}

// How a real run of quorvane-cli is set up; empty members leave the test's own.
struct ProcessOptions {
    std::filesystem::path input;          // standard input
    std::filesystem::path output;         // standard output instead of a file read back
    std::vector<std::string> environment; // NAME=value, added
    std::uint64_t addressSpace = 0;       // bytes (Linux)
    unsigned user = 0;                    // run as this user id (Linux, as root)
    // Linux: started without descriptors 0, 1 and 2, as `<&- >&- 2>&-` starts a program.
    bool closedStreams = false;
    // Linux: started without descriptor 1 only, as `>&-` starts a program.
    bool closedOutput = false;
    // Linux: standard error on a pipe whose reading end is closed.
    bool errToBrokenPipe = false;
    std::uint64_t openFiles = 0; // Linux: the limit of open descriptors (ulimit -n)
    std::uint64_t fileSize = 0;  // Linux: the limit of a file's size in bytes (ulimit -f)
    // The file name of a source in whose copy the process stops for the test (WaitUntilStopped).
    std::string stopInCopyOf;
};

// The quorvane-cli program beside the test executable, running.
class CProcess {
public:
    explicit CProcess(const std::vector<CliArg>& args, const ProcessOptions& options = {});
    ~CProcess();
    CProcess(const CProcess&) = delete;
    CProcess& operator=(const CProcess&) = delete;

    bool Started() const;
    // The finished run; `status` is the exit status, or minus the signal that ended it. Kills
    // a run that has not ended within `seconds` and gives nothing.
    std::optional<CliRun> Wait(double seconds);
    // Linux: sends `signal`; Windows: ends the process as the task manager does.
    void End(int signal);
    // True once the process stopped in the copy that ProcessOptions::stopInCopyOf names; false
    // when it ended first or `seconds` passed.
    bool WaitUntilStopped(double seconds);
    // Linux: lets a stopped process go on.
    void Continue();
    // True once the process holds a file open below `folder`.
    bool Writes(const std::filesystem::path& folder) const;
    // Linux: the process's id.
    int Id() const;

private:
    TempDir m_streams;
    std::filesystem::path m_out;
#ifdef _WIN32
    void* m_process = nullptr;
    std::filesystem::path m_stopped;
#else
    int m_pid = -1;
    // The wait status of a process that ended while WaitUntilStopped waited.
    std::optional<int> m_ended;
#endif
};

// Runs the quorvane-cli program beside the test executable to its end.
CliRun RunProcess(const std::vector<CliArg>& args);

// One JSON object of string, true, false and null members; nothing when it does not parse.
using JsonValue = std::variant<std::nullptr_t, bool, std::string>;
std::optional<std::map<std::string, JsonValue>> ParseJsonObject(const std::string& line);
