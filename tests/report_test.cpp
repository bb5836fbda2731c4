// The summary's two layouts, the play-time split, and the ID3v1 record, ring and re-emission.

#include <gtest/gtest.h>

#include <cstring>

#include "id3v1/id3v1_tag.hpp"
#include "report/summary.hpp"
#include "support.hpp"

namespace framelint::test {
namespace {

std::string summary(const summary_facts& facts, const std::string& switches)
{
    std::string text;
    {
        io::output out(text);
        report_summary(facts, "song.mp3", options(switches), out);
    }
    return text;
}

TEST(Summary, EmptyStreamInBothLayouts)
{
    const summary_facts none;
    EXPECT_EQ(summary(none, ""), "\nFILE_NAME           song.mp3\nGOOD_FRAMES         0\nBAD_FRAMES          0\n"
                                 "LAST_BYTE_CHECKED   0\n");
    EXPECT_EQ(summary(none, "-p"), "FILE_NAME song.mp3\tGOOD_FRAMES 0\tBAD_FRAMES 0\tLAST_BYTE_CHECKED 0\n");
    EXPECT_EQ(summary(none, "-v"), summary(none, "")) << "no kept header, no dump";
    EXPECT_EQ(summary(none, "-s"), "");
}

TEST(Summary, BitRateLinesOnlyWhenTheRateVaried)
{
    const frame_info kept = blank_frame_info();
    summary_facts f;
    f.good_frames = 3;
    f.bytes_read = 1356;
    f.bitrate_high = 160;
    f.bitrate_low = 128;
    f.bitrate_sum = 416;
    f.bitrate_frames = 3;
    f.play_seconds = 61.25;
    f.have_good_frame = true;
    f.last_good_frame = &kept;
    EXPECT_EQ(summary(f, ""), "\nFILE_NAME           song.mp3\nGOOD_FRAMES         3\nBAD_FRAMES          0\n"
                              "LAST_BYTE_CHECKED   1356\nVBR_HIGH            160\nVBR_LOW             128\n"
                              "VBR_AVERAGE         138\nSONG_LENGTH         01:01.24\n");
    EXPECT_EQ(summary(f, "-p"), "FILE_NAME song.mp3\tGOOD_FRAMES 3\tBAD_FRAMES 0\tLAST_BYTE_CHECKED 1356\t"
                                "VBR_HIGH 160\tVBR_LOW 128\tVBR_AVERAGE 138\tSONG_LENGTH         01:01.24\n");
    f.bitrate_low = 160;
    EXPECT_EQ(summary(f, "-p"), "FILE_NAME song.mp3\tGOOD_FRAMES 3\tBAD_FRAMES 0\tLAST_BYTE_CHECKED 1356\t"
                                "SONG_LENGTH         01:01.24\n");
    EXPECT_EQ(summary(f, "-v -p"), summary(f, "-p")) << "no header dump in the one-line layout";

    const std::string dumped = summary(f, "-v");
    EXPECT_NE(dumped.find("LAST_BYTE_CHECKED   1356\nTRUE                1\nFALSE               0\n"), std::string::npos);
    EXPECT_NE(dumped.find("BIN_STRING          00000000000000000000000000000000\n\nSONG_LENGTH"), std::string::npos);
}

TEST(Summary, PlayTimeTruncatesAtEveryStep)
{
    struct split_case {
        double seconds;
        int minutes, secs, hundredths;
    };
    const split_case cases[] = {
        {61.25, 1, 1, 24}, {1.15, 0, 1, 14}, {125.5, 2, 5, 50}, {6000.0, 100, 0, 0}, {1152.0 / 44100, 0, 0, 2},
    };
    for (const split_case& c : cases) {
        const play_time t = split_play_time(c.seconds);
        EXPECT_EQ(t.minutes, c.minutes) << c.seconds;
        EXPECT_EQ(t.seconds, c.secs) << c.seconds;
        EXPECT_EQ(t.hundredths, c.hundredths) << c.seconds;
    }
}

TEST(TailRing, UnrollsToStreamOrder)
{
    for (std::uint64_t length : {128u, 255u, 300u, 1000u}) {
        tail_ring ring;
        for (std::uint64_t k = 1; k <= length; ++k) {
            ring.store(k, static_cast<std::uint8_t>(k * 7));
        }
        unroll_ring(ring, length);
        for (std::uint64_t j = 0; j < 128; ++j) {
            ASSERT_EQ(ring.slots[j], static_cast<std::uint8_t>((length - 127 + j) * 7)) << length << " " << j;
        }
    }
}

TEST(TailRing, RunsOfBytesLandWhereSingleStoresWould)
{
    bytes stream(700);
    for (std::size_t i = 0; i < stream.size(); ++i) {
        stream[i] = static_cast<std::uint8_t>(i * 31 + 5);
    }
    for (std::size_t run : {1u, 5u, 127u, 128u, 129u, 300u}) {
        tail_ring one_by_one;
        tail_ring in_runs;
        std::uint64_t done = 0;
        while (done < stream.size()) {
            const std::size_t n = std::min<std::size_t>(run, stream.size() - done);
            for (std::size_t i = 0; i < n; ++i) {
                one_by_one.store(done + i + 1, stream[done + i]);
            }
            done += n;
            in_runs.store(done, stream.data() + done - n, n);
        }
        EXPECT_EQ(in_runs.slots, one_by_one.slots) << run;
    }
}

TEST(TailRing, ShortStreamsHaveZeroSlotsBeforeTheirBytes)
{
    tail_ring ring;
    const bytes tag = id3v1_tag_bytes("x", "y", 0, 0);
    ring.store(tag.size(), tag.data(), tag.size());
    unroll_ring(ring, tag.size());
    EXPECT_EQ(std::memcmp(ring.slots.data(), tag.data(), 128), 0) << "a 128-byte stream that is a tag";

    tail_ring short_ring;
    short_ring.store(3, reinterpret_cast<const std::uint8_t*>("TAG"), 3);
    unroll_ring(short_ring, 3);
    EXPECT_EQ(short_ring.slots[0], 0);
    EXPECT_EQ(std::memcmp(short_ring.slots.data() + 125, "TAG", 3), 0);
}

id3v1_tag parsed(const bytes& block)
{
    id3v1_tag tag;
    clear_id3v1(tag);
    parse_id3v1(block.data(), tag);
    return tag;
}

TEST(Id3v1, ParsesFieldsUpToTheirFirstNul)
{
    bytes block = id3v1_tag_bytes(std::string("ab\0cd", 5), "", 0, 0xFF);
    std::memset(block.data() + 97, 'Y', 29);
    block[126] = 'Z';  // a comment filling all 30 bytes
    const id3v1_tag tag = parsed(block);
    EXPECT_EQ(tag.has_tag, 1);
    EXPECT_STREQ(tag.title, "ab");
    EXPECT_EQ(std::strlen(tag.comment), 30u);
    EXPECT_EQ(tag.track, 'Z');
    EXPECT_EQ(tag.is_v11, 1);
    EXPECT_EQ(tag.genre, 255);

    block[0] = 't';
    EXPECT_EQ(parsed(block).has_tag, 0) << "the magic is upper case only";
}

TEST(Id3v1, TrimmedLengthKeepsUpToTheLastTextByte)
{
    struct trim_case {
        const char* text;
        std::size_t length;
    };
    const trim_case cases[] = {
        {"", 0},
        {"abcd   ", 4},
        {"      ", 6},  // nothing but blanks: kept whole
        {"ab\t", 2},
        {"a b", 3},
        {"\x7F\x7F", 2},
        // Bytes from 0x80 up are letters in Latin-1 and parts of letters in UTF-8.
        {"Caf\xE9", 4},             // Latin-1 "Café"
        {"Caf\xE9  ", 4},
        {"Beyonc\xC3\xA9 \t", 8},  // UTF-8 "Beyoncé"
        {"\xA9 ", 1},
    };
    for (const trim_case& c : cases) {
        SCOPED_TRACE(::testing::PrintToString(std::string(c.text)));
        EXPECT_EQ(trimmed_length(c.text), c.length);
    }
}

bytes emitted(const bytes& block)
{
    std::string text;
    {
        io::output out(text);
        EXPECT_EQ(emit_id3v1(parsed(block), out), 1);
    }
    return bytes(text.begin(), text.end());
}

TEST(Id3v1, ReEmissionTrimsFieldsAndKeepsTrackAndGenre)
{
    bytes block = id3v1_tag_bytes("abcd   ", std::string(30, ' '), 5, 0xFF);
    std::memcpy(block.data() + 63, "al\tb\xE9\t", 6);
    std::memcpy(block.data() + 93, "99  ", 4);
    std::memcpy(block.data() + 97, "note", 4);
    const bytes out = emitted(block);
    ASSERT_EQ(out.size(), 128u);
    bytes expected = id3v1_tag_bytes("abcd", std::string(30, ' '), 5, 0xFF);
    std::memcpy(expected.data() + 63, "al\tb\xE9", 5);  // the Latin-1 letter stays
    std::memcpy(expected.data() + 93, "99", 2);
    std::memcpy(expected.data() + 97, "note", 4);
    EXPECT_EQ(out, expected);

    bytes comment_of_spaces = id3v1_tag_bytes("t", "a", 0, 1);
    std::memcpy(comment_of_spaces.data() + 97, "text", 4);
    std::memset(comment_of_spaces.data() + 101, ' ', 26);
    const bytes spaced = emitted(comment_of_spaces);
    EXPECT_EQ(spaced[101], 0);
    EXPECT_EQ(spaced[125], 0);
    EXPECT_EQ(spaced[126], ' ') << "byte 126 always comes back";

    bytes whole = id3v1_tag_bytes(std::string(30, 'T'), "A", 0, 3);
    std::memset(whole.data() + 97, 'C', 30);
    EXPECT_EQ(emitted(whole), whole) << "fields full of graphic bytes come back unchanged";
}

}  // namespace
}  // namespace framelint::test
