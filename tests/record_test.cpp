// --db: the record of a collection, judged as a person keeping one would see
// it: tag edits pass silently, audio changed behind the file system's back is
// damage, a program's rewrite is a notice, moves are followed and losses listed.

#include <gtest/gtest.h>

#include <cstdio>
#include <fcntl.h>
#include <sqlite3.h>
#include <sys/file.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <string>
#include <vector>

#include "cli/record_hook.hpp"
#include "record/record_book.hpp"
#include "scan/scan_file.hpp"
#include "run_support.hpp"
#include "support.hpp"

namespace framelint::test {
namespace {

void put(const std::string& path, const bytes& b)
{
    std::FILE* f = std::fopen(path.c_str(), "wb");
    ASSERT_NE(f, nullptr);
    std::fwrite(b.data(), 1, b.size(), f);
    std::fclose(f);
}

timespec mtime_of(const std::string& path)
{
    struct stat st {};
    ::stat(path.c_str(), &st);
    return st.st_mtim;
}

void set_mtime(const std::string& path, timespec when)
{
    const timespec times[2] = {when, when};
    ::utimensat(AT_FDCWD, path.c_str(), times, 0);
}

// Song i: its own audio, behind an ID3v2 tag of tag bytes.
bytes song(int i, std::uint32_t tag = 100)
{
    return id3v2_tag(tag) + repeat(frame(l3_128k, static_cast<std::uint8_t>(0x11 + i)), 40);
}

std::string name_of(int i) { return "song" + std::to_string(10 + i) + ".mp3"; }

std::vector<std::string> lines_of(const std::string& text)
{
    std::vector<std::string> lines;
    std::size_t at = 0;
    while (at < text.size()) {
        const std::size_t end = text.find('\n', at);
        lines.push_back(text.substr(at, end - at));
        at = end == std::string::npos ? text.size() : end + 1;
    }
    return lines;
}

TEST(Record, JudgesTheChecksOfALibraryAgainstItsRecord)
{
    temp_dir dir;
    const std::string lib = dir.file("lib");
    ::mkdir(lib.c_str(), 0755);
    const std::string db = dir.file("record.db");
    for (int i = 0; i < 20; ++i) {
        put(lib + "/" + name_of(i), song(i));
    }
    const run_result first = run_framelint({"--summary", "-r", "--db", db, lib});
    EXPECT_EQ(first.status, 0) << first.out << first.err;
    EXPECT_EQ(lines_of(first.out).size(), 1u) << first.out;  // the tally alone

    const auto later = [](const std::string& path) {
        timespec t = mtime_of(path);
        t.tv_sec += 10;
        set_mtime(path, t);
    };
    for (int i = 0; i < 5; ++i) {  // retagged: a bigger tag, a new time
        const std::string path = lib + "/" + name_of(i);
        put(path, song(i, 5000));
        later(path);
    }
    for (int i = 5; i < 8; ++i) {  // one audio byte flipped, the time set back
        const std::string path = lib + "/" + name_of(i);
        const timespec was = mtime_of(path);
        bytes b = song(i);
        b[110 + 417 * 7 + 200] ^= 0x04;
        put(path, b);
        set_mtime(path, was);
    }
    const std::string rewritten = lib + "/" + name_of(8);
    put(rewritten, song(30));  // re-encoded in place
    later(rewritten);
    ASSERT_EQ(std::rename((lib + "/" + name_of(9)).c_str(), (lib + "/moved.mp3").c_str()), 0);
    ASSERT_EQ(std::remove((lib + "/" + name_of(10)).c_str()), 0);

    const std::string copy = dir.file("copy.db");
    ASSERT_EQ(std::system(("cp " + db + " " + copy).c_str()), 0);
    const run_result second = run_framelint({"--summary", "-r", "--db", db, lib});
    EXPECT_EQ(second.status, 255);
    const std::vector<std::string> lines = lines_of(second.out);
    ASSERT_EQ(lines.size(), 6u) << second.out;
    for (int k = 0; k < 3; ++k) {
        EXPECT_EQ(lines[static_cast<std::size_t>(k)].rfind(lib + "/" + name_of(5 + k) + ": DAMAGED: the audio changed since ", 0), 0u)
            << lines[static_cast<std::size_t>(k)];
        EXPECT_NE(lines[static_cast<std::size_t>(k)].find("restore it from a backup"), std::string::npos);
    }
    EXPECT_EQ(lines[3].rfind(rewritten + ": clean: notice: a program rewrote the audio since ", 0), 0u) << lines[3];
    EXPECT_EQ(lines[4].rfind(lib + "/" + name_of(10) + ": missing since ", 0), 0u) << lines[4];
    EXPECT_EQ(lines[5].rfind("19 files: 16 clean, 3 damaged, 0 unreadable, 1 missing (", 0), 0u) << lines[5];

    // The same run checked four at a time says the same.
    const run_result side_by_side = run_framelint({"--summary", "-r", "--jobs", "2", "--db", copy, lib});
    EXPECT_EQ(side_by_side.status, 255);
    const auto without_times = [](const std::string& text) { return text.substr(0, text.rfind(" in ")); };
    EXPECT_EQ(without_times(side_by_side.out), without_times(second.out));

    // Once more: the damage stays reported, the rewrite and the move were taken in.
    const run_result third = run_framelint({"--summary", "-r", "--db", db, lib});
    const std::vector<std::string> again = lines_of(third.out);
    ASSERT_EQ(again.size(), 5u) << third.out;
    EXPECT_NE(again[2].find("DAMAGED: the audio changed"), std::string::npos);
    EXPECT_EQ(again[3].rfind(lib + "/" + name_of(10) + ": missing since ", 0), 0u) << again[3];

    // --json gives the finding as a problem of its own kind.
    const run_result json = run_framelint({"--json", "--db", db, lib + "/" + name_of(5)});
    EXPECT_NE(json.out.find("\"kind\":\"audio_changed\",\"offset\":0,\"bad_frame\":true,\"severity\":\"damage\""),
              std::string::npos)
        << json.out;
}

// Files at every depth of a tree, under names that sort around the '/' of a
// folder (the rows of one folder are read at once, those of its subfolders
// passed over): only the files whose audio changed behind the file system's
// back are damaged, and only the one taken away is missing.
TEST(Record, FindsEachFileOfATreeAmongItsNeighbours)
{
    temp_dir dir;
    const std::string lib = dir.file("lib");
    const std::string db = dir.file("record.db");
    const std::vector<std::string> names = {"a.mp3",       "sub.mp3",     "sub-x/b.mp3", "sub-x/c.mp3",
                                            "sub/a.mp3",   "sub/b.mp3",   "sub/d/a.mp3", "sub/d/b.mp3",
                                            "sub/e.mp3",   "sub0.mp3",    "suba.mp3",    "z.mp3"};
    for (const char* folder : {"", "/sub", "/sub-x", "/sub/d"}) {
        ::mkdir((lib + folder).c_str(), 0755);
    }
    for (std::size_t i = 0; i < names.size(); ++i) {
        put(lib + "/" + names[i], song(static_cast<int>(i)));
    }
    ASSERT_EQ(run_framelint({"--summary", "-r", "--db", db, lib}).status, 0);

    const std::vector<std::size_t> flipped = {1, 3, 5, 7, 10};
    for (const std::size_t i : flipped) {
        const std::string path = lib + "/" + names[i];
        const timespec was = mtime_of(path);
        bytes b = song(static_cast<int>(i));
        b[110 + 417 * 3 + 50] ^= 0x10;
        put(path, b);
        set_mtime(path, was);
    }
    ASSERT_EQ(std::remove((lib + "/" + names[8]).c_str()), 0);
    for (const char* jobs : {"1", "2"}) {
        SCOPED_TRACE(jobs);
        const run_result r = run_framelint({"--summary", "-r", "--jobs", jobs, "--db", db, lib});
        EXPECT_EQ(r.status, 255);
        std::vector<std::string> damaged;
        std::vector<std::string> missing;
        for (const std::string& line : lines_of(r.out)) {
            if (line.find(": DAMAGED: the audio changed since ") != std::string::npos) {
                damaged.push_back(line.substr(0, line.find(": DAMAGED")));
            } else if (line.find(": missing since ") != std::string::npos) {
                missing.push_back(line.substr(0, line.find(": missing")));
            }
        }
        std::vector<std::string> expected;
        for (const std::size_t i : flipped) {
            expected.push_back(lib + "/" + names[i]);
        }
        std::sort(damaged.begin(), damaged.end());
        std::sort(expected.begin(), expected.end());
        EXPECT_EQ(damaged, expected) << r.out;
        EXPECT_EQ(missing, std::vector<std::string>{lib + "/" + names[8]}) << r.out;
    }
}

// The record is judged by the file as it stood before the scan read it; a
// program that wrote the file while it was read left a later time, and that
// is a rewrite, not damage.
TEST(Record, AFileWrittenWhileItIsCheckedIsRewrittenNotDamaged)
{
    temp_dir dir;
    const std::string path = dir.file("song.mp3");
    const std::string db = dir.file("record.db");
    put(path, song(1));
    ASSERT_EQ(run_framelint({"-c", "--db", db, path}).status, 0);
    const timespec was = mtime_of(path);

    std::string said;
    io::output err(said);
    ASSERT_TRUE(cli::open_record(db, err));
    const int fd = ::open(path.c_str(), O_RDONLY);
    ASSERT_GE(fd, 0);
    std::vector<std::uint8_t> buffer(io::byte_source::block_size);
    io::byte_source in(fd, false, buffer);  // the file as it stands now: as recorded
    bytes b = song(1);                      // then a program writes it: same size, other audio
    b[110 + 417 * 3 + 50] ^= 0x10;
    put(path, b);
    timespec later = was;
    later.tv_sec += 10;
    set_mtime(path, later);
    std::string out;
    io::output o(out);
    scan_state st = scan_stream(in, options("-c --json"), o, err);
    cli::consult_record(in, fd, path, st, err);
    ::close(fd);
    EXPECT_TRUE(cli::close_record(err));
    const auto found = [&](problem_kind kind) {
        return std::any_of(st.problems.kept.begin(), st.problems.kept.end(),
                           [&](const problem& p) { return p.kind == kind; });
    };
    EXPECT_TRUE(found(problem_kind::audio_rewritten)) << said;
    EXPECT_FALSE(found(problem_kind::audio_changed)) << said;
    EXPECT_EQ(st.counters.bad_frames, 0);

    // The record took the new audio: a later check says nothing.
    const run_result again = run_framelint({"--summary", "--db", db, path});
    EXPECT_EQ(again.status, 0) << again.out;
    EXPECT_EQ(lines_of(again.out).size(), 1u) << again.out;
}

TEST(Record, ARecordItCannotUseIsLeftUntouched)
{
    temp_dir dir;
    const std::string music = dir.file("song.mp3");
    put(music, song(1));
    const auto made_by_sqlite = [](const std::string& path, const char* sql) {
        sqlite3* db = nullptr;
        sqlite3_open(path.c_str(), &db);
        sqlite3_exec(db, sql, nullptr, nullptr, nullptr);
        sqlite3_close(db);
    };
    const std::string noise = dir.file("noise.db");
    bytes random(8192);
    for (std::size_t i = 0; i < random.size(); ++i) {
        random[i] = static_cast<std::uint8_t>((i * 7919u + 13u) >> 3);
    }
    put(noise, random);
    const std::string other = dir.file("other.db");
    made_by_sqlite(other, "CREATE TABLE notes (t TEXT); INSERT INTO notes VALUES ('mine');");
    const std::string newer = dir.file("newer.db");
    ASSERT_EQ(run_framelint({"-c", "--db", newer, music}).status, 0);
    made_by_sqlite(newer, "PRAGMA user_version = 2;");
    const std::string folder = dir.file("folder.db");
    ::mkdir(folder.c_str(), 0755);
    struct refused {
        std::string path;
        const char* says;
    };
    for (const refused& c : {refused{noise, "is not a framelint record (not a SQLite database)"},
                             refused{other, "is not a framelint record (a SQLite database of another program)"},
                             refused{newer, "is a framelint record of a newer schema (2): use the framelint that wrote it"},
                             refused{folder, "is not a framelint record (not a regular file)"}}) {
        SCOPED_TRACE(c.path);
        const bytes before = c.path == folder ? bytes{} : read_file(c.path);
        const run_result r = run_framelint({"--summary", "--db", c.path, music});
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.err, "framelint: " + c.path + " " + c.says + "\n");
        if (c.path != folder) {
            EXPECT_EQ(read_file(c.path), before);
        }
        EXPECT_NE(::access((c.path + "-wal").c_str(), F_OK), 0);
    }
}

// A run killed after a batch leaves it in the write-ahead log, not yet in the
// file: the next run judges by the file and the log together. Here the log
// holds another hash for one song, so that song must be judged against that
// one (damage: its time and size are as recorded) and the other left alone;
// a run that read the file alone would find it unchanged.
TEST(Record, WhatALogStillHoldsIsJudgedBy)
{
    temp_dir dir;
    const std::string a = dir.file("a.mp3");
    const std::string b = dir.file("b.mp3");
    put(a, song(1));
    put(b, song(2));
    const std::string db = dir.file("record.db");
    ASSERT_EQ(run_framelint({"--summary", "--db", db, a, b}).status, 0);
    ASSERT_NE(::access((db + "-wal").c_str(), F_OK), 0);

    sqlite3* handle = nullptr;
    ASSERT_EQ(sqlite3_open(db.c_str(), &handle), SQLITE_OK);
    int kept = 0;
    sqlite3_db_config(handle, SQLITE_DBCONFIG_NO_CKPT_ON_CLOSE, 1, &kept);
    ASSERT_EQ(sqlite3_exec(handle,
                           "UPDATE files SET audio_hash = '0123456789abcdef0123456789abcdef' WHERE path LIKE '%/a.mp3'",
                           nullptr, nullptr, nullptr),
              SQLITE_OK);
    ASSERT_EQ(sqlite3_changes(handle), 1);
    sqlite3_close(handle);
    struct stat log {};
    ASSERT_EQ(::stat((db + "-wal").c_str(), &log), 0);
    ASSERT_GT(log.st_size, 0);

    const run_result r = run_framelint({"--summary", "--db", db, a, b});
    EXPECT_EQ(r.status, 255) << r.out << r.err;
    EXPECT_NE(r.out.find(a + ": DAMAGED: the audio changed since "), std::string::npos) << r.out;
    EXPECT_EQ(r.out.find(b + ": DAMAGED"), std::string::npos) << r.out;
}

TEST(Record, ASecondRunWaitsThenSaysTheRecordIsBusy)
{
    temp_dir dir;
    const std::string music = dir.file("song.mp3");
    put(music, song(1));
    const std::string db = dir.file("record.db");
    ASSERT_EQ(run_framelint({"-c", "--db", db, music}).status, 0);
    const int held = ::open(db.c_str(), O_RDONLY);
    ASSERT_EQ(::flock(held, LOCK_EX), 0);  // as a run that writes holds it
    const auto start = std::chrono::steady_clock::now();
    const run_result r = run_framelint({"--summary", "--db", db, music});
    const std::chrono::duration<double> waited = std::chrono::steady_clock::now() - start;
    ::close(held);
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("is busy: another framelint run is using it"), std::string::npos) << r.err;
    EXPECT_GE(waited.count(), 4.5);
}

TEST(Record, AReadOnlyRecordIsCheckedAgainstAndNotWritten)
{
    if (::geteuid() != 0) {
        GTEST_SKIP() << "a read-only file system is mounted as root";
    }
    temp_dir dir;
    const std::string ro = dir.file("ro");
    ::mkdir(ro.c_str(), 0755);
    if (::mount("framelint-test", ro.c_str(), "tmpfs", 0, "size=256k") != 0) {
        GTEST_SKIP() << "no tmpfs can be mounted here";
    }
    const std::string music = dir.file("song.mp3");
    put(music, song(1));
    const std::string db = ro + "/record.db";
    ASSERT_EQ(run_framelint({"-c", "--db", db, music}).status, 0);
    const timespec was = mtime_of(music);
    bytes flipped = song(1);
    flipped[110 + 417 * 3 + 200] ^= 0x01;
    put(music, flipped);
    set_mtime(music, was);
    ASSERT_EQ(::mount("framelint-test", ro.c_str(), "tmpfs", MS_REMOUNT | MS_RDONLY, nullptr), 0);
    const bytes before = read_file(db);
    const run_result r = run_framelint({"--summary", "--db", db, music, music});
    ::umount(ro.c_str());
    EXPECT_EQ(r.status, 255) << r.out << r.err;
    EXPECT_EQ(r.err, "framelint: " + db + " is read-only: files are checked against it, but nothing is recorded\n");
    EXPECT_EQ(r.out.find(": DAMAGED: the audio changed since"), music.size()) << r.out;
}

TEST(Record, Judge)
{
    record::record_row recorded;
    recorded.file = {"/m/a.mp3", 1000, 5, 7};
    recorded.hash = {1, 2};
    struct judge_case {
        const char* what;
        std::int64_t size;
        std::int64_t mtime;
        audio_digest hash;
        record::finding expected;
    };
    const judge_case cases[] = {
        {"same audio, new tags", 3000, 9, {1, 2}, record::finding::unchanged},
        {"bit rot", 1000, 5, {1, 3}, record::finding::audio_changed},
        {"rewritten", 1000, 6, {1, 3}, record::finding::audio_rewritten},
        {"same time, new size: a program", 1200, 5, {1, 3}, record::finding::audio_rewritten},
    };
    for (const judge_case& c : cases) {
        EXPECT_EQ(record::judge(recorded, {"/m/a.mp3", c.size, c.mtime, 7}, c.hash), c.expected) << c.what;
    }
}

}  // namespace
}  // namespace framelint::test

namespace framelint::test {
namespace {

std::int64_t recorded_size(const std::string& db_path)
{
    sqlite3* db = nullptr;
    sqlite3_open(db_path.c_str(), &db);
    sqlite3_stmt* q = nullptr;
    sqlite3_prepare_v2(db, "SELECT size FROM files", -1, &q, nullptr);
    const std::int64_t size = sqlite3_step(q) == SQLITE_ROW ? sqlite3_column_int64(q, 0) : -1;
    sqlite3_finalize(q);
    sqlite3_close(db);
    return size;
}

TEST(Record, FixUpdatesTheRecordOfWhatItRepairs)
{
    temp_dir dir;
    const std::string music = dir.file("song.mp3");
    const bytes audio = song(2);
    // Junk after the last frame: the repair removes it and loses no audio
    // (junk amid the frames takes a frame with it, and the file stays incomplete).
    const bytes damaged = audio + text("junk at the end, after the last frame");
    put(music, damaged);
    const std::string db = dir.file("record.db");
    const run_result fixed = run_framelint({"--summary", "--fix", "--no-backup", "--db", db, music});
    EXPECT_EQ(fixed.status, 0) << fixed.out << fixed.err;
    const auto repaired_size = static_cast<std::int64_t>(read_file(music).size());
    EXPECT_LT(repaired_size, static_cast<std::int64_t>(damaged.size()));
    EXPECT_EQ(recorded_size(db), repaired_size);
    const run_result later = run_framelint({"--summary=all", "--db", db, music});
    EXPECT_EQ(later.status, 0);
    EXPECT_EQ(later.out.substr(0, later.out.find('\n')), music + ": clean");
}

}  // namespace
}  // namespace framelint::test
