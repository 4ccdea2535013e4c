// Conversions between UTF-8, UTF-16 and the platform's native strings: the only place that
// spells them. The paths' conversions are in TextConvertPosix.cpp and TextConvertWindows.cpp.
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

// Strict: nothing when `utf8` is not valid UTF-8.
std::optional<std::u16string> Utf8ToUtf16(std::string_view utf8);
// Lossy: an invalid sequence becomes U+FFFD.
std::u16string Utf8ToUtf16Lossy(std::string_view utf8);
// Without loss: each byte of an invalid sequence becomes the lone surrogate U+DC00 + byte
// (U+DC80..U+DCFF), which valid UTF-8 never yields.
std::u16string Utf8ToUtf16Escaped(std::string_view utf8);
// A lone surrogate becomes U+FFFD.
std::string Utf16ToUtf8(std::u16string_view utf16);

// Texts across the C API: generalized UTF-8 (WTF-8), UTF-8 in which an unpaired surrogate is
// the three-byte form of its code unit (ED A0 80 to ED BF BF), as Python's "surrogatepass"
// writes it. Every UTF-16 text has exactly one, and it reads back unit for unit; U+0000 is the
// byte 00.
std::string Utf16ToWtf8(std::u16string_view utf16);
// Nothing when `wtf8` is not WTF-8. A pair of surrogates written as two three-byte forms (what
// "surrogatepass" gives for a str holding both halves) reads as the pair.
std::optional<std::u16string> Wtf8ToUtf16(std::string_view wtf8);

// Line breaks of any kind (CR LF, a lone CR, a lone LF) as CR LF, the way the desktop program
// stores a typed text.
std::u16string WithCrLf(std::u16string_view text);

// The text of a text file: UTF-8 (a byte order mark is skipped) or UTF-16 with its byte order
// mark, either way round; nothing for anything else. One line break at the end is the file's,
// not the text's, and is dropped.
std::optional<std::u16string> TextFromFileBytes(std::string_view bytes);

// A path as UTF-16 text for messages: exact on Windows; on other systems the path's bytes are
// read as UTF-8, an invalid sequence shown as U+FFFD.
std::u16string PathText(const std::filesystem::path& path);
// A path as UTF-16 without loss, so that two paths never read the same: on Windows its units;
// elsewhere its bytes read as UTF-8, each byte of an invalid sequence given as the lone
// surrogate U+DC00 + byte (U+DC80..U+DCFF), which valid UTF-8 never yields.
std::u16string PathUnits(const std::filesystem::path& path);
// The path named by UTF-16 `text` (on other systems than Windows, its UTF-8 bytes).
std::filesystem::path PathFromText(std::u16string_view text);
// A path as UTF-8 for output: on other systems than Windows exactly its bytes, which need not
// be UTF-8; on Windows a lone surrogate becomes U+FFFD.
std::string PathUtf8(const std::filesystem::path& path);

// UTF-8 `text` for a human reader on a terminal: what cannot be typed and could drive the
// terminal (C0 controls, DEL, C1 controls, the bidirectional overrides and isolates, and bytes
// that are not UTF-8) is shown as a visible escape: \t, \n, \r, \xHH for other bytes, \uHHHH
// for other code points. With `keepLineBreaks` a text's line breaks (LF, and CR before LF)
// stay; a CR alone, which rewrites the line shown, never does.
std::string Visible(std::string_view utf8, bool keepLineBreaks = false);
// A path for a message: Visible(PathUtf8(path)).
std::string ShownPath(const std::filesystem::path& path);

#ifdef _WIN32
// Windows' wchar_t is UTF-16: unit for unit.
std::wstring ToWide(std::u16string_view text);
std::u16string FromWide(std::wstring_view text);
#endif
