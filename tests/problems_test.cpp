// The scanner's problem records: one per bad frame or warning, with the numbers
// the warning carries, kept whether or not the switches print the warning.

#include <gtest/gtest.h>

#include "support.hpp"

namespace framelint::test {
namespace {

const bytes f128 = frame(l3_128k);  // 417 bytes

scan_options recording(const std::string& switches)
{
    scan_options o = options(switches);
    o.json_lines = true;
    return o;
}

std::string describe(const problem_list& list)
{
    std::string s;
    for (const problem& p : list.kept) {
        s += std::string(info_of(p.kind).name) + (p.bad_frame ? "!" : "") + "@" + std::to_string(p.offset);
        for (std::size_t i = 0; i < p.numbers.size() && !info_of(p.kind).numbers[i].empty(); ++i) {
            s += " " + std::string(info_of(p.kind).numbers[i]) + "=" + std::to_string(p.numbers[i]);
        }
        s += ";";
    }
    return s;
}

struct problem_case {
    const char* what;
    const char* switches;
    bytes stream;
    bool regular_file;
    const char* expected;  // kind, '!' when it counted a bad frame, @offset, numbers
};

TEST(Problems, EachWarningAndBadFrameIsRecordedWithItsNumbers)
{
    bytes damaged = f128;
    damaged[2] = 0xF0;  // bit-rate index 15
    const bytes protected_frame = frame_with_good_crc(l3_128k_crc);
    const problem_case cases[] = {
        {"clean", "", repeat(f128, 3), false, ""},
        {"damaged header, silent without -v", "", f128 + damaged + f128 + f128, false,
         "header_rejected!@421 header=4294701156;frame_not_found!@838 expected=421;"},
        {"leading junk", "", text("abc") + repeat(f128, 2), false, "first_frame_late@7 expected=4;"},
        {"cut on the byte path", "", repeat(f128, 2) + bytes(f128.begin(), f128.begin() + 100), false,
         "last_frame_cut!@934 expected_end=1251;"},
        {"cut on the block path", "", protected_frame + bytes(protected_frame.begin(), protected_frame.begin() + 100),
         true, "frame_read_error@423 wanted=411 got=94;last_frame_cut!@517 expected_end=834;"},
        {"ID3v2 tag", "", id3v2_tag(300) + f128, false, "id3v2_tag@0 size=300;"},
        {"ID3v2 tag counted with -e", "-e", id3v2_tag(300) + f128, false, "id3v2_tag!@0 size=300;"},
        {"short run with -q", "-q3", f128 + text("x") + repeat(f128, 3), false,
         "frame_not_found!@422 expected=421;short_run@421 run=1 needed=3;"},
    };
    for (const problem_case& c : cases) {
        SCOPED_TRACE(c.what);
        const auto r = c.regular_file ? scan_regular_file(c.stream, recording(c.switches))
                                      : scan_memory(c.stream, recording(c.switches));
        EXPECT_EQ(describe(r.state.problems), c.expected);
        std::int64_t counted = 0;
        for (const problem& p : r.state.problems.kept) {
            counted += p.bad_frame ? 1 : 0;
        }
        EXPECT_EQ(counted, r.state.counters.bad_frames) << "every bad frame has its record";

        // Recording changes nothing in the scan, and without it nothing is kept.
        const auto plain = c.regular_file ? scan_regular_file(c.stream, options(c.switches))
                                          : scan_memory(c.stream, options(c.switches));
        EXPECT_TRUE(plain.state.problems.kept.empty());
        EXPECT_EQ(plain.state.counters.bytes_read, r.state.counters.bytes_read);
        EXPECT_EQ(plain.state.counters.good_frames, r.state.counters.good_frames);
        EXPECT_EQ(plain.state.counters.bad_frames, r.state.counters.bad_frames);
    }
}

TEST(Problems, EndlessJunkKeepsTheFirstAndCountsTheRest)
{
    // Every four bytes of 0xFF are a sync word with a bad bit rate.
    const std::size_t words = problem_list::kept_limit + 500;
    const auto r = scan_memory(bytes(4 * words, 0xFF), recording(""));
    EXPECT_EQ(r.state.problems.kept.size(), problem_list::kept_limit);
    EXPECT_EQ(r.state.problems.dropped, 500);
    EXPECT_EQ(r.state.counters.bad_frames, static_cast<std::int64_t>(words));
}

}  // namespace
}  // namespace framelint::test
