// Writes a few signed and damaged files as the fuzzer's starting corpus.
#include "FileIo.h"
#include "Signature.h"
#include "TestHooks.h"

#include <filesystem>
#include <string>

namespace {

void Write(const std::filesystem::path& dir, const std::string& name, std::uint16_t firstBytes,
           const std::string& content, const std::u16string& text, std::uint32_t seed) {
    const auto path = dir / name;
    {
        UniqueFile file = OpenFile(path, "wb");
        std::fputc(firstBytes & 0xFF, file.get());
        std::fputc(firstBytes >> 8, file.get());
        std::fwrite(content.data(), 1, content.size(), file.get());
        if (!text.empty()) {
            CScopedTestHooks hooks;
            hooks->clock = FixedClock(seed);
            CSigCodeTable table;
            AppendSignature(table, file.get(), text.data(), 2 * text.size());
        }
    }
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 2)
        return 2;
    const std::filesystem::path dir = argv[1];
    std::filesystem::create_directories(dir);
    Write(dir, "abc", 64, "", u"abc", 0);
    Write(dir, "few-last-bytes", 4, "content", u"abc", 0x12345678);
    Write(dir, "lines", 200, "header bytes", u"line one\r\nline two \x00E9\xD83D\xDE00", 7);
    Write(dir, "unsigned", 16, "just twenty-odd bytes of plain text", u"", 0);
    return 0;
}
