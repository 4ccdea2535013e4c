// Sparse sources give sparse copies that read byte for byte as the source.
#include "FileIo.h"
#include "SignEngine.h"
#include "SignRecorder.h"
#include "Signature.h"
#include "TempDir.h"
#include "TrailerReaders.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#ifndef _WIN32
#include <sys/stat.h>
#endif

namespace fs = std::filesystem;

namespace {

constexpr std::int64_t kMiB = std::int64_t{1} << 20;

struct Layout {
    const char* name;
    std::int64_t size;
    // Offsets and lengths of the data; the rest is holes.
    std::vector<std::pair<std::int64_t, std::int64_t>> data;
};

// Bytes on the disk, or -1 where the system does not tell.
std::int64_t AllocatedBytes(const fs::path& path) {
#ifdef _WIN32
    (void)path;
    return -1;
#else
    struct stat info {};
    return ::stat(path.c_str(), &info) == 0 ? static_cast<std::int64_t>(info.st_blocks) * 512 : -1;
#endif
}

void MakeSparse(const fs::path& path, const Layout& layout) {
    UniqueFile file = OpenFile(path, "wb");
    ASSERT_TRUE(file);
    std::uint32_t seed = 1;
    for (const auto& [offset, length] : layout.data) {
        const Bytes bytes = PatternBytes(static_cast<std::size_t>(length), seed++);
        ASSERT_TRUE(SeekFile(file.get(), offset, SEEK_SET));
        ASSERT_EQ(std::fwrite(bytes.data(), 1, bytes.size(), file.get()), bytes.size());
    }
    file.reset();
    fs::resize_file(path, static_cast<std::uintmax_t>(layout.size));
}

TEST(SparseCopy, HolesStayHolesAndTheCopyReadsAsTheSource) {
    const std::vector<Layout> layouts = {
        {"start", 16 * kMiB, {{12 * kMiB, 4 * kMiB}}},
        {"middle", 16 * kMiB, {{0, kMiB}, {15 * kMiB, kMiB}}},
        {"end", 16 * kMiB, {{0, 3 * kMiB + 5}}},
        {"several", 16 * kMiB, {{kMiB, 4096}, {5 * kMiB, 70000}, {9 * kMiB, kMiB}}},
        {"holes only", 16 * kMiB, {}},
    };
    TempDir dir;
    fs::create_directory(dir / "out");
    for (const Layout& layout : layouts) {
        SCOPED_TRACE(layout.name);
        const fs::path source = dir / (std::string(layout.name) + ".img");
        MakeSparse(source, layout);
        CSignRecorder recorder;
        const SignResult result = RunSignBatch({source}, dir / "out", u"holes", recorder);
        ASSERT_EQ(result.signedCount, 1u);
        const fs::path output = dir / "out" / (std::string(layout.name) + "_signed.img");
        Bytes copy = ReadBytes(output);
        ASSERT_EQ(copy.size(), static_cast<std::size_t>(layout.size + TrailerBytes(5)));
        copy.resize(static_cast<std::size_t>(layout.size));
        EXPECT_TRUE(copy == ReadBytes(source));
        UniqueFile file = OpenFile(output, "rb");
        EXPECT_EQ(ReadSignatureText(file.get()), u"holes");

        // Where the file system keeps the source's holes, the copy keeps them too.
        const std::int64_t sourceBytes = AllocatedBytes(source);
        if (sourceBytes >= 0 && sourceBytes < layout.size / 2) {
            EXPECT_LE(AllocatedBytes(output), sourceBytes + 64 * 1024);
        }
    }
}

// A sparse copy reports its bytes as it goes, and a stop leaves nothing.
TEST(SparseCopy, ReportsProgressAndStops) {
    TempDir dir;
    const fs::path source = dir / "s.img";
    MakeSparse(source, {"", 200 * kMiB, {{0, kMiB}, {150 * kMiB, kMiB}}});
    fs::create_directory(dir / "out");
    std::vector<std::uint64_t> copied;
    CRunControl control([&](std::uint64_t bytes) {
        copied.push_back(bytes);
        if (copied.size() == 2)
            control.Stop();
    });
    SignRequest request;
    request.items = {{source, {}}};
    request.outputFolder = dir / "out";
    request.text = u"x";
    request.control = &control;
    CSignRecorder recorder;
    const SignResult result = RunSignBatch(request, recorder);
    EXPECT_EQ(result.signedCount, 0u);
    ASSERT_EQ(copied.size(), 2u);
    EXPECT_LT(copied[0], copied[1]);
    EXPECT_EQ(control.Copied(), copied[1]);
    EXPECT_TRUE(fs::is_empty(dir / "out"));
}

} // namespace
