// Runs quorvane-cli in-process or as a real process, and reads its JSON lines back.
#pragma once

#include "Cli.h"
#include "TextConvert.h"

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

inline CliRun RunInProcess(const std::vector<CliArg>& args, bool errIsTerminal = false) {
    CStringOutput out, err;
    CliStreams streams{out, err, errIsTerminal};
    CliRun run;
    run.status = RunCli(args, streams);
    run.out = out.text;
    run.err = err.text;
    return run;
}

// Runs the quorvane-cli program beside the test executable.
CliRun RunProcess(const std::vector<CliArg>& args);

// One JSON object of string, true, false and null members; nothing when it does not parse.
using JsonValue = std::variant<std::nullptr_t, bool, std::string>;
std::optional<std::map<std::string, JsonValue>> ParseJsonObject(const std::string& line);
