#include "CliHelp.h"

namespace clihelp {

namespace {

constexpr unsigned kCommands = kSign | kCheck | kStrip;

constexpr Option kOptions[] = {
    {"--text", "", true, kSign},
    {"--text-file", "", true, kSign},
    {"--out", "", true, kSign | kStrip},
    {"--force", "", false, kSign | kStrip},
    {"--no-clobber", "", false, kSign | kStrip},
    {"--recursive", "-r", false, kSign | kCheck},
    {"--follow-links", "-L", false, kSign | kCheck},
    {"--jobs", "", true, kCommands},
    {"--skip-kinds", "", false, kSign},
    {"--json", "", false, kCheck},
    {"--progress", "", false, kCommands},
    {"--no-progress", "", false, kCommands},
    {"--files-from", "", true, kCommands},
    {"--null", "-0", false, kCommands},
    {"--help", "-h", false, kCommands | kTop},
    {"--version", "", false, kTop},
};

std::vector<std::string> Names(Where command, bool valued) {
    std::vector<std::string> names;
    for (const Option& option : kOptions) {
        if (!(option.where & command) || option.takesValue != valued)
            continue;
        names.emplace_back(option.name);
        if (!option.alias.empty())
            names.emplace_back(option.alias);
    }
    return names;
}

} // namespace

std::span<const Option> Options() {
    return kOptions;
}

std::vector<std::string> Flags(Where command) {
    return Names(command, false);
}

std::vector<std::string> Valued(Where command) {
    return Names(command, true);
}

const std::string_view kSignUsage =
    "usage: quorvane-cli sign (--text TEXT | --text-file FILE) --out DIR [--force | --no-clobber]"
    " [-r [-L]] [--jobs N] [--skip-kinds] [--files-from LIST [-0]]\n"
    "       [--progress | --no-progress] PATH...\n"
    "       quorvane-cli sign (--text TEXT | --text-file FILE) --out - [--skip-kinds] (PATH | -)\n";
const std::string_view kCheckUsage =
    "       quorvane-cli check [--json] [-r [-L]] [--jobs N] [--files-from LIST [-0]]\n"
    "       [--progress | --no-progress] PATH...\n";
const std::string_view kStripUsage =
    "       quorvane-cli strip --out DIR [--force | --no-clobber] [--jobs N]"
    " [--files-from LIST [-0]]\n"
    "       [--progress | --no-progress] PATH...\n"
    "       quorvane-cli strip --out - (PATH | -)\n";
const std::string_view kOtherUsage = "       quorvane-cli -h | --help | --version\n"
                                     "       quorvane-cli COMMAND --help\n";

const std::string_view kSignHelp =
    "sign    writes DIR/<name>_signed<ext> for each PATH: the file's bytes followed by a\n"
    "        signature trailer carrying the text. Line breaks are stored as CR LF.\n"
    "        --text-file reads UTF-8 (a byte order mark is skipped) or UTF-16 with a byte\n"
    "        order mark (FF FE or FE FF), at most 32767 UTF-16 code units; - is standard\n"
    "        input. DIR must be an existing folder; otherwise nothing is done (exit status\n"
    "        2). An output that existed before the run is kept unless --force;\n"
    "        --no-clobber keeps it without a message. An output written earlier in the same\n"
    "        run is never replaced: the later file is refused. -r signs the regular files in\n"
    "        folders, keeping their structure below DIR (\"dir\" and \"dir/\" alike; the files\n"
    "        of \".\" and \"..\" go directly into DIR). --jobs N signs N files at once (the\n"
    "        default: one per processor), with the messages of a run of one at a time;\n"
    "        fewer when descriptors, memory or threads run short.\n"
    "        --out - writes the signed copy of one PATH to standard output; the PATH -\n"
    "        reads standard input (producer | quorvane-cli sign --text T - --out - | consumer).\n"
    "        A file of a kind whose own tools object to bytes after its end (xz, zstd, gzip,\n"
    "        bzip2, 7z, MP3 and its end tags, programs with an Authenticode signature, ...)\n"
    "        is signed after a warning line naming the file, its kind and what its tools\n"
    "        will do; --skip-kinds leaves such files out instead, as refused files.\n"
    "        Streams are judged too: a signed file before its kind, standard input from\n"
    "        its first bytes, before any goes out (all kinds but the end tags of MP3 and\n"
    "        other audio, and fixed VHDs: those are known from the last bytes, and\n"
    "        --skip-kinds refuses such a stream before its last 131084 bytes).\n";
const std::string_view kCheckHelp =
    "check   prints the text signed into each PATH; --json prints one JSON object per line:\n"
    "        path, signed, text (exact: CR LF kept, unpaired surrogates as \\udXXX escapes;\n"
    "        null when unsigned), signed_at (the signing time the trailer records, ISO 8601\n"
    "        UTC; the signer's clock, so it proves nothing; null when unsigned), or error\n"
    "        and reason when the file cannot be read. A path's\n"
    "        bytes that are not UTF-8 are given as \\udc80 to \\udcff, one per byte. -r checks\n"
    "        every file below the folders given, in the order of their paths. The PATH -\n"
    "        reads standard input to its end, keeping only its last 131084 bytes. --jobs N\n"
    "        reads N files at once (the default: one per processor), with the output of one\n"
    "        at a time.\n";
const std::string_view kListHelp =
    "\n"
    "--files-from LIST takes the paths in the file LIST (- for standard input) after the\n"
    "PATHs given, one per line, or separated by NUL bytes with -0 (--null), as find -print0\n"
    "writes them; empty ones are skipped. A list with an entry longer than the longest path\n"
    "the system takes, a NUL byte in a list of lines, or more than 1 GiB is refused (exit\n"
    "status 2). With -r (--recursive), a link given as PATH is followed; links met below\n"
    "one (to files and folders alike) are reported and not followed, as find does;\n"
    "-L (--follow-links) follows them (a link to a folder that holds it is reported as a loop). "
    "sign -r\n"
    "reports files named like Quorvane's unfinished copies (.quorvane-*.tmp) and leaves\n"
    "them out; check -r checks them.\n";
const std::string_view kStripHelp =
    "strip   writes each signed PATH without its trailer into DIR, named without _signed.\n"
    "        Existing outputs are treated as by sign; DIR must be an existing folder. --out -\n"
    "        writes to standard output; the PATH - reads standard input, holding back its\n"
    "        last 131084 bytes until the trailer is found. --jobs N reads N files at once\n"
    "        (the default: one per processor), with the messages and files of one at a time.\n";
const std::string_view kCommonHelp =
    "\n"
    "Only regular files are read. Copies keep the source's permission bits (less the umask,\n"
    "as cp gives them); each appears whole or not at all, also when the tool is killed.\n"
    "Exit status: 0 when every file was done, 1 when some file was refused, failed or holds\n"
    "no signature, 2 for a usage error, a failed write to standard output, or when nothing\n"
    "could be done; 130 on SIGINT, 129 on SIGHUP and 143 on SIGTERM, with nothing\n"
    "half-written left. When standard error is a pipe that is closed, messages stop and the\n"
    "work goes on. Standard output that is a terminal takes no signed or stripped bytes. A\n"
    "stream that fails or is refused stops before its last 131084 bytes: check the exit\n"
    "status. When standard output was closed at the start (>&-), what would go there\n"
    "(check, --out -, -h, --help, --version) is refused at once with exit status 2.\n"
    "Names and texts in messages and in check's output show what cannot be typed as\n"
    "escapes (\\t, \\n, \\r, \\x1b, \\u009b, \\u202e), so that a file's name or signature\n"
    "cannot drive the terminal; --json gives them exact.\n"
    "When standard error is a terminal, a line tells the files done of the files known, the\n"
    "bytes, the rate and the time left, redrawn at most ten times a second and erased before\n"
    "any message; --no-progress turns it off, --progress writes it as lines to any standard\n"
    "error (at most one a second). A pipe or a file gets only the messages.\n";

std::string AllUsage() {
    return std::string(kSignUsage) + std::string(kCheckUsage) + std::string(kStripUsage) +
           std::string(kOtherUsage);
}

std::string FullHelp() {
    return AllUsage() + "\n" + std::string(kSignHelp) + std::string(kCheckHelp) +
           std::string(kStripHelp) + std::string(kListHelp) + std::string(kCommonHelp);
}

} // namespace clihelp
