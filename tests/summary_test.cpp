// --summary through the program: one line per file that is not clean, the
// tally, the exit status, and nothing on standard error but errors.

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <fstream>
#include <regex>

#include "run_support.hpp"
#include "support.hpp"

namespace framelint::test {
namespace {

void write_file(const std::string& path, const bytes& data)
{
    std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(data.data()),
                                                static_cast<std::streamsize>(data.size()));
}

const std::regex tally_form(R"(\d+ files?: \d+ clean, \d+ damaged( \((\d+ can be repaired)?(, )?(\d+ can be made playable)?\))?, \d+ unreadable \([0-9.]+ (bytes?|kB|MB|GB|TB) in \d+\.\d s\)\n)");

// The output less its last line, which must be the tally; "" when it is not.
std::string lines_before_tally(const std::string& out, const std::string& counts)
{
    const std::size_t last = out.rfind('\n', out.size() >= 2 ? out.size() - 2 : 0);
    const std::string tally = last == std::string::npos ? out : out.substr(last + 1);
    EXPECT_TRUE(std::regex_match(tally, tally_form)) << tally;
    EXPECT_EQ(tally.substr(0, counts.size()), counts) << tally;
    return last == std::string::npos ? "" : out.substr(0, last + 1);
}

TEST(SummaryOption, NamesEachDamagedFileOnceInWordsAndCountsThemAll)
{
    temp_dir dir;
    const std::string page = dir.file("page.mp3");
    write_file(page, text("<html><head><title>404</title></head><body>Not here</body></html>\n"));
    const bytes whole = read_file(fixture("lame_cbr128.mp3"));
    const std::string cut = dir.file("cut.mp3");
    write_file(cut, slice(whole, 0, 17000));
    const std::string junk = dir.file("junk first.mp3");
    write_file(junk, text("garbage") + whole);
    const std::string missing = dir.file("missing.mp3");
    const run_result r = run_framelint({"--summary", fixture("lame_cbr128.mp3"), fixture("tag_v23.mp3"), page, cut,
                                        missing, junk, fixture("integrity/cut_60.mp3"), fixture("lame_vbr.mp3")});
    EXPECT_EQ(lines_before_tally(r.out, "8 files: 3 clean, 4 damaged (1 can be repaired, 2 can be made playable), "
                                        "1 unreadable ("),
              page + ": DAMAGED: not an MP3: an HTML page (66 bytes); cannot be repaired: restore or replace it\n" +
                  cut + ": DAMAGED: incomplete: the end is missing after 1.0 s; --fix can make it playable, replace "
                        "it if you can\n" +
                  missing + ": unreadable: No such file or directory\n" + junk +
                  ": DAMAGED: 7 bytes of junk before the audio; --fix can repair it\n" +
                  fixture("integrity/cut_60.mp3") +
                  ": DAMAGED: incomplete: 0.6 s of 1.0 s, the end is missing; --fix can make it playable, replace "
                  "it if you can\n");
    // No warnings, no "Possible ID3v2 frame found", no note of the junk.
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.status, 1);  // an unreadable file, whatever the others gave
}

// 75 s of a rising tone, encoded by lame at 8 kHz mono with its Xing frame
// (VBR: a CBR frame that small holds no header); empty when lame is missing.
bytes long_lame_song(const temp_dir& dir)
{
    const std::string pcm = dir.file("tone.raw");
    {
        std::ofstream out(pcm, std::ios::binary);
        double phase = 0;
        for (int i = 0; i < 75 * 8000; ++i) {
            phase += 2 * 3.14159265 * (200.0 + i / 600.0) / 8000;
            const auto sample = static_cast<std::int16_t>(12000 * std::sin(phase));
            out.put(static_cast<char>(sample & 0xFF)).put(static_cast<char>((sample >> 8) & 0xFF));
        }
    }
    const std::string mp3 = dir.file("tone.mp3");
    const std::string lame = "lame --quiet -r -s 8 -m m --bitwidth 16 --signed --little-endian -V 9 '" + pcm + "' '" +
                             mp3 + "' >/dev/null 2>&1";
    if (std::system(lame.c_str()) != 0) {
        return {};
    }
    return read_file(mp3);
}

TEST(SummaryOption, DamageToRealEncoderOutputIsToldInPlainWordsWithWhatToDo)
{
    temp_dir dir;
    const bytes song = long_lame_song(dir);
    if (song.empty()) {
        GTEST_SKIP() << "lame is not installed (apt-get install lame)";
    }
    const std::size_t half = song.size() / 2;
    bytes flipped = song;
    std::size_t header = half;
    while (!(flipped[header] == 0xFF && (flipped[header + 1] & 0xE0) == 0xE0)) {
        ++header;
    }
    flipped[header + 30] ^= 0x10;  // inside the audio of a frame, not its header
    const struct {
        const char* what;
        bytes damaged;
        const char* says;  // the whole line after the name, as a pattern
    } cases[] = {
        {"cut download", slice(song, 0, song.size() * 4 / 10),
         R"(incomplete: 0:29 of 1:15, the end is missing; --fix can make it playable, replace it if you can)"},
        {"missing piece", slice(song, 0, half) + slice(song, half + 4096, song.size()),
         R"(4\.1 s missing at 0:37; --fix can make it playable, replace it if you can)"},
        {"piece left as zeros", slice(song, 0, half) + bytes(4096, 0) + slice(song, half + 4096, song.size()),
         R"(4\.1 s missing at 0:37; --fix can make it playable, replace it if you can)"},
        {"junk in the middle", slice(song, 0, half) + bytes(500, 0x5A) + slice(song, half, song.size()),
         R"(500 bytes of junk inside the audio at 0:37; --fix can make it playable, replace it if you can)"},
        {"flipped byte", flipped,
         R"(garbled audio somewhere in the file: it is not what the encoder wrote; cannot be repaired: restore or replace it)"},
    };
    const std::regex format_words("xing|vbri|lame|crc|header|frame|id3", std::regex::icase);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const std::string file = dir.file("song.mp3");
        write_file(file, c.damaged);
        const run_result r = run_framelint({"--summary", file});
        const std::string line = lines_before_tally(r.out, "1 file: 0 clean, 1 damaged");
        ASSERT_EQ(line.rfind(file + ": DAMAGED: ", 0), 0u) << line;
        const std::string words = line.substr(file.size() + 11, line.size() - file.size() - 12);
        EXPECT_TRUE(std::regex_match(words, std::regex(c.says))) << words;
        EXPECT_FALSE(std::regex_search(words, format_words)) << words;
    }
    // --json -c keeps the detail, with the play time beside the offset.
    write_file(dir.file("song.mp3"), slice(song, 0, half) + slice(song, half + 4096, song.size()));
    const std::string json = run_framelint({"-c", "--json", dir.file("song.mp3")}).out;
    EXPECT_NE(json.find(R"("kind":"frame_not_found",)"), std::string::npos) << json;
    EXPECT_NE(json.find(R"("severity":"damage","at_seconds":37.)"), std::string::npos) << json;
}

TEST(SummaryOption, ANameHoldingALineBreakKeepsItsFileToOneLine)
{
    temp_dir dir;
    const bytes cut = slice(read_file(fixture("lame_vbr.mp3")), 0, 7000);
    const std::string odd = dir.file("two\nlines.mp3");
    const std::string plain = dir.file("plain.mp3");
    for (const char* how : {"--summary", "--fix"}) {
        SCOPED_TRACE(how);
        write_file(odd, cut);
        write_file(plain, text("not audio"));
        const run_result r = run_framelint({how, "--summary", odd, plain});
        EXPECT_EQ(std::count(r.out.begin(), r.out.end(), '\n'), 3) << r.out;
    }
}

TEST(SummaryOption, StatusAsWithoutIt)
{
    const std::string clean = fixture("lame_vbr.mp3");
    const std::string damaged = fixture("integrity/bitrot.mp3");
    const struct {
        std::vector<std::string> files;
        int status;
        const char* counts;
    } cases[] = {
        {{clean, fixture("twolame_l2_crc.mp2")}, 0, "2 files: 2 clean, 0 damaged, 0 unreadable ("},
        {{clean, damaged}, 255, "2 files: 1 clean, 1 damaged, 0 unreadable ("},
        {{damaged, "/nonexistent/x.mp3"}, 1, "2 files: 0 clean, 1 damaged, 1 unreadable ("},
    };
    for (const auto& c : cases) {
        std::vector<std::string> args{"--summary"};
        args.insert(args.end(), c.files.begin(), c.files.end());
        const run_result r = run_framelint(args);
        EXPECT_EQ(r.status, c.status) << c.counts;
        EXPECT_EQ(r.status, run_framelint([&] {
                                auto a = c.files;
                                a.insert(a.begin(), "-c");
                                return a;
                            }())
                                .status);
        lines_before_tally(r.out, c.counts);
        EXPECT_EQ(r.err, "");
    }
}

TEST(SummaryOption, AllPrintsCleanFilesAndOffsetsSayWhere)
{
    const std::string clean = fixture("lame_cbr128.mp3");
    const std::string joined = fixture("integrity/junk_after_end.mp3");
    const run_result r = run_framelint({"--summary=all,offsets", clean, joined});
    EXPECT_EQ(lines_before_tally(r.out, "2 files: 1 clean, 1 damaged"),
              clean + ": clean\n" + joined + ": DAMAGED: junk after the last frame (64 bytes) at byte " +
                  std::to_string(read_file(joined).size() - 64) + " (0:01); --fix can repair it\n");
    const run_result all = run_framelint({"--summary=all", clean});
    EXPECT_EQ(lines_before_tally(all.out, "1 file: 1 clean"), clean + ": clean\n");
}

TEST(SummaryOption, DirectoryWithoutRecursionGetsTheHint)
{
    temp_dir dir;
    write_file(dir.file("a.mp3"), read_file(fixture("lame_cbr128.mp3")));
    write_file(dir.file("b.mp3"), bytes{});
    const run_result plain = run_framelint({"--summary", dir.path()});
    EXPECT_EQ(lines_before_tally(plain.out, "1 file: 0 clean, 0 damaged, 1 unreadable"),
              dir.path() + ": unreadable: Is a directory (use -r to check the files in it)\n");
    EXPECT_EQ(plain.status, 1);
    const run_result walked = run_framelint({"--summary", "-r", dir.path()});
    EXPECT_EQ(lines_before_tally(walked.out, "2 files: 1 clean, 1 damaged"),
              dir.file("b.mp3") + ": DAMAGED: an empty file; cannot be repaired: restore or replace it\n");
    EXPECT_EQ(walked.status, 255);
}

TEST(SummaryOption, RefusedBesideOtherUsesOfStandardOutput)
{
    const std::string file = fixture("lame_cbr128.mp3");
    const struct {
        std::vector<std::string> args;
        const char* says;
    } cases[] = {
        {{"--summary", "--json", file}, "--summary cannot be used with --json"},
        {{"-s", "--summary", file}, "--summary cannot be used with --json, -s"},
        {{"-sf", "--summary", file}, "--summary cannot be used"},
        {{"--summary=everything", file}, "--summary takes all, offsets or all,offsets, not 'everything'"},
        {{"--summary=all,", file}, "not ''"},
    };
    for (const auto& c : cases) {
        const run_result r = run_framelint(c.args);
        EXPECT_EQ(r.status, 1) << c.says;
        EXPECT_EQ(r.out, "");
        EXPECT_NE(r.err.find(c.says), std::string::npos) << r.err;
    }
}

TEST(SummaryOption, StandardInputAndTheDefaultRunUnchanged)
{
    const bytes stream = read_file(fixture("integrity/cut_60.mp3"));
    const run_result r = run_framelint({"--summary", "-"}, stream);
    EXPECT_EQ(lines_before_tally(r.out, "1 file: 0 clean, 1 damaged").substr(0, 34), "stdin: DAMAGED: incomplete: 0.6 s ");
    // Without the option the same run writes its summary and CPU times as ever.
    const run_result plain = run_framelint({"-"}, stream);
    EXPECT_TRUE(ends_with_cpu_times(plain.out));
    EXPECT_NE(plain.err, "");
}

}  // namespace
}  // namespace framelint::test
