// The paths of a list of files (--files-from), one per line or separated by NUL bytes.
#pragma once

#include "Cli.h"

#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

// Reads the entries of a list into `paths`; false, with the problem, for a list that cannot
// name paths: an entry longer than any path, a NUL byte in a list of lines, or too long a list.
bool ReadList(std::FILE* file, bool nulSeparated, const std::string& name,
              std::vector<CliArg>& paths, std::string& problem);

// Adds the paths of the list `list` ("-": standard input, `in`) to `paths`; false, with the
// problem, when the list cannot be read or is refused (what was read is then given back).
bool AddListedPaths(const std::filesystem::path& list, bool nulSeparated, std::FILE* in,
                    std::vector<CliArg>& paths, std::string& problem);
