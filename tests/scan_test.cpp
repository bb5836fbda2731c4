// The scanner on small hand-built streams: acceptance, positions, budgets,
// bodies, tags and the copy modes.

#include <gtest/gtest.h>

#include "run_support.hpp"
#include "support.hpp"

namespace framelint::test {
namespace {

const bytes f128 = frame(l3_128k);  // 417 bytes

TEST(Scan, CleanStreamCountsEveryFrameGood)
{
    const auto r = scan_memory(repeat(f128, 3), options(""));
    EXPECT_EQ(r.state.counters.good_frames, 3);
    EXPECT_EQ(r.state.counters.bad_frames, 0);
    EXPECT_EQ(r.state.counters.bytes_read, 3 * 417);
    EXPECT_TRUE(r.clean);
    EXPECT_EQ(r.err, "");
}

TEST(Scan, StreamsTooShortForAHeaderAreCountedAndClean)
{
    for (std::size_t n = 0; n <= 3; ++n) {
        const auto r = scan_memory(bytes(n, 0xFF), options(""));
        EXPECT_EQ(r.state.counters.bytes_read, static_cast<std::int64_t>(n));
        EXPECT_EQ(r.state.counters.good_frames + r.state.counters.bad_frames, 0);
        EXPECT_TRUE(r.clean);
    }
}

TEST(Scan, LeadingJunkIsNotedOnceAndTheNextFrameIsTheFirstGood)
{
    const bytes stream = text("abc") + repeat(f128, 3);
    const auto r = scan_memory(stream, options(""));
    EXPECT_EQ(r.state.counters.good_frames, 2);
    EXPECT_EQ(r.state.counters.bad_frames, 0);
    EXPECT_EQ(r.out.rfind("\nSomething happened at byte 7. Next expected frame: 4.\n", 0), 0u) << r.out;

    // When standard output carries the stream, the note goes to standard error
    // and the copy stays the input, byte for byte.
    const auto copied = scan_memory(stream, options("-s"));
    EXPECT_EQ(copied.out, std::string(stream.begin(), stream.end()));
    EXPECT_EQ(copied.err, "\nSomething happened at byte 7. Next expected frame: 4.\n");
}

TEST(Scan, DamagedHeaderAtItsPlaceCostsTwoBadFrames)
{
    // Bit-rate index 15 still passes the sync test but not the decoder.
    bytes damaged = f128;
    damaged[2] = 0xF0;
    const bytes stream = f128 + damaged + f128 + f128;
    const auto r = scan_memory(stream, options("-v -a"));
    EXPECT_EQ(r.state.counters.good_frames, 2);
    EXPECT_EQ(r.state.counters.bad_frames, 2);
    EXPECT_FALSE(r.clean);
    EXPECT_EQ(r.err, "\nA possible header 0xfffbf064 passed the weak sieve, but failed the strong one at offset 0x1a5 "
                     "(BYTE 421)."
                     "\nAn expected frame was not found. Expected it at offset 0x1a5 (BYTE 421), now at offset 0x346 "
                     "(BYTE 838).");
}

TEST(Scan, DamagedSyncCostsOneBadFrame)
{
    bytes damaged = f128;
    damaged[0] = 0x7F;
    const auto r = scan_memory(f128 + damaged + f128 + f128, options(""));
    EXPECT_EQ(r.state.counters.good_frames, 2) << "the frame after the damage is off its expected place";
    EXPECT_EQ(r.state.counters.bad_frames, 1);
}

TEST(Scan, SyncWordsInLeadingJunkThatFailTheDecoderAreBad)
{
    const auto r = scan_memory(bytes{0xFF, 0xFF, 0xFF, 0xFF} + repeat(f128, 2), options(""));
    EXPECT_GE(r.state.counters.bad_frames, 1);
    EXPECT_FALSE(r.clean);
}

TEST(Scan, MinimumRunIsReportedOnlyAtABreakBelowTheMinimum)
{
    // good good | break, four good | break, one good | break
    const bytes gap = text("xx");
    const bytes stream = repeat(f128, 2) + gap + repeat(f128, 5) + gap + repeat(f128, 2) + gap + f128;
    const auto r = scan_memory(stream, options("-q3"));
    EXPECT_EQ(r.state.counters.bad_frames, 3);
    EXPECT_EQ(r.err,
              "\nAn expected frame was not found. Expected it at offset 0x346 (BYTE 838), now at offset 0x348 (BYTE "
              "840)."
              "\nMininum contiguous number of frames wasn't reached. Got to 2, needed 3 at offset 0x346 (BYTE 838)."
              "\nAn expected frame was not found. Expected it at offset 0xb6d (BYTE 2925), now at offset 0xb6f (BYTE "
              "2927)."
              "\nAn expected frame was not found. Expected it at offset 0xeb1 (BYTE 3761), now at offset 0xeb3 (BYTE "
              "3763).");
    EXPECT_EQ(r.state.counters.run_length, 5) << "a run that reached the minimum is not reset";
}

struct budget_case {
    const char* switches;
    bytes stream;
    std::int64_t bytes_read;
    std::int64_t good_frames;
};

TEST(Scan, ByteBudgetsAndTheFirstFrameStop)
{
    const bytes junk_then_frames = text("abc") + repeat(f128, 3);
    const budget_case cases[] = {
        {"-b0", repeat(f128, 3), 4, 1},              // a frame at the start: its header, then stop
        {"-b0", junk_then_frames, 4, 0},             // otherwise the next budget test ends it
        {"-b1000", repeat(f128, 5), 3 * 417, 3},     // frames are consumed whole past the budget
        {"-b", junk_then_frames, 7, 0},              // no number: search to the first frame, then stop
        {"-v", junk_then_frames, 7, 0},              // -v alone limits the same way
        {"-b1000 -b", repeat(f128, 5), 3 * 417, 3},  // a later bare -b keeps the number
        {"-a -v", repeat(f128, 5), 5 * 417, 5},
    };
    for (const budget_case& c : cases) {
        SCOPED_TRACE(c.switches);
        const auto r = scan_memory(c.stream, options(c.switches));
        EXPECT_EQ(r.state.counters.bytes_read, c.bytes_read);
        EXPECT_EQ(r.state.counters.good_frames, c.good_frames);
        EXPECT_EQ(r.state.counters.bad_frames, 0);
    }
    // The command line refuses a budget below zero; the scanner, handed one,
    // stops before the first byte.
    scan_options negative = options("-b0");
    negative.byte_count = -1;
    const auto none = scan_memory(repeat(f128, 3), negative);
    EXPECT_EQ(none.state.counters.bytes_read, 0);
    EXPECT_EQ(none.state.counters.good_frames, 0);

    const auto zeros = scan_memory(bytes(5000, 0), options("-b100"));
    EXPECT_EQ(zeros.state.counters.bytes_read, 101) << "reaching the budget is not itself an error";
    EXPECT_TRUE(zeros.clean);
}

// Runs of plain frames are counted without the general loop (and handed to the
// integrity check in bulk); whatever breaks a run (a CRC word, a damaged header,
// a budget, a buffer's end) must leave the counts and findings as the
// frame-by-frame loop would. -vv takes every frame through that
// loop, so the two must agree on everything they count.
TEST(Scan, RunsOfPlainFramesCountAsFrameByFrame)
{
    // Encoders change the private, mode-extension, copyright and emphasis bits
    // from frame to frame; bit rate and padding change the length.
    bytes varied;
    const std::uint32_t words[] = {l3_128k, l3_128k | 0x30u, l3_128k | 0x200u, l3_160k | 0x10Bu, l3_320k, l3_128k ^ 0x4u};
    for (int i = 0; i < 40; ++i) {
        varied = varied + frame(words[(i * 7) % 6]);
    }
    bytes damaged = varied;
    damaged[417 * 9 + 2] = 0xFF;  // a bit rate index of 15 inside the run
    const bytes protected_inside = repeat(f128, 5) + frame_with_good_crc(l3_128k_crc) + repeat(f128, 5) +
                                   repeat(frame_with_good_crc(l3_128k_crc) + frame(l3_128k_crc, 0x11, 0x1234), 3);
    // MPEG-1 Layer II at 384 kbit/s is valid in stereo only: a word that differs
    // from a kept one in the mode bits alone may be invalid.
    bytes mono = frame(0xFFFDE004u);
    mono[3] = 0xC4;
    const bytes layer2_mode = repeat(frame(0xFFFDE004u), 3) + mono + repeat(frame(0xFFFDE004u), 2);
    const struct {
        const char* name;
        bytes stream;
    } streams[] = {{"varied", varied}, {"damaged", damaged}, {"protected", protected_inside},
                   {"layer II mode", layer2_mode}, {"cut", bytes(varied.begin(), varied.end() - 100)},
                   // Real files with a music CRC and tags at the end, for -c.
                   {"lame", read_file(fixture("lame_vbr.mp3"))},
                   {"tagged", read_file(fixture("integrity/tags_ape_v1.mp3"))},
                   {"bit rot", read_file(fixture("integrity/bitrot.mp3"))},
                   {"lame -p", read_file(fixture("lame_crc.mp3"))}};
    for (const auto& s : streams) {
        for (const char* switches : {"", "-b5000", "-q3", "-c"}) {
            SCOPED_TRACE(std::string(s.name) + " " + switches);
            const auto walked = scan_memory(s.stream, options(std::string(switches) + " -a -v"));
            const auto stepped = scan_memory(s.stream, options(std::string(switches) + " -a -vv"));
            const auto& a = walked.state;
            const auto& b = stepped.state;
            EXPECT_EQ(a.counters.good_frames, b.counters.good_frames);
            EXPECT_EQ(a.counters.bad_frames, b.counters.bad_frames);
            EXPECT_EQ(a.counters.run_length, b.counters.run_length);
            EXPECT_EQ(a.counters.bytes_read, b.counters.bytes_read);
            EXPECT_EQ(a.counters.next_expected, b.counters.next_expected);
            EXPECT_EQ(a.counters.play_seconds, b.counters.play_seconds);  // same additions, same order
            EXPECT_EQ(a.rates.high, b.rates.high);
            EXPECT_EQ(a.rates.low, b.rates.low);
            EXPECT_EQ(a.rates.sum, b.rates.sum);
            EXPECT_EQ(a.rates.frames, b.rates.frames);
            EXPECT_EQ(a.last_good_word, b.last_good_word);
            EXPECT_EQ(a.verdict, b.verdict);
            EXPECT_EQ(walked.err, stepped.err);
            const auto passes = [](const std::string& out) {
                std::size_t count = 0;
                for (auto at = out.find("crc16 check passed."); at != std::string::npos;
                     at = out.find("crc16 check passed.", at + 1)) {
                    ++count;
                }
                return count;
            };
            EXPECT_EQ(passes(walked.out), passes(stepped.out));
            // And through a file read in blocks, where runs end at every refill.
            const auto from_file = scan_regular_file(s.stream, options(std::string(switches) + " -a"));
            EXPECT_EQ(from_file.state.counters.good_frames, a.counters.good_frames);
            EXPECT_EQ(from_file.state.counters.bytes_read, a.counters.bytes_read);
            EXPECT_EQ(from_file.state.counters.play_seconds, a.counters.play_seconds);
        }
    }
    EXPECT_EQ(scan_memory(varied, options("")).state.counters.good_frames, 40);
}

// A file that stops inside its last frame was cut short: that frame is bad,
// whichever way its body was being consumed.
TEST(Scan, LastFrameCutShortIsABadFrameOnEveryBodyPath)
{
    const bytes cut = repeat(f128, 2) + bytes(f128.begin(), f128.begin() + 100);
    const char* message = "\nThe last frame was cut short by the end of the stream. Expected it to end at offset "
                          "0x4e3 (BYTE 1251).";

    const auto byte_path = scan_memory(cut, options(""), /*as_stdin=*/true);
    EXPECT_EQ(byte_path.state.counters.bytes_read, 934);
    EXPECT_EQ(byte_path.state.counters.bad_frames, 1);
    EXPECT_EQ(byte_path.err, message);
    EXPECT_FALSE(byte_path.clean);

    const auto seek_path = scan_regular_file(cut, options(""));
    EXPECT_EQ(seek_path.state.counters.bytes_read, 934) << "never beyond the end of the file";
    EXPECT_EQ(seek_path.state.counters.bad_frames, 1);
    EXPECT_EQ(seek_path.err, message);

    const bytes protected_frame = frame_with_good_crc(l3_128k_crc);
    const bytes cut_protected = repeat(protected_frame, 2) + bytes(protected_frame.begin(), protected_frame.begin() + 100);
    const auto block_path = scan_regular_file(cut_protected, options(""));
    EXPECT_EQ(block_path.state.counters.bytes_read, 934) << "the bytes of the cut body count, as on the other paths";
    EXPECT_EQ(scan_memory(cut_protected, options(""), /*as_stdin=*/true).state.counters.bytes_read, 934);
    EXPECT_EQ(block_path.state.counters.bad_frames, 1);
    EXPECT_EQ(block_path.err, std::string("File error while trying to read frame into memory.\n") + message);
    EXPECT_EQ(block_path.out.find("crc16 check passed.\ncrc16 check passed.\n"), 0u);

    const auto clean = scan_regular_file(repeat(f128, 3), options(""));
    EXPECT_EQ(clean.state.counters.bad_frames, 0);
    EXPECT_EQ(clean.err, "");
}

TEST(Scan, StopsForOtherReasonsAreNotCuts)
{
    const bytes cut = repeat(f128, 2) + bytes(f128.begin(), f128.begin() + 100);
    const auto r = scan_memory(cut, options("-b"));
    EXPECT_EQ(r.state.counters.bad_frames, 0);
    EXPECT_EQ(r.err, "");
}

TEST(Scan, ProtectedFramesAreCheckedOnlyWhenReadInOneBlock)
{
    const bytes good = frame_with_good_crc(l3_128k_crc);
    bytes wrong = good;
    wrong[5] ^= 0x01;
    // The body of a 417-byte protected frame is 411 bytes: the last, odd byte counts too.
    const auto file = scan_regular_file(good + wrong + good, options(""));
    EXPECT_EQ(file.out.rfind("crc16 check passed.\ncrc16 check passed.\n\nFILE_NAME", 0), 0u) << file.out;
    EXPECT_EQ(file.state.counters.good_frames, 3);
    EXPECT_EQ(file.state.counters.bad_frames, 0) << "a CRC mismatch is not a bad frame";
    bytes last_byte_wrong = good;
    last_byte_wrong.back() ^= 0x01;
    EXPECT_EQ(scan_regular_file(last_byte_wrong, options("")).out.find("crc16"), std::string::npos);

    for (const auto& r : {scan_memory(good + good, options(""), true), scan_regular_file(good + good, options("-i")),
                          scan_regular_file(good + good, options("-s"))}) {
        EXPECT_EQ(r.out.find("crc16 check passed."), std::string::npos);
        EXPECT_EQ(r.state.counters.good_frames, 2);
    }
}

TEST(Scan, LeadingId3v2TagIsSkippedAndTheFirstFrameExpectedAfterIt)
{
    const bytes stream = id3v2_tag(300) + repeat(f128, 3);
    const auto r = scan_memory(stream, options(""));
    EXPECT_EQ(r.err, "Possible ID3v2 frame found, skipping\n");
    EXPECT_EQ(r.state.counters.good_frames, 3);
    EXPECT_EQ(r.state.counters.bytes_read, static_cast<std::int64_t>(stream.size()));
    EXPECT_TRUE(r.clean);

    const auto counted = scan_memory(stream, options("-e"));
    EXPECT_EQ(counted.state.counters.bad_frames, 1);
    EXPECT_FALSE(counted.clean);

    EXPECT_EQ(scan_memory(id3v2_tag(0) + repeat(f128, 2), options("")).state.counters.good_frames, 2);

    bytes high_bits = id3v2_tag(300) + repeat(f128, 2);
    for (int i = 6; i < 10; ++i) {
        high_bits[static_cast<std::size_t>(i)] |= 0x80;  // ignored
    }
    EXPECT_EQ(scan_memory(high_bits, options("")).state.counters.good_frames, 2);
}

TEST(Scan, TagsThatAreNotWhereExpectedAreSearchedThrough)
{
    bytes declared_too_long = id3v2_tag(50000);
    declared_too_long.resize(10);
    const auto past_end = scan_memory(declared_too_long + repeat(f128, 2), options(""));
    EXPECT_EQ(past_end.state.counters.good_frames, 0);
    EXPECT_EQ(past_end.state.counters.bytes_read, 10 + 2 * 417) << "every byte there is, and no more";

    const auto truncated_header = scan_memory(bytes{'I', 'D', '3', 4, 0}, options(""));
    EXPECT_EQ(truncated_header.state.counters.bytes_read, 5);

    const auto second_tag = scan_memory(id3v2_tag(20) + id3v2_tag(20) + repeat(f128, 3), options(""));
    EXPECT_EQ(second_tag.err, "Possible ID3v2 frame found, skipping\n");
    EXPECT_EQ(second_tag.state.counters.good_frames, 2);
    EXPECT_EQ(second_tag.out.rfind("\nSomething happened at byte 64. Next expected frame: 34.\n", 0), 0u);

    const auto later = scan_memory(text("x") + id3v2_tag(20) + repeat(f128, 2), options(""));
    EXPECT_EQ(later.err, "");
}

TEST(Scan, PlainCopyIsTheWholeInputWhereverTheCheckStops)
{
    const bytes stream = id3v2_tag(64) + text("junk") + repeat(f128, 5) + id3v1_tag_bytes("t", "a", 0, 1);
    const std::size_t frames_at = 74 + 4;  // the tag with its header, then the junk
    struct copy_case {
        const char* switches;
        std::int64_t checked;  // LAST_BYTE_CHECKED: where the check stopped
    };
    const copy_case cases[] = {
        {"-s", static_cast<std::int64_t>(stream.size())},
        {"-s -b1000", static_cast<std::int64_t>(frames_at + 3 * 417)},
        {"-s -b", static_cast<std::int64_t>(frames_at + 4)},  // stops after the first header
        {"-s -v", static_cast<std::int64_t>(frames_at + 4)},
        {"-s -b0", 74},  // the ID3v2 tag is passed over whole, then the budget is spent
        {"-s -i -b1000", static_cast<std::int64_t>(frames_at + 3 * 417)},
    };
    for (const copy_case& c : cases) {
        for (const bool as_stdin : {false, true}) {
            SCOPED_TRACE(std::string(c.switches) + (as_stdin ? " from standard input" : ""));
            const auto r = scan_memory(stream, options(c.switches), as_stdin);
            EXPECT_EQ(r.state.counters.bytes_read, c.checked);
            EXPECT_EQ(r.state.counters.bad_frames, 0);
            EXPECT_EQ(r.out.size(), stream.size());
            EXPECT_TRUE(r.out == as_string(stream)) << "the copy differs";
        }
        const auto file = scan_regular_file(stream, options(c.switches));
        EXPECT_TRUE(file.out == as_string(stream)) << c.switches << " from a regular file";
    }
}

// Repair writes a frame once all of it has arrived: frames the stream ends in,
// and a header whose body the scan never reads, are left out.
TEST(Scan, RepairWritesOnlyAcceptedFramesEachWhole)
{
    bytes damaged = f128;
    damaged[2] = 0xF0;  // rejected by the decoder
    const bytes f160 = frame(l3_160k, 0x22);
    const bytes stream = id3v2_tag(64) + text("junk") + f128 + f160 + damaged + f128 + f160 +
                         id3v1_tag_bytes("t", "a", 0, 1);
    const auto r = scan_memory(stream, options("-sf"));
    const bytes expected = f128 + f160 + f128 + f160;
    EXPECT_EQ(r.out, as_string(expected));
    EXPECT_NE(r.err.find("Something happened"), std::string::npos);
    EXPECT_EQ(scan_memory(stream, options("-ss")).out, "");
    EXPECT_EQ(scan_memory(stream, options("-ss -sf")).out, "");

    const bytes good = frame_with_good_crc(l3_128k_crc);
    struct repair_case {
        const char* what;
        const char* switches;
        bytes stream;
        bytes written;
        std::int64_t bad_frames;
    };
    const repair_case cases[] = {
        {"cut in the last body", "-sf", repeat(f128, 2) + slice(f128, 0, 100), repeat(f128, 2), 1},
        {"cut in the last CRC word", "-sf", good + slice(good, 0, 5), good, 1},
        {"cut right after the last header", "-sf", good + slice(good, 0, 4), good, 1},
        {"-b stops after the first header", "-sf -b", text("junk") + repeat(good, 2), {}, 0},
        {"-v stops after the first header", "-sf -v", repeat(f128, 2), {}, 0},
        {"a budget stops after whole frames", "-sf -b500", repeat(f128, 5), repeat(f128, 2), 0},
    };
    for (const repair_case& c : cases) {
        for (const bool as_stdin : {false, true}) {
            SCOPED_TRACE(std::string(c.what) + (as_stdin ? " from standard input" : ""));
            const auto cut = scan_memory(c.stream, options(c.switches), as_stdin);
            EXPECT_EQ(cut.out, as_string(c.written));
            EXPECT_EQ(cut.state.counters.bad_frames, c.bad_frames);
        }
    }
}

TEST(Scan, AverageBitRateIsOverTheFramesItSums)
{
    // Junk, then a 320 kbit/s frame (found off position, not good), then a 128 one.
    const auto r = scan_memory(text("zz") + frame(l3_320k) + f128, options(""));
    EXPECT_EQ(r.state.counters.good_frames, 1);
    EXPECT_NE(r.out.find("VBR_HIGH            320\nVBR_LOW             128\nVBR_AVERAGE         224\n"),
              std::string::npos)
        << r.out;
}

TEST(Scan, PerFrameDumpShowsPositionsAndTheBodyAhead)
{
    const bytes good = frame_with_good_crc(l3_128k_crc);
    const auto r = scan_regular_file(good + f128, options("-vv -a"));
    const std::string first = "\nFRAME               1\nFrameOffset         6\nFrameLength         417\n"
                              "FrameDataLength     411\nBitRate             128\nSampRate            44100\n"
                              "BinString           11111111111110101001000001100100\nBinLen              32\n"
                              "IntHeader           4294611044\nCRC16Value          0x" ;
    EXPECT_EQ(r.out.rfind(first, 0), 0u) << r.out;
    char crc_lines[80];
    std::snprintf(crc_lines, sizeof crc_lines, "CRC16Value          0x%x\nCorrect_CRC16Value  0x%x\nNEXT_FRAME          423\n",
                  (good[4] << 8) | good[5], (good[4] << 8) | good[5]);
    EXPECT_NE(r.out.find(crc_lines), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("NEXT_FRAME          423\ncrc16 check passed.\n"), std::string::npos);
    EXPECT_NE(r.out.find("\nFRAME               2\nFrameOffset         421\nFrameLength         417\n"
                         "FrameDataLength     413\n"),
              std::string::npos);
    EXPECT_NE(r.out.find("Correct_CRC16Value  0x0\nNEXT_FRAME          838\n"), std::string::npos);

    // No dump at all while the stream goes to standard output.
    EXPECT_EQ(scan_memory(repeat(f128, 2), options("-vv -ss")).out, "");
}

TEST(Scan, Id3v1TagIsFoundInTheLastBytesConsumed)
{
    const bytes tag = id3v1_tag_bytes("Title", "Artist", 7, 255);
    const bytes stream = repeat(f128, 2) + tag;
    for (bool as_stdin : {false, true}) {
        const auto r = scan_memory(stream, options("-i -a -v"), as_stdin);
        EXPECT_NE(r.out.find("\nMP3_TAG             1\nTITLE               Title\nARTIST              Artist\n"
                             "ALBUM               \nYEAR                \nCOMMENT             \n"
                             "GENRE               255\nTRACK               7\nID3.11              1\n"),
                  std::string::npos)
            << r.out;
    }
    EXPECT_EQ(scan_regular_file(stream, options("-i")).out.find("MP3_TAG"), std::string::npos) << "found, not shown";
    EXPECT_NE(scan_regular_file(repeat(f128, 2), options("-i")).out.find("\nMP3_TAG             0\n"), std::string::npos);
    EXPECT_NE(scan_memory(stream, options("-i -v")).out.find("\nMP3_TAG             0\n"), std::string::npos)
        << "a scan stopped after the first frame never sees the tag";
}

}  // namespace
}  // namespace framelint::test
