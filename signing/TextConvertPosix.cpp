// Paths as text on Linux and other POSIX systems: a path is bytes, most often UTF-8.
#include "TextConvert.h"

std::u16string PathText(const std::filesystem::path& path) {
    return Utf8ToUtf16Lossy(path.native());
}

std::u16string PathUnits(const std::filesystem::path& path) {
    return Utf8ToUtf16Escaped(path.native());
}

std::filesystem::path PathFromText(std::u16string_view text) {
    return std::filesystem::path(Utf16ToUtf8(text));
}

std::string PathUtf8(const std::filesystem::path& path) {
    return path.native();
}
