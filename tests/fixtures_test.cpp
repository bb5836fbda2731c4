// framelint on real encoder output. What each file holds comes from
// tests/data/MANIFEST.tsv, written by an independent frame walker, never from
// framelint itself.

#include <gtest/gtest.h>

#include <cctype>
#include <cstdio>
#include <fstream>
#include <map>
#include <memory>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "run_support.hpp"
#include "support.hpp"

namespace framelint::test {
namespace {

struct fixture_row {
    std::string file;
    long long bytes = 0;
    std::string mpeg_version;  // "1", "2", "2.5"
    int layer = 0;
    int sample_rate = 0;
    std::string bitrate;  // kbit/s, or "vbr"
    std::string channel_mode;
    bool is_protected = false;
    long long frames = 0;
    long long first_frame_offset = 0;
    long long end_offset = 0;
    std::string id3v2;  // "-" when none
    std::string id3v1;  // "-" when none

    std::string path() const { return fixture(file); }
};

// Test names and failure messages show the file, not the record's bytes.
void PrintTo(const fixture_row& r, std::ostream* os) { *os << r.file; }

std::vector<fixture_row> load_manifest()
{
    std::ifstream in(fixture("MANIFEST.tsv"));
    std::string line;
    std::getline(in, line);
    std::map<std::string, std::size_t> column;
    {
        std::istringstream head(line);
        std::string name;
        for (std::size_t i = 0; std::getline(head, name, '\t'); ++i) {
            column[name] = i;
        }
    }
    std::vector<fixture_row> rows;
    while (std::getline(in, line)) {
        if (line.empty()) {
            continue;
        }
        std::vector<std::string> cells;
        std::istringstream fields(line);
        std::string cell;
        while (std::getline(fields, cell, '\t')) {
            cells.push_back(cell);
        }
        auto at = [&](const std::string& name) { return cells.at(column.at(name)); };
        fixture_row r;
        r.file = at("file");
        r.bytes = std::stoll(at("bytes"));
        r.mpeg_version = at("mpeg_version");
        r.layer = std::stoi(at("layer"));
        r.sample_rate = std::stoi(at("sample_rate"));
        r.bitrate = at("bitrate");
        r.channel_mode = at("channel_mode");
        r.is_protected = at("protected") == "1";
        r.frames = std::stoll(at("frames_walker"));
        r.first_frame_offset = std::stoll(at("first_frame_offset"));
        r.end_offset = std::stoll(at("end_offset"));
        r.id3v2 = at("id3v2");
        r.id3v1 = at("id3v1");
        rows.push_back(r);
    }
    return rows;
}

const std::vector<fixture_row>& manifest()
{
    static const std::vector<fixture_row> rows = load_manifest();
    return rows;
}

const fixture_row& row(const std::string& file)
{
    for (const fixture_row& r : manifest()) {
        if (r.file == file) {
            return r;
        }
    }
    throw std::invalid_argument("no manifest row for " + file);
}

std::string nv(const std::string& name, const std::string& value)
{
    return name + std::string(20 - name.size(), ' ') + value + "\n";
}
std::string nv(const std::string& name, long long value) { return nv(name, std::to_string(value)); }

// Play time as mm:ss.hh, truncated: none of these files lands on a whole hundredth.
std::string song_length(const fixture_row& r)
{
    const long long samples = r.layer == 1 ? 384 : (r.layer == 2 || r.mpeg_version == "1") ? 1152 : 576;
    const long long hundredths = r.frames * samples * 100 / r.sample_rate;
    char text[32];
    std::snprintf(text, sizeof text, "%02lld:%02lld.%02lld", hundredths / 6000, hundredths / 100 % 60,
                  hundredths % 100);
    return text;
}

// The VBR files' bit-rate ranges and averages over all their frames, as the
// frame headers give them (lame_vbr.mp3: 32 to 256 kbit/s, 3672 in 41 frames;
// lame_vbr_mpeg25.mp3: 8 to 56 kbit/s, 456 in 24 frames).
struct rate_range {
    int high, low, average;
};
const std::map<std::string, rate_range> varying_rates = {{"lame_vbr.mp3", {256, 32, 89}},
                                                         {"lame_vbr_mpeg25.mp3", {56, 8, 19}}};

std::string clean_summary(const fixture_row& r, const std::string& label)
{
    std::string s = "\n";
    s += nv("FILE_NAME", label) + nv("GOOD_FRAMES", r.frames) + nv("BAD_FRAMES", 0) + nv("LAST_BYTE_CHECKED", r.bytes);
    if (const auto v = varying_rates.find(r.file); v != varying_rates.end()) {
        s += nv("VBR_HIGH", v->second.high) + nv("VBR_LOW", v->second.low) + nv("VBR_AVERAGE", v->second.average);
    }
    return s + nv("SONG_LENGTH", song_length(r));
}

std::string tag_notice(const fixture_row& r)
{
    return r.id3v2 == "-" ? "" : "Possible ID3v2 frame found, skipping\n";
}

class RealFixture : public ::testing::TestWithParam<fixture_row> {
protected:
    const fixture_row& r = GetParam();
    const bytes data = read_file(r.path());

    bytes frames() const
    {
        return slice(data, static_cast<std::size_t>(r.first_frame_offset), static_cast<std::size_t>(r.end_offset));
    }
    bytes id3v1_trailer() const { return r.id3v1 == "-" ? bytes{} : slice(data, data.size() - 128, data.size()); }
};

TEST_P(RealFixture, EveryFrameIsGood)
{
    ASSERT_EQ(static_cast<long long>(data.size()), r.bytes);
    const run_result res = run_framelint({r.path()});
    EXPECT_EQ(without_cpu_times(res.out), clean_summary(r, r.path()));
    EXPECT_TRUE(ends_with_cpu_times(res.out)) << res.out;
    EXPECT_EQ(res.err, tag_notice(r));
    EXPECT_EQ(res.status, 0);
}

TEST_P(RealFixture, SameOnStandardInput)
{
    for (const bool pipe : {false, true}) {
        SCOPED_TRACE(pipe ? "from a pipe" : "from a file");
        launch how;
        how.args = {"-"};
        how.stdin_data = data;
        how.stdin_is_pipe = pipe;
        const run_result res = run_framelint_as(how);
        EXPECT_EQ(without_cpu_times(res.out), clean_summary(r, "stdin"));
        EXPECT_EQ(res.err, tag_notice(r));
        EXPECT_EQ(res.status, 0);
    }
}

TEST_P(RealFixture, CopyModes)
{
    struct copy_case {
        std::vector<std::string> switches;
        bytes out;
    };
    const std::vector<copy_case> cases = {
        {{"-s"}, data},
        {{"-sf"}, frames()},
        {{"-sf", "-i"}, frames() + id3v1_trailer()},  // these tags need no trimming
        {{"-ss"}, {}},
        {{"-ss", "-sf", "-i"}, id3v1_trailer()},
    };
    for (const copy_case& c : cases) {
        SCOPED_TRACE(::testing::PrintToString(c.switches));
        std::vector<std::string> args = c.switches;
        args.push_back(r.path());
        const run_result res = run_framelint(args);
        EXPECT_TRUE(res.out == as_string(c.out)) << "output of " << res.out.size() << " bytes, expected "
                                                  << c.out.size();
        EXPECT_EQ(res.err, tag_notice(r));
        EXPECT_EQ(res.status, 0);
    }
}

TEST_P(RealFixture, Id3v2TagCountsAsBadWithE)
{
    const run_result res = run_framelint({"-e", r.path()});
    const bool tagged = r.id3v2 != "-";
    EXPECT_EQ(report_value(res.out, "GOOD_FRAMES"), std::to_string(r.frames));
    EXPECT_EQ(report_value(res.out, "BAD_FRAMES"), tagged ? "1" : "0");
    EXPECT_EQ(res.status, tagged ? 255 : 0);
}

// The ID3v1 fields as id3v2 wrote them (see tests/data/make_fixtures.sh).
struct id3v1_fields {
    std::string comment;
    int track;
};
const std::map<std::string, id3v1_fields> id3v1_tags = {
    // A full 30-character comment: its last letter ('s') reads as a v1.1 track.
    {"tag_v1.mp3", {"A comment of thirty characters", 's'}},
    {"tag_v11.mp3", {"", 7}},
    {"tag_both.mp3", {"", 3}},
};

TEST_P(RealFixture, HeaderDumpAndId3v1Report)
{
    const run_result res = run_framelint({"-i", "-a", "-v", r.path()});
    EXPECT_EQ(res.status, 0);
    const std::string out = without_cpu_times(res.out);

    // The last frame's header, decoded, against what the walker read.
    EXPECT_EQ(report_value(out, "CHECK_STATE"), "1");
    EXPECT_EQ(report_value(out, "MPV_1"), r.mpeg_version == "1" ? "1" : "0");
    EXPECT_EQ(report_value(out, "MPV_2"), r.mpeg_version == "2" ? "1" : "0");
    EXPECT_EQ(report_value(out, "MPV_25"), r.mpeg_version == "2.5" ? "1" : "0");
    EXPECT_EQ(report_value(out, "L2"), r.layer == 2 ? "1" : "0");
    EXPECT_EQ(report_value(out, "L3"), r.layer == 3 ? "1" : "0");
    EXPECT_EQ(report_value(out, "PROT_BIT"), r.is_protected ? "1" : "0");
    EXPECT_EQ(report_value(out, "SAMPLE_FREQ"), std::to_string(r.sample_rate));
    EXPECT_EQ(report_value(out, "SAMPLES_PER_FRAME"), r.layer == 3 && r.mpeg_version != "1" ? "576" : "1152");
    if (r.bitrate != "vbr") {
        EXPECT_EQ(report_value(out, "BIT_RATE"), r.bitrate);
    }
    EXPECT_EQ(report_value(out, "STEREO"), r.channel_mode == "stereo" ? "1" : "0");
    EXPECT_EQ(report_value(out, "JOINT_STEREO"), r.channel_mode == "joint_stereo" ? "1" : "0");
    EXPECT_EQ(report_value(out, "SINGLE_CHANNEL"), r.channel_mode == "mono" ? "1" : "0");

    std::string tag_report = "\n";
    if (const auto t = id3v1_tags.find(r.file); t != id3v1_tags.end()) {
        tag_report += nv("MP3_TAG", 1) + nv("TITLE", "Fixture Tone") + nv("ARTIST", "framelint fixtures") +
                      nv("ALBUM", "") + nv("YEAR", "") + nv("COMMENT", t->second.comment) + nv("GENRE", 255) +
                      nv("TRACK", t->second.track) + nv("ID3.11", 1);
    } else {
        EXPECT_EQ(r.id3v1, "-") << "a tagged fixture missing from the table above";
        tag_report += nv("MP3_TAG", 0);
    }
    ASSERT_GE(out.size(), tag_report.size());
    EXPECT_EQ(out.substr(out.size() - tag_report.size()), tag_report);
    EXPECT_EQ(report_value(out, "SONG_LENGTH"), song_length(r)) << "the tag report follows the summary";
}

std::string fixture_name(const ::testing::TestParamInfo<fixture_row>& info)
{
    std::string name = info.param.file;
    for (char& ch : name) {
        if (std::isalnum(static_cast<unsigned char>(ch)) == 0) {
            ch = '_';
        }
    }
    return name;
}

INSTANTIATE_TEST_SUITE_P(Manifest, RealFixture, ::testing::ValuesIn(manifest()), fixture_name);

TEST(Manifest, DescribesTheCommittedFixtures)
{
    ASSERT_FALSE(manifest().empty());
    for (const fixture_row& r : manifest()) {
        EXPECT_EQ(static_cast<long long>(read_file(r.path()).size()), r.bytes) << r.file;
    }
}

// ---- A download that stopped in the middle of the last frame ------------------

struct cut_fixture {
    std::string file;
    long long last_frame_at;  // where walk_frames.py finds the last frame
};
const std::vector<cut_fixture> cut_fixtures = {
    {"lame_cbr128.mp3", 16717},     // CBR Layer III, bodies skipped by seeking
    {"lame_vbr.mp3", 11872},        // VBR: the last frame is a 104-byte 32 kbit/s one
    {"twolame_l2_192.mp2", 23616},  // Layer II
    {"lame_crc.mp3", 16717},        // protected: read in one block for the CRC check
    {"twolame_l2_crc.mp2", 23616},
};

std::string cut_message(long long frame_end)
{
    char text[160];
    std::snprintf(text, sizeof text,
                  "\nThe last frame was cut short by the end of the stream. Expected it to end at offset 0x%llx "
                  "(BYTE %lld).",
                  frame_end, frame_end);
    return text;
}

// The -i report of a stream whose last 128 bytes are no tag.
const std::string no_tag_report = std::string("\nMP3_TAG") + std::string(13, ' ') + "0\n";

const std::string block_read_error = "File error while trying to read frame into memory.\n";

enum class way { file, stdin_file, stdin_pipe, fifo, copy, repair, super_silent, tail };

const char* way_name(way w)
{
    switch (w) {
    case way::file: return "as a file";
    case way::stdin_file: return "on standard input from a file";
    case way::stdin_pipe: return "on standard input from a pipe";
    case way::fifo: return "through a named pipe";
    case way::copy: return "-s";
    case way::repair: return "-sf";
    case way::super_silent: return "-ss";
    case way::tail: return "-i";
    }
    return "?";
}

// Runs the cut stream one way and checks what every way shares: one bad frame, the
// message with the frame's true end, status 255. Returns the run for the rest.
run_result run_cut(const bytes& cut, way w, const fixture_row& r, bool block_path)
{
    const std::string path = write_temp_file(cut, "cut");
    launch how;
    std::unique_ptr<fifo_feed> feed;
    switch (w) {
    case way::file: how.args = {path}; break;
    case way::stdin_file:
    case way::stdin_pipe:
        how.args = {"-"};
        how.stdin_data = cut;
        how.stdin_is_pipe = w == way::stdin_pipe;
        break;
    case way::fifo:
        feed = std::make_unique<fifo_feed>(cut);
        how.args = {feed->path()};
        break;
    case way::copy: how.args = {"-s", path}; break;
    case way::repair: how.args = {"-sf", path}; break;
    case way::super_silent: how.args = {"-ss", path}; break;
    case way::tail: how.args = {"-i", path}; break;
    }
    const run_result res = run_framelint_as(how);
    ::unlink(path.c_str());

    EXPECT_EQ(res.err, tag_notice(r) + (block_path ? block_read_error : "") + cut_message(r.end_offset));
    EXPECT_EQ(res.status, 255);
    const bool reports = w != way::copy && w != way::repair && w != way::super_silent;
    if (reports) {
        EXPECT_EQ(report_value(res.out, "GOOD_FRAMES"), std::to_string(r.frames)) << "the cut frame began in place";
        EXPECT_EQ(report_value(res.out, "BAD_FRAMES"), "1");
    }
    return res;
}

TEST(CutShort, LastFrameCutInItsBody)
{
    for (const cut_fixture& f : cut_fixtures) {
        const fixture_row& r = row(f.file);
        const bytes whole = read_file(r.path());
        ASSERT_EQ(r.id3v1, "-");
        const long long cut_at = (f.last_frame_at + r.end_offset) / 2;
        const bytes cut = slice(whole, 0, static_cast<std::size_t>(cut_at));
        for (const way w : {way::file, way::stdin_file, way::stdin_pipe, way::fifo, way::copy, way::repair,
                            way::super_silent, way::tail}) {
            SCOPED_TRACE(f.file + " " + way_name(w));
            // A protected body read from a file or a named pipe, with nobody else
            // needing its bytes, is read in one block; what arrived of it counts all the same.
            const bool block_path =
                r.is_protected && (w == way::file || w == way::fifo || w == way::super_silent);
            const run_result res = run_cut(cut, w, r, block_path);
            switch (w) {
            case way::copy: EXPECT_TRUE(res.out == as_string(cut)) << "bytes written: " << res.out.size(); break;
            case way::repair: {
                // Every frame but the cut one, which never came whole; the repaired
                // stream then checks clean.
                const bytes before_last = slice(whole, 0, static_cast<std::size_t>(f.last_frame_at));
                EXPECT_TRUE(res.out == as_string(before_last)) << "bytes written: " << res.out.size();
                const run_result again = run_framelint({"-p", "-"}, bytes(res.out.begin(), res.out.end()));
                EXPECT_EQ(again.status, 0) << again.out << again.err;
                break;
            }
            case way::super_silent: EXPECT_EQ(res.out, ""); break;
            default:
                EXPECT_EQ(report_value(res.out, "LAST_BYTE_CHECKED"), std::to_string(cut_at));
                break;
            }
            if (w == way::tail) {
                EXPECT_NE(res.out.find(no_tag_report), std::string::npos) << res.out;
            }
        }
    }
}

TEST(CutShort, StreamEndsInsideTheCrcWord)
{
    for (const std::string file : {"lame_crc.mp3", "twolame_l2_crc.mp2"}) {
        const fixture_row& r = row(file);
        const long long last_frame_at = file == "lame_crc.mp3" ? 16717 : 23616;
        const bytes whole = read_file(r.path());
        // After the header alone, and after the first of the two CRC bytes.
        for (const long long crc_bytes : {0, 1}) {
            const long long cut_at = last_frame_at + 4 + crc_bytes;
            const bytes cut = slice(whole, 0, static_cast<std::size_t>(cut_at));
            for (const way w : {way::file, way::stdin_file, way::repair}) {
                SCOPED_TRACE(file + " with " + std::to_string(crc_bytes) + " CRC bytes " + way_name(w));
                const run_result res = run_cut(cut, w, r, w == way::file);
                if (w == way::repair) {
                    // The frame whose CRC word was cut never came whole: left out.
                    const bytes before_last = slice(whole, 0, static_cast<std::size_t>(last_frame_at));
                    EXPECT_TRUE(res.out == as_string(before_last)) << "bytes written: " << res.out.size();
                } else {
                    EXPECT_EQ(report_value(res.out, "LAST_BYTE_CHECKED"), std::to_string(cut_at));
                }
            }
        }
    }
}

TEST(CutShort, BudgetStopIsNotACut)
{
    // -b without a number stops after the first header, inside the file: no cut.
    const fixture_row& r = row("lame_cbr128.mp3");
    const run_result res = run_framelint({"-b", r.path()});
    EXPECT_EQ(res.err, "");
    EXPECT_EQ(report_value(res.out, "BAD_FRAMES"), "0");
    EXPECT_EQ(res.status, 0);
}

}  // namespace
}  // namespace framelint::test
