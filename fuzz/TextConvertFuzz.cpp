// Feeds arbitrary bytes to the UTF-8 and UTF-16 conversions that read signature texts from
// files and command lines. Valid UTF-8 must come back unchanged from a round trip; anything
// else must be refused by the strict decoder and replaced, never crash, in the lossy one.
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
    return 0;
}
