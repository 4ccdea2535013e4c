// quorvane-cli's reference: the usage and help texts, and the one table of each command's
// options, from which the parser takes the names it accepts.
#pragma once

#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace clihelp {

// Where an option is taken: a command, or before any (quorvane-cli --version).
enum Where : unsigned {
    kSign = 1,
    kCheck = 2,
    kStrip = 4,
    kTop = 8,
};

struct Option {
    std::string_view name;  // the long form
    std::string_view alias; // a short form, or empty
    bool takesValue;        // --name VALUE and --name=VALUE
    unsigned where;         // Where bits
};

std::span<const Option> Options();

// The names, aliases included, that `command` (one Where bit) takes without and with a value.
std::vector<std::string> Flags(Where command);
std::vector<std::string> Valued(Where command);

extern const std::string_view kSignUsage;
extern const std::string_view kCheckUsage;
extern const std::string_view kStripUsage;
extern const std::string_view kOtherUsage;
extern const std::string_view kSignHelp;
extern const std::string_view kCheckHelp;
extern const std::string_view kStripHelp;
extern const std::string_view kListHelp;
extern const std::string_view kCommonHelp;

// Every command's usage, as a usage error shows it.
std::string AllUsage();
// What quorvane-cli --help prints.
std::string FullHelp();

} // namespace clihelp
