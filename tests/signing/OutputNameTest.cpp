#include "OutputName.h"
#include "SignTexts.h"
#include "TextConvert.h"

#include <gtest/gtest.h>

namespace {

#ifdef _WIN32
#define NATIVE(text) L##text
#else
#define NATIVE(text) text
#endif

struct NameCase {
    const std::filesystem::path::value_type* folder;
    const std::filesystem::path::value_type* source;
    const std::filesystem::path::value_type* output;
};

TEST(OutputName, BaseAndExtensionSplitAtTheLastDot) {
    const NameCase cases[] = {
#ifdef _WIN32
        {L"D:\\out", L"C:\\a\\report.doc", L"D:\\out\\report_signed.doc"},
        // The folder as the step fills it in from a file's folder: the separator doubles.
        {L"D:\\out\\", L"C:\\a\\report.doc", L"D:\\out\\\\report_signed.doc"},
        {L"D:\\out", L"C:\\a\\notes", L"D:\\out\\notes_signed"},
        {L"D:\\out", L"C:\\a\\archive.tar.gz", L"D:\\out\\archive.tar_signed.gz"},
        {L"D:\\out", L"C:\\a\\.profile", L"D:\\out\\_signed.profile"},
        {L"D:\\out", L"C:\\a.b\\notes", L"D:\\out\\notes_signed"},
        {L"D:\\out", L"C:/a/mixed.txt", L"D:\\out\\mixed_signed.txt"},
        {L"D:\\out", L"C:report.doc", L"D:\\out\\report_signed.doc"},
        {L"D:\\out", L"C:\\a\\trailing.", L"D:\\out\\trailing_signed."},
#else
        {"/out", "/a/report.doc", "/out/report_signed.doc"},
        {"/out/", "/a/report.doc", "/out//report_signed.doc"},
        {"/out", "/a/notes", "/out/notes_signed"},
        {"/out", "/a/archive.tar.gz", "/out/archive.tar_signed.gz"},
        {"/out", "/a/.profile", "/out/_signed.profile"},
        {"/out", "/a.b/notes", "/out/notes_signed"},
        {"/out", "relative.txt", "/out/relative_signed.txt"},
        {"/out", "/a/back\\slash.txt", "/out/back\\slash_signed.txt"},
        {"/out", "/a/trailing.", "/out/trailing_signed."},
#endif
    };
    for (const auto& c : cases) {
        EXPECT_EQ(SignedOutputPath(c.folder, c.source).native(), c.output)
            << Utf16ToUtf8(PathText(c.source));
        // Strip names the signed copy back.
        const std::filesystem::path source(c.source);
        EXPECT_EQ(UnsignedOutputPath(c.folder, c.output), c.folder / source.filename())
            << Utf16ToUtf8(PathText(c.source));
    }
}

TEST(OutputName, OnlyOneSignedSuffixIsTakenOffAndNeverTheWholeName) {
    EXPECT_EQ(UnsignedOutputPath("out", "x_signed_signed.txt"),
              std::filesystem::path("out/x_signed.txt"));
    EXPECT_EQ(UnsignedOutputPath("out", "_signed"), std::filesystem::path("out/_signed"));
}

TEST(SignTexts, SummariesAndStatus) {
    EXPECT_TRUE(signtext::Summary(0) == u"No files were encrypted!");
    EXPECT_TRUE(signtext::Summary(1) == u"File encrypted succesfully!");
    EXPECT_TRUE(signtext::Summary(2) == u"2 files encrypted succesfully!");
    EXPECT_TRUE(signtext::Summary(10000) == u"10000 files encrypted succesfully!");
    EXPECT_TRUE(signtext::Status(3, 12) == u"Signing file 3 of 12");
    // A path holding format characters is shown as it is.
    EXPECT_TRUE(signtext::WithPath(signtext::kCannotSign, u"C:\\100%s %d.txt") ==
                u"Could not sign file C:\\100%s %d.txt!");
}

} // namespace
