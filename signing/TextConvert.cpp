#include "TextConvert.h"

namespace {

constexpr char32_t kReplacement = 0xFFFD;

// Decodes one sequence at `i`; nothing when it is invalid (then `i` moves past one byte). With
// `surrogates`, the three-byte form of a surrogate code unit is taken too (WTF-8).
std::optional<char32_t> NextCodePoint(std::string_view s, std::size_t& i, bool surrogates = false) {
    const auto byte = [&](std::size_t k) { return static_cast<unsigned char>(s[k]); };
    const unsigned char lead = byte(i);
    if (lead < 0x80) {
        ++i;
        return lead;
    }
    std::size_t length;
    char32_t value;
    char32_t minimum;
    if ((lead & 0xE0) == 0xC0) {
        length = 2, value = lead & 0x1F, minimum = 0x80;
    } else if ((lead & 0xF0) == 0xE0) {
        length = 3, value = lead & 0x0F, minimum = 0x800;
    } else if ((lead & 0xF8) == 0xF0) {
        length = 4, value = lead & 0x07, minimum = 0x10000;
    } else {
        ++i;
        return std::nullopt;
    }
    if (i + length > s.size()) {
        ++i;
        return std::nullopt;
    }
    for (std::size_t k = 1; k < length; ++k) {
        if ((byte(i + k) & 0xC0) != 0x80) {
            ++i;
            return std::nullopt;
        }
        value = (value << 6) | (byte(i + k) & 0x3F);
    }
    if (value < minimum || value > 0x10FFFF ||
        (value >= 0xD800 && value <= 0xDFFF && !(surrogates && length == 3))) {
        ++i;
        return std::nullopt;
    }
    i += length;
    return value;
}

void AppendUtf16(std::u16string& out, char32_t cp) {
    if (cp < 0x10000) {
        out.push_back(static_cast<char16_t>(cp));
        return;
    }
    cp -= 0x10000;
    out.push_back(static_cast<char16_t>(0xD800 + (cp >> 10)));
    out.push_back(static_cast<char16_t>(0xDC00 + (cp & 0x3FF)));
}

// An invalid sequence becomes U+FFFD, or with `escape` each of its bytes the lone surrogate
// U+DC00 + byte (bytes of invalid sequences are 0x80 and above, or stray continuation bytes).
std::u16string Decode(std::string_view utf8, bool& valid, bool escape = false) {
    std::u16string out;
    out.reserve(utf8.size());
    valid = true;
    for (std::size_t i = 0; i < utf8.size();) {
        const auto byte = static_cast<unsigned char>(utf8[i]);
        const auto cp = NextCodePoint(utf8, i);
        if (!cp)
            valid = false;
        if (!cp && escape)
            out.push_back(static_cast<char16_t>(0xDC00 + byte));
        else
            AppendUtf16(out, cp.value_or(kReplacement));
    }
    return out;
}

std::string Encode(std::u16string_view utf16, bool keepSurrogates);

} // namespace

std::u16string Utf8ToUtf16Escaped(std::string_view utf8) {
    bool valid;
    return Decode(utf8, valid, true);
}

std::optional<std::u16string> Utf8ToUtf16(std::string_view utf8) {
    bool valid;
    std::u16string text = Decode(utf8, valid);
    if (!valid)
        return std::nullopt;
    return text;
}

std::u16string Utf8ToUtf16Lossy(std::string_view utf8) {
    bool valid;
    return Decode(utf8, valid);
}

std::string Utf16ToUtf8(std::u16string_view utf16) {
    return Encode(utf16, false);
}

std::string Utf16ToWtf8(std::u16string_view utf16) {
    return Encode(utf16, true);
}

std::optional<std::u16string> Wtf8ToUtf16(std::string_view wtf8) {
    std::u16string out;
    out.reserve(wtf8.size());
    for (std::size_t i = 0; i < wtf8.size();) {
        const std::optional<char32_t> cp = NextCodePoint(wtf8, i, true);
        if (!cp)
            return std::nullopt;
        AppendUtf16(out, *cp);
    }
    return out;
}

namespace {

bool IsHidden(char32_t cp) {
    return cp < 0x20 || (cp >= 0x7F && cp <= 0x9F) || (cp >= 0x202A && cp <= 0x202E) ||
           (cp >= 0x2066 && cp <= 0x2069);
}

void AppendEscape(std::string& out, char letter, char32_t value, int digits) {
    static const char hex[] = "0123456789abcdef";
    out += '\\';
    out += letter;
    for (int shift = 4 * (digits - 1); shift >= 0; shift -= 4)
        out += hex[(value >> shift) & 0xF];
}

} // namespace

std::string Visible(std::string_view utf8, bool keepLineBreaks) {
    std::string out;
    out.reserve(utf8.size());
    for (std::size_t i = 0; i < utf8.size();) {
        const std::size_t start = i;
        const std::optional<char32_t> cp = NextCodePoint(utf8, i);
        if (!cp) {
            AppendEscape(out, 'x', static_cast<unsigned char>(utf8[start]), 2);
            continue;
        }
        const bool lineBreak = *cp == U'\n' || (*cp == U'\r' && i < utf8.size() && utf8[i] == '\n');
        if (!IsHidden(*cp) || (keepLineBreaks && lineBreak)) {
            out.append(utf8, start, i - start);
            continue;
        }
        switch (*cp) {
        case U'\t':
            out += "\\t";
            break;
        case U'\n':
            out += "\\n";
            break;
        case U'\r':
            out += "\\r";
            break;
        default:
            if (*cp < 0x80)
                AppendEscape(out, 'x', *cp, 2);
            else
                AppendEscape(out, 'u', *cp, 4);
        }
    }
    return out;
}

std::string ShownPath(const std::filesystem::path& path) {
    return Visible(PathUtf8(path));
}

std::u16string WithCrLf(std::u16string_view text) {
    std::u16string out;
    out.reserve(text.size() + 16);
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == u'\r') {
            out += u"\r\n";
            if (i + 1 < text.size() && text[i + 1] == u'\n')
                ++i;
        } else if (text[i] == u'\n') {
            out += u"\r\n";
        } else {
            out.push_back(text[i]);
        }
    }
    return out;
}

namespace {

// UTF-16 as UTF-8; a lone surrogate as U+FFFD, or with `keepSurrogates` as its own three-byte
// form (WTF-8).
std::string Encode(std::u16string_view utf16, bool keepSurrogates) {
    std::string out;
    out.reserve(utf16.size());
    for (std::size_t i = 0; i < utf16.size(); ++i) {
        char32_t cp = utf16[i];
        if (cp >= 0xD800 && cp <= 0xDBFF && i + 1 < utf16.size() && utf16[i + 1] >= 0xDC00 &&
            utf16[i + 1] <= 0xDFFF) {
            cp = 0x10000 + ((cp - 0xD800) << 10) + (utf16[i + 1] - 0xDC00);
            ++i;
        } else if (cp >= 0xD800 && cp <= 0xDFFF && !keepSurrogates) {
            cp = kReplacement;
        }
        if (cp < 0x80) {
            out.push_back(static_cast<char>(cp));
        } else if (cp < 0x800) {
            out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
            out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
        } else if (cp < 0x10000) {
            out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
            out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
        } else {
            out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
            out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
        }
    }
    return out;
}

} // namespace

std::optional<std::u16string> TextFromFileBytes(std::string_view bytes) {
    std::optional<std::u16string> text;
    const bool little = bytes.starts_with("\xFF\xFE"), big = bytes.starts_with("\xFE\xFF");
    if (little || big) {
        if (bytes.size() % 2 != 0)
            return std::nullopt;
        text.emplace();
        text->reserve(bytes.size() / 2);
        for (std::size_t i = 2; i < bytes.size(); i += 2) {
            const auto first = static_cast<unsigned char>(bytes[i]);
            const auto second = static_cast<unsigned char>(bytes[i + 1]);
            text->push_back(
                static_cast<char16_t>(little ? first | (second << 8) : (first << 8) | second));
        }
    } else {
        if (bytes.starts_with("\xEF\xBB\xBF"))
            bytes.remove_prefix(3);
        text = Utf8ToUtf16(bytes);
    }
    if (text && !text->empty() && text->back() == u'\n')
        text->pop_back();
    if (text && !text->empty() && text->back() == u'\r')
        text->pop_back();
    return text;
}
