// The parts of the sign engine that decide alone: the retry policy, as a table, and the
// ordered prefetcher's window.
#include "Prefetcher.h"
#include "RetryPolicy.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <condition_variable>
#include <map>
#include <mutex>
#include <new>
#include <numeric>
#include <set>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace {

constexpr auto Ahead = StagedWhen::Ahead;
constexpr auto InTurn = StagedWhen::InTurn;
constexpr auto Alone = StagedWhen::Alone;
constexpr auto Staged = StageStatus::Staged;
constexpr auto Failed = StageStatus::Failed;
constexpr auto Stopped = StageStatus::Stopped;
constexpr auto Source = Culprit::Source;
constexpr auto SourceRead = Culprit::SourceRead;
constexpr auto Output = Culprit::Output;
constexpr auto Keep = Retry::Keep;
constexpr auto Again = Retry::Again;
constexpr auto AgainAlone = Retry::AgainAlone;

struct Row {
    StagingFacts facts;
    Retry expected;
};

TEST(RetryPolicy, AfterStaging) {
    const Row rows[] = {
        // when, status, culprit, shortage, source written this run
        {{Ahead, Staged, Output, false, false}, Keep},
        {{Ahead, Staged, Output, false, true}, Again},
        {{Ahead, Failed, Source, false, false}, Again},
        {{Ahead, Failed, Output, false, false}, Again},
        {{Ahead, Failed, SourceRead, false, false}, Keep},
        {{Ahead, Failed, SourceRead, false, true}, Again},
        {{Ahead, Failed, Output, true, false}, AgainAlone},
        {{Ahead, Failed, Source, true, false}, AgainAlone},
        {{Ahead, Stopped, Output, false, true}, Keep},
        {{InTurn, Failed, Source, false, true}, Keep},
        {{InTurn, Failed, Output, false, false}, Keep},
        {{InTurn, Staged, Output, false, true}, Keep},
        {{InTurn, Failed, Output, true, false}, AgainAlone},
        {{Alone, Failed, Output, true, false}, Keep},
        {{Alone, Failed, Source, false, true}, Keep},
        {{Alone, Stopped, Output, false, false}, Keep},
    };
    for (const Row& row : rows) {
        const StagingFacts& f = row.facts;
        EXPECT_EQ(AfterStaging(f), row.expected)
            << "when " << static_cast<int>(f.when) << ", status " << static_cast<int>(f.status)
            << ", culprit " << static_cast<int>(f.culprit) << ", shortage " << f.shortage
            << ", written " << f.sourceWrittenThisRun;
    }
}

TEST(RetryPolicy, AfterFailedCommit) {
    EXPECT_EQ(AfterFailedCommit(Ahead, false), Again);
    EXPECT_EQ(AfterFailedCommit(Ahead, true), Keep);
    EXPECT_EQ(AfterFailedCommit(InTurn, false), Keep);
    EXPECT_EQ(AfterFailedCommit(Alone, false), Keep);
}

struct Counter {
    int prepared = 0;
};

// Without workers every item is prepared in its turn, on the calling thread, once.
TEST(Prefetcher, OneJobPreparesEachItemInItsTurn) {
    const std::thread::id caller = std::this_thread::get_id();
    std::vector<std::size_t> order;
    COrderedPrefetcher<std::size_t, Counter> ahead(5, 1, [&](std::size_t i, Counter&, bool inTurn) {
        EXPECT_TRUE(inTurn);
        EXPECT_EQ(std::this_thread::get_id(), caller);
        order.push_back(i);
        return i * 10;
    });
    EXPECT_FALSE(ahead.Ahead());
    for (std::size_t i = 0; i < 5; ++i) {
        EXPECT_EQ(order.size(), i); // nothing is prepared before its turn
        EXPECT_EQ(ahead.Take(i), i * 10);
    }
}

// Items from a source whose length is known only at its end are loaded no further ahead than
// the items in flight, however many come; what the source throws comes out in its turn.
TEST(Prefetcher, ItemsOfASourceAreLoadedNoFurtherAheadThanTheWindow) {
    using Ahead = COrderedPrefetcher<std::size_t, Counter>;
    for (const unsigned jobs : {1u, 2u}) {
        std::size_t taken = 0;
        Ahead ahead([](std::size_t index) { return index < 1000; }, jobs,
                    [](std::size_t i, Counter&, bool) { return i * 10; });
        for (std::size_t i = 0; ahead.Has(i); ++i) {
            ASSERT_LE(ahead.Known(), i + Ahead::RingSize(jobs)) << jobs;
            ASSERT_EQ(ahead.Take(i), i * 10);
            ++taken;
        }
        EXPECT_EQ(taken, 1000u);
        Ahead failing(
            [](std::size_t index) {
                if (index == 5)
                    throw std::bad_alloc();
                return true;
            },
            jobs, [](std::size_t i, Counter&, bool) { return i; });
        for (std::size_t i = 0; i < 5; ++i) {
            ASSERT_TRUE(failing.Has(i));
            EXPECT_EQ(failing.Take(i), i);
        }
        EXPECT_THROW(failing.Has(5), std::bad_alloc) << jobs;
    }
}

// A worker that finds no memory to load the next item leaves it to the calling thread's turn:
// the run goes on with every item, in order (it ended the run before).
TEST(Prefetcher, AWorkerWithoutMemoryForTheNextItemLeavesItToItsTurn) {
    using Ahead = COrderedPrefetcher<std::size_t, Counter>;
    const std::thread::id caller = std::this_thread::get_id();
    std::mutex mutex;
    std::condition_variable thrown;
    bool threw = false;
    Ahead ahead(
        [&](std::size_t index) {
            if (index == 5 && std::this_thread::get_id() != caller) {
                std::lock_guard lock(mutex);
                if (!std::exchange(threw, true)) {
                    thrown.notify_all();
                    throw std::bad_alloc();
                }
            }
            return index < 20;
        },
        2, [](std::size_t i, Counter&, bool) { return i; });
    {
        // The workers load up to eight items before any is taken: one of them meets item 5.
        std::unique_lock lock(mutex);
        thrown.wait(lock, [&] { return threw; });
    }
    std::size_t taken = 0;
    for (std::size_t i = 0; ahead.Has(i); ++i) {
        ASSERT_EQ(ahead.Take(i), i);
        ++taken;
    }
    EXPECT_EQ(taken, 20u);
}

// The workers held: an item a worker prepares waits until the test lets it go, so that what is
// in flight, and the window, are known at every step.
class HeldItems {
public:
    explicit HeldItems(std::set<std::size_t> shortOnce) : m_shortOnce(std::move(shortOnce)) {}

    std::size_t Prepare(std::size_t i, bool inTurn) {
        std::unique_lock lock(m_mutex);
        if (inTurn) {
            alone.emplace_back(i, started.size() - m_finished);
            return i;
        }
        started.push_back(i);
        m_changed.notify_all();
        m_changed.wait(lock, [&] { return m_open || m_released[i] > 0; });
        --m_released[i];
        return i;
    }
    // The prefetcher asks it with its lock held, just before it sets the window for item i.
    bool Shortage(std::size_t i) {
        std::lock_guard lock(m_mutex);
        ++m_finished;
        m_changed.notify_all();
        return ++m_finishedOf[i] == 1 && m_shortOnce.count(i) > 0;
    }
    // Lets item i go and waits until the prefetcher has set the window for it.
    void Release(std::size_t i) {
        std::unique_lock lock(m_mutex);
        const int finished = m_finishedOf[i];
        ++m_released[i];
        m_changed.notify_all();
        m_changed.wait(lock, [&] { return m_finishedOf[i] > finished; });
    }
    std::size_t AwaitStarted(std::size_t count) {
        std::unique_lock lock(m_mutex);
        m_changed.wait(lock, [&] { return started.size() >= count; });
        return started.size();
    }
    void OpenAll() {
        std::lock_guard lock(m_mutex);
        m_open = true;
        m_changed.notify_all();
    }

    std::vector<std::size_t> started;                       // by the workers, in order
    std::vector<std::pair<std::size_t, std::size_t>> alone; // (item, workers busy meanwhile)

private:
    const std::set<std::size_t> m_shortOnce;
    std::mutex m_mutex;
    std::condition_variable m_changed;
    std::map<std::size_t, int> m_released, m_finishedOf;
    std::size_t m_finished = 0;
    bool m_open = false;
};

// Two workers, four items each in flight at most; a shortage halves what is in flight, and 16
// items without one double the window again. Each step: release (R) an item held on its
// worker, take (T) one, or prepare one alone (A); then the window, and how many items the
// workers have started.
TEST(Prefetcher, NarrowsAfterAShortageAndWidensAgain) {
    struct Step {
        char what;
        std::size_t item, window, started;
    };
    // clang-format off
    std::vector<Step> steps = {
        // Nothing taken: eight items prepared ahead, no more.
        {'R', 0, 8, 3}, {'R', 1, 8, 4}, {'R', 2, 8, 5}, {'R', 3, 8, 6}, {'R', 4, 8, 7},
        {'R', 5, 8, 8}, {'R', 6, 8, 8}, {'T', 0, 8, 9},
        // Item 7 meets a shortage with 1..8 in flight: four; item 9 waits for room.
        {'R', 7, 4, 9}, {'T', 1, 4, 9}, {'T', 2, 4, 9}, {'T', 3, 4, 9}, {'T', 4, 4, 9},
        {'T', 5, 4, 10}, {'R', 8, 4, 10}, {'R', 9, 4, 10}, {'T', 6, 4, 11}, {'T', 7, 4, 12},
        {'R', 10, 4, 12}, {'R', 11, 4, 12},
        // Item 7 again, alone: 8..11 in flight halve the window; they are dropped and
        // prepared again, in order, two at a time.
        {'A', 7, 2, 14}, {'R', 8, 2, 14}, {'R', 9, 2, 14}, {'T', 8, 2, 15}, {'T', 9, 2, 16}};
    for (std::size_t i = 10; i < 22; i += 2)
        steps.insert(steps.end(), {{'R', i, 2, i + 6}, {'R', i + 1, 2, i + 6},
                                   {'T', i, 2, i + 7}, {'T', i + 1, 2, i + 8}});
    steps.insert(steps.end(), {
        // The 16th item since item 7 alone widens the window: each worker starts one more.
        {'R', 22, 2, 28}, {'R', 23, 4, 30}, {'T', 22, 4, 30}, {'T', 23, 4, 30},
        // Item 24 meets a shortage with two in flight: one.
        {'R', 24, 1, 30}, {'R', 25, 1, 30}, {'T', 24, 1, 30}, {'T', 25, 1, 31},
        {'R', 26, 1, 31}, {'T', 26, 1, 31}});
    // clang-format on
    HeldItems held({7, 24});
    COrderedPrefetcher<std::size_t, Counter> ahead(
        27, 2, [&](std::size_t i, Counter&, bool inTurn) { return held.Prepare(i, inTurn); },
        [&](const std::size_t& i) { return held.Shortage(i); });
    struct Opener {
        HeldItems& held;
        ~Opener() { held.OpenAll(); } // before the prefetcher joins its workers
    } opener{held};
    ASSERT_TRUE(ahead.Ahead());
    ASSERT_EQ(held.AwaitStarted(2), 2u);
    ASSERT_EQ(ahead.Window(), 8u);
    for (const Step& step : steps) {
        SCOPED_TRACE(std::string(1, step.what) + std::to_string(step.item));
        if (step.what == 'R')
            held.Release(step.item);
        else if (step.what == 'T')
            ASSERT_EQ(ahead.Take(step.item), step.item);
        else
            ASSERT_EQ(ahead.PrepareAlone(step.item), step.item);
        ASSERT_EQ(ahead.Window(), step.window);
        ASSERT_EQ(held.AwaitStarted(step.started), step.started);
    }
    // Every item once, and 8..11 again (two workers starting at once note theirs in any order).
    std::vector<std::size_t> each(27);
    std::iota(each.begin(), each.end(), 0);
    each.insert(each.end(), {8, 9, 10, 11});
    std::sort(each.begin(), each.end());
    std::sort(held.started.begin(), held.started.end());
    EXPECT_EQ(held.started, each);
    EXPECT_EQ(held.alone, (std::vector<std::pair<std::size_t, std::size_t>>{{7, 0}}));
}

} // namespace
