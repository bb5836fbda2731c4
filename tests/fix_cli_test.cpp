// --fix as a user runs it: damaged copies of real encoder output repaired in
// place, clean and unrepairable files left alone, and every way the rewrite
// can fail or be stopped leaving the file as it was.

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>

#include <fcntl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <random>
#include <string>

#include "mpeg/frame_info.hpp"
#include "run_support.hpp"
#include "support.hpp"

namespace framelint::test {
namespace {

struct work_dir {
    std::string path;
    work_dir()
    {
        char name[] = "/tmp/framelint-fix-XXXXXX";
        path = ::mkdtemp(name);
    }
    ~work_dir()
    {
        ::umount(path.c_str());
        std::system(("chmod -R u+w " + path + " 2>/dev/null; rm -rf " + path).c_str());
    }
    std::string put(const std::string& name, const bytes& b) const
    {
        const std::string p = path + "/" + name;
        const int fd = ::open(p.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        EXPECT_EQ(::write(fd, b.data(), b.size()), static_cast<ssize_t>(b.size()));
        ::close(fd);
        return p;
    }
    // The names in the directory, sorted, one per line.
    // The names in the directory, sorted, one a line (as ls -A gives them).
    std::string listing() const
    {
        std::vector<std::string> names;
        for (const auto& entry : std::filesystem::directory_iterator(path)) {
            names.push_back(entry.path().filename().string());
        }
        std::sort(names.begin(), names.end());
        std::string list;
        for (const std::string& name : names) {
            list += name + "\n";
        }
        return list;
    }
};

bytes slice(const bytes& b, std::size_t from, std::size_t to) { return bytes(b.begin() + from, b.begin() + to); }

run_result fix(const std::vector<std::string>& files, const std::string& more = "")
{
    std::vector<std::string> args{"--fix"};
    if (!more.empty()) {
        args.push_back(more);
    }
    args.insert(args.end(), files.begin(), files.end());
    return run_framelint(args);
}

// lost: the repair drops audio (frames cut, or taken by the junk inside
// them), so the file is made playable but stays incomplete. evidence: its
// LAME tag keeps the whole's music length, so that -c still says so.
enum class loss : std::uint8_t { none, lost, evidence };

struct damage_case {
    const char* what;
    const char* source;
    std::function<bytes(const bytes&)> damage;
    loss lost = loss::none;
};

const damage_case damage_cases[] = {
    {"cut download, VBR", "lame_vbr.mp3", [](const bytes& d) { return slice(d, 0, d.size() * 6 / 10); },
     loss::evidence},
    {"cut then tagged", "tag_v11.mp3",
     [](const bytes& d) { return slice(d, 0, d.size() * 6 / 10) + slice(d, d.size() - 128, d.size()); },
     loss::evidence},
    // Cut 100 bytes into a frame of 418 and tagged again: the tag stands where
    // the frame would have gone on; the frame goes, the tag stays.
    {"cut inside its last frame, then tagged", "tag_v11.mp3",
     [](const bytes& d) { return slice(d, 0, 8776 + 100) + slice(d, d.size() - 128, d.size()); }, loss::evidence},
    {"junk at the start", "lame_cbr128.mp3", [](const bytes& d) { return bytes(300, 0x41) + d; }},
    {"junk between frames", "lame_vbr.mp3",
     [](const bytes& d) { return slice(d, 0, d.size() / 2) + bytes(301, 0x11) + slice(d, d.size() / 2, d.size()); },
     loss::evidence},
    {"junk before the tags", "tag_both.mp3",
     [](const bytes& d) { return slice(d, 0, d.size() - 128) + text("junk!junk!") + slice(d, d.size() - 128, d.size()); }},
    {"zeroed block", "lame_vbr.mp3",
     [](const bytes& d) {
         bytes z = d;
         std::fill(z.begin() + static_cast<std::ptrdiff_t>(d.size() / 3),
                   z.begin() + static_cast<std::ptrdiff_t>(d.size() / 3 + 700), 0);
         return z;
     },
     loss::evidence},
    {"deleted block", "twolame_l2_192.mp2",
     [](const bytes& d) { return slice(d, 0, d.size() / 3) + slice(d, d.size() / 3 + 1000, d.size()); }, loss::lost},
    {"two tagged files joined", "tag_v23.mp3", [](const bytes& d) { return d + d; }},
    {"ID3v2 size into the audio", "tag_v23.mp3",
     [](const bytes& d) {
         bytes b = d;
         b[8] = static_cast<std::uint8_t>(b[8] + 2);  // 256 bytes more than the tag holds
         return b;
     }},
};

TEST(FixCli, DamagedCopiesAreRepairedInPlaceOnce)
{
    for (const damage_case& c : damage_cases) {
        SCOPED_TRACE(c.what);
        const bytes original = read_file(fixture(c.source));
        const bytes damaged = c.damage(original);
        work_dir dir;
        const std::string song = dir.put("song.mp3", damaged);
        ASSERT_EQ(run_framelint({"-c", song}).status, 255);

        const run_result r = fix({song});
        EXPECT_EQ(r.status, c.lost == loss::none ? 0 : 255) << r.out << r.err;
        EXPECT_NE(r.out.find(song + (c.lost == loss::none ? ": repaired: " : ": made playable, still incomplete: ")),
                  std::string::npos)
            << r.out;
        EXPECT_EQ(read_file(song + ".bak"), damaged);
        const bytes repaired = read_file(song);
        EXPECT_EQ(run_framelint({"-c", song}).status, c.lost == loss::evidence ? 255 : 0);
        // The tags at both ends are kept as they were.
        EXPECT_EQ(slice(repaired, 0, 5), slice(original, 0, 5));
        if (std::equal(original.end() - 128, original.end() - 125, "TAG")) {
            EXPECT_EQ(slice(repaired, repaired.size() - 128, repaired.size()),
                      slice(original, original.size() - 128, original.size()));
        }

        // Repairing a repaired file changes nothing and makes no backup.
        ::unlink((song + ".bak").c_str());
        const run_result again = fix({song});
        EXPECT_EQ(again.status, c.lost == loss::evidence ? 255 : 0);
        EXPECT_EQ(again.out.find(": repaired"), std::string::npos) << again.out;
        if (c.lost == loss::evidence) {
            // Nothing more can be done: the line says so in a person's words.
            EXPECT_NE(again.out.find("incomplete: "), std::string::npos) << again.out;
            EXPECT_NE(again.out.find("cannot be repaired: restore or replace it"), std::string::npos) << again.out;
        }
        EXPECT_EQ(read_file(song), repaired);
        EXPECT_EQ(dir.listing(), "song.mp3\n");
    }
}

// A VBR stream that has lost its Xing/Info frame: clean, with a notice.
bytes vbr_without_header()
{
    const bytes d = read_file(fixture("lame_vbr.mp3"));
    frame_info info = blank_frame_info();
    decode_header(static_cast<std::uint32_t>(d[0]) << 24 | static_cast<std::uint32_t>(d[1]) << 16 |
                      static_cast<std::uint32_t>(d[2]) << 8 | d[3],
                  info);
    return slice(d, static_cast<std::size_t>(info.frame_length), d.size());
}

TEST(FixCli, CleanAndUnrepairableFilesAreLeftAsTheyAre)
{
    struct keep_case {
        const char* what;
        bytes content;
        int status;
        const char* says;  // on the file's line, "" for none
    };
    const keep_case cases[] = {
        {"lame_vbr.mp3", read_file(fixture("lame_vbr.mp3")), 0, ""},
        {"tag_both.mp3", read_file(fixture("tag_both.mp3")), 0, ""},
        {"twolame_l2_crc.mp2", read_file(fixture("twolame_l2_crc.mp2")), 0, ""},
        {"VBR without a Xing header (a notice)", vbr_without_header(), 0, ""},
        {"bitrot", read_file(fixture("integrity/bitrot.mp3")), 255,
         "DAMAGED: garbled audio somewhere in the file: it is not what the encoder wrote; cannot be "
         "repaired: restore or replace it"},
        {"empty", read_file(fixture("integrity/empty.mp3")), 255,
         "DAMAGED: an empty file; cannot be repaired: restore or replace it"},
    };
    for (const keep_case& c : cases) {
        SCOPED_TRACE(c.what);
        work_dir dir;
        const std::string song = dir.put("song.mp3", c.content);
        struct stat before {};
        ::stat(song.c_str(), &before);
        const run_result r = fix({song});
        EXPECT_EQ(r.status, c.status) << r.out << r.err;
        if (*c.says != '\0') {
            EXPECT_NE(r.out.find(song + ": " + c.says), std::string::npos) << r.out;
        } else {
            EXPECT_EQ(r.out.find(song + ":"), std::string::npos) << r.out;
        }
        struct stat after {};
        ::stat(song.c_str(), &after);
        EXPECT_EQ(read_file(song), c.content);
        EXPECT_EQ(after.st_ino, before.st_ino);
        EXPECT_EQ(after.st_mtim.tv_nsec, before.st_mtim.tv_nsec);
        EXPECT_EQ(dir.listing(), "song.mp3\n");
    }
}

std::vector<std::string> lines_before_fix_tally(const std::string& out, const std::string& counts);

// Only on request is a clean file changed: --add-xing gives a VBR stream
// without a header one, and says so in words of its own.
TEST(FixCli, AddXingGivesACleanVbrStreamAHeaderAndSaysSo)
{
    work_dir dir;
    const std::string song = dir.put("song.mp3", vbr_without_header());
    const run_result r = fix({song}, "--add-xing");
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find(song + ": Xing header added: the original is "), std::string::npos) << r.out;
    EXPECT_EQ(read_file(song + ".bak"), vbr_without_header());
    const run_result checked = run_framelint({"--summary=all", song});
    EXPECT_EQ(checked.out.rfind(song + ": clean\n", 0), 0u) << checked.out;

    const std::string other = dir.put("other.mp3", vbr_without_header());
    const run_result summary = run_framelint({"--fix", "--add-xing", "--summary", "--no-backup", other});
    EXPECT_EQ(lines_before_fix_tally(summary.out,
                                     "1 file: 0 clean, 0 repaired, 1 given a Xing header, 0 damaged, 0 unreadable ("),
              std::vector<std::string>{other + ": Xing header added"});
    EXPECT_EQ(run_framelint({"--add-xing", other}).status, 1);
}

bytes cut_vbr() { const bytes d = read_file(fixture("lame_vbr.mp3")); return slice(d, 0, 7000); }

// Damage that a repair undoes whole: junk before the first frame.
bytes junk_vbr() { return bytes(300, 0x41) + read_file(fixture("lame_vbr.mp3")); }

// What a player shows: ffprobe's duration of a file, in seconds; negative
// when ffprobe cannot be run.
double ffprobe_seconds(const std::string& path)
{
    const std::string command = "ffprobe -v error -show_entries format=duration -of csv=p=0 '" + path + "' 2>/dev/null";
    FILE* pipe = ::popen(command.c_str(), "r");
    if (pipe == nullptr) {
        return -1;
    }
    double seconds = -1;
    if (std::fscanf(pipe, "%lf", &seconds) != 1) {
        seconds = -1;
    }
    ::pclose(pipe);
    return seconds;
}

TEST(FixCli, ARepairedCutVbrFilePlaysAsLongAsItsFrames)
{
    if (std::system("command -v ffprobe >/dev/null 2>&1") != 0) {
        GTEST_SKIP() << "ffprobe is not installed (apt-get install ffmpeg): a player's length cannot be measured";
    }
    work_dir dir;
    const std::string song = dir.put("song.mp3", cut_vbr());
    const auto frame_seconds = [&] {
        const std::string line = run_framelint({"-c", "-p", song}).out;
        const std::size_t at = line.find("GOOD_FRAMES ");
        // Less the Xing/Info frame, which holds no audio.
        return static_cast<double>(std::stoll(line.substr(at + 12)) - 1) * 1152 / 44100.0;
    };
    const double one_frame = 1152 / 44100.0;
    // The stale Xing header makes players show the whole song.
    EXPECT_GT(ffprobe_seconds(song) - frame_seconds(), 10 * one_frame);
    ASSERT_EQ(fix({song}, "--no-backup").status, 255);  // made playable, but incomplete
    EXPECT_NEAR(ffprobe_seconds(song), frame_seconds(), one_frame);
}

// A cut download is made playable, and says, then and at every later check,
// how much of the whole it holds; nothing counts it as repaired.
TEST(FixCli, ACutDownloadIsMadePlayableAndStaysIncomplete)
{
    work_dir dir;
    const std::string song = dir.put("song.mp3", cut_vbr());
    const run_result r = fix({song}, "--summary");
    EXPECT_EQ(r.status, 255) << r.out << r.err;
    const auto lines = lines_before_fix_tally(
        r.out, "1 file: 0 clean, 0 repaired, 1 playable but incomplete, 0 damaged, 0 unreadable (");
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].rfind(song + ": made playable, still incomplete: 0:00.5 of 0:01.0; replace it if you can; ", 0),
              0u)
        << lines[0];

    const run_result checked = run_framelint({"--summary", song});
    EXPECT_EQ(checked.status, 255);
    EXPECT_NE(checked.out.find(song + ": DAMAGED: incomplete: 0.6 s of 1.0 s, audio is missing"), std::string::npos)
        << checked.out;

    // A second --fix has nothing to mend, and says why the file stays as it is.
    const bytes repaired = read_file(song);
    const run_result again = fix({song}, "--json");
    EXPECT_EQ(again.status, 255);
    EXPECT_NE(again.out.find(R"("repair":"not_repaired","repair_reason":"audio is missing that no repair brings )"
                             R"(back (0:00.5 of about 0:01.0); replace it if you can")"),
              std::string::npos)
        << again.out;
    EXPECT_EQ(read_file(song), repaired);

    const std::string other = dir.put("other.mp3", cut_vbr());
    const run_result json = fix({other}, "--json");
    EXPECT_NE(json.out.find(R"("repair":"playable_incomplete","backup":")" + other +
                            R"(.bak","play_seconds_kept":0.574693877551)"),
              std::string::npos)
        << json.out;
    EXPECT_NE(json.out.find(R"("play_seconds_whole":1.044897959183)"), std::string::npos) << json.out;
}

TEST(FixCli, FailuresChangeNothingAndLeaveNothingBehind)
{
    struct failure_case {
        const char* what;
        long long read_fault_at;
        long long write_fault_at;
        long long write_flip_at;
        bool read_only_dir;
        int status;
        const char* says;
    };
    const failure_case cases[] = {
        {"full disk", -1, 3000, -1, false, 1, "No space left on device"},
        {"read error", 4000, -1, -1, false, 1, "unreadable: Input/output error"},
        {"read-only directory", -1, -1, -1, true, 1, "cannot create a file in"},
        // The write reports success but a header byte lands wrong: the copy
        // read back fails the check, so it never replaces the file.
        {"bad disk", -1, -1, 0, false, 255, "not repaired: the repaired stream would still not pass the check"},
    };
    for (const failure_case& c : cases) {
        SCOPED_TRACE(c.what);
        work_dir dir;
        std::string song;
        if (c.read_only_dir && ::geteuid() == 0) {
            // Root writes into any directory, but not into a read-only file system.
            if (::mount("framelint-test", dir.path.c_str(), "tmpfs", 0, "size=64k") != 0) {
                continue;
            }
            song = dir.put("song.mp3", cut_vbr());
            ASSERT_EQ(::mount("framelint-test", dir.path.c_str(), "tmpfs", MS_REMOUNT | MS_RDONLY, nullptr), 0);
        } else {
            song = dir.put("song.mp3", cut_vbr());
            if (c.read_only_dir) {
                ::chmod(dir.path.c_str(), 0555);
            }
        }
        launch how;
        how.args = {"--fix", song};
        how.read_fault_at = c.read_fault_at;
        how.write_fault_at = c.write_fault_at;
        how.write_flip_at = c.write_flip_at;
        const run_result r = run_framelint_as(how);
        ::chmod(dir.path.c_str(), 0755);
        EXPECT_EQ(r.status, c.status) << r.out << r.err;
        EXPECT_NE((r.out + r.err).find(c.says), std::string::npos) << r.out << r.err;
        EXPECT_EQ(read_file(song), cut_vbr());
        EXPECT_EQ(dir.listing(), "song.mp3\n");
    }
}

// One failed read anywhere (the check's, the repair's, the copy's or the
// read-back's) gives the repair made without it, or the file as it was and
// status 1: never a repair that took what it could not read for no audio.
TEST(FixCli, AnySingleFailedReadRepairsAsWithoutItOrLeavesTheFile)
{
    for (const damage_case& c : damage_cases) {
        SCOPED_TRACE(c.what);
        const bytes damaged = c.damage(read_file(fixture(c.source)));
        work_dir model;
        const std::string done = model.put("song.mp3", damaged);
        // A repair that lost audio (a cut download) is made playable and says
        // so with status 255; any other is status 0.
        const int model_status = fix({done}, "--no-backup").status;
        ASSERT_TRUE(model_status == 0 || model_status == 255);
        const bytes repaired = read_file(done);
        for (long long call = 1;; ++call) {
            SCOPED_TRACE(call);
            work_dir dir;
            const std::string song = dir.put("song.mp3", damaged);
            launch how;
            how.args = {"--fix", "--no-backup", song};
            how.read_fail_call = call;
            const run_result r = run_framelint_as(how);
            const bytes after = read_file(song);
            if (r.status == 1) {
                EXPECT_EQ(after, damaged) << r.out << r.err;
            } else {
                EXPECT_EQ(r.status, model_status) << r.out << r.err;
                EXPECT_EQ(after, repaired) << r.out << r.err;
            }
            if (r.err.find("read fault shim: no call failed") != std::string::npos || call > 1000) {
                break;
            }
        }
    }
}

std::int64_t good_frames(const std::string& path)
{
    const std::string out = run_framelint({"-c", path}).out;
    const std::size_t at = out.find("GOOD_FRAMES ");
    return at == std::string::npos ? -1 : std::stoll(out.substr(at + 12));
}

// Every one-bit error in the size field of a tag written by a real tagger
// (id3lib, eyeD3 with a cover picture, mutagen): the check reports damage, and
// the repair keeps every frame the check counts and the tag's whole content,
// or leaves the file as it was.
TEST(FixCli, EveryOneBitErrorInAnId3v2SizeIsFoundAndMendedWithoutLoss)
{
    for (const char* source : {"tag_v23.mp3", "tag_v24.mp3", "integrity/tags_mid3v2.mp3",
                               "integrity/tags_eyed3_cover.mp3"}) {
        const bytes original = read_file(fixture(source));
        const std::size_t declared = 10 + (std::size_t{original[6]} << 21 | std::size_t{original[7]} << 14 |
                                           std::size_t{original[8]} << 7 | original[9]);
        std::size_t content_end = declared;  // the tag less its padding
        while (content_end > 10 && original[content_end - 1] == 0) {
            --content_end;
        }
        work_dir model;
        const std::int64_t frames = good_frames(model.put("song.mp3", original));
        for (std::size_t bit = 0; bit < 28; ++bit) {
            SCOPED_TRACE(std::string(source) + " bit " + std::to_string(bit));
            bytes damaged = original;
            damaged[9 - bit / 7] ^= static_cast<std::uint8_t>(1u << (bit % 7));
            work_dir dir;
            const std::string song = dir.put("song.mp3", damaged);
            ASSERT_EQ(run_framelint({"-c", song}).status, 255);
            const run_result r = fix({song}, "--no-backup");
            const bytes after = read_file(song);
            if (r.status != 0) {
                EXPECT_NE(r.out.find("not repaired"), std::string::npos) << r.out << r.err;
                EXPECT_EQ(after, damaged);
                continue;
            }
            const run_result check = run_framelint({"-c", song});
            EXPECT_EQ(check.status, 0) << r.out;
            EXPECT_NE(check.out.find("GOOD_FRAMES         " + std::to_string(frames) + "\n"), std::string::npos)
                << r.out << check.out;
            ASSERT_GE(after.size(), content_end);
            EXPECT_EQ(slice(after, 10, content_end), slice(original, 10, content_end)) << r.out;
        }
    }
}

TEST(FixCli, AFullTmpfsChangesNothing)
{
    work_dir dir;
    if (::mount("framelint-test", dir.path.c_str(), "tmpfs", 0, "size=16k") != 0) {
        GTEST_SKIP() << "no tmpfs can be mounted here";
    }
    const bytes damaged = cut_vbr() + bytes(6000, 0x55);  // the copy needs more than is left
    const std::string song = dir.put("song.mp3", damaged);
    const run_result r = fix({song}, "--no-backup");
    EXPECT_EQ(r.status, 1) << r.out << r.err;
    // --fix alone reports as --fix --summary: the failure is on the file's line.
    EXPECT_NE(r.out.find("not written: "), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("No space left on device"), std::string::npos) << r.out;
    EXPECT_EQ(read_file(song), damaged);
    EXPECT_EQ(dir.listing(), "song.mp3\n");
}

TEST(FixCli, AKillAtAnyStepLeavesTheOldFileOrTheRepairedOne)
{
    work_dir model;
    const std::string done = model.put("song.mp3", junk_vbr());
    ASSERT_EQ(fix({done}, "--no-backup").status, 0);
    const bytes repaired = read_file(done);
    for (const char* step : {"temporary_written", "backup_made", "renamed"}) {
        SCOPED_TRACE(step);
        work_dir dir;
        const std::string song = dir.put("song.mp3", junk_vbr());
        launch how;
        how.args = {"--fix", song};
        how.environment = {{"FRAMELINT_TEST_KILL_AT", step}};
        EXPECT_EQ(run_framelint_as(how).status, 128 + SIGKILL);
        EXPECT_EQ(read_file(song), std::string(step) == "renamed" ? repaired : junk_vbr());
    }
}

TEST(FixCli, LinksAreFollowedOrRefused)
{
    work_dir dir;
    const std::string song = dir.put("song.mp3", junk_vbr());
    const std::string link = dir.path + "/link.mp3";
    ASSERT_EQ(::symlink("song.mp3", link.c_str()), 0);
    const run_result r = fix({link});
    EXPECT_EQ(r.status, 0) << r.err;
    struct stat st {};
    ASSERT_EQ(::lstat(link.c_str(), &st), 0);
    EXPECT_TRUE(S_ISLNK(st.st_mode));
    EXPECT_EQ(run_framelint({"-c", song}).status, 0);
    EXPECT_EQ(read_file(song + ".bak"), junk_vbr());

    const std::string other = dir.put("other.mp3", junk_vbr());
    ASSERT_EQ(::link(other.c_str(), (dir.path + "/hard.mp3").c_str()), 0);
    const run_result hard = fix({other});
    EXPECT_EQ(hard.status, 1);
    EXPECT_NE(hard.out.find("2 hard links"), std::string::npos) << hard.out;
    EXPECT_EQ(read_file(other), junk_vbr());
}

TEST(FixCli, StandardInputIsRepairedToStandardOutput)
{
    work_dir dir;
    const std::string song = dir.put("song.mp3", junk_vbr());
    ASSERT_EQ(fix({song}, "--no-backup").status, 0);
    const run_result r = run_framelint({"--fix", "-"}, junk_vbr());
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(bytes(r.out.begin(), r.out.end()), read_file(song));
    EXPECT_NE(r.err.find("stdin: repaired: "), std::string::npos);
}

// A fuzz find: small ID3v2 tags, junk and a free-format header before the
// audio, and at its end an empty ID3v2 tag, an ID3v1 tag and another empty
// one. The check of the repaired stream once took the tags after the empty
// tag for junk, so the repair was refused as one that would not pass.
TEST(FixCli, TagsAfterAnEmptyId3v2TagAreKeptAndTheRepairPasses)
{
    const bytes stream = read_file(fixture("fix/stacked_tags_junk_free_format.bin"));
    const run_result r = run_framelint({"--fix", "-"}, stream);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.err.find("stdin: repaired: "), std::string::npos) << r.err;
    work_dir dir;
    const std::string out = dir.put("out.mp3", bytes(r.out.begin(), r.out.end()));
    const run_result check = run_framelint({"-c", "--json", out});
    EXPECT_EQ(check.status, 0) << check.out;
    EXPECT_EQ(check.out.find("trailing_junk"), std::string::npos) << check.out;
}

// The copy of a repaired standard input, checked before it goes out, cannot be
// written (the disk fills up after the stream was kept) or reads back wrong (a
// bad disk): the stream goes out as it came.
TEST(FixCli, StandardInputWhoseRepairCannotBeCheckedGoesOutAsItCame)
{
    const bytes stream = junk_vbr();
    const auto kept = static_cast<long long>(stream.size());
    const struct {
        const char* what;
        long long write_fault_at;
        long long write_flip_at;
        const char* says;
    } cases[] = {
        {"full disk", kept, -1, "stdin: not repaired: cannot write the repair to a temporary file"},
        {"bad disk", -1, kept, "stdin: not repaired: the repaired stream would still not pass the check"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        launch how;
        how.args = {"--fix", "-"};
        how.stdin_data = stream;
        how.write_fault_at = c.write_fault_at;
        how.write_flip_at = c.write_flip_at;
        const run_result r = run_framelint_as(how);
        EXPECT_EQ(r.status, 255) << r.err;
        EXPECT_NE(r.err.find(c.says), std::string::npos) << r.err;
        EXPECT_EQ(bytes(r.out.begin(), r.out.end()), stream);
    }
}

TEST(FixCli, JsonCarriesTheRepairs)
{
    work_dir dir;
    const std::string song = dir.put("song.mp3", bytes(300, 0x41) + read_file(fixture("lame_cbr128.mp3")));
    const run_result r = fix({song}, "--json");
    EXPECT_EQ(r.status, 0);
    EXPECT_NE(r.out.find(R"("repair":"repaired","backup":")" + song + R"(.bak","repairs":[{"action":"stray_bytes_removed","count":300,"text":"300 bytes of junk and broken frames removed"}])"),
              std::string::npos)
        << r.out;
}

// The output's lines but the last, which is --fix's tally with these counts.
std::vector<std::string> lines_before_fix_tally(const std::string& out, const std::string& counts)
{
    std::vector<std::string> lines;
    for (std::size_t at = 0, end; (end = out.find('\n', at)) != std::string::npos; at = end + 1) {
        lines.push_back(out.substr(at, end - at));
    }
    EXPECT_FALSE(lines.empty());
    if (!lines.empty()) {
        EXPECT_EQ(lines.back().substr(0, counts.size()), counts) << lines.back();
        EXPECT_EQ(lines.back().find(" s)"), lines.back().size() - 3) << lines.back();
        lines.pop_back();
    }
    return lines;
}

TEST(FixCli, SummaryGivesALinePerFileNotCleanAndCountsTheRepaired)
{
    work_dir model;
    const std::string alone = model.put("cut.mp3", junk_vbr());
    const run_result fixed_alone = fix({alone});
    const std::size_t line_at = fixed_alone.out.find(alone + ": repaired: ");
    std::string fix_line = fixed_alone.out.substr(line_at, fixed_alone.out.find('\n', line_at) - line_at);

    work_dir dir;
    const std::string cut = dir.put("cut.mp3", junk_vbr());
    const std::string clean = dir.put("clean.mp3", read_file(fixture("lame_vbr.mp3")));
    const std::string bitrot = dir.put("bitrot.mp3", read_file(fixture("integrity/bitrot.mp3")));
    const std::string missing = dir.path + "/missing.mp3";
    const run_result r = fix({cut, clean, bitrot, missing}, "--summary");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "");
    const auto lines = lines_before_fix_tally(r.out, "4 files: 1 clean, 1 repaired, 1 damaged, 1 unreadable (");
    ASSERT_EQ(lines.size(), 3u) << r.out;
    // The repaired file's line is the one --fix gives without --summary.
    for (std::size_t at; (at = fix_line.find(model.path)) != std::string::npos;) {
        fix_line.replace(at, model.path.size(), dir.path);
    }
    EXPECT_EQ(lines[0], fix_line);
    EXPECT_EQ(lines[1], bitrot + ": DAMAGED: garbled audio somewhere in the file: it is not what the encoder "
                                 "wrote; cannot be repaired: restore or replace it");
    EXPECT_EQ(lines[2], missing + ": unreadable: No such file or directory");
    EXPECT_EQ(read_file(cut + ".bak"), junk_vbr());

    // Every file is clean afterwards: status 0, and =all gives each its line.
    const run_result again = fix({cut, clean}, "--summary=all");
    EXPECT_EQ(again.status, 0);
    EXPECT_EQ(lines_before_fix_tally(again.out, "2 files: 2 clean, 0 repaired, 0 damaged, 0 unreadable ("),
              (std::vector<std::string>{cut + ": clean", clean + ": clean"}));

    // Damage left behind gives 255; -r walks the directory.
    const run_result walked = run_framelint({"--fix", "--summary", "-r", dir.path});
    EXPECT_EQ(walked.status, 255);
    EXPECT_EQ(lines_before_fix_tally(walked.out, "3 files: 2 clean, 0 repaired, 1 damaged, 0 unreadable (").size(),
              1u);
}

TEST(FixCli, SummarySaysOnTheFilesLineWhyARewriteFailed)
{
    work_dir dir;
    const std::string song = dir.put("song.mp3", junk_vbr());
    launch how;
    how.args = {"--fix", "--summary", song};
    how.write_fault_at = 3000;
    const run_result r = run_framelint_as(how);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "");
    const auto lines =
        lines_before_fix_tally(r.out, "1 file: 0 clean, 0 repaired, 0 damaged, 0 unreadable, 1 not written (");
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].rfind(song + ": not written: cannot write the repaired file ", 0), 0u) << lines[0];
    EXPECT_NE(lines[0].find("No space left on device"), std::string::npos) << lines[0];
    EXPECT_EQ(read_file(song), junk_vbr());
    EXPECT_EQ(dir.listing(), "song.mp3\n");
}

// A shell command's standard output and status.
run_result run_shell(const std::string& command)
{
    run_result r;
    FILE* pipe = ::popen(command.c_str(), "r");
    if (pipe == nullptr) {
        r.status = -1;
        return r;
    }
    char part[4096];
    for (std::size_t n; (n = std::fread(part, 1, sizeof part, pipe)) > 0;) {
        r.out.append(part, n);
    }
    const int status = ::pclose(pipe);
    r.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return r;
}

// Everything the file carries beside its bytes stays with it, and with its
// backup, whether the backup is a hard link or (where there are none) a copy.
TEST(FixCli, ARepairKeepsOwnerModeAttributesAclsAndWithKeepTimesTheTimes)
{
    // Where there are no unnamed files, the new version and the copy are
    // written under hidden names first.
    for (const auto& [links, unnamed] : {std::pair{true, true}, std::pair{false, true}, std::pair{false, false}}) {
        SCOPED_TRACE(std::string(links ? "backup as a hard link" : "backup as a copy") +
                     (unnamed ? "" : ", no unnamed files"));
        work_dir dir;
        const std::string song = dir.put("song.mp3", junk_vbr());
        ::chmod(song.c_str(), 0640);
        if (::setxattr(song.c_str(), "user.comment", "kept", 4, 0) != 0) {
            GTEST_SKIP() << "no user extended attributes here";
        }
        const bool acl = std::system(("setfacl -m u:nobody:rw " + song + " 2>/dev/null").c_str()) == 0;
        const struct timespec then[2] = {{1000000000, 0}, {1000000001, 0}};
        ::utimensat(AT_FDCWD, song.c_str(), then, 0);
        launch how;
        how.args = {"--fix", "--keep-times", song};
        how.no_hard_links = !links;
        how.no_tmpfile = !unnamed;
        const run_result r = run_framelint_as(how);
        ASSERT_EQ(r.status, 0) << r.out << r.err;
        for (const std::string& path : {song, song + ".bak"}) {
            SCOPED_TRACE(path);
            char value[16] = {};
            EXPECT_EQ(::getxattr(path.c_str(), "user.comment", value, sizeof value), 4);
            EXPECT_EQ(std::string(value), "kept");
            if (acl) {
                const run_result facl = run_shell("getfacl -c " + path);
                EXPECT_NE(facl.out.find("user:nobody:rw-"), std::string::npos) << facl.out;
            }
            struct stat st {};
            ::stat(path.c_str(), &st);
            EXPECT_EQ(st.st_mtim.tv_sec, 1000000001);
            EXPECT_EQ(st.st_atim.tv_sec, 1000000000);
            EXPECT_EQ(st.st_mode & 0707, 0600u);  // the group bits are the ACL's mask
        }
        EXPECT_EQ(read_file(song + ".bak"), junk_vbr());
        EXPECT_EQ(dir.listing(), "song.mp3\nsong.mp3.bak\n");
    }
}

// Someone else's file, group-writable: a user who is not root cannot give
// the new version its owner, so the file is left as it was.
TEST(FixCli, AnOwnerThatCannotBeKeptRefusesTheRepair)
{
    if (::geteuid() != 0 || std::system("command -v setpriv >/dev/null") != 0) {
        GTEST_SKIP() << "needs root and setpriv to run as another user";
    }
    work_dir dir;
    ::chmod(dir.path.c_str(), 0777);
    const std::string song = dir.put("song.mp3", junk_vbr());
    ::chmod(song.c_str(), 0666);
    const run_result r = run_shell("setpriv --reuid=65534 --regid=65534 --clear-groups " + program_path() +
                                   " --fix --summary " + song);
    EXPECT_EQ(r.status, 1) << r.out << r.err;
    EXPECT_NE(r.out.find(song + ": not written: cannot keep its owner and group (0:0)"), std::string::npos) << r.out;
    EXPECT_EQ(read_file(song), junk_vbr());
    EXPECT_EQ(dir.listing(), "song.mp3\n");
}

// Another program edits the file in place just before the rename, keeping
// its size and (whole-second) times: the edit is kept, and the run says so.
TEST(FixCli, AnEditByAnotherProgramBeforeTheRenameIsKept)
{
    work_dir dir;
    const std::string song = dir.put("song.mp3", junk_vbr());
    const struct timespec whole_seconds[2] = {{1500000000, 0}, {1500000000, 0}};
    ::utimensat(AT_FDCWD, song.c_str(), whole_seconds, 0);
    launch how;
    how.args = {"--fix", song};
    how.edit_on_link = song;
    const run_result r = run_framelint_as(how);
    EXPECT_EQ(r.status, 1) << r.out << r.err;
    EXPECT_NE((r.out + r.err).find("another program changed it while it was repaired"), std::string::npos)
        << r.out << r.err;
    bytes edited = junk_vbr();
    edited[edited.size() / 2] = static_cast<std::uint8_t>(~edited[edited.size() / 2]);
    EXPECT_EQ(read_file(song), edited);
    EXPECT_EQ(dir.listing(), "song.mp3\n");
}

// A large file read whole in one go.
bytes read_big(const std::string& path)
{
    struct stat st {};
    const int fd = ::open(path.c_str(), O_RDONLY);
    if (fd < 0 || ::fstat(fd, &st) != 0) {
        return {};
    }
    bytes b(static_cast<std::size_t>(st.st_size));
    const ssize_t got = ::pread(fd, b.data(), b.size(), 0);
    ::close(fd);
    b.resize(got > 0 ? static_cast<std::size_t>(got) : 0);
    return b;
}

// kill -9 at random moments of a repair of a 10 MB file: nothing is left but
// the file and its backup, and the next run repairs it.
TEST(FixCli, KillsAtRandomMomentsLeaveOnlyTheFileAndItsBackup)
{
    const bytes model = read_file(fixture("lame_cbr128.mp3"));
    frame_info first = blank_frame_info();
    decode_header(static_cast<std::uint32_t>(model[0]) << 24 | static_cast<std::uint32_t>(model[1]) << 16 |
                      static_cast<std::uint32_t>(model[2]) << 8 | model[3],
                  first);
    const bytes audio = slice(model, static_cast<std::size_t>(first.frame_length), model.size());
    bytes big = bytes(500, 0x41);
    while (big.size() < 10'000'000) {
        big.insert(big.end(), audio.begin(), audio.end());
    }
    work_dir model_dir;
    const std::string done = model_dir.put("song.mp3", big);
    ASSERT_EQ(fix({done}).status, 0);
    const bytes repaired = read_big(done);

    std::mt19937 random(28);
    for (int kill = 0; kill < 12; ++kill) {
        SCOPED_TRACE(kill);
        work_dir dir;
        const std::string song = dir.put("song.mp3", big);
        const pid_t child = ::fork();
        if (child == 0) {
            exec_framelint({"--fix", "--summary", song});
        }
        ::usleep(std::uniform_int_distribution<useconds_t>(0, 150'000)(random));
        ::kill(child, SIGKILL);
        ::waitpid(child, nullptr, 0);
        const std::string left = dir.listing();
        EXPECT_TRUE(left == "song.mp3\n" || left == "song.mp3\nsong.mp3.bak\n") << left;
        const bytes now = read_big(song);
        EXPECT_TRUE(now == big || now == repaired);
        const run_result next = fix({song});
        EXPECT_EQ(next.status, 0) << next.out << next.err;
        EXPECT_EQ(read_big(song), repaired);
        EXPECT_EQ(read_big(song + ".bak"), big);
        EXPECT_EQ(dir.listing(), "song.mp3\nsong.mp3.bak\n");
    }
}

// Names: one too long for a backup beside it gets a shortened backup; a
// device or a FIFO is refused before a byte is read; names with control
// bytes are printed with '?' in their place.
TEST(FixCli, LongNamesDevicesAndControlBytesInNames)
{
    work_dir dir;
    const std::string long_name = dir.put(std::string(248, 'x') + ".mp3", junk_vbr());
    const run_result r = fix({long_name});
    EXPECT_EQ(r.status, 0) << r.err;
    const std::string backup = dir.path + "/" + std::string(248, 'x') + ".mp.bak";
    EXPECT_NE(r.out.find("(the original is " + backup + ")"), std::string::npos) << r.out;
    EXPECT_EQ(read_file(backup), junk_vbr());

    const std::string fifo = dir.path + "/pipe.mp3";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0644), 0);
    const run_result devices = fix({"/dev/zero", fifo}, "--summary");
    EXPECT_EQ(devices.status, 1);
    EXPECT_NE(devices.out.find("/dev/zero: not written: it is not a regular file\n" + fifo +
                               ": not written: it is not a regular file\n2 files: 0 clean, 0 repaired, 0 damaged, "
                               "0 unreadable, 2 not written ("),
              std::string::npos)
        << devices.out;
    ::unlink(fifo.c_str());

    const std::string odd = dir.put("two\nlines.mp3", junk_vbr());
    const run_result shown = fix({odd}, "--summary");
    EXPECT_EQ(shown.out.rfind(dir.path + "/two?lines.mp3: repaired: 300 bytes of junk and broken frames removed (the "
                              "original is " + dir.path + "/two?lines.mp3.bak)\n", 0),
              0u)
        << shown.out;
}

// A FILE.bak that is a hard link of FILE (a run killed between the backup and
// the rename) is this file's backup, not a second name to refuse it for.
TEST(FixCli, ABackupLeftAsAHardLinkIsTakenAsTheBackup)
{
    work_dir dir;
    const std::string song = dir.put("song.mp3", junk_vbr());
    ASSERT_EQ(::link(song.c_str(), (song + ".bak").c_str()), 0);
    const run_result r = fix({song});
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_NE(r.out.find("(the original is " + song + ".bak)"), std::string::npos) << r.out;
    EXPECT_EQ(read_file(song + ".bak"), junk_vbr());
    EXPECT_EQ(dir.listing(), "song.mp3\nsong.mp3.bak\n");
}

TEST(FixCli, RefusedWithSwitchesThatCannotGoWithIt)
{
    const std::string song = fixture("lame_vbr.mp3");
    const std::vector<std::vector<std::string>> refused = {
        {"--fix", "-s", song}, {"--fix", "-sf", song}, {"--fix", "-b", song},
        {"--fix", "-v", song}, {"--no-backup", song},  {"--fix", "-", song},
        {"--fix", "--summary", "-"}, {"--fix", "--jobs", "2", song},
    };
    for (const auto& args : refused) {
        SCOPED_TRACE(args[1]);
        const run_result r = run_framelint(args);
        EXPECT_EQ(r.status, 1);
        EXPECT_TRUE(r.out.empty());
        EXPECT_NE(r.err.find("--"), std::string::npos) << r.err;
    }
}

}  // namespace
}  // namespace framelint::test
