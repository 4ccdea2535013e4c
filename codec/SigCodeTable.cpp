#include "SigCodeTable.h"

#include "SigClock.h"

#include <algorithm>

void CSigRandom::Seed(std::uint32_t seed) {
    std::uint32_t s = seed;
    for (std::uint32_t& word : m_w) {
        s = s * 29943829u - 1u;
        word = s;
    }
    m_seeded = true;
}

std::uint32_t CSigRandom::Next() {
    if (!m_seeded)
        Seed(SigNow());
    const std::uint64_t sum = std::uint64_t{2111111111u} * m_w[0] + std::uint64_t{1492u} * m_w[1] +
                              std::uint64_t{1776u} * m_w[2] + std::uint64_t{5115u} * m_w[3] +
                              m_w[4];
    m_w[0] = m_w[1];
    m_w[1] = m_w[2];
    m_w[2] = m_w[3];
    m_w[3] = static_cast<std::uint32_t>(sum);
    m_w[4] = static_cast<std::uint32_t>(sum >> 32);
    return m_w[3];
}

void CSigCodeTable::Build(std::uint32_t seed) {
    if (m_built && m_seed == seed)
        return;
    m_built = true;
    m_seed = seed;
    ++m_builds;
    m_entries.fill(0);
    m_taken.reset();
    CSigRandom random;
    random.Seed(seed);
    m_draws = 0;
    // A draw that repeats an entry already taken is discarded; m_taken answers exactly as a
    // scan of the entries filled so far would.
    for (std::size_t i = 0; i < kEntries;) {
        const auto code = static_cast<std::uint16_t>(random.Next());
        ++m_draws;
        if (m_taken[code])
            continue;
        m_taken[code] = true;
        m_entries[i] = code;
        m_sorted[i] = (std::uint32_t{code} << 8) | static_cast<std::uint32_t>(i);
        ++i;
    }
    std::sort(m_sorted.begin(), m_sorted.end());
}

std::optional<std::uint8_t> CSigCodeTable::IndexOf(std::uint16_t code) const {
    const std::uint32_t key = std::uint32_t{code} << 8;
    const auto found = std::lower_bound(m_sorted.begin(), m_sorted.end(), key);
    if (found == m_sorted.end() || (*found >> 8) != code)
        return std::nullopt;
    return static_cast<std::uint8_t>(*found & 0xFF);
}
