// quorvane-cli's command line: the options and operands of one command.
#pragma once

#include "Cli.h"

#include <algorithm>
#include <cstddef>
#include <optional>
#include <string>
#include <utility>
#include <vector>

// Options and operands of one command. `--` ends the options; "--name=value" is accepted
// beside "--name value".
struct ParsedArgs {
    std::vector<std::pair<std::string, std::optional<CliArg>>> options;
    std::vector<CliArg> operands;
    std::string problem;

    bool Has(const std::string& name) const {
        return std::any_of(options.begin(), options.end(),
                           [&](const auto& option) { return option.first == name; });
    }
    std::optional<CliArg> Value(const std::string& name) const {
        for (const auto& option : options)
            if (option.first == name)
                return option.second;
        return std::nullopt;
    }
    std::size_t Count(const std::string& name) const {
        return static_cast<std::size_t>(std::count_if(
            options.begin(), options.end(), [&](const auto& o) { return o.first == name; }));
    }
};

// `flags` and `valued` come from the reference's table of options (CliHelp.h).
ParsedArgs Parse(const std::vector<CliArg>& args, std::size_t first,
                 const std::vector<std::string>& flags, const std::vector<std::string>& valued);

// True when `args` ask for help before `--`.
bool AsksForHelp(const std::vector<CliArg>& args);
