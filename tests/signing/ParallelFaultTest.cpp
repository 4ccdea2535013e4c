// Faults and stops in runs of several jobs: from the same files and the same fault, a run of 1,
// 2 or 8 jobs leaves exactly the files, shows exactly the messages (with their causes), in the
// same order and with the same counts as the run of one file at a time; nothing temporary is
// left, and the copies read ahead of a stop are gone before the run ends.
#include "FaultyIo.h"
#include "FileIo.h"
#include "RootOnly.h"
#include "SignEngine.h"
#include "SignRecorder.h"
#include "TempDir.h"
#include "TestHooks.h"
#include "TextConvert.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <functional>
#include <map>
#include <mutex>
#include <thread>
#include <tuple>

#ifndef _WIN32
#include <sys/mount.h>
#endif

namespace fs = std::filesystem;

namespace {

// A recorder that adds each failure's cause, and can stop the run.
class CRunRecorder : public CSignRecorder {
public:
    CRunControl control;
    std::function<void()> atEnd;
    // Runs while the overwrite question is up, before its answer.
    std::function<void()> onQuestion;

    bool AskOverwrite(const SignMessage& question) override {
        if (onQuestion)
            onQuestion();
        return CSignRecorder::AskOverwrite(question);
    }

    void ReportFailure(const SignMessage& message) override {
        CSignRecorder::ReportFailure(message);
        events.back() += " (" + message.error.message() + ")";
    }
    void BatchFinished() override {
        if (atEnd)
            atEnd();
        CSignRecorder::BatchFinished();
    }
};

struct Scene {
    fs::path dir;
    unsigned jobs = 1;
    ExistingOutputs existing = ExistingOutputs::Replace;
    std::vector<SignItem> items;
    std::map<fs::path, Bytes> sources;
    CFaultyIo io;
    CRunRecorder recorder;

    fs::path Out() const { return dir / "out"; }
    // A source of `size` bytes, its copy in `subfolder` of the output folder.
    fs::path Add(const std::string& name, std::size_t size, const fs::path& subfolder = {}) {
        const fs::path path = dir / "src" / name;
        WriteBytes(path, PatternBytes(size, static_cast<std::uint32_t>(items.size() + 1)));
        sources[path] = ReadBytes(path);
        items.push_back({path, subfolder});
        return path;
    }
    // Twelve small files of distinct sizes, every third copy in a subfolder.
    void AddSmall(std::size_t from = 0) {
        for (std::size_t i = from; i < from + 12; ++i)
            Add(std::string("f").append(std::to_string(i)).append(".txt"), 1000 + 37 * i,
                i % 3 == 2 ? "sub" : "");
    }
};

// What a run did.
struct RunRecord {
    std::vector<std::string> events;
    std::vector<SignOutcome> outcomes;
    std::size_t signedCount = 0;
    // Every file below the output folder, temporaries included, by its relative path.
    std::map<std::string, Bytes> files;
    bool operator==(const RunRecord&) const = default;
};

void PrintTo(const RunRecord& record, std::ostream* out) {
    for (const auto& event : record.events)
        *out << "\n  " << event;
    *out << "\n  signed " << record.signedCount << ", files:";
    for (const auto& [name, bytes] : record.files)
        *out << " " << name << " (" << bytes.size() << ")";
}

std::map<std::string, Bytes> FilesBelow(const fs::path& folder) {
    std::map<std::string, Bytes> files;
    if (fs::exists(folder))
        for (const auto& entry : fs::recursive_directory_iterator(folder))
            if (entry.is_regular_file())
                files[fs::relative(entry.path(), folder).generic_string()] =
                    ReadBytes(entry.path());
    return files;
}

std::vector<std::string> Names(const std::map<std::string, Bytes>& files) {
    std::vector<std::string> names;
    for (const auto& file : files)
        names.push_back(file.first);
    return names;
}

// Tells when a copy read ahead is finished: a worker makes one copy at a time, so once one
// begins its second copy of the sources watched, its first one is done.
class CCopiesAhead {
public:
    // Watches the copies `io` makes of sources larger than `pastSize`.
    void Watch(CFaultyIo& io, std::int64_t pastSize) {
        std::lock_guard lock(m_mutex);
        m_begun.clear();
        io.onBegin = [this, pastSize](std::int64_t size) {
            if (size <= pastSize)
                return;
            std::lock_guard lock(m_mutex);
            ++m_begun[std::this_thread::get_id()];
            m_changed.notify_all();
        };
    }
    // Waits until a worker has finished one of them; a run of one job reads nothing ahead.
    void WaitForOne(unsigned jobs) {
        std::unique_lock lock(m_mutex);
        m_changed.wait(lock, [&] {
            return jobs == 1 || std::any_of(m_begun.begin(), m_begun.end(),
                                            [](const auto& thread) { return thread.second >= 2; });
        });
    }

private:
    std::mutex m_mutex;
    std::condition_variable m_changed;
    std::map<std::thread::id, int> m_begun;
};

class ParallelFaults : public testing::TestWithParam<std::tuple<unsigned, bool>> {
protected:
    using Setup = std::function<void(Scene&)>;

    ParallelFaults() {
        m_hooks->namedTemporaries = std::get<1>(GetParam());
        m_hooks->clock = FixedClock(1234567);
    }

    // Runs with `jobs` from fresh files made by `setup`; the sources stay as they were.
    RunRecord Run(const Setup& setup, unsigned jobs, const fs::path& out = {}) {
        std::error_code ignored;
        fs::remove_all(m_dir / "src", ignored);
        fs::create_directory(m_dir / "src");
        if (out.empty()) {
            fs::remove_all(m_dir / "out", ignored);
            fs::create_directory(m_dir / "out");
        }
        Scene scene;
        scene.dir = m_dir.Path();
        scene.jobs = jobs;
        setup(scene);
        SignRequest request;
        request.items = scene.items;
        request.outputFolder = out.empty() ? scene.Out() : out;
        request.text = u"Parallel \u00A9";
        request.existing = scene.existing;
        request.jobs = jobs;
        request.control = &scene.recorder.control;
        CScopedTestHooks hooks;
        hooks->byteIo = &scene.io;
        const SignResult result = RunSignBatch(request, scene.recorder);
        for (const auto& [path, bytes] : scene.sources)
            if (fs::exists(path)) {
                EXPECT_EQ(ReadBytes(path), bytes) << Text(path);
            }
        return {scene.recorder.events, result.outcomes, result.signedCount,
                FilesBelow(request.outputFolder)};
    }

    // The run with the parameter's jobs, after expecting it to be the run of one job.
    RunRecord Compare(const Setup& setup, const fs::path& out = {}) {
        const RunRecord one = Run(setup, 1, out);
        const unsigned jobs = std::get<0>(GetParam());
        if (jobs == 1)
            return one;
        const RunRecord many = Run(setup, jobs, out);
        EXPECT_EQ(many, one) << jobs << " jobs";
        return many;
    }

    TempDir m_dir;
    CScopedTestHooks m_hooks;
};

TEST_P(ParallelFaults, WriteErrorsKeepAnExistingOutput) {
    const Bytes existing = PatternBytes(123, 99);
    const RunRecord run = Compare([&](Scene& scene) {
        scene.AddSmall();
        scene.Add("big.bin", 3 << 20);
        scene.AddSmall(12);
        WriteBytes(scene.Out() / "big_signed.bin", existing);
        // A disk that takes 2 MiB per file: enough for the small ones, not for the big one.
        scene.io.writeLimit = 2 << 20;
    });
    EXPECT_EQ(run.signedCount, 24u);
    ASSERT_EQ(run.outcomes.size(), 25u);
    EXPECT_EQ(run.outcomes[12], SignOutcome::SignFailed);
    EXPECT_EQ(run.files.at("big_signed.bin"), existing);
    EXPECT_EQ(run.files.size(), 25u);
}

TEST_P(ParallelFaults, ReadErrorsAndFailedFlushes) {
    const RunRecord run = Compare([&](Scene& scene) {
        scene.Add("broken.bin", 3 << 20);
        scene.AddSmall();
        // A bad sector halfway through the big file.
        scene.io.readLimit = (1 << 20) + 17;
        scene.io.onlySourceSize = 3 << 20;
    });
    EXPECT_EQ(run.signedCount, 12u);
    EXPECT_EQ(run.outcomes[0], SignOutcome::SignFailed);
    EXPECT_EQ(run.files.count("broken_signed.bin"), 0u);
    EXPECT_EQ(run.events.size(), 4 + 2 * 13u) << "one message";

    const RunRecord flushes = Compare([&](Scene& scene) {
        scene.AddSmall();
        scene.io.flushFails = true;
        scene.io.onlySourceSize = 1000 + 37 * 4;
    });
    EXPECT_EQ(flushes.signedCount, 11u);
    EXPECT_EQ(flushes.outcomes[4], SignOutcome::SignFailed);
    EXPECT_EQ(flushes.files.size(), 11u);
}

// A source missing when the jobs read ahead, made before its turn: signed as in a run of one
// job. A source that stays missing is reported in its place.
TEST_P(ParallelFaults, FailedSourceIsDoneAgainInItsTurn) {
    const fs::path late = m_dir / "src" / "late.txt";
    const fs::path missing = m_dir / "src" / "missing.txt";
    const RunRecord run = Compare([&](Scene& scene) {
        scene.AddSmall();
        scene.items.insert(scene.items.begin() + 5, {late, {}});
        scene.items.insert(scene.items.begin() + 8, {missing, {}});
        // Whole at once: a worker that reads ahead meets it missing or whole, never half made.
        scene.recorder.beforeFile = [&](std::size_t position) {
            if (position != 6)
                return;
            WriteBytes(m_dir / "late.part", PatternBytes(777, 5));
            fs::rename(m_dir / "late.part", late);
        };
    });
    EXPECT_EQ(run.signedCount, 13u);
    EXPECT_EQ(run.outcomes[5], SignOutcome::Signed);
    EXPECT_EQ(run.outcomes[8], SignOutcome::CannotOpenForReading);
    EXPECT_EQ(run.files.count("late_signed.txt"), 1u);
}

// The folder goes before the third file, once a copy read ahead into it is done: the copies
// read ahead go with it, and every later file is refused as it is when nothing was read ahead.
TEST_P(ParallelFaults, OutputFolderDisappearsBetweenFiles) {
#ifdef _WIN32
    if (std::get<0>(GetParam()) > 1)
        GTEST_SKIP() << "Windows keeps a folder while the copies read ahead into it are open";
#endif
    CCopiesAhead ahead;
    const RunRecord run = Compare([&](Scene& scene) {
        scene.AddSmall();
        // A subfolder's copy would make the folder again.
        for (SignItem& item : scene.items)
            item.subfolder.clear();
        ahead.Watch(scene.io, 1000 + 37 * 1); // the files past the second
        scene.recorder.beforeFile = [&](std::size_t position) {
            if (position != 3)
                return;
            ahead.WaitForOne(scene.jobs);
            // A named copy read ahead may be made in it meanwhile: it goes too.
            std::error_code ignored;
            while (fs::exists(scene.Out()))
                fs::remove_all(scene.Out(), ignored);
        };
    });
    EXPECT_EQ(run.signedCount, 2u);
    ASSERT_EQ(run.outcomes.size(), 12u);
    for (std::size_t i = 2; i < 12; ++i)
        EXPECT_EQ(run.outcomes[i], SignOutcome::CannotWrite) << i;
    EXPECT_TRUE(run.files.empty());
#ifndef _WIN32
    // Each says the folder is gone, not what a copy into the folder opened before would meet.
    const std::string gone =
        " (" + std::make_error_code(std::errc::no_such_file_or_directory).message() + ")";
    EXPECT_EQ(std::count_if(run.events.begin(), run.events.end(),
                            [&](const std::string& event) { return event.ends_with(gone); }),
              10);
#endif
}

// A stop while the fourth file's overwrite question is up, answered Yes, drops that file in its
// turn (its existing output stays) and every copy read ahead, before the run ends; one of those
// is done before the stop.
TEST_P(ParallelFaults, StopDropsTheCopiesReadAhead) {
    const Bytes existing = PatternBytes(55, 9);
    std::vector<std::string> atEnd;
    CCopiesAhead ahead;
    const RunRecord run = Compare([&](Scene& scene) {
        scene.AddSmall();
        scene.AddSmall(12);
        scene.existing = ExistingOutputs::Ask;
        WriteBytes(scene.Out() / "f3_signed.txt", existing);
        ahead.Watch(scene.io, 1000 + 37 * 3); // the files past the fourth
        scene.recorder.onQuestion = [&] {
            ahead.WaitForOne(scene.jobs);
            scene.recorder.control.Stop();
        };
        scene.recorder.atEnd = [&] { atEnd = Names(FilesBelow(scene.Out())); };
    });
    EXPECT_EQ(run.signedCount, 3u);
    ASSERT_EQ(run.outcomes.size(), 4u);
    EXPECT_EQ(run.outcomes.back(), SignOutcome::Stopped);
    EXPECT_EQ(atEnd, (std::vector<std::string>{"f0_signed.txt", "f1_signed.txt", "f3_signed.txt",
                                               "sub/f2_signed.txt"}));
    EXPECT_EQ(run.files.at("f3_signed.txt"), existing);
}

#ifndef _WIN32
std::string CannotSign(const fs::path& source, std::errc cause) {
    return "message Error! error Could not sign file " + Text(source) + "! (" +
           std::make_error_code(cause).message() + ")";
}

// A real full disk: 1 MiB of tmpfs, a 2 MiB file first. Copies read ahead while the big one
// fills the disk fail too; in their turn there is room for them, as with one job.
TEST_P(ParallelFaults, RealFullDisk) {
    const fs::path disk = m_dir / "disk";
    fs::create_directory(disk);
    const bool mounted = ::mount("tmpfs", disk.c_str(), "tmpfs", 0, "size=1m") == 0;
    QUORVANE_ROOT_ONLY(mounted, "mounting a tmpfs");
    const fs::path big = m_dir / "src" / "big.bin";
    const RunRecord run = Compare(
        [&](Scene& scene) {
            for (const auto& entry : fs::directory_iterator(disk))
                fs::remove_all(entry.path());
            scene.Add("big.bin", 2 << 20);
            scene.AddSmall();
        },
        disk);
    ::umount2(disk.c_str(), MNT_DETACH);
    EXPECT_EQ(run.signedCount, 12u);
    ASSERT_FALSE(run.events.empty());
    EXPECT_EQ(run.outcomes[0], SignOutcome::SignFailed);
    EXPECT_EQ(std::count_if(run.events.begin(), run.events.end(),
                            [&](const std::string& event) {
                                return event == CannotSign(big, std::errc::no_space_on_device);
                            }),
              1);
}
#endif

INSTANTIATE_TEST_SUITE_P(Jobs, ParallelFaults,
                         testing::Combine(testing::Values(1u, 2u, 8u), testing::Bool()),
                         [](const testing::TestParamInfo<std::tuple<unsigned, bool>>& info) {
                             return std::to_string(std::get<0>(info.param)) + "Jobs" +
                                    (std::get<1>(info.param) ? "Named" : "Nameless");
                         });

} // namespace
