// Where the signed copy of a file goes: "<folder>\<base>_signed<ext>", and where strip puts
// the unsigned file back.
#pragma once

#include <filesystem>
#include <string>

// What the base name of a signed copy ends with.
inline constexpr std::filesystem::path::value_type kSignedSuffix[] = {'_', 's', 'i', 'g',
                                                                      'n', 'e', 'd', 0};

struct SplitName {
    std::filesystem::path::string_type base;
    // With its leading dot; empty when the name has no dot.
    std::filesystem::path::string_type extension;
};

// The file name of `path` split into base name and extension as the C runtime's _wsplitpath
// splits it: the extension starts at the last dot of the name, so ".profile" has an empty base
// name and "archive.tar.gz" the base name "archive.tar".
SplitName SplitFileName(const std::filesystem::path& path);

// The output path for `source`: the folder exactly as given, one separator, the base name,
// "_signed", the extension. A folder that already ends in a separator keeps it, so the path
// holds two; the file system reads them as one.
std::filesystem::path SignedOutputPath(const std::filesystem::path& folder,
                                       const std::filesystem::path& source);

// True when `path` has a name that signing gives (in any case, as Windows reads names).
bool MayBeSignedOutput(const std::filesystem::path& path);

// The path for the unsigned part of `source`: `folder` / the file name without the "_signed"
// that ends its base name, if any ("report_signed.doc" gives "report.doc").
std::filesystem::path UnsignedOutputPath(const std::filesystem::path& folder,
                                         const std::filesystem::path& source);
