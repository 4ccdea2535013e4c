#include "OutputName.h"

#include <string_view>

namespace fs = std::filesystem;

namespace {

using Char = fs::path::value_type;

// The characters after which a file's name begins.
#ifdef _WIN32
constexpr std::basic_string_view<Char> kNameEnds = L"\\/:";
#else
constexpr std::basic_string_view<Char> kNameEnds = "/";
#endif

bool EndsName(Char c) {
    return kNameEnds.find(c) != kNameEnds.npos;
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
    const SplitName split = SplitFileName(source);
    fs::path::string_type text = folder.native();
    text += fs::path::preferred_separator;
    text += split.base;
    text += kSignedSuffix;
    text += split.extension;
    return fs::path(std::move(text));
}

fs::path UnsignedOutputPath(const fs::path& folder, const fs::path& source) {
    SplitName split = SplitFileName(source);
    const std::basic_string_view<Char> suffix(kSignedSuffix);
    // A name that is the suffix alone keeps it: nothing would be left.
    if (split.base.size() >= suffix.size() && split.base.ends_with(suffix) &&
        (split.base.size() > suffix.size() || !split.extension.empty()))
        split.base.resize(split.base.size() - suffix.size());
    return folder / fs::path(split.base + split.extension);
}

bool MayBeSignedOutput(const std::filesystem::path& path) {
    auto name = path.filename().native();
    for (auto& c : name)
        if (c >= 'A' && c <= 'Z')
            c = static_cast<std::filesystem::path::value_type>(c - 'A' + 'a');
    return name.find(kSignedSuffix) != name.npos;
}
