#pragma once
// The command line: switches in the classic getopt form "q:epv::ahs::ib::",
// parsed in POSIX order (the switches end at the first word that is not one,
// and words are never reordered). Beside them, the long options --help,
// --version, --json and --recursive, each a word of its own.

#include <cstdint>
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
    std::string diagnostic;  // the parser's own complaint, written before the help text
};

parsed_command_line parse_command_line(int argc, const char* const* argv);

// Why the switches cannot go with --fix (or --no-backup without it); "" when they can.
std::string fix_conflict(const parsed_command_line& command);

// atoi's reading of a number (leading blanks, a sign, digits; 0 when there are
// none), saturated rather than overflowing.
std::int64_t leading_number(const char* text);

}  // namespace framelint::cli
