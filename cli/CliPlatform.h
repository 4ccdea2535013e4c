// What quorvane-cli does its own way on each platform: the line break it writes, paths and
// texts from a list and the command line, the standard streams and requests to end.
// CliPlatformPosix.cpp and CliPlatformWindows.cpp implement it.
#pragma once

#include "Cli.h"

#include <cstddef>
#include <cstdio>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>

// The platform's line break, as the tool writes it.
extern const std::string_view kCliNewline;

// The longest path the system takes, for a message ("4096 bytes").
extern const std::string_view kLongestPathText;
// Bytes of an entry of a list beyond which it cannot name a path: reading stops there.
extern const std::size_t kMaxListedBytes;
// A path of a list: bytes on Linux, UTF-8 on Windows. Nothing when it is longer than the
// longest path the system takes.
std::optional<CliArg> ListedPath(std::string_view bytes);

// Reads what `file` has now, up to `bytes`, waiting only while it has nothing (a pipe whose
// writer is slow gives its lines as they come): the count, 0 at its end, -1 on an error (the
// system's reason in LastError). Never mixed with the C library's buffered reads of `file`.
std::ptrdiff_t ReadSome(std::FILE* file, void* buffer, std::size_t bytes);

// The signature text of --text: UTF-16 on Windows; elsewhere it must be UTF-8.
std::optional<std::u16string> ArgumentText(const CliArg& arg);

// What the process was started with.
struct StandardStreamsAtStart {
    bool inputClosed = false;
    bool outputClosed = false;
};
// Makes standard input, output and error usable before any file is opened: one that was closed
// gets the null device in its place (Linux), so that no copy can take its number and receive
// our messages. Tells which were closed; false when the null device cannot be opened.
bool OpenStandardStreams(StandardStreamsAtStart& start);

// From now on SIGINT, SIGTERM and SIGHUP (Ctrl-C, Ctrl-Break, closing the console, logging off)
// stop the making of temporaries, remove every one made and end the process; a broken pipe is
// an error of that write.
void HandleEndRequests();
// True once a request to end was taken: nothing more is written.
bool EndRequested();
// The status the run ends with: `status`, unless a request to end came meanwhile; then the
// process ends as that request says, and this does not return.
int EndStatus(int status);

// Standard input and output carry bytes as they are, without translation of line breaks.
void UseBinaryStandardStreams();

// True when `stream` is a terminal (a console).
bool IsTerminal(std::FILE* stream);

// Standard output or error: UTF-8 to pipes and files, UTF-16 to a Windows console.
class CStdOutput : public ICliOutput {
public:
    explicit CStdOutput(std::FILE* stream);
    void Write(std::string_view utf8) override;
    std::error_code Error() const override { return m_error; }

private:
    // Writes to the console the stream is on, if it is on one that takes UTF-16; false
    // otherwise.
    bool WriteToConsole(std::string_view utf8);

    std::FILE* m_stream;
    std::error_code m_error;
    // The console's handle (Windows); null when the stream is not on a console.
    void* m_console = nullptr;
};
