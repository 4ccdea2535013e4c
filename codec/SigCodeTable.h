// The code table: 256 distinct 16-bit codes, one per byte value, derived from a 32-bit seed by
// a five-word multiply-with-carry generator. Bit-exact: every build must derive the same table.
#pragma once

#include <array>
#include <bitset>
#include <cstddef>
#include <cstdint>
#include <optional>

class CSigRandom {
public:
    void Seed(std::uint32_t seed);
    // Seeds itself from the clock first if Seed was never called.
    std::uint32_t Next();

    bool IsSeeded() const { return m_seeded; }
    // w1..w4 are the lags (w4 the latest output), w5 the carry; index 0 is w1.
    const std::array<std::uint32_t, 5>& Words() const { return m_w; }

private:
    bool m_seeded = false;
    std::array<std::uint32_t, 5> m_w{};
};

class CSigCodeTable {
public:
    static constexpr std::size_t kEntries = 256;

    // Derives the table of `seed`; a table already holding it stays as it is.
    void Build(std::uint32_t seed);
    // The byte value whose code is `code`, or nothing when no entry holds it.
    std::optional<std::uint8_t> IndexOf(std::uint16_t code) const;

    std::uint16_t operator[](std::size_t byte) const { return m_entries[byte]; }
    const std::array<std::uint16_t, kEntries>& Entries() const { return m_entries; }
    // Generator outputs consumed by the last Build, repeats included.
    unsigned DrawsOfLastBuild() const { return m_draws; }
    // The seed of the table now held.
    std::uint32_t BuiltSeed() const { return m_seed; }
    // How many tables this object has derived.
    unsigned Builds() const { return m_builds; }

private:
    std::array<std::uint16_t, kEntries> m_entries{};
    // The codes in use, and (code << 8 | byte) sorted for IndexOf: small enough to keep the
    // table on the caller's stack.
    std::bitset<0x10000> m_taken;
    std::array<std::uint32_t, kEntries> m_sorted{};
    unsigned m_draws = 0;
    unsigned m_builds = 0;
    bool m_built = false;
    std::uint32_t m_seed = 0;
};
