#include "cli/switches.hpp"

#include <algorithm>
#include <cctype>
#include <cstring>
#include <limits>
#include <string_view>

namespace framelint::cli {

std::int64_t leading_number(const char* text)
{
    const char* p = text;
    while (*p == ' ' || (*p >= '\t' && *p <= '\r')) {
        ++p;
    }
    bool negative = false;
    if (*p == '+' || *p == '-') {
        negative = *p == '-';
        ++p;
    }
    constexpr std::int64_t limit = std::numeric_limits<std::int64_t>::max();
    std::int64_t value = 0;
    for (; std::isdigit(static_cast<unsigned char>(*p)) != 0; ++p) {
        const int digit = *p - '0';
        value = value > (limit - digit) / 10 ? limit : value * 10 + digit;
    }
    return negative ? -value : value;
}

namespace {

// Switches acted on as they are read; false when the run must end here.
struct switch_reader {
    parsed_command_line& result;
    const char* program;

    bool stop(parse_outcome outcome)
    {
        result.outcome = outcome;
        return false;
    }

    bool complain(const char* what, char letter)
    {
        result.diagnostic = std::string(program) + ": " + what + " -- '" + letter + "'\n";
        return stop(parse_outcome::show_usage);
    }

    // One switch letter; attached is the rest of its word (empty when none).
    // Returns false to end parsing; sets used_rest when the rest of the word was taken.
    bool act(char letter, const char* attached, bool& used_rest, int& index, int argc, const char* const* argv)
    {
        scan_options& o = result.options;
        switch (letter) {
        case 'a': o.check_all = true; return true;
        case 'c': o.integrity = true; return true;
        case 'e': o.id3v2_error = true; return true;
        case 'i': o.id3_tag = true; return true;
        case 'p': o.one_line = true; return true;
        case 'r': o.recursive = true; return true;
        case 'h': return stop(parse_outcome::show_usage);
        case 'b':
            used_rest = true;
            o.byte_search = true;
            if (*attached != '\0') {
                o.byte_count = leading_number(attached);
                // A budget below zero would check nothing and call that clean.
                if (*o.byte_count < 0) {
                    return stop(parse_outcome::bad_byte_budget);
                }
            }
            return true;
        case 's':
            used_rest = true;
            o.to_stdout = true;
            o.super_silent = o.super_silent || attached[0] == 's';
            o.fix_stream = o.fix_stream || attached[0] == 'f';
            return true;
        case 'v':
            used_rest = true;
            o.verbose = true;
            o.very_verbose = o.very_verbose || attached[0] == 'v';
            return true;
        case 'q': {
            used_rest = true;
            const char* argument = attached;
            if (*argument == '\0') {
                if (index + 1 >= argc) {
                    return complain("option requires an argument", 'q');
                }
                argument = argv[++index];
            }
            const std::int64_t value = leading_number(argument);
            if (value < 2) {
                return stop(parse_outcome::bad_min_run);
            }
            o.min_frames = value;
            o.min_run_set = true;
            return true;
        }
        default:
            return complain("invalid option", letter);
        }
    }

    // --summary, or --summary= with a comma-separated list of "all" (clean
    // files get their line too) and "offsets" (each finding says where it is).
    bool summary_words(std::string_view word)
    {
        scan_options& o = result.options;
        o.person_report = true;
        o.integrity = true;  // a report for people must not pass a file with no audio in it
        if (word == "--summary") {
            return true;
        }
        std::string_view rest = word.substr(std::string_view("--summary=").size());
        for (;;) {
            const std::size_t comma = rest.find(',');
            const std::string_view part = rest.substr(0, comma);
            if (part == "all") {
                o.person_all = true;
            } else if (part == "offsets") {
                o.person_offsets = true;
            } else {
                result.diagnostic = std::string(program) + ": --summary takes all, offsets or all,offsets, not '" +
                                    std::string(part) + "'\n";
                return stop(parse_outcome::bad_combination);
            }
            if (comma == std::string_view::npos) {
                return true;
            }
            rest = rest.substr(comma + 1);
        }
    }

    // A word that begins with "--": a long option, or else an invalid option '-'
    // (its first letter read as a switch). Returns false to end parsing, as act().
    bool act_long(std::string_view word, int& index, int argc, const char* const* argv)
    {
        scan_options& o = result.options;
        if (word == "--files-from" || word == "--jobs" || word.starts_with("--files-from=") ||
            word.starts_with("--jobs=") || word == "--db" || word.starts_with("--db=")) {
            return act_with_argument(word, index, argc, argv);
        }
        if (word == "--null") {
            result.null_separated = true;
        } else if (word == "--json") {
            o.json_lines = true;
        } else if (word == "--summary" || word.starts_with("--summary=")) {
            return summary_words(word);
        } else if (word == "--recursive") {
            o.recursive = true;
        } else if (word == "--fix") {
            o.fix_in_place = true;
            o.integrity = true;  // the repair works from what -c finds
        } else if (word == "--no-backup") {
            o.no_backup = true;
        } else if (word == "--add-xing") {
            o.add_xing = true;
        } else if (word == "--keep-times") {
            o.keep_times = true;
        } else if (word == "--help") {
            return stop(parse_outcome::print_help);
        } else if (word == "--version") {
            return stop(parse_outcome::print_version);
        } else {
            return complain("invalid option", '-');
        }
        return true;
    }

    bool refuse(const std::string& why)
    {
        result.diagnostic = std::string(program) + ": " + why + "\n";
        return stop(parse_outcome::bad_combination);
    }

    // --files-from FILE, --files-from=FILE, --db FILE, --db=FILE, --jobs, --jobs N, --jobs=N.
    bool act_with_argument(std::string_view word, int& index, int argc, const char* const* argv)
    {
        const std::size_t equals = word.find('=');
        const std::string_view name = word.substr(0, equals);
        std::optional<std::string_view> argument;
        if (equals != std::string_view::npos) {
            argument = word.substr(equals + 1);
        }
        if (name == "--db") {
            if (!argument && index + 1 < argc) {
                argument = argv[++index];
            }
            if (!argument || argument->empty()) {
                return refuse("--db needs the name of the record's file (created when missing)");
            }
            result.record_path = std::string(*argument);
            result.options.integrity = true;  // the record holds the hash that -c works out
            result.options.hash_audio = true;
            return true;
        }
        if (name == "--files-from") {
            if (!argument && index + 1 < argc) {
                argument = argv[++index];
            }
            if (!argument || argument->empty()) {
                return refuse("--files-from needs the name of a file of names (- for standard input)");
            }
            result.files_from = std::string(*argument);
            return true;
        }
        const auto all_digits = [](std::string_view text) {
            return !text.empty() &&
                   std::all_of(text.begin(), text.end(), [](char ch) { return ch >= '0' && ch <= '9'; });
        };
        if (!argument && index + 1 < argc && all_digits(argv[index + 1])) {
            argument = argv[++index];
        }
        if (!argument) {
            result.jobs = 0;  // every core
            return true;
        }
        const std::int64_t count = all_digits(*argument) ? leading_number(std::string(*argument).c_str()) : 0;
        if (count < 1 || count > max_jobs) {
            return refuse("--jobs needs a whole number from 1 to " + std::to_string(max_jobs) + ", not '" +
                          std::string(*argument) + "'");
        }
        result.jobs = static_cast<unsigned>(count);
        return true;
    }

    // Switches that cannot go together; false after saying why.
    bool check_combinations()
    {
        const scan_options& o = result.options;
        if (o.json_lines && o.to_stdout) {
            return refuse("--json cannot be used with -s, -ss or -sf, which give standard output to the stream");
        }
        if (result.record_path && o.to_stdout) {
            return refuse("--db cannot be used with -s, -ss or -sf, which give standard output to the stream");
        }
        if (result.null_separated && !result.files_from) {
            return refuse("--null is for the names of --files-from");
        }
        const bool names_stdin = std::find(result.files.begin(), result.files.end(), "-") != result.files.end();
        if (result.files_from == "-" && names_stdin) {
            return refuse("standard input cannot be both the list of names (--files-from -) and a stream to check (-)");
        }
        // --jobs 1 is the plain run and takes every switch; more checks files side by side.
        if (result.jobs && *result.jobs != 1) {
            if (o.to_stdout) {
                return refuse("--jobs cannot be used with -s, -ss or -sf, which give standard output to one stream");
            }
            if (names_stdin) {
                return refuse("--jobs cannot check standard input (-); name the files, or leave out --jobs");
            }
        }
        return true;
    }
};

void apply_implications(scan_options& o)
{
    if (o.json_lines) {
        o.hash_audio = true;  // a line under -c carries the audio hash
    }
    if (!o.verbose && !o.check_all && !o.byte_search) {
        o.check_all = true;  // by default every frame, to the end of the stream
    } else if (!o.check_all) {
        o.byte_search = true;
    }
}

}  // namespace

parsed_command_line parse_command_line(int argc, const char* const* argv)
{
    parsed_command_line result;
    switch_reader reader{result, argc > 0 ? argv[0] : "framelint"};
    int index = 1;
    for (; index < argc; ++index) {
        const char* word = argv[index];
        if (std::strcmp(word, "--") == 0) {
            ++index;
            break;
        }
        if (word[0] != '-' || word[1] == '\0') {
            break;
        }
        if (word[1] == '-') {
            if (!reader.act_long(word, index, argc, argv)) {
                return result;
            }
            continue;
        }
        for (const char* letter = word + 1; *letter != '\0'; ++letter) {
            bool used_rest = false;
            if (!reader.act(*letter, letter + 1, used_rest, index, argc, argv)) {
                return result;
            }
            if (used_rest) {
                break;
            }
        }
    }
    for (; index < argc; ++index) {
        result.files.emplace_back(argv[index]);
    }
    if (result.files.empty() && !result.files_from) {
        result.outcome = parse_outcome::show_usage;
        return result;
    }
    if (!reader.check_combinations()) {
        return result;
    }
    if (result.options.person_report && (result.options.json_lines || result.options.to_stdout)) {
        result.outcome = parse_outcome::bad_combination;
        result.diagnostic = std::string(reader.program) +
                            ": --summary cannot be used with --json, -s, -ss or -sf, which give standard output to "
                            "other records or to the stream\n";
        return result;
    }
    if (const std::string why = fix_conflict(result); !why.empty()) {
        result.outcome = parse_outcome::bad_combination;
        result.diagnostic = std::string(reader.program) + ": " + why + "\n";
        return result;
    }
    scan_options& o = result.options;
    const bool stdin_named = std::find(result.files.begin(), result.files.end(), "-") != result.files.end();
    if (o.fix_in_place && !stdin_named && !o.json_lines && !o.one_line && !o.id3_tag && !o.very_verbose) {
        // --fix alone reports as --fix --summary does: a line per file it
        // repaired or could not, and the tally. The classic report around it
        // would bury those lines.
        o.person_report = true;
    }
    apply_implications(result.options);
    return result;
}

}  // namespace framelint::cli
