// Paths as text on Windows: a path is UTF-16 units, and wchar_t is one unit.
#include "TextConvert.h"

std::wstring ToWide(std::u16string_view text) {
    return std::wstring(text.begin(), text.end());
}

std::u16string FromWide(std::wstring_view text) {
    return std::u16string(text.begin(), text.end());
}

std::u16string PathText(const std::filesystem::path& path) {
    return FromWide(path.native());
}

std::u16string PathUnits(const std::filesystem::path& path) {
    return FromWide(path.native());
}

std::filesystem::path PathFromText(std::u16string_view text) {
    return std::filesystem::path(ToWide(text));
}

std::string PathUtf8(const std::filesystem::path& path) {
    return Utf16ToUtf8(PathText(path));
}
