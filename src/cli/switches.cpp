#include "cli/switches.hpp"

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

    // A word that begins with "--": a long option, or else an invalid option '-'
    // (its first letter read as a switch). Returns false to end parsing, as act().
    bool act_long(std::string_view word)
    {
        scan_options& o = result.options;
        if (word == "--json") {
            o.json_lines = true;
        } else if (word == "--recursive") {
            o.recursive = true;
        } else if (word == "--fix") {
            o.fix_in_place = true;
            o.integrity = true;  // the repair works from what -c finds
        } else if (word == "--no-backup") {
            o.no_backup = true;
        } else if (word == "--help") {
            return stop(parse_outcome::print_help);
        } else if (word == "--version") {
            return stop(parse_outcome::print_version);
        } else {
            return complain("invalid option", '-');
        }
        return true;
    }
};

void apply_implications(scan_options& o)
{
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
            if (!reader.act_long(word)) {
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
    if (result.files.empty()) {
        result.outcome = parse_outcome::show_usage;
        return result;
    }
    if (result.options.json_lines && result.options.to_stdout) {
        result.outcome = parse_outcome::bad_combination;
        result.diagnostic = std::string(reader.program) +
                            ": --json cannot be used with -s, -ss or -sf, which give standard output to the "
                            "stream\n";
        return result;
    }
    if (const std::string why = fix_conflict(result); !why.empty()) {
        result.outcome = parse_outcome::bad_combination;
        result.diagnostic = std::string(reader.program) + ": " + why + "\n";
        return result;
    }
    apply_implications(result.options);
    return result;
}

}  // namespace framelint::cli
