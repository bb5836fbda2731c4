#pragma once
// The command line: switches in the classic getopt form "q:epv::ahs::ib::",
// parsed in POSIX order (the switches end at the first word that is not one,
// and words are never reordered). Beside them, the long options --help,
// --version, --json, --recursive and --null, each a word of its own, and
// --files-from FILE, --db FILE and --jobs [N], whose argument is the next word or follows
// an "=" (--jobs takes the next word only when it is all digits).

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "options/scan_options.hpp"

namespace framelint::cli {

enum class parse_outcome {
    run,         // scan the files
    show_usage,  // -h, a bad switch, or no file argument: help text, status 1
    bad_min_run,  // -q below 2: its message, status 255
    bad_byte_budget,  // -b below 0: its message, status 255
    print_help,     // --help: help text on standard output, status 0
    print_version,  // --version: the version on standard output, status 0
    bad_combination // switches that cannot go together: the diagnostic, status 1
};

struct parsed_command_line {
    parse_outcome outcome = parse_outcome::run;
    scan_options options;
    std::vector<std::string> files;
    // --files-from: a list of more names to check after those above ("-": standard input).
    std::optional<std::string> files_from;
    bool null_separated = false;  // --null: the list's names end in NUL bytes, not newlines
    // --jobs: how many files are checked at once; 0 for --jobs without a number (every core).
    std::optional<unsigned> jobs;
    // --db FILE: the record of the collection, each file checked against it and recorded.
    std::optional<std::string> record_path;
    std::string diagnostic;  // the parser's own complaint, written before the help text
};

parsed_command_line parse_command_line(int argc, const char* const* argv);

// Why the switches cannot go with --fix (or --no-backup without it); "" when they can.
std::string fix_conflict(const parsed_command_line& command);

// atoi's reading of a number (leading blanks, a sign, digits; 0 when there are
// none), saturated rather than overflowing.
std::int64_t leading_number(const char* text);

// The most files --jobs checks at once.
constexpr unsigned max_jobs = 1024;

}  // namespace framelint::cli
