#pragma once

#include <array>
#include <compare>
#include <cstdint>
#include <filesystem>
#include <optional>

// Identifies a file whatever the path that names it: its volume and its number there (128 bits
// on Windows, where ReFS uses them all).
struct FileIdentity {
    std::uint64_t volume = 0;
    std::array<std::uint64_t, 2> file{};
    auto operator<=>(const FileIdentity&) const = default;
};
std::optional<FileIdentity> IdentityOf(const std::filesystem::path& path);
