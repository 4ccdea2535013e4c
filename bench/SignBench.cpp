// Signing and checking against the system's own tools, as ratios measured in the same run:
//   sign_1GiB       quorvane-cli sign of a 1 GiB file   / cp of the same file
//   check_5GiB      quorvane-cli check of a 5 GiB file  / tail -c 16 of it
//   sign_10000      quorvane-cli sign of 10,000 small files in one call / cp of them
//   engine_1GiB     the engine in-process               / cp of the same file
//   engine_2000     the engine in-process on 2,000 small files in one batch / cp -r of them
//   sign_tree_5000  quorvane-cli sign -r of 5,000 files of 100 B to 20 KB in 50 folders
//                   / cp -r of the tree
//   sign_sparse     quorvane-cli sign of a 5 GiB sparse file / cp of it (which keeps holes)
//   check_tree      quorvane-cli check -r of the signed tree / tail -c 16 of every file
//   kinds_5000      the kinds of the tree's 5,000 files, each already open and unbuffered as a
//                   batch asks it / quorvane-cli sign -r of the tree: the recogniser's share
// Every row runs both sides in each iteration and reports `ratio` (ours / reference) of the
// median run of each side, with both times (the disk of a shared machine is noisy); peak memory
// (max RSS of the process) shows that memory stays flat. A side that exits with a failure, or
// leaves other files than it should (every copy counted, every signed copy read back), ends
// its row with an error instead of figures, and the program with status 1.
#include "FileIo.h"
#include "FileKinds.h"
#include "SigClock.h"
#include "SignEngine.h"
#include "Signature.h"
#include "TrailerReaders.h"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <random>
#include <string>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace fs = std::filesystem;

namespace {

using Clock = std::chrono::steady_clock;

fs::path BenchDir() {
    static const fs::path dir = [] {
        const char* where = std::getenv("QUORVANE_BENCH_DIR");
        auto path = (where != nullptr ? fs::path(where) : fs::temp_directory_path()) /
                    ("quorvane-sign-bench-" + std::to_string(::getpid()));
        fs::create_directories(path);
        return path;
    }();
    return dir;
}

std::string Quote(const fs::path& path) {
    return "'" + path.string() + "'";
}

// A row that failed: the program ends with status 1.
bool g_failed = false;

// Each side starts with no dirty pages waiting: otherwise one side pays for the other's
// writeback and the ratios swing by a factor of two. -1 when the command failed.
double Seconds(const std::string& command) {
    ::sync();
    const auto start = Clock::now();
    if (std::system(command.c_str()) != 0)
        return -1;
    return std::chrono::duration<double>(Clock::now() - start).count();
}

// The seconds of `action`; -1 when it returns false.
template <class F> double SecondsOf(F&& action) {
    ::sync();
    const auto start = Clock::now();
    const bool done = action();
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    return done ? seconds : -1;
}

// The regular files in `folder` and below it.
std::size_t FilesIn(const fs::path& folder) {
    std::size_t count = 0;
    std::error_code error;
    for (fs::recursive_directory_iterator it(folder, error), end; !error && it != end;
         it.increment(error))
        count += it->is_regular_file() ? 1 : 0;
    return error ? 0 : count;
}

// Empty when `folder` holds `count` files; what is wrong otherwise.
std::string Holds(const fs::path& folder, std::size_t count) {
    const std::size_t found = FilesIn(folder);
    if (found == count)
        return {};
    return folder.filename().string() + " holds " + std::to_string(found) + " files, not " +
           std::to_string(count);
}

// Empty when `copy` is `source` signed with "bench"; what is wrong otherwise.
std::string SignedCopy(const fs::path& source, const fs::path& copy) {
    std::error_code error;
    const auto size = fs::file_size(copy, error);
    const UniqueFile file = OpenFile(copy, "rb");
    if (error || !file || size <= fs::file_size(source) ||
        ReadSignatureText(file.get()) != std::u16string(u"bench"))
        return copy.filename().string() + " is not a signed copy of " + source.filename().string();
    return {};
}

void WriteRandom(const fs::path& path, std::int64_t size) {
    UniqueFile file = OpenFile(path, "wb");
    std::mt19937_64 random(42);
    std::vector<std::uint64_t> block(1 << 17);
    for (std::int64_t done = 0; done < size;) {
        for (auto& word : block)
            word = random();
        const auto bytes = std::min<std::int64_t>(size - done, 8 * block.size());
        std::fwrite(block.data(), 1, static_cast<std::size_t>(bytes), file.get());
        done += bytes;
    }
}

fs::path LargeFile() {
    const fs::path path = BenchDir() / "large.bin";
    if (!fs::exists(path))
        WriteRandom(path, std::int64_t{1} << 30);
    return path;
}

double PeakMemoryMiB() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return static_cast<double>(usage.ru_maxrss) / 1024.0;
}

void Report(benchmark::State& state, double ours, double reference) {
    state.counters["ours_s"] = ours;
    state.counters["reference_s"] = reference;
    state.counters["ratio"] = ours / reference;
    state.counters["peak_MiB"] = PeakMemoryMiB();
}

class CQuiet : public ISignObserver {
public:
    void BatchStarted(std::size_t) override {}
    void FileStarted(std::size_t, std::size_t, const std::u16string&) override {}
    void FileFinished(std::size_t, const SignItem&, SignOutcome) override {}
    void ReportFailure(const SignMessage&) override {}
    bool AskOverwrite(const SignMessage&) override { return true; }
    void BatchFinished() override {}
    void ShowSummary(const SignMessage&) override {}
};

double Median(std::vector<double> times) {
    std::sort(times.begin(), times.end());
    const std::size_t middle = times.size() / 2;
    return times.size() % 2 != 0 ? times[middle] : (times[middle - 1] + times[middle]) / 2;
}

// Each iteration prepares, times both sides, the reference first in odd iterations and ours
// first in even ones (the first run finds a colder cache), and `check` says
// what is wrong with what they left (empty: nothing); the report takes each side's median.
template <class Prepare, class Reference, class Ours, class Check>
void Compare(benchmark::State& state, Prepare prepare, Reference reference, Ours ours,
             Check check) {
    std::vector<double> oursTimes, referenceTimes;
    std::string wrong;
    // Each side starts with nothing left to write back: the gigabyte that the side before left
    // in the page cache would otherwise throttle the writes of the next one, whichever it is.
    const auto settled = [](auto side) {
        ::sync();
        return side();
    };
    bool referenceFirst = true;
    for (auto _ : state) {
        prepare();
        double theirs = -1, once = -1;
        if (referenceFirst) {
            theirs = settled(reference);
            once = settled(ours);
        } else {
            once = settled(ours);
            theirs = settled(reference);
        }
        referenceFirst = !referenceFirst;
        wrong = theirs < 0 ? "the reference failed" : once < 0 ? "ours failed" : check();
        if (!wrong.empty())
            break;
        referenceTimes.push_back(theirs);
        oursTimes.push_back(once);
        state.SetIterationTime(once);
    }
    if (!wrong.empty()) {
        std::fprintf(stderr, "sign_bench: %s\n", wrong.c_str());
        state.SkipWithError(wrong.c_str());
        g_failed = true;
        return;
    }
    Report(state, Median(oursTimes), Median(referenceTimes));
}

// An empty `folder`, and `also` gone.
void FreshFolder(const fs::path& folder, const fs::path& also = {}) {
    fs::remove_all(folder);
    if (!also.empty())
        fs::remove_all(also);
    fs::create_directories(folder);
}

// The output folders of the rows of many files: new ones for each iteration, all removed when
// the row ends. Removing thousands of files just before a timed run would time the file
// system's search for free inodes among the ones just freed (ext4 without a journal), for
// whichever side runs first.
class CFreshFolders {
public:
    explicit CFreshFolders(std::string name) : m_name(std::move(name)) {}
    ~CFreshFolders() {
        for (int i = 0; i < m_count; ++i) {
            fs::remove_all(Out(i));
            fs::remove_all(Copies(i));
        }
    }
    CFreshFolders(const CFreshFolders&) = delete;
    CFreshFolders& operator=(const CFreshFolders&) = delete;
    // Makes the next iteration's folders (the copies' one is left to cp -r).
    void Next() {
        FreshFolder(Out(m_count), Copies(m_count));
        ++m_count;
    }
    fs::path out() const { return Out(m_count - 1); }
    fs::path copies() const { return Copies(m_count - 1); }

private:
    fs::path Out(int i) const { return BenchDir() / (m_name + "-out" + std::to_string(i)); }
    fs::path Copies(int i) const { return BenchDir() / (m_name + "-copies" + std::to_string(i)); }
    std::string m_name;
    int m_count = 0;
};

void BM_Sign1GiB(benchmark::State& state) {
    const fs::path source = LargeFile();
    const fs::path out = BenchDir() / "out";
    Compare(
        state, [&] { FreshFolder(out); },
        [&] { return Seconds("cp " + Quote(source) + " " + Quote(out / "copy.bin")); },
        [&] {
            return Seconds(std::string(QUORVANE_CLI) + " sign --text bench --out " + Quote(out) +
                           " " + Quote(source));
        },
        [&] {
            const std::string wrong = Holds(out, 2);
            return wrong.empty() ? SignedCopy(source, out / "large_signed.bin") : wrong;
        });
}
BENCHMARK(BM_Sign1GiB)->Iterations(5)->UseManualTime()->Unit(benchmark::kMillisecond);

void BM_Engine1GiB(benchmark::State& state) {
    const fs::path source = LargeFile();
    const fs::path out = BenchDir() / "out";
    CQuiet quiet;
    Compare(
        state, [&] { FreshFolder(out); },
        [&] { return Seconds("cp " + Quote(source) + " " + Quote(out / "copy.bin")); },
        [&] {
            return SecondsOf(
                [&] { return RunSignBatch({source}, out, u"bench", quiet).signedCount == 1; });
        },
        [&] {
            const std::string wrong = Holds(out, 2);
            return wrong.empty() ? SignedCopy(source, out / "large_signed.bin") : wrong;
        });
}
BENCHMARK(BM_Engine1GiB)->Iterations(5)->UseManualTime()->Unit(benchmark::kMillisecond);

void BM_Check5GiB(benchmark::State& state) {
    const fs::path path = BenchDir() / "sparse5.bin";
    if (!fs::exists(path)) {
        UniqueFile file = OpenFile(path, "wb");
        SeekFile(file.get(), (std::int64_t{5} << 30) - 1, SEEK_SET);
        std::fputc(0, file.get());
        const std::u16string text(40, u'q');
        CSigCodeTable table;
        AppendSignature(table, file.get(), text.data(), 2 * text.size());
    }
    const std::string check = std::string(QUORVANE_CLI) + " check " + Quote(path) + " >/dev/null";
    // The reference: starting a process that opens the file and reads its last 16 bytes.
    const std::string tail = "tail -c 16 " + Quote(path) + " >/dev/null";
    // check exits with status 0 only for a signed file.
    Compare(
        state, [] {}, [&] { return Seconds(tail); }, [&] { return Seconds(check); },
        [] { return std::string(); });
}
BENCHMARK(BM_Check5GiB)->Iterations(20)->UseManualTime()->Unit(benchmark::kMillisecond);

// A folder of `count` files of 0.5 to 16.5 KiB.
fs::path SmallFiles(int count) {
    const fs::path sources = BenchDir() / ("small" + std::to_string(count));
    if (!fs::exists(sources)) {
        fs::create_directories(sources);
        std::mt19937 random(7);
        for (int i = 0; i < count; ++i)
            WriteRandom(sources / ("file" + std::to_string(i) + ".dat"), 512 + random() % 16384);
    }
    return sources;
}

void BM_Engine2000SmallFiles(benchmark::State& state) {
    const fs::path sources = SmallFiles(2000);
    std::vector<fs::path> list;
    for (const auto& entry : fs::directory_iterator(sources))
        list.push_back(entry.path());
    CFreshFolders folders("small");
    CQuiet quiet;
    Compare(
        state, [&] { folders.Next(); },
        [&] { return Seconds("cp -r " + Quote(sources) + " " + Quote(folders.copies())); },
        [&] {
            return SecondsOf([&] {
                return RunSignBatch(list, folders.out(), u"bench", quiet).signedCount ==
                       list.size();
            });
        },
        [&] {
            const std::string wrong = Holds(folders.copies(), list.size());
            return wrong.empty() ? Holds(folders.out(), list.size()) : wrong;
        });
}
BENCHMARK(BM_Engine2000SmallFiles)->Iterations(3)->UseManualTime()->Unit(benchmark::kMillisecond);

void BM_Sign10000SmallFiles(benchmark::State& state) {
    const fs::path sources = SmallFiles(10000);
    CFreshFolders folders("small");
    Compare(
        state, [&] { folders.Next(); },
        [&] { return Seconds("cp -r " + Quote(sources) + " " + Quote(folders.copies())); },
        [&] {
            return Seconds(std::string(QUORVANE_CLI) + " sign --text bench -r --out " +
                           Quote(folders.out()) + " " + Quote(sources));
        },
        [&] {
            const std::string wrong = Holds(folders.copies(), 10000);
            return wrong.empty() ? Holds(folders.out(), 10000) : wrong;
        });
}
BENCHMARK(BM_Sign10000SmallFiles)->Iterations(3)->UseManualTime()->Unit(benchmark::kMillisecond);

// Peak memory of the children (the program under test), in MiB.
double ChildPeakMemoryMiB() {
    rusage usage{};
    getrusage(RUSAGE_CHILDREN, &usage);
    return static_cast<double>(usage.ru_maxrss) / 1024.0;
}

// 5,000 files of 100 B to 20 KB in 50 folders.
fs::path Tree5000() {
    const fs::path tree = BenchDir() / "tree5000";
    if (!fs::exists(tree)) {
        std::mt19937 random(11);
        for (int i = 0; i < 5000; ++i) {
            const fs::path folder = tree / ("folder" + std::to_string(i % 50));
            fs::create_directories(folder);
            WriteRandom(folder / ("photo" + std::to_string(i) + ".jpg"), 100 + random() % 19900);
        }
    }
    return tree;
}

void BM_SignTree5000(benchmark::State& state) {
    const fs::path tree = Tree5000();
    CFreshFolders folders("tree");
    Compare(
        state, [&] { folders.Next(); },
        [&] { return Seconds("cp -r " + Quote(tree) + " " + Quote(folders.copies())); },
        [&] {
            return Seconds(std::string(QUORVANE_CLI) + " sign --text bench -r --out " +
                           Quote(folders.out()) + " " + Quote(tree));
        },
        [&] {
            const std::string wrong = Holds(folders.copies(), 5000);
            return wrong.empty() ? Holds(folders.out(), 5000) : wrong;
        });
    state.counters["child_peak_MiB"] = ChildPeakMemoryMiB();
}
BENCHMARK(BM_SignTree5000)->Iterations(5)->UseManualTime()->Unit(benchmark::kMillisecond);

void BM_CheckTree5000(benchmark::State& state) {
    const fs::path tree = Tree5000();
    const fs::path out = BenchDir() / "tree-checked";
    if (!fs::exists(out)) {
        fs::create_directories(out);
        Seconds(std::string(QUORVANE_CLI) + " sign --text bench -r --out " + Quote(out) + " " +
                Quote(tree));
    }
    // check -r exits with status 0 only when every file holds a signature.
    Compare(
        state, [] {},
        [&] {
            return Seconds("find " + Quote(out) + " -type f -exec tail -q -c 16 {} + >/dev/null");
        },
        [&] {
            return Seconds(std::string(QUORVANE_CLI) + " check -r " + Quote(out) + " >/dev/null");
        },
        [&] { return Holds(out, 5000); });
}
BENCHMARK(BM_CheckTree5000)->Iterations(5)->UseManualTime()->Unit(benchmark::kMillisecond);

void BM_Kinds5000(benchmark::State& state) {
    const fs::path tree = Tree5000();
    std::vector<fs::path> files;
    for (const auto& entry : fs::recursive_directory_iterator(tree))
        if (entry.is_regular_file())
            files.push_back(entry.path());
    CFreshFolders folders("kinds");
    std::size_t named = 0;
    Compare(
        state, [&] { folders.Next(); },
        [&] {
            return Seconds(std::string(QUORVANE_CLI) + " sign --text bench -r --out " +
                           Quote(folders.out()) + " " + Quote(tree));
        },
        [&] {
            // Opened before the clock starts: a batch has each source open already.
            std::vector<std::pair<std::FILE*, std::int64_t>> open;
            for (const fs::path& file : files) {
                std::FILE* stream = std::fopen(file.c_str(), "rb");
                if (stream == nullptr)
                    return -1.0;
                std::setvbuf(stream, nullptr, _IONBF, 0);
                open.emplace_back(stream, static_cast<std::int64_t>(fs::file_size(file)));
            }
            named = 0;
            const auto start = Clock::now();
            for (const auto& [stream, size] : open)
                named += KindObjects(KindOfFile(stream, size)) ? 1 : 0;
            const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
            for (const auto& [stream, size] : open)
                std::fclose(stream);
            return seconds;
        },
        [&] {
            return files.size() != 5000 ? "the tree does not hold 5,000 files"
                   : named != 0         ? "the recogniser named a random file"
                                        : Holds(folders.out(), 5000);
        });
}
BENCHMARK(BM_Kinds5000)->Iterations(9)->UseManualTime()->Unit(benchmark::kMillisecond);

std::int64_t AllocatedBytes(const fs::path& path) {
    struct stat info {};
    return ::stat(path.c_str(), &info) == 0 ? static_cast<std::int64_t>(info.st_blocks) * 512 : -1;
}

void BM_SignSparse5GiB(benchmark::State& state) {
    // A disk image: 5 GiB with 40 MiB of data in 20 places.
    const fs::path source = BenchDir() / "disk.img";
    if (!fs::exists(source)) {
        UniqueFile file = OpenFile(source, "wb");
        std::vector<std::uint8_t> block(2 << 20, 0x5A);
        for (int i = 0; i < 20; ++i) {
            SeekFile(file.get(), std::int64_t{i} * (256 << 20), SEEK_SET);
            std::fwrite(block.data(), 1, block.size(), file.get());
        }
        file.reset();
        fs::resize_file(source, std::uintmax_t{5} << 30);
    }
    const fs::path out = BenchDir() / "sparse-out";
    Compare(
        state, [&] { FreshFolder(out); },
        [&] { return Seconds("cp " + Quote(source) + " " + Quote(out / "copy.img")); },
        [&] {
            return Seconds(std::string(QUORVANE_CLI) + " sign --text bench --out " + Quote(out) +
                           " " + Quote(source));
        },
        [&] {
            const std::string wrong = Holds(out, 2);
            return wrong.empty() ? SignedCopy(source, out / "disk_signed.img") : wrong;
        });
    state.counters["copy_MiB"] =
        static_cast<double>(AllocatedBytes(out / "disk_signed.img")) / (1 << 20);
    state.counters["cp_copy_MiB"] =
        static_cast<double>(AllocatedBytes(out / "copy.img")) / (1 << 20);
    state.counters["child_peak_MiB"] = ChildPeakMemoryMiB();
}
BENCHMARK(BM_SignSparse5GiB)->Iterations(5)->UseManualTime()->Unit(benchmark::kMillisecond);

} // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    fs::remove_all(BenchDir());
    if (g_failed)
        std::fprintf(stderr, "sign_bench: a row failed: its figures are not given\n");
    return g_failed ? 1 : 0;
}
