// How the file operations report what went wrong.
#pragma once

#include <string>
#include <system_error>
#include <type_traits>

// Why a file operation failed where the system's error numbers have no word for it.
enum class FileError {
    NotRegularFile = 1,  // a folder, a FIFO, a device, a socket: only disk files are read
    NameTooLong,         // longer than file systems take (255 bytes or UTF-16 units)
    WrittenThisRun,      // the output was written earlier in the same run
    OutsideOutputFolder, // the path would leave the output folder
    ReadOnly,            // an existing file to be replaced is marked read-only (Windows)
    SourceChanged,       // the source's size or times changed while it was copied
    OutputIsSource,      // the output named is the source itself
    LinkInOutputFolder,  // a link or junction below the output folder, which is not followed
};
const std::error_category& FileErrorCategory();
std::error_code make_error_code(FileError error);
template <> struct std::is_error_code_enum<FileError> : std::true_type {};

// The system's last error as an error code: errno on Linux; on Windows the Win32 error behind
// a failed call of the C runtime (or GetLastError), so that a message can use Windows' words.
std::error_code LastError();
// Clears what LastError reports, before calls whose failure it will explain.
void ClearLastError();
// What went wrong, in words for a message (UTF-8): on Windows the system's own text in the
// user's language (FormatMessageW), on other systems the C library's (strerror).
std::string ErrorText(const std::error_code& error);
