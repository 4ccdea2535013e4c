// Feeds arbitrary bytes to the UTF-8 and UTF-16 conversions that read signature texts from
// files and command lines, and file names. Valid UTF-8 must come back unchanged from a round
// trip; anything else must be refused by the strict decoder and replaced, never crash, in the
// lossy one. A name's bytes must be recoverable from its lossless UTF-16 form.
#include "TextConvert.h"

#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);

    const auto strict = Utf8ToUtf16(bytes);
    const std::u16string lossy = Utf8ToUtf16Lossy(bytes);
    if (strict) {
        if (*strict != lossy || Utf16ToUtf8(*strict) != bytes)
            std::abort();
    }
    // Every UTF-16 string, lone surrogates included, gives valid UTF-8.
    std::u16string units(size / 2, u'\0');
    for (std::size_t i = 0; i < units.size(); ++i)
        units[i] = static_cast<char16_t>(data[2 * i] | (data[2 * i + 1] << 8));
    if (!Utf8ToUtf16(Utf16ToUtf8(units)))
        std::abort();

    // A text file's bytes: anything decoded is at most one unit per byte after the mark.
    if (const auto text = TextFromFileBytes(bytes); text && text->size() > size)
        std::abort();
#ifndef _WIN32
    // Lone surrogates U+DC80..U+DCFF stand for the bytes that are not UTF-8.
    const std::u16string name = PathUnits(std::filesystem::path(std::string(bytes)));
    std::string back;
    for (std::size_t i = 0; i < name.size(); ++i) {
        const char16_t unit = name[i];
        if (unit >= 0xDC80 && unit <= 0xDCFF &&
            (i == 0 || name[i - 1] < 0xD800 || name[i - 1] > 0xDBFF))
            back.push_back(static_cast<char>(unit - 0xDC00));
        else if (unit >= 0xD800 && unit <= 0xDBFF && i + 1 < name.size())
            back += Utf16ToUtf8(name.substr(i++, 2));
        else
            back += Utf16ToUtf8(name.substr(i, 1));
    }
    if (back != bytes)
        std::abort();
#endif
    return 0;
}
