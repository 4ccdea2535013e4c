#include "SigClock.h"
#include "SigCodeTable.h"
#include "TestHooks.h"

#include <gtest/gtest.h>

#include <array>
#include <set>
#include <vector>

namespace {

struct SeedVector {
    std::uint32_t seed;
    std::array<std::uint32_t, 5> words; // after seeding, w1..w5
    std::vector<std::uint16_t> firstEntries;
};

const SeedVector kSeedVectors[] = {
    {0,
     {0xFFFFFFFF, 0xFE3717EA, 0x61010631, 0xE9F9EA04, 0x84B3D253},
     {0xE430, 0xA3BE, 0xAE6C, 0x0EBA, 0x95A4, 0xD2BE, 0x9E76, 0x415D}},
    {1,
     {0x01C8E814, 0x9B6D29A3, 0xD808225E, 0x4F4001B5, 0x8C342BD8},
     {0xB0F7, 0x5A79, 0x53D8, 0x9E5B}},
};

TEST(SigRandom, SeedingSetsTheFiveWords) {
    for (const auto& vector : kSeedVectors) {
        CSigRandom random;
        EXPECT_FALSE(random.IsSeeded());
        random.Seed(vector.seed);
        EXPECT_TRUE(random.IsSeeded());
        EXPECT_EQ(random.Words(), vector.words) << "seed " << vector.seed;
    }
}

TEST(SigRandom, FirstOutputsOfSeedZero) {
    CSigRandom random;
    random.Seed(0);
    EXPECT_EQ(random.Next(), 0x8B77E430u);
    EXPECT_EQ(random.Next(), 0x3F7EA3BEu);
    EXPECT_EQ(random.Next(), 0xD317AE6Cu);
    EXPECT_EQ(random.Next(), 0xCFD50EBAu);
}

TEST(SigRandom, UnseededGeneratorSeedsItselfFromTheClock) {
    CScopedTestHooks hooks;
    hooks->clock = FixedClock(1);
    CSigRandom fromClock;
    CSigRandom seeded;
    seeded.Seed(1);
    EXPECT_EQ(fromClock.Next(), seeded.Next());
    EXPECT_TRUE(fromClock.IsSeeded());
}

// A scope starts from the hooks in force and puts them back when it ends, inner ones first.
TEST(TestHooks, ScopesNestAndPutThePreviousHooksBack) {
    EXPECT_FALSE(ActiveTestHooks().clock);
    {
        CScopedTestHooks outer;
        outer->clock = FixedClock(1);
        outer->namedTemporaries = true;
        {
            CScopedTestHooks inner;
            EXPECT_EQ(SigNow(), 1u);
            inner->clock = FixedClock(2);
            EXPECT_EQ(SigNow(), 2u);
            EXPECT_TRUE(ActiveTestHooks().namedTemporaries);
        }
        EXPECT_EQ(SigNow(), 1u);
    }
    EXPECT_FALSE(ActiveTestHooks().clock);
}

TEST(SigCodeTable, EntriesForKnownSeeds) {
    CSigCodeTable table;
    for (const auto& vector : kSeedVectors) {
        table.Build(vector.seed);
        for (std::size_t b = 0; b < vector.firstEntries.size(); ++b)
            EXPECT_EQ(table[b], vector.firstEntries[b]) << "seed " << vector.seed << " entry " << b;
    }
    table.Build(1);
    EXPECT_EQ(table.DrawsOfLastBuild(), 256u);
}

TEST(SigCodeTable, SeedZeroDiscardsOneRepeatAndEndsWith0F75) {
    CSigCodeTable table;
    table.Build(0);
    EXPECT_EQ(table.DrawsOfLastBuild(), 257u);
    EXPECT_EQ(table[255], 0x0F75);

    // The 169th draw repeats the 131st (0x0BF4) and is skipped: entry 130 holds it and entry
    // 168 holds the 170th draw.
    CSigRandom random;
    random.Seed(0);
    std::vector<std::uint16_t> draws;
    for (int i = 0; i < 257; ++i)
        draws.push_back(static_cast<std::uint16_t>(random.Next()));
    EXPECT_EQ(draws[130], 0x0BF4);
    EXPECT_EQ(draws[168], 0x0BF4);
    EXPECT_EQ(table[130], 0x0BF4);
    EXPECT_EQ(table[168], draws[169]);
}

TEST(SigCodeTable, CarryIsKeptWhole) {
    CSigCodeTable table;
    table.Build(0x40000000);
    const std::uint16_t expected[] = {0xE430, 0xD24A, 0xED1C, 0xC6FE};
    for (std::size_t b = 0; b < 4; ++b)
        EXPECT_EQ(table[b], expected[b]) << "entry " << b;
}

TEST(SigCodeTable, EntriesAreDistinctAndInvertible) {
    CSigCodeTable table;
    for (std::uint32_t seed : {0u, 1u, 0x40000000u, 0x12345678u, 0xFFFFFFFFu, 1700000000u}) {
        table.Build(seed);
        const auto first = table.Entries();
        std::set<std::uint16_t> distinct(first.begin(), first.end());
        EXPECT_EQ(distinct.size(), 256u) << "seed " << seed;
        for (std::size_t b = 0; b < 256; ++b)
            ASSERT_EQ(table.IndexOf(table[b]), std::optional<std::uint8_t>(b)) << "seed " << seed;
        table.Build(seed);
        EXPECT_EQ(table.Entries(), first) << "seed " << seed;
    }
}

TEST(SigCodeTable, IndexOfFailsForCodesNotInTheTable) {
    CSigCodeTable table;
    table.Build(0);
    std::set<std::uint16_t> held(table.Entries().begin(), table.Entries().end());
    int misses = 0;
    for (std::uint32_t code = 0; code <= 0xFFFF; ++code) {
        const auto found = table.IndexOf(static_cast<std::uint16_t>(code));
        EXPECT_EQ(found.has_value(), held.count(static_cast<std::uint16_t>(code)) == 1);
        misses += found ? 0 : 1;
    }
    EXPECT_EQ(misses, 0x10000 - 256);
    // A rebuild forgets the codes of the previous table.
    const std::uint16_t oldCode = table[7];
    table.Build(1);
    std::set<std::uint16_t> now(table.Entries().begin(), table.Entries().end());
    if (now.count(oldCode) == 0) {
        EXPECT_FALSE(table.IndexOf(oldCode).has_value());
    }
}

} // namespace
