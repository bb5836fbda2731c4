// --json: the writer's strings for any bytes, and the lines the program writes.

#include <gtest/gtest.h>

#include <algorithm>
#include <dirent.h>
#include <limits>
#include <string>
#include <vector>

#include "problems/problem.hpp"
#include "report/json_writer.hpp"
#include "run_support.hpp"
#include "support.hpp"

namespace framelint::test {
namespace {

TEST(JsonWriter, EscapesQuotesBackslashesAndControlCharacters)
{
    struct escape_case {
        std::string in;
        std::string out;
    };
    const escape_case cases[] = {
        {"plain.mp3", "\"plain.mp3\""},
        {"a\"b\\c/d", "\"a\\\"b\\\\c/d\""},
        {"tab\there\nnew\rline", "\"tab\\there\\nnew\\rline\""},
        {std::string("\x00\x01\x08\x0c\x1f\x7f", 6), "\"\\u0000\\u0001\\b\\f\\u001f\\u007f\""},
        {"caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x8e\xb5", "\"caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x8e\xb5\""},  // kept as UTF-8
    };
    for (const escape_case& c : cases) {
        std::string s;
        json::writer(s).text(c.in);
        EXPECT_EQ(s, c.out);
    }
}

TEST(JsonWriter, Utf8IsCheckedStrictly)
{
    const char* valid[] = {"", "ascii", "\xc2\x80", "\xdf\xbf", "\xe0\xa0\x80", "\xed\x9f\xbf", "\xef\xbf\xbf",
                           "\xf0\x90\x80\x80", "\xf4\x8f\xbf\xbf"};
    const char* invalid[] = {
        "\x80",              // a continuation byte alone
        "\xc0\x80",          // overlong NUL
        "\xc1\xbf",          // overlong
        "\xe0\x9f\xbf",      // overlong three-byte form
        "\xed\xa0\x80",      // a surrogate
        "\xf0\x8f\xbf\xbf",  // overlong four-byte form
        "\xf4\x90\x80\x80",  // above U+10FFFF
        "\xf5\x80\x80\x80",  // no such lead byte
        "\xff",
        "\xc3",              // cut short
        "\xe2\x82",
        "ok\xe2\x28\xa1",    // a bad continuation
    };
    for (const char* text : valid) {
        EXPECT_TRUE(json::is_valid_utf8(text)) << ::testing::PrintToString(text);
    }
    for (const char* text : invalid) {
        EXPECT_FALSE(json::is_valid_utf8(text)) << ::testing::PrintToString(text);
    }
}

TEST(JsonWriter, BytesThatAreNotUtf8AreKeptAsBase64)
{
    const std::pair<std::string, std::string> vectors[] = {
        {"", ""}, {"f", "Zg=="}, {"fo", "Zm8="}, {"foo", "Zm9v"}, {"foob", "Zm9vYg=="}, {"foobar", "Zm9vYmFy"},
        {"\xff\xfe\xfd", "//79"},
    };
    for (const auto& [in, out] : vectors) {
        EXPECT_EQ(json::base64(in), out);
    }
    std::string s;
    json::writer w(s);
    w.begin_array();
    w.text("Bj\xf6rk.mp3");  // Latin-1
    w.text("x");
    w.end_array();
    EXPECT_EQ(s, "[{\"bytes\":\"Qmr2cmsubXAz\"},\"x\"]");
}

TEST(JsonWriter, MembersNumbersAndNesting)
{
    std::string s;
    json::writer w(s);
    w.begin_object();
    w.key("a");
    w.integer(std::numeric_limits<std::int64_t>::min());
    w.key("b");
    w.begin_array();
    w.number(1.5);
    w.number(0.1);
    w.number(std::numeric_limits<double>::infinity());
    w.begin_object();
    w.end_object();
    w.begin_array();
    w.end_array();
    w.end_array();
    w.key("c");
    w.boolean(false);
    w.key("d");
    w.null();
    w.end_object();
    EXPECT_EQ(s, "{\"a\":-9223372036854775808,\"b\":[1.5,0.1,null,{},[]],\"c\":false,\"d\":null}");
}

std::vector<std::string> fixture_names()
{
    std::vector<std::string> names;
    if (DIR* d = ::opendir(FRAMELINT_TEST_DATA)) {
        while (const dirent* e = ::readdir(d)) {
            const std::string name = e->d_name;
            if (name.ends_with(".mp3") || name.ends_with(".mp2")) {
                names.push_back(name);
            }
        }
        ::closedir(d);
    }
    std::sort(names.begin(), names.end());
    return names;
}

// The schema is a promise to other programs: any change to it shows here. To
// take a deliberate change:
//   (cd tests/data && ../../build/framelint --json -i *.mp2 *.mp3) > tests/golden/fixtures.jsonl
TEST(JsonLines, GoldenOverTheFixtures)
{
    launch how;
    how.args = {"--json", "-i"};
    const std::vector<std::string> names = fixture_names();
    ASSERT_FALSE(names.empty());
    std::vector<std::string> mp2;
    std::vector<std::string> mp3;
    for (const std::string& n : names) {
        (n.ends_with(".mp2") ? mp2 : mp3).push_back(n);
    }
    how.args.insert(how.args.end(), mp2.begin(), mp2.end());
    how.args.insert(how.args.end(), mp3.begin(), mp3.end());
    how.working_dir = FRAMELINT_TEST_DATA;
    const run_result r = run_framelint_as(how);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, as_string(read_file(std::string(FRAMELINT_TEST_DATA) + "/../golden/fixtures.jsonl")));
}

TEST(JsonLines, ProblemsInPlaceOfTheWarningsWithTheSameStatus)
{
    const bytes f = frame(l3_128k);
    bytes damaged = f;
    damaged[2] = 0xF0;  // a bad bit-rate index where a frame should begin
    temp_dir dir;
    const std::string path = dir.file("damaged.mp3");
    const std::string made = write_temp_file(text("junk") + f + damaged + f + bytes(f.begin(), f.begin() + 50));
    ASSERT_EQ(::rename(made.c_str(), path.c_str()), 0);
    const run_result text_run = run_framelint({path});
    const run_result json_run = run_framelint({"--json", path});
    // The warnings and notes the text run has are records in the line instead:
    // only the JSON line is on standard output, and nothing on standard error.
    ASSERT_NE(text_run.err, "");
    EXPECT_EQ(json_run.err, "");
    EXPECT_EQ(json_run.status, text_run.status);
    EXPECT_EQ(json_run.status, 255);
    EXPECT_EQ(json_run.out, "{\"file\":\"" + path +
                                "\",\"good_frames\":1,\"bad_frames\":2,\"bytes_read\":1305,\"song_length\":\"00:00.07\","
                                "\"play_seconds\":0.0783673469387755,\"header\":{\"version\":\"1\",\"layer\":3,"
                                "\"bit_rate\":128,\"sample_rate\":44100,\"samples_per_frame\":1152,\"channel_mode\":"
                                "\"joint_stereo\",\"mode_extension\":2,\"frame_length\":417,\"protected\":false,"
                                "\"padding\":false,\"private\":false,\"copyright\":false,\"original\":true,"
                                "\"emphasis\":\"none\",\"word\":4294676580},\"problems\":["
                                "{\"kind\":\"first_frame_late\",\"offset\":8,\"bad_frame\":false,\"expected\":4},"
                                "{\"kind\":\"header_rejected\",\"offset\":425,\"bad_frame\":true,\"header\":4294701156},"
                                "{\"kind\":\"first_frame_late\",\"offset\":842,\"bad_frame\":false,\"expected\":425},"
                                "{\"kind\":\"last_frame_cut\",\"offset\":1305,\"bad_frame\":true,\"expected_end\":1672}"
                                "],\"problems_omitted\":0}\n");
}

TEST(JsonLines, FileNamesOfAnyBytesStayLossless)
{
    temp_dir dir;
    const bytes stream = frame(l3_128k);
    struct name_case {
        std::string name;
        std::string json;  // the "file" value, after the directory part
    };
    const name_case cases[] = {
        {"tab\tand\nnewline.mp3", "tab\\tand\\nnewline.mp3\""},
        {"quote\"back\\slash.mp3", "quote\\\"back\\\\slash.mp3\""},
        {"bell\x07.mp3", "bell\\u0007.mp3\""},
        {"caf\xc3\xa9.mp3", "caf\xc3\xa9.mp3\""},
    };
    for (const name_case& c : cases) {
        const std::string path = dir.file(c.name);
        const std::string made = write_temp_file(stream);
        ASSERT_EQ(::rename(made.c_str(), path.c_str()), 0);
        const run_result r = run_framelint({"--json", path});
        EXPECT_EQ(r.out.substr(0, 9 + dir.path().size() + 1 + c.json.size()),
                  "{\"file\":\"" + dir.path() + "/" + c.json);
        EXPECT_EQ(std::count(r.out.begin(), r.out.end(), '\n'), 1) << "one line per stream";
    }
    // Not UTF-8: the whole name, directory and all, as base64.
    const std::string latin1 = dir.file("Bj\xf6rk.mp3");
    const std::string made = write_temp_file(stream);
    ASSERT_EQ(::rename(made.c_str(), latin1.c_str()), 0);
    const run_result r = run_framelint({"--json", latin1});
    EXPECT_EQ(r.out.substr(0, 20), "{\"file\":{\"bytes\":\"" + json::base64(latin1).substr(0, 2));
    EXPECT_NE(r.out.find(json::base64(latin1)), std::string::npos);
}

TEST(JsonLines, ReadErrorIsAProblemOfItsStream)
{
    launch how;
    const std::string song = fixture("lame_cbr128.mp3");
    how.args = {"--json", song};
    how.read_fault_at = 5000;
    const run_result r = run_framelint_as(how);
    EXPECT_EQ(r.status, 1);
    const std::string message = "framelint: " + song + " Input/output error\n";
    ASSERT_GE(r.err.size(), message.size());
    EXPECT_EQ(r.err.substr(r.err.size() - message.size()), message);
    // The scan saw the stream end inside a frame, and then why.
    EXPECT_NE(r.out.find("{\"kind\":\"last_frame_cut\",\"offset\":5000,\"bad_frame\":true,\"expected_end\":5014},"
                         "{\"kind\":\"read_error\",\"offset\":5000,\"bad_frame\":false,\"errno\":5}]"),
              std::string::npos)
        << r.out;
}

TEST(JsonLines, ReadErrorIsListedWhenTheProblemListIsFull)
{
    // Every four bytes of 0xFF are a rejected header: far more problems than are kept.
    const std::size_t words = problem_list::kept_limit + 500;
    const std::string junk = write_temp_file(bytes(4 * words, 0xFF), "junk");
    launch how;
    how.args = {"--json", junk};
    how.read_fault_at = static_cast<long long>(4 * (words - 100));
    const run_result r = run_framelint_as(how);
    ::unlink(junk.c_str());
    EXPECT_EQ(r.status, 1);
    const std::string read_error = "{\"kind\":\"read_error\",\"offset\":" + std::to_string(4 * (words - 100)) +
                                   ",\"bad_frame\":false,\"errno\":5}],\"problems_omitted\":" +
                                   std::to_string(words - 100 - problem_list::kept_limit + 1) + "}\n";
    ASSERT_GE(r.out.size(), read_error.size());
    EXPECT_EQ(r.out.substr(r.out.size() - read_error.size()), read_error);
}

TEST(JsonLines, FullDiskAndStandardInput)
{
    const std::string path = fixture("lame_cbr128.mp3");
    EXPECT_EQ(run_framelint({"--json", path}, {}, "/dev/full").status, 1);
    const run_result r = run_framelint({"--json", "-"}, read_file(path));
    EXPECT_EQ(r.out.rfind("{\"file\":\"stdin\",\"good_frames\":41,", 0), 0u) << r.out;
    EXPECT_EQ(r.status, 0);
}

}  // namespace
}  // namespace framelint::test
