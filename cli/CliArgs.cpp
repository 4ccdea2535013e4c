#include "CliArgs.h"

#include "TextConvert.h"

// `flags` and `valued` come from the reference's table of options (CliHelp.h).
ParsedArgs Parse(const std::vector<CliArg>& args, std::size_t first,
                 const std::vector<std::string>& flags, const std::vector<std::string>& valued) {
    ParsedArgs parsed;
    bool optionsEnded = false;
    for (std::size_t i = first; i < args.size(); ++i) {
        const std::string text = PathUtf8(args[i]);
        if (optionsEnded || text.size() < 2 || text[0] != '-') {
            parsed.operands.push_back(args[i]);
            continue;
        }
        if (text == "--") {
            optionsEnded = true;
            continue;
        }
        const auto equals = text.find('=');
        const std::string name = text.substr(0, equals);
        if (std::find(flags.begin(), flags.end(), name) != flags.end() &&
            equals == std::string::npos) {
            parsed.options.emplace_back(name, std::nullopt);
        } else if (std::find(valued.begin(), valued.end(), name) != valued.end()) {
            if (equals != std::string::npos) {
                parsed.options.emplace_back(name, args[i].substr(equals + 1));
            } else if (i + 1 < args.size()) {
                parsed.options.emplace_back(name, args[++i]);
            } else {
                parsed.problem = "option " + Visible(name) + " needs a value";
                return parsed;
            }
        } else {
            parsed.problem = "unknown option " + Visible(text);
            return parsed;
        }
    }
    for (const auto& name : valued)
        if (parsed.Count(name) > 1)
            parsed.problem = "option " + name + " given twice";
    if ((parsed.Has("-0") || parsed.Has("--null")) && !parsed.Has("--files-from"))
        parsed.problem = "-0 goes with --files-from";
    if ((parsed.Has("-L") || parsed.Has("--follow-links")) &&
        !(parsed.Has("-r") || parsed.Has("--recursive")))
        parsed.problem = "-L goes with -r";
    if (parsed.Has("--files-from") && parsed.Value("--files-from") == CliArg(1, '-') &&
        parsed.Value("--text-file") == CliArg(1, '-'))
        parsed.problem = "standard input cannot give both the text and the list of files";
    if (parsed.Has("--progress") && parsed.Has("--no-progress"))
        parsed.problem = "--progress and --no-progress exclude each other";
    return parsed;
}

// True when `args` ask for help before `--`.
bool AsksForHelp(const std::vector<CliArg>& args) {
    for (std::size_t i = 1; i < args.size(); ++i) {
        const std::string text = PathUtf8(args[i]);
        if (text == "--")
            return false;
        if (text == "--help" || text == "-h")
            return true;
    }
    return false;
}
