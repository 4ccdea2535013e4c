// Codec benchmarks: building a code table, and finding a trailer at the end of large files.
// ReadSignature reads only the end of a file, so its time must not grow with the file's size:
// compare the 1 GiB and 5 GiB rows with each other and with opening the file and reading its
// last 16 bytes (the reference row). A row whose file does not read back as written ends with
// an error instead of figures, and the program with status 1.
#include "FileIo.h"
#include "Signature.h"
#include "TestHooks.h"
#include "TrailerReaders.h"

#include <benchmark/benchmark.h>

#include <cstdio>
#include <filesystem>
#include <string>
#include <unistd.h>

namespace {

const std::u16string kText(40, u'q');

// A row that failed: the program ends with status 1.
bool g_failed = false;

void Fail(benchmark::State& state, const char* why) {
    std::fprintf(stderr, "codec_bench: %s\n", why);
    state.SkipWithError(why);
    g_failed = true;
}

std::filesystem::path BenchDir() {
    static const std::filesystem::path dir = [] {
        auto path = std::filesystem::temp_directory_path() /
                    ("quorvane-bench-" + std::to_string(::getpid()));
        std::filesystem::create_directories(path);
        return path;
    }();
    return dir;
}

// A sparse file of `size` bytes followed by a trailer of a 40-unit text.
std::filesystem::path SignedFile(std::int64_t size) {
    const auto path = BenchDir() / ("signed-" + std::to_string(size));
    if (std::filesystem::exists(path))
        return path;
    UniqueFile file = OpenFile(path, "wb");
    CScopedTestHooks hooks;
    hooks->clock = FixedClock(1700000000);
    CSigCodeTable table;
    if (!file || !SeekFile(file.get(), size - 1, SEEK_SET) || std::fputc(0, file.get()) == EOF ||
        !AppendSignature(table, file.get(), kText.data(), 2 * kText.size()) ||
        std::fflush(file.get()) != 0) {
        file.reset();
        std::filesystem::remove(path);
        return {};
    }
    return path;
}

void BM_BuildTable(benchmark::State& state) {
    CSigCodeTable table;
    std::uint32_t seed = 0;
    for (auto _ : state) {
        table.Build(seed++);
        benchmark::DoNotOptimize(table.Entries());
    }
}
BENCHMARK(BM_BuildTable);

void BM_ReadSignature(benchmark::State& state) {
    const auto path = SignedFile(state.range(0) << 30);
    if (path.empty())
        return Fail(state, "the signed file could not be written");
    for (auto _ : state) {
        UniqueFile file = OpenFile(path, "rb");
        auto text = ReadSignatureText(file.get());
        if (text != kText) {
            Fail(state, "the text signed was not read back");
            break;
        }
        benchmark::DoNotOptimize(text);
    }
    state.SetLabel(std::to_string(state.range(0)) + " GiB, text read in full");
}
BENCHMARK(BM_ReadSignature)->Arg(1)->Arg(5);

void BM_ReferenceReadLast16Bytes(benchmark::State& state) {
    const auto path = SignedFile(state.range(0) << 30);
    if (path.empty())
        return Fail(state, "the signed file could not be written");
    for (auto _ : state) {
        UniqueFile file = OpenFile(path, "rb");
        unsigned char tail[16];
        if (!file || !SeekFile(file.get(), -16, SEEK_END) ||
            std::fread(tail, 1, sizeof tail, file.get()) != sizeof tail) {
            Fail(state, "the last 16 bytes could not be read");
            break;
        }
        benchmark::DoNotOptimize(tail);
    }
    state.SetLabel(std::to_string(state.range(0)) + " GiB, reference");
}
BENCHMARK(BM_ReferenceReadLast16Bytes)->Arg(5);

} // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    std::filesystem::remove_all(BenchDir());
    return g_failed ? 1 : 0;
}
