// Scratch files for tests: a fresh folder per test, removed with everything in it.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::filesystem::path& Path() const { return m_path; }
    std::filesystem::path operator/(const std::filesystem::path& name) const {
        return m_path / name;
    }

private:
    std::filesystem::path m_path;
};

using Bytes = std::vector<std::uint8_t>;

void WriteBytes(const std::filesystem::path& path, const Bytes& bytes);
Bytes ReadBytes(const std::filesystem::path& path);
// `count` bytes from a simple generator, the same for the same seed.
Bytes PatternBytes(std::size_t count, std::uint32_t seed);
// A seed for randomised tests: QUORVANE_TEST_SEED when set, else a fresh one. Tests print it
// on failure so that a run can be repeated.
std::uint32_t TestSeed();
