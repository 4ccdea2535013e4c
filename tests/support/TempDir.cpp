#include "TempDir.h"

#include "FileIo.h"

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <random>
#include <stdexcept>
#include <system_error>

TempDir::TempDir() {
    static std::atomic<unsigned> counter{0};
    std::random_device entropy;
    const auto base = std::filesystem::temp_directory_path();
    for (int attempt = 0; attempt < 100; ++attempt) {
        const auto name = "quorvane-test-" + std::to_string(entropy()) + "-" +
                          std::to_string(counter.fetch_add(1));
        std::error_code error;
        if (std::filesystem::create_directory(base / name, error)) {
            m_path = base / name;
            return;
        }
    }
    throw std::runtime_error("cannot create a temporary folder in " + base.string());
}

TempDir::~TempDir() {
    std::error_code ignored;
    std::filesystem::permissions(m_path, std::filesystem::perms::owner_all,
                                 std::filesystem::perm_options::add, ignored);
    std::filesystem::remove_all(m_path, ignored);
}

void WriteBytes(const std::filesystem::path& path, const Bytes& bytes) {
    UniqueFile file = OpenFile(path, "wb");
    if (!file ||
        (!bytes.empty() && std::fwrite(bytes.data(), 1, bytes.size(), file.get()) != bytes.size()))
        throw std::runtime_error("cannot write " + path.string());
}

Bytes ReadBytes(const std::filesystem::path& path) {
    UniqueFile file = OpenFile(path, "rb");
    if (!file)
        throw std::runtime_error("cannot read " + path.string());
    Bytes bytes;
    std::uint8_t block[65536];
    for (std::size_t got; (got = std::fread(block, 1, sizeof block, file.get())) > 0;)
        bytes.insert(bytes.end(), block, block + got);
    return bytes;
}

Bytes PatternBytes(std::size_t count, std::uint32_t seed) {
    std::mt19937 generator(seed);
    Bytes bytes(count);
    for (auto& byte : bytes)
        byte = static_cast<std::uint8_t>(generator());
    return bytes;
}

std::uint32_t TestSeed() {
    if (const char* fixed = std::getenv("QUORVANE_TEST_SEED"))
        return static_cast<std::uint32_t>(std::strtoul(fixed, nullptr, 0));
    return static_cast<std::uint32_t>(std::chrono::steady_clock::now().time_since_epoch().count());
}
