// The command line: argument forms, implications, and where parsing stops.

#include <gtest/gtest.h>

#include <sstream>

#include "cli/switches.hpp"

namespace framelint::cli {
namespace {

parsed_command_line parse(const std::string& line)
{
    std::vector<std::string> words = {"framelint"};
    std::istringstream in(line);
    for (std::string w; in >> w;) {
        words.push_back(w);
    }
    std::vector<const char*> argv;
    for (const std::string& w : words) {
        argv.push_back(w.c_str());
    }
    return parse_command_line(static_cast<int>(argv.size()), argv.data());
}

std::string flags(const scan_options& o)
{
    std::string s;
    s += o.check_all ? 'a' : '-';
    s += o.byte_search ? 'b' : '-';
    s += o.id3v2_error ? 'e' : '-';
    s += o.fix_stream ? 'f' : '-';
    s += o.id3_tag ? 'i' : '-';
    s += o.one_line ? 'p' : '-';
    s += o.min_run_set ? 'q' : '-';
    s += o.to_stdout ? 's' : '-';
    s += o.super_silent ? 'S' : '-';
    s += o.verbose ? 'v' : '-';
    s += o.very_verbose ? 'V' : '-';
    return s;
}

struct line_case {
    const char* line;
    const char* flags;  // a b e f i p q s S v V
    const char* files;  // joined by '|'
};

TEST(Switches, FormsImplicationsAndFileWords)
{
    const line_case cases[] = {
        {"x.mp3", "a----------", "x.mp3"},
        {"-p -e -i -q3 -s x", "a-e-ipqs---", "x"},
        {"-v x", "-b-------v-", "x"},
        {"-a -v x", "a--------v-", "x"},
        {"-a -b x", "ab---------", "x"},
        {"-vi x", "-b-------v-", "x"},          // i is -v's argument
        {"-iv x", "-b--i----v-", "x"},
        {"-vv x", "-b-------vV", "x"},
        {"-vx x", "-b-------v-", "x"},
        {"-ssf x", "a------sS--", "x"},         // only the first letter after s counts
        {"-sfs x", "a--f---s---", "x"},
        {"-sx x", "a------s---", "x"},
        {"-ss -sf x", "a--f---sS--", "x"},
        {"-aei x", "a-e-i------", "x"},
        {"-b 500 x.mp3", "-b---------", "500|x.mp3"},  // a separate number is a file
        {"x.mp3 -v", "a----------", "x.mp3|-v"},       // switches end at the first file
        {"- -a", "a----------", "-|-a"},
        {"-- -a", "a----------", "-a"},
        {"-q 2 x", "a-----q----", "x"},
    };
    for (const line_case& c : cases) {
        SCOPED_TRACE(c.line);
        const auto parsed = parse(c.line);
        ASSERT_EQ(parsed.outcome, parse_outcome::run);
        EXPECT_EQ(flags(parsed.options), c.flags);
        std::string files;
        for (const std::string& f : parsed.files) {
            files += (files.empty() ? "" : "|") + f;
        }
        EXPECT_EQ(files, c.files);
    }
}

TEST(Switches, ByteCountForms)
{
    EXPECT_EQ(parse("-b500 x").options.byte_count, 500);
    EXPECT_EQ(parse("-bx x").options.byte_count, 0);
    EXPECT_FALSE(parse("-b x").options.byte_count.has_value()) << "no number: no budget";
    EXPECT_EQ(parse("-b500 -b x").options.byte_count, 500) << "a bare -b keeps the last number";
    EXPECT_EQ(parse("-b500 -b7 x").options.byte_count, 7);
    EXPECT_EQ(parse("-b99999999999999999999999 x").options.byte_count, INT64_MAX) << "saturates, never overflows";
    EXPECT_EQ(parse("-q7 x").options.min_frames, 7);
}

TEST(Switches, EndingsBeforeAnyFile)
{
    EXPECT_EQ(parse("").outcome, parse_outcome::show_usage);
    EXPECT_EQ(parse("-a -v").outcome, parse_outcome::show_usage);
    EXPECT_EQ(parse("-h x").outcome, parse_outcome::show_usage);
    EXPECT_EQ(parse("-h -q1 x").outcome, parse_outcome::show_usage);
    EXPECT_EQ(parse("-q1 -h x").outcome, parse_outcome::bad_min_run);
    for (const char* bad : {"-q1 x", "-q 0 x", "-qabc x", "-q-5 x"}) {
        EXPECT_EQ(parse(bad).outcome, parse_outcome::bad_min_run) << bad;
    }
    for (const char* bad : {"-b-3 x", "-b-1 -h x", "-b500 -b-1 x", "-b-99999999999999999999999 x"}) {
        EXPECT_EQ(parse(bad).outcome, parse_outcome::bad_byte_budget) << bad;
    }
    EXPECT_EQ(parse("-h -b-1 x").outcome, parse_outcome::show_usage) << "switches act in order";

    const auto unknown = parse("-x file");
    EXPECT_EQ(unknown.outcome, parse_outcome::show_usage);
    EXPECT_EQ(unknown.diagnostic, "framelint: invalid option -- 'x'\n");
    const auto missing = parse("-a -q");
    EXPECT_EQ(missing.outcome, parse_outcome::show_usage);
    EXPECT_EQ(missing.diagnostic, "framelint: option requires an argument -- 'q'\n");
}

TEST(Switches, LeadingNumberReadsLikeAtoi)
{
    EXPECT_EQ(leading_number("  42abc"), 42);
    EXPECT_EQ(leading_number("-7"), -7);
    EXPECT_EQ(leading_number("+9"), 9);
    EXPECT_EQ(leading_number("abc"), 0);
    EXPECT_EQ(leading_number(""), 0);
}

}  // namespace
}  // namespace framelint::cli
