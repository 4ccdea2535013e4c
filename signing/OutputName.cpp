#include "OutputName.h"

namespace fs = std::filesystem;

namespace {

using Char = fs::path::value_type;

bool EndsName(Char c) {
#ifdef _WIN32
    return c == L'\\' || c == L'/' || c == L':';
#else
    return c == '/';
#endif
}

} // namespace

SplitName SplitFileName(const fs::path& path) {
    const auto& text = path.native();
    std::size_t start = text.size();
    while (start > 0 && !EndsName(text[start - 1]))
        --start;
    const auto name = text.substr(start);
    const auto dot = name.rfind(static_cast<Char>('.'));
    if (dot == fs::path::string_type::npos)
        return {name, {}};
    return {name.substr(0, dot), name.substr(dot)};
}

fs::path SignedOutputPath(const fs::path& folder, const fs::path& source) {
    static constexpr Char kSigned[] = {'_', 's', 'i', 'g', 'n', 'e', 'd', 0};
    const SplitName split = SplitFileName(source);
    fs::path::string_type text = folder.native();
    text += fs::path::preferred_separator;
    text += split.base;
    text += kSigned;
    text += split.extension;
    return fs::path(std::move(text));
}
