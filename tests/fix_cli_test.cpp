// --fix as a user runs it: damaged copies of real encoder output repaired in
// place, clean and unrepairable files left alone, and every way the rewrite
// can fail or be stopped leaving the file as it was.

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>

#include <fcntl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>

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

struct damage_case {
    const char* what;
    const char* source;
    std::function<bytes(const bytes&)> damage;
};

const damage_case damage_cases[] = {
    {"cut download, VBR", "lame_vbr.mp3", [](const bytes& d) { return slice(d, 0, d.size() * 6 / 10); }},
    {"cut then tagged", "tag_v11.mp3",
     [](const bytes& d) { return slice(d, 0, d.size() * 6 / 10) + slice(d, d.size() - 128, d.size()); }},
    // Cut 100 bytes into a frame of 418 and tagged again: the tag stands where
    // the frame would have gone on; the frame goes, the tag stays.
    {"cut inside its last frame, then tagged", "tag_v11.mp3",
     [](const bytes& d) { return slice(d, 0, 8776 + 100) + slice(d, d.size() - 128, d.size()); }},
    {"junk at the start", "lame_cbr128.mp3", [](const bytes& d) { return bytes(300, 0x41) + d; }},
    {"junk between frames", "lame_vbr.mp3",
     [](const bytes& d) { return slice(d, 0, d.size() / 2) + bytes(301, 0x11) + slice(d, d.size() / 2, d.size()); }},
    {"junk before the tags", "tag_both.mp3",
     [](const bytes& d) { return slice(d, 0, d.size() - 128) + text("junk!junk!") + slice(d, d.size() - 128, d.size()); }},
    {"zeroed block", "lame_vbr.mp3",
     [](const bytes& d) {
         bytes z = d;
         std::fill(z.begin() + static_cast<std::ptrdiff_t>(d.size() / 3),
                   z.begin() + static_cast<std::ptrdiff_t>(d.size() / 3 + 700), 0);
         return z;
     }},
    {"deleted block", "twolame_l2_192.mp2",
     [](const bytes& d) { return slice(d, 0, d.size() / 3) + slice(d, d.size() / 3 + 1000, d.size()); }},
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
        EXPECT_EQ(r.status, 0) << r.out << r.err;
        EXPECT_NE(r.out.find(song + ": repaired: "), std::string::npos) << r.out;
        EXPECT_EQ(read_file(song + ".bak"), damaged);
        const bytes repaired = read_file(song);
        EXPECT_EQ(run_framelint({"-c", song}).status, 0);
        // The tags at both ends are kept as they were.
        EXPECT_EQ(slice(repaired, 0, 5), slice(original, 0, 5));
        if (std::equal(original.end() - 128, original.end() - 125, "TAG")) {
            EXPECT_EQ(slice(repaired, repaired.size() - 128, repaired.size()),
                      slice(original, original.size() - 128, original.size()));
        }

        // Repairing a repaired file changes nothing and makes no backup.
        ::unlink((song + ".bak").c_str());
        const run_result again = fix({song});
        EXPECT_EQ(again.status, 0);
        EXPECT_EQ(again.out.find(": repaired"), std::string::npos) << again.out;
        EXPECT_EQ(read_file(song), repaired);
        EXPECT_EQ(dir.listing(), "song.mp3\n");
    }
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

bytes cut_vbr() { const bytes d = read_file(fixture("lame_vbr.mp3")); return slice(d, 0, 7000); }

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
    ASSERT_EQ(fix({song}, "--no-backup").status, 0);
    EXPECT_NEAR(ffprobe_seconds(song), frame_seconds(), one_frame);
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
    EXPECT_NE(r.out.find("not repaired: "), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("No space left on device"), std::string::npos) << r.out;
    EXPECT_EQ(read_file(song), damaged);
    EXPECT_EQ(dir.listing(), "song.mp3\n");
}

TEST(FixCli, AKillAtAnyStepLeavesTheOldFileOrTheRepairedOne)
{
    work_dir model;
    const std::string done = model.put("song.mp3", cut_vbr());
    ASSERT_EQ(fix({done}, "--no-backup").status, 0);
    const bytes repaired = read_file(done);
    for (const char* step : {"temporary_written", "backup_made", "renamed"}) {
        SCOPED_TRACE(step);
        work_dir dir;
        const std::string song = dir.put("song.mp3", cut_vbr());
        launch how;
        how.args = {"--fix", song};
        how.environment = {{"FRAMELINT_TEST_KILL_AT", step}};
        EXPECT_EQ(run_framelint_as(how).status, 128 + SIGKILL);
        EXPECT_EQ(read_file(song), std::string(step) == "renamed" ? repaired : cut_vbr());
    }
}

TEST(FixCli, LinksAreFollowedOrRefused)
{
    work_dir dir;
    const std::string song = dir.put("song.mp3", cut_vbr());
    const std::string link = dir.path + "/link.mp3";
    ASSERT_EQ(::symlink("song.mp3", link.c_str()), 0);
    const run_result r = fix({link});
    EXPECT_EQ(r.status, 0) << r.err;
    struct stat st {};
    ASSERT_EQ(::lstat(link.c_str(), &st), 0);
    EXPECT_TRUE(S_ISLNK(st.st_mode));
    EXPECT_EQ(run_framelint({"-c", song}).status, 0);
    EXPECT_EQ(read_file(song + ".bak"), cut_vbr());

    const std::string other = dir.put("other.mp3", cut_vbr());
    ASSERT_EQ(::link(other.c_str(), (dir.path + "/hard.mp3").c_str()), 0);
    const run_result hard = fix({other});
    EXPECT_EQ(hard.status, 1);
    EXPECT_NE(hard.out.find("2 hard links"), std::string::npos) << hard.out;
    EXPECT_EQ(read_file(other), cut_vbr());
}

TEST(FixCli, StandardInputIsRepairedToStandardOutput)
{
    work_dir dir;
    const std::string song = dir.put("song.mp3", cut_vbr());
    ASSERT_EQ(fix({song}, "--no-backup").status, 0);
    const run_result r = run_framelint({"--fix", "-"}, cut_vbr());
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
    const bytes stream = cut_vbr();
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
    const std::string alone = model.put("cut.mp3", cut_vbr());
    const run_result fixed_alone = fix({alone});
    const std::size_t line_at = fixed_alone.out.find(alone + ": repaired: ");
    std::string fix_line = fixed_alone.out.substr(line_at, fixed_alone.out.find('\n', line_at) - line_at);

    work_dir dir;
    const std::string cut = dir.put("cut.mp3", cut_vbr());
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
    EXPECT_EQ(read_file(cut + ".bak"), cut_vbr());

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
    const std::string song = dir.put("song.mp3", cut_vbr());
    launch how;
    how.args = {"--fix", "--summary", song};
    how.write_fault_at = 3000;
    const run_result r = run_framelint_as(how);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "");
    const auto lines = lines_before_fix_tally(r.out, "1 file: 0 clean, 0 repaired, 1 damaged, 0 unreadable (");
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].rfind(song + ": DAMAGED: ", 0), 0u) << lines[0];
    EXPECT_NE(lines[0].find("; not repaired: "), std::string::npos) << lines[0];
    EXPECT_NE(lines[0].find("No space left on device"), std::string::npos) << lines[0];
    EXPECT_EQ(read_file(song), cut_vbr());
    EXPECT_EQ(dir.listing(), "song.mp3\n");
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
