// The parts of the sign engine that decide alone: the retry policy, as a table, and the
// ordered prefetcher's window.
#include "Prefetcher.h"
#include "RetryPolicy.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
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

// A shortage halves the window of items in flight; a stretch without one widens it again; an
// item prepared alone runs with no worker busy, and the items dropped for it come back in order.
TEST(Prefetcher, NarrowsAfterAShortageAndWidensAgain) {
    constexpr std::size_t kCount = 200;
    constexpr std::size_t kShort = 5;
    std::atomic<int> busy{0};
    std::atomic<int> preparedOfShort{0};
    int busyWhenAlone = -1;
    COrderedPrefetcher<std::size_t, Counter> ahead(
        kCount, 2,
        [&](std::size_t i, Counter&, bool inTurn) {
            const int now = ++busy;
            if (inTurn)
                busyWhenAlone = now;
            if (i == kShort)
                ++preparedOfShort;
            --busy;
            return i;
        },
        [&](const std::size_t& i) { return i == kShort && preparedOfShort == 1; });
    ASSERT_TRUE(ahead.Ahead());
    constexpr std::size_t full = 8; // four items per worker
    for (std::size_t i = 0; i < kCount; ++i) {
        const std::optional<std::size_t> taken = ahead.Take(i);
        ASSERT_TRUE(taken);
        EXPECT_EQ(*taken, i);
        if (i == kShort) {
            EXPECT_LT(ahead.Window(), full);
            EXPECT_EQ(ahead.PrepareAlone(i), i);
            EXPECT_EQ(busyWhenAlone, 1);
        }
    }
    EXPECT_EQ(preparedOfShort, 2);
    EXPECT_EQ(ahead.Window(), full);
}

} // namespace
