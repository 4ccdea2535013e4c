#include "TextConvert.h"

#include <gtest/gtest.h>

namespace {

TEST(TextConvert, Utf8RoundTripsEveryPlane) {
    const std::u16string text = u"a\u00E9\u20AC\U0001F600\r\nz";
    const std::string utf8 = Utf16ToUtf8(text);
    EXPECT_EQ(utf8, "a\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80\r\nz");
    EXPECT_EQ(Utf8ToUtf16(utf8), text);
}

TEST(TextConvert, InvalidUtf8IsRefusedOrReplaced) {
    for (const char* bad :
         {"\xFF", "\xC3", "\xC0\x80", "\xED\xA0\x80", "\xF4\x90\x80\x80", "ok\xE2\x82"}) {
        EXPECT_FALSE(Utf8ToUtf16(bad)) << bad;
        EXPECT_NE(Utf8ToUtf16Lossy(bad).find(u'\uFFFD'), std::u16string::npos) << bad;
    }
    EXPECT_EQ(Utf8ToUtf16Lossy("a\xFFz"), u"a\uFFFDz");
    // A lone surrogate cannot be written as UTF-8.
    EXPECT_EQ(Utf16ToUtf8(std::u16string(1, char16_t(0xD800)) + u"x"), "\xEF\xBF\xBDx");
}

TEST(TextConvert, PathsRoundTripThroughText) {
    const std::u16string text = u"f\u00F6lder/\u65E5\u672C.txt";
    EXPECT_EQ(PathText(PathFromText(text)), text);
    EXPECT_EQ(PathUtf8(PathFromText(text)), "f\xC3\xB6lder/\xE6\x97\xA5\xE6\x9C\xAC.txt");
#ifdef _WIN32
    EXPECT_EQ(ToWide(text), L"f\u00F6lder/\u65E5\u672C.txt");
#else
    // Output shows a name's bytes as they are, even when they are not UTF-8.
    EXPECT_EQ(PathUtf8(std::filesystem::path("bad\xFF.txt")), "bad\xFF.txt");
#endif
}

} // namespace
