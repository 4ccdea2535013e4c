// Codec benchmarks: building a code table, and finding a trailer at the end of large files.
// ReadSignature reads only the end of a file, so its time must not grow with the file's size:
// compare the 1 GiB and 5 GiB rows with each other and with opening the file and reading its
// last 16 bytes (the reference row).
#include "FileIo.h"
#include "Signature.h"
#include "TestHooks.h"

#include <benchmark/benchmark.h>

#include <filesystem>
#include <string>
#include <unistd.h>

namespace {

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
    SeekFile(file.get(), size - 1, SEEK_SET);
    std::fputc(0, file.get());
    const std::u16string text(40, u'q');
    CScopedTestHooks hooks;
    hooks->clock = FixedClock(1700000000);
    CSigCodeTable table;
    AppendSignature(table, file.get(), text.data(), 2 * text.size());
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
    for (auto _ : state) {
        UniqueFile file = OpenFile(path, "rb");
        auto text = ReadSignatureText(file.get());
        if (!text)
            state.SkipWithError("no signature found");
        benchmark::DoNotOptimize(text);
    }
    state.SetLabel(std::to_string(state.range(0)) + " GiB, text read in full");
}
BENCHMARK(BM_ReadSignature)->Arg(1)->Arg(5);

void BM_ReferenceReadLast16Bytes(benchmark::State& state) {
    const auto path = SignedFile(state.range(0) << 30);
    for (auto _ : state) {
        UniqueFile file = OpenFile(path, "rb");
        unsigned char tail[16];
        SeekFile(file.get(), -16, SEEK_END);
        benchmark::DoNotOptimize(std::fread(tail, 1, sizeof tail, file.get()));
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
    return 0;
}
