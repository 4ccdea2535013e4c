#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>

// The named streams of files beside their contents: NTFS alternate data streams on Windows,
// none elsewhere. Tests give their own (TestHooks), since Wine keeps no streams.
class CFileStreams {
public:
    virtual ~CFileStreams() = default;
    // The bytes of stream `name` of `file`: nothing when it has none, an error when it has one
    // that cannot be read.
    virtual std::optional<std::string> Read(const std::filesystem::path& file,
                                            std::u16string_view name, std::error_code& error);
    // Writes stream `name` of `file`; false, with the reason in `error`, when it cannot.
    virtual bool Write(const std::filesystem::path& file, std::u16string_view name,
                       const std::string& bytes, std::error_code& error);
};
// The system's streams, or the test hooks'.
CFileStreams& DefaultFileStreams();

// The stream in which a downloaded file carries the Mark of the Web.
inline constexpr char16_t kZoneIdentifier[] = u"Zone.Identifier";
