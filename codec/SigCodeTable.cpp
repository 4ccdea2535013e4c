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

CSigCodeTable::CSigCodeTable() : m_inverse(0x10000, 0) {}

void CSigCodeTable::Build(std::uint32_t seed) {
    m_entries.fill(0);
    std::fill(m_inverse.begin(), m_inverse.end(), std::uint16_t{0});
    CSigRandom random;
    random.Seed(seed);
    m_draws = 0;
    // A draw that repeats an entry already taken is discarded; the inverse answers
    // "already taken" exactly as a scan of the filled entries would.
    for (std::size_t i = 0; i < kEntries;) {
        const auto code = static_cast<std::uint16_t>(random.Next());
        ++m_draws;
        if (m_inverse[code] != 0)
            continue;
        m_entries[i] = code;
        m_inverse[code] = static_cast<std::uint16_t>(i + 1);
        ++i;
    }
}

std::optional<std::uint8_t> CSigCodeTable::IndexOf(std::uint16_t code) const {
    const std::uint16_t slot = m_inverse[code];
    if (slot == 0)
        return std::nullopt;
    return static_cast<std::uint8_t>(slot - 1);
}
