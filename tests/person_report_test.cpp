// The report for people: every kind of problem in plain words, the line of one
// file (findings, then notices), and the tally.

#include <gtest/gtest.h>

#include <cerrno>
#include <regex>

#include "report/person_report.hpp"
#include "report/play_clock.hpp"
#include "support.hpp"

namespace framelint::test {
namespace {

problem make(problem_kind kind, bool bad, std::int64_t offset, std::int64_t a = 0, std::int64_t b = 0)
{
    return problem{kind, bad, offset, {a, b, 0}};
}

std::span<const std::uint8_t> as_span(const std::string& s)
{
    return {reinterpret_cast<const std::uint8_t*>(s.data()), s.size()};
}

TEST(PlainWords, EveryKindHasWordsOfItsOwn)
{
    const stream_clues clues{417, {}, 20000, 0};
    std::set<std::string> seen;
    for (const problem_kind_info& info : problem_kinds) {
        // Numbers that make sense for most kinds: two plain header words, or
        // counts that differ.
        const problem p = make(info.kind, true, 1000, 0xFFFB9064, 0xFFF39064);
        const std::string words = plain_words(p, clues);
        EXPECT_FALSE(words.empty()) << info.name;
        EXPECT_EQ(words.find("unknown kind"), std::string::npos) << info.name;
        EXPECT_EQ(words.find(info.name), std::string::npos) << info.name << ": its own words, not its JSON name";
        EXPECT_TRUE(seen.insert(words).second) << info.name << " says what another kind says: " << words;
    }
}

TEST(PersonStory, EveryKindOfDamageIsToldWithoutFormatWordsAndWithWhatToDo)
{
    const std::regex format_words("xing|vbri|lame|crc|header|id3|frame", std::regex::icase);
    const stream_clues clues{417, {}, 20000, 0};
    for (const problem_kind_info& info : problem_kinds) {
        if (info.severity == problem_severity::notice) {
            continue;
        }
        problem_list list;
        list.add(make(info.kind, true, 1000, 0xFFFB9064, 0xFFF39064));
        const person_story story = tell_story(list, nullptr, clues);
        for (const std::string& words : story.wrong) {
            // -q's run is counted in frames, the unit the switch is given in.
            if (info.kind != problem_kind::short_run) {
                EXPECT_FALSE(std::regex_search(words, format_words)) << info.name << ": " << words;
            }
        }
        // -e makes a tag at the start damage; there is nothing to do about it.
        if (info.kind != problem_kind::id3v2_tag && !story.wrong.empty()) {
            EXPECT_NE(story.outlook, repair_outlook::none) << info.name;
        }
    }
}

TEST(PlayClock, TimesComeFromTheRunsOfFrames)
{
    // 1152-sample frames at 44.1 kHz, a Xing frame first: 100 frames, a gap of
    // junk, 50 frames.
    stream_layout layout;
    layout.complete = true;
    layout.vbr_frame = 0;
    layout.runs = {frame_run{{0, 41800}, 100, 100 * 1152, 0xFFFB9064, 41382},
                   frame_run{{42000, 62900}, 50, 50 * 1152, 0xFFFB9064, 62482}};
    const play_clock clock = clock_of(&layout);
    ASSERT_TRUE(clock.running());
    const double frame = 1152 / 44100.0;
    EXPECT_NEAR(clock.seconds(), 149 * frame, 1e-9);  // the Xing frame holds no sound
    EXPECT_NEAR(clock.seconds_at(42000), 99 * frame, 1e-9);  // the gap is heard where the first run ends
    EXPECT_NEAR(clock.seconds_at(52450), 124 * frame, 1e-9);  // halfway through the second run
    EXPECT_FALSE(clock_of(nullptr).running());
    layout.complete = false;
    EXPECT_FALSE(clock_of(&layout).running());

    const std::pair<double, const char*> moments[] = {{0, "0:00"}, {65.9, "1:05"}, {3725, "1:02:05"}};
    for (const auto& [seconds, words] : moments) {
        EXPECT_EQ(clock_words(seconds), words);
    }
    const std::pair<double, const char*> lengths[] = {
        {0.026, "0.03 s"}, {2.44, "2.4 s"}, {24.4, "24 s"}, {192.2, "3:12"}};
    for (const auto& [seconds, words] : lengths) {
        EXPECT_EQ(duration_words(seconds), words);
    }
}

TEST(PlainWords, NumbersSayHowMuch)
{
    const stream_clues clues{417, {}, 17000, 0};
    const struct {
        problem p;
        const char* words;
    } cases[] = {
        {make(problem_kind::last_frame_cut, true, 17000, 17134), "ends 283 bytes into its last frame"},
        {make(problem_kind::xing_frame_count, true, 0, 308, 184), "Xing header says 308 frames, the file has 184"},
        {make(problem_kind::vbri_byte_count, true, 0, 5000, 1), "VBRI header says 5000 bytes, the frames take 1"},
        {make(problem_kind::leading_junk, true, 0, 512), "junk before the first frame (512 bytes)"},
        {make(problem_kind::trailing_junk, true, 9000, 1), "junk after the last frame (1 byte)"},
        {make(problem_kind::last_frame_cut_by_tag, true, 800, 1217, 1167),
         "its last frame is cut short by a tag (50 bytes missing)"},
        {make(problem_kind::music_length, true, 0, 11976, 7185),
         "ends 4791 bytes before the music the LAME tag declares"},
        {make(problem_kind::format_switch, true, 800, 0xFFFB9064, 0xFFF39064),
         "the format changes between frames (MPEG-1 to MPEG-2, 44100 Hz to 22050 Hz)"},
        {make(problem_kind::vbr_without_header, false, 0, 32, 256),
         "the bit rate varies (32 to 256 kbit/s) with no Xing or VBRI header, so players may show a wrong length"},
        {make(problem_kind::id3v2_size, true, 0, 50000, 0),
         "the file ends inside its ID3v2 tag, 33000 bytes before the tag's size says it ends"},
        {make(problem_kind::id3v2_size, true, 0, 2307, 1000), "an ID3v2 tag's size runs 1000 bytes over the audio"},
        {make(problem_kind::joined_streams, true, 17135, 128, 1),
         "two files joined (an ID3v1 tag of 128 bytes between runs of frames)"},
        {make(problem_kind::read_error, false, 10, EIO), "read error: Input/output error"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(plain_words(c.p, clues), c.words);
    }
    // Without the frame's length the cut is told by what is missing.
    EXPECT_EQ(plain_words(make(problem_kind::last_frame_cut, true, 17000, 17134), stream_clues{}),
              "its last frame is cut short (134 bytes missing)");
}

TEST(PlainWords, FileWithNoAudioIsToldWhatItLooksLike)
{
    const std::string html = "<!DOCTYPE html>\n<html><body><p>Not found</p></body></html>\n";
    const std::string text = "Just some notes, not music.\n";
    const std::string zeros(600, '\0');
    const std::string noise = "\x01\x9c\x00\xfe\x13\x07\x88\x00\x02\x03";
    const struct {
        std::string last_bytes;
        std::int64_t length;
        std::int64_t id3v2_end;
        const char* words;
    } cases[] = {
        {"", 0, 0, "no MPEG audio (an empty file)"},
        {html, 70000, 0, "no MPEG audio (an HTML page?)"},
        {text, 28, 0, "no MPEG audio (a text file?)"},
        {zeros, 600, 0, "no MPEG audio (only zero bytes)"},
        {noise, 10, 0, "no MPEG audio"},
        // Where the file ends inside its tag, the tag's size finding says so:
        // the words are not said twice.
        {zeros, 600, 4096, "no MPEG audio"},
        {zeros, 1034, 1034, "no MPEG audio (only an ID3v2 tag)"},
        {zeros, 1634, 1034, "no MPEG audio (only an ID3v2 tag)"},
        // Zeros at the end say nothing of the bytes before them.
        {zeros, 5000, 0, "no MPEG audio (zero bytes at its end)"},
        {zeros, 2000, 1034, "no MPEG audio (zero bytes at its end)"},
        {html, 3000, 1034, "no MPEG audio (an HTML page?)"},
    };
    for (const auto& c : cases) {
        const stream_clues clues{0, as_span(c.last_bytes), c.length, c.id3v2_end};
        EXPECT_EQ(plain_words(make(problem_kind::no_frames, true, c.length), clues), c.words) << c.words;
    }
}

TEST(PersonLine, FindingsThenNoticesAndCleanFilesOnlyWhenAsked)
{
    problem_list list;
    list.add(make(problem_kind::id3v2_tag, false, 0, 1024));  // skipped, no damage: not named
    list.add(make(problem_kind::vbr_without_header, false, 0, 32, 256));
    list.add(make(problem_kind::frame_not_found, true, 5004, 4900));
    list.add(make(problem_kind::last_frame_cut, true, 17000, 17134));
    list.add(make(problem_kind::frame_not_found, true, 9004, 8900));
    person_record damaged{"Artist/Album/03 Song.mp3", person_verdict::damaged, 0, &list, 3, {417, {}, 17000, 0}};
    EXPECT_EQ(person_line(damaged, {}),
              "Artist/Album/03 Song.mp3: DAMAGED: incomplete: the end is missing; damaged audio in 2 places; "
              "--fix can make it playable, replace it if you can; notice: players may show a wrong length: the bit "
              "rate varies and nothing in the file says how long it is (--fix can add that)\n");
    person_style offsets;
    offsets.offsets = true;
    EXPECT_EQ(person_line(damaged, offsets).substr(0, 120),
              "Artist/Album/03 Song.mp3: DAMAGED: 2 frames out of place (the first at byte 5000); ends 283 bytes into "
              "its last frame at");

    problem_list notices;
    notices.add(make(problem_kind::free_format, false, 0, 0xFFFB0064));
    person_record clean{"a.mp3", person_verdict::clean, 0, &notices, 0, {}};
    EXPECT_EQ(person_line(clean, {}), "");
    person_style all;
    all.every_file = true;
    EXPECT_EQ(person_line(clean, all), "a.mp3: clean: notice: free-format audio, which could not be checked\n");
    // Another step's words go after the findings, and give a clean file its line.
    EXPECT_EQ(person_line(person_record{"b.mp3", person_verdict::clean, 0, nullptr, 0, {}}, {}, {"repaired"}),
              "b.mp3: clean: repaired\n");

    // A name cannot break its record in two.
    EXPECT_EQ(person_line(person_record{"two\nlines.mp3", person_verdict::damaged, 0, nullptr, 4, {}}, {}),
              "two?lines.mp3: DAMAGED: damaged audio in 4 places; cannot be repaired: restore or replace it\n");
}

TEST(PersonLine, UnreadableSaysWhyAndADirectoryGetsTheHint)
{
    person_record r{"y.mp3", person_verdict::unreadable, EACCES, nullptr, 0, {}};
    EXPECT_EQ(person_line(r, {}), "y.mp3: unreadable: Permission denied\n");
    r.file_label = "Music";
    r.error = EISDIR;
    EXPECT_EQ(person_line(r, {}), "Music: unreadable: Is a directory (use -r to check the files in it)\n");
    person_style recursive;
    recursive.recursive = true;
    EXPECT_EQ(person_line(r, recursive), "Music: unreadable: Is a directory\n");
}

TEST(PersonTally, CountsAndSizes)
{
    person_tally t;
    for (int i = 0; i < 49; ++i) {
        t.add(person_verdict::clean, 20'000'000);
    }
    for (int i = 0; i < 13; ++i) {
        t.add(person_verdict::damaged, 16'900'000);
    }
    t.add(person_verdict::unreadable, 0);
    t.add(person_verdict::unreadable, 0);
    EXPECT_EQ(tally_line(t, 3.44), "64 files: 49 clean, 13 damaged, 2 unreadable (1.2 GB in 3.4 s)\n");
    // What --fix can do for the damaged files, when it can do anything.
    person_tally fixable;
    fixable.add(person_verdict::damaged, 0, repair_outlook::repairable);
    fixable.add(person_verdict::damaged, 0, repair_outlook::playable);
    fixable.add(person_verdict::damaged, 0, repair_outlook::lost);
    EXPECT_EQ(tally_line(fixable, 0.0),
              "3 files: 0 clean, 3 damaged (1 can be repaired, 1 can be made playable), 0 unreadable (0 bytes in 0.0 s)\n");
    person_tally one;
    one.add(person_verdict::clean, 1);
    EXPECT_EQ(tally_line(one, 0.0), "1 file: 1 clean, 0 damaged, 0 unreadable (1 byte in 0.0 s)\n");

    const std::pair<std::int64_t, const char*> sizes[] = {
        {0, "0 bytes"}, {999, "999 bytes"}, {1000, "1.0 kB"}, {17135, "17.1 kB"}, {999'960, "1.0 MB"},
        {1'234'567'890, "1.2 GB"}, {INT64_MAX, "9.2 EB"},
    };
    for (const auto& [bytes, words] : sizes) {
        EXPECT_EQ(size_words(bytes), words);
    }
}

}  // namespace
}  // namespace framelint::test
