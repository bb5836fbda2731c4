// Many files in one run: names read from a list (--files-from, --null) and
// files checked side by side (--jobs), whose output must be the plain run's,
// byte for byte and in the same order.

#include <gtest/gtest.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <regex>
#include <string>
#include <vector>

#include "run_support.hpp"
#include "support.hpp"

namespace framelint::test {
namespace {

// A run with standard output and standard error in one file, as `2>&1` gives
// them, so that the order of reports and messages is seen too.
struct merged_run {
    int status = -1;
    std::string both;
    long peak_rss_kib = 0;
};

merged_run run_merged(const std::vector<std::string>& args, const std::string& stdout_path = "")
{
    const std::string both_path = write_temp_file({}, "both");
    const pid_t pid = ::fork();
    if (pid == 0) {
        const int both = ::open(both_path.c_str(), O_WRONLY | O_TRUNC);
        const int out = stdout_path.empty() ? both : ::open(stdout_path.c_str(), O_WRONLY);
        const int in = ::open("/dev/null", O_RDONLY);
        if (both < 0 || out < 0 || in < 0 || ::dup2(in, 0) < 0 || ::dup2(out, 1) < 0 || ::dup2(both, 2) < 0) {
            ::_exit(126);
        }
        ::alarm(60);  // a hang shows as status 128 + SIGALRM, not a stuck suite
        exec_framelint(args);
    }
    int status = 0;
    struct rusage usage {};
    ::wait4(pid, &status, 0, &usage);
    merged_run r;
    r.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    r.both = without_cpu_times(as_string(read_file(both_path)));
    r.peak_rss_kib = usage.ru_maxrss;
    ::unlink(both_path.c_str());
    return r;
}

std::vector<std::string> with(std::vector<std::string> args, const std::vector<std::string>& more)
{
    args.insert(args.end(), more.begin(), more.end());
    return args;
}

bytes fixture_bytes(const std::string& name) { return read_file(fixture(name)); }

// Clean and damaged files of every kind the fixtures hold, a file that is missing, a
// directory named as a file (it cannot be read), and one whose -a -vv output is
// larger than what a run keeps of one file's output.
class several_files : public ::testing::Test {
protected:
    void SetUp() override
    {
        const bytes song = fixture_bytes("lame_cbr128.mp3");
        const std::string long_song = dir_.file("long.mp3");
        write_to(long_song, repeat(song, 40));  // about 700 KB of -vv blocks
        const std::string cut = dir_.file("cut.mp3");
        write_to(cut, slice(song, 0, 17000));
        const std::string junk = dir_.file("junk.mp3");
        write_to(junk, text("garbage") + song);
        ::mkdir(dir_.file("sub").c_str(), 0755);
        write_to(dir_.file("sub/b.mp3"), fixture_bytes("lame_vbr.mp3"));
        write_to(dir_.file("sub/a.mp3"), slice(song, 0, 9000));
        files_ = {fixture("lame_vbr.mp3"),   long_song,
                  fixture("tag_v23.mp3"),    cut,
                  dir_.file("missing.mp3"),  fixture("integrity/bitrot.mp3"),
                  dir_.file("sub"),          junk,
                  fixture("twolame_l2_crc.mp2"), fixture("integrity/cut_60.mp3"),
                  long_song,                 fixture("tag_both.mp3")};
    }

    static void write_to(const std::string& path, const bytes& data)
    {
        const std::string made = write_temp_file(data);
        ASSERT_EQ(::rename(made.c_str(), path.c_str()), 0);
    }

    temp_dir dir_;
    std::vector<std::string> files_;
};

TEST_F(several_files, JobsGiveThePlainRunsOutputByteForByte)
{
    const std::vector<std::vector<std::string>> switch_sets = {
        {},          {"-p"},     {"-c"},         {"-cp"},  {"-i"},     {"-v"},
        {"-a", "-vv"}, {"-e"},   {"-q", "5"},    {"-b"},   {"-b500"},  {"--json"},
        {"-r"},      {"-r", "-c", "--json"}, {"-c", "-a", "-vv", "-i"},
    };
    for (const auto& switches : switch_sets) {
        SCOPED_TRACE(::testing::PrintToString(switches));
        const run_result plain = run_framelint(with(switches, files_));
        const run_result one = run_framelint(with(with(switches, {"--jobs", "1"}), files_));
        const run_result three = run_framelint(with(with(switches, {"--jobs=3"}), files_));
        EXPECT_EQ(without_cpu_times(one.out), without_cpu_times(plain.out));
        EXPECT_EQ(one.err, plain.err);
        EXPECT_EQ(without_cpu_times(three.out), without_cpu_times(plain.out));
        EXPECT_EQ(ends_with_cpu_times(three.out), ends_with_cpu_times(plain.out));
        EXPECT_EQ(three.err, plain.err);
        EXPECT_EQ(three.status, plain.status);
        EXPECT_EQ(plain.status, 1) << "the missing file and the directory";

        const merged_run plain_merged = run_merged(with(switches, files_));
        const merged_run three_merged = run_merged(with(with(switches, {"--jobs", "3"}), files_));
        EXPECT_EQ(three_merged.both, plain_merged.both) << "messages in their place among the reports";
    }
}

// --summary counts every file once, whichever thread checked it (the naming
// thread checks files too); only the time in the tally may differ.
TEST_F(several_files, JobsGiveThePlainRunsSummaryAndTally)
{
    const std::regex elapsed(R"( in \d+\.\d s\)\n$)");
    for (const char* summary : {"--summary", "--summary=all"}) {
        SCOPED_TRACE(summary);
        const run_result plain = run_framelint(with({summary, "-r"}, files_));
        for (const char* jobs : {"--jobs=2", "--jobs=3"}) {
            const run_result parallel = run_framelint(with({summary, "-r", jobs}, files_));
            EXPECT_EQ(std::regex_replace(parallel.out, elapsed, ""), std::regex_replace(plain.out, elapsed, "")) << jobs;
            EXPECT_EQ(parallel.err, plain.err) << jobs;
            EXPECT_EQ(parallel.status, plain.status) << jobs;
        }
        EXPECT_NE(plain.out.find("files: "), std::string::npos) << plain.out;
    }
}

TEST_F(several_files, JobsKeepMemoryBoundedWhateverOneFileWrites)
{
    if (built_with_sanitizer()) {
        GTEST_SKIP() << "the sanitizers' own memory hides the program's";
    }
    // Each file writes about 17 MB of -vv blocks; a run that kept a file's output
    // whole would hold that much at once.
    const std::string huge = dir_.file("huge.mp3");
    write_to(huge, repeat(fixture_bytes("lame_cbr128.mp3"), 1000));
    const merged_run r = run_merged({"-a", "-vv", "--jobs", "3", huge, huge, huge}, "/dev/null");
    EXPECT_EQ(r.status, 0) << r.both;
    EXPECT_LT(r.peak_rss_kib, 12 * 1024);
}

TEST(Jobs, BadCountsAndSwitchesThatCannotGoSideBySideAreRefused)
{
    const std::string song = fixture("lame_cbr128.mp3");
    const std::string me = program_path();
    struct refused_case {
        std::vector<std::string> args;
        std::string message;
    };
    const std::string bad_count = ": --jobs needs a whole number from 1 to 1024, not ";
    const std::string copy_refused =
        ": --jobs cannot be used with -s, -ss or -sf, which give standard output to one stream";
    const std::vector<refused_case> cases = {
        {{"--jobs", "0", song}, bad_count + "'0'"},
        {{"--jobs=0", song}, bad_count + "'0'"},
        {{"--jobs=two", song}, bad_count + "'two'"},
        {{"--jobs=", song}, bad_count + "''"},
        {{"--jobs", "1025", song}, bad_count + "'1025'"},
        {{"--jobs", "99999999999999999999", song}, bad_count + "'99999999999999999999'"},
        {{"--jobs", "2", "-s", song}, copy_refused},
        {{"--jobs", "-ss", song}, copy_refused},
        {{"--jobs=2", song, "-"}, ": --jobs cannot check standard input (-); name the files, or leave out --jobs"},
    };
    for (const refused_case& c : cases) {
        SCOPED_TRACE(::testing::PrintToString(c.args));
        const run_result r = run_framelint(c.args);
        EXPECT_EQ(r.err, me + c.message + "\n");
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.status, 1);
    }
    // --jobs 1 is the plain run, copy and standard input included; a word after
    // --jobs that is not all digits is a file.
    const bytes song_bytes = read_file(song);
    EXPECT_EQ(run_framelint({"--jobs", "1", "-s", "-"}, song_bytes).out, as_string(song_bytes));
    const run_result file_named_after = run_framelint({"-p", "--jobs", "./3"});
    EXPECT_EQ(file_named_after.err, "framelint: ./3 No such file or directory\n");
}

TEST(Jobs, AFailedStandardOutputEndsTheRunWithStatusOne)
{
    const std::string song = fixture("lame_cbr128.mp3");
    for (const char* jobs : {"1", "3"}) {
        SCOPED_TRACE(jobs);
        const run_result r = run_framelint({"-p", "--jobs", jobs, song, song, song}, {}, "/dev/full");
        EXPECT_EQ(r.err, "framelint: stdout No space left on device\n");
        EXPECT_EQ(r.status, 1);
    }
}

// Standard output into a file that may grow only so far (the limit falls inside
// a file's report): whichever way the reports are gathered into writes, the run
// stops at the same byte, with the same messages before it and the same status.
TEST(Jobs, StandardOutputThatFillsUpStopsAtTheSameByte)
{
    const std::vector<std::string> songs = {fixture("lame_cbr128.mp3"), fixture("tag_v23.mp3"),
                                            fixture("integrity/bitrot.mp3")};
    std::vector<std::string> files;
    for (int i = 0; i < 30; ++i) {
        files.push_back(songs[static_cast<std::size_t>(i) % songs.size()]);
    }
    const auto run_limited = [](const std::vector<std::string>& args) {
        launch how;
        how.args = args;
        how.file_size_limit = 3001;
        return run_framelint_as(how);
    };
    for (const std::vector<std::string>& switches : {std::vector<std::string>{}, {"-c", "-p"}}) {
        SCOPED_TRACE(::testing::PrintToString(switches));
        const run_result plain = run_limited(with(switches, files));
        const run_result three = run_limited(with(with(switches, {"--jobs", "3"}), files));
        EXPECT_EQ(plain.out.size(), 3001u);
        EXPECT_EQ(three.out, plain.out);
        EXPECT_EQ(three.err, plain.err);
        EXPECT_NE(plain.err.find("framelint: stdout File too large\n"), std::string::npos) << plain.err;
        EXPECT_EQ(three.status, plain.status);
        EXPECT_EQ(plain.status, 1);
    }
}

// A list of names as find -print0 or a music manager writes it.
std::string name_list_file(const std::vector<std::string>& names, char separator, bool last_ended = true)
{
    std::string list;
    for (std::size_t i = 0; i < names.size(); ++i) {
        list += names[i];
        if (i + 1 < names.size() || last_ended) {
            list += separator;
        }
    }
    return write_temp_file(text(list), "names");
}

TEST(FilesFrom, NamesFromAListAreCheckedAsIfNamedOnTheCommandLine)
{
    temp_dir dir;
    const bytes song = read_file(fixture("lame_cbr128.mp3"));
    const std::string odd = dir.file("two words\nand a line.mp3");
    const std::string cut = dir.file(" cut .mp3");
    for (const auto& [path, data] : {std::pair{odd, song}, std::pair{cut, slice(song, 0, 17000)}}) {
        const std::string made = write_temp_file(data);
        ASSERT_EQ(::rename(made.c_str(), path.c_str()), 0);
    }
    const std::string clean = fixture("lame_vbr.mp3");
    const run_result named = run_framelint({"-c", "-p", clean, odd, cut, clean});
    ASSERT_EQ(named.status, 255);

    struct list_case {
        std::string label;
        std::vector<std::string> options;
        std::vector<std::string> named;  // file arguments, checked before the list
        std::vector<std::string> list;
        bool last_ended;
        bool from_stdin;
    };
    const std::vector<list_case> cases = {
        {"from standard input", {"-c", "-p"}, {}, {clean, odd, cut, clean}, true, true},
        {"no NUL after the last name", {"-c", "-p"}, {}, {clean, odd, cut, clean}, false, false},
        {"empty names passed over", {"-c", "-p"}, {}, {"", clean, "", odd, cut, "", clean}, true, false},
        {"command line first", {"-c", "-p"}, {clean, odd}, {cut, clean}, true, false},
        {"side by side", {"-c", "-p", "--jobs", "2"}, {}, {clean, odd, cut, clean}, true, true},
    };
    for (const list_case& c : cases) {
        SCOPED_TRACE(c.label);
        const std::string list = name_list_file(c.list, '\0', c.last_ended);
        std::vector<std::string> args = with(c.options, {"--files-from", c.from_stdin ? "-" : list, "--null"});
        args = with(args, c.named);
        const run_result r = c.from_stdin ? run_framelint(args, read_file(list)) : run_framelint(args);
        EXPECT_EQ(without_cpu_times(r.out), without_cpu_times(named.out));
        EXPECT_EQ(r.err, named.err);
        EXPECT_EQ(r.status, 255);
    }

    // One name a line: a name may hold blanks; empty lines are passed over.
    const std::string lines = name_list_file({clean, "", cut, clean}, '\n');
    const run_result by_line = run_framelint({"-c", "-p", "--files-from=" + lines});
    const run_result by_line_named = run_framelint({"-c", "-p", clean, cut, clean});
    EXPECT_EQ(without_cpu_times(by_line.out), without_cpu_times(by_line_named.out));
    EXPECT_EQ(by_line.err, by_line_named.err);
    EXPECT_EQ(by_line.status, 255);
}

TEST(FilesFrom, DirectoriesAreWalkedWithR)
{
    temp_dir dir;
    ::mkdir(dir.file("album").c_str(), 0755);
    const std::string song = dir.file("album/01.mp3");
    const std::string made = write_temp_file(read_file(fixture("lame_cbr128.mp3")));
    ASSERT_EQ(::rename(made.c_str(), song.c_str()), 0);
    const std::string list = name_list_file({dir.file("album")}, '\n');
    for (const char* jobs : {"1", "2"}) {
        const run_result r = run_framelint({"-r", "-p", "--jobs", jobs, "--files-from", list});
        EXPECT_EQ(r.out.find("FILE_NAME " + song + "\t"), 0u) << r.out;
        EXPECT_EQ(r.status, 0);
    }
}

TEST(FilesFrom, AListThatCannotBeReadOrANameThatCannotBeThereIsAnError)
{
    const std::string song = fixture("lame_cbr128.mp3");
    const std::string me = program_path();
    temp_dir dir;
    const std::string list_with_dash = name_list_file({song, "-", song}, '\n');
    struct error_case {
        std::vector<std::string> args;
        std::string err;
        std::size_t reports;  // files checked
    };
    const std::string missing_list = "framelint: --files-from " + dir.file("none") + ": No such file or directory\n";
    const std::string unreadable_list = "framelint: --files-from " + dir.path() + ": Is a directory\n";
    const std::string dash = "framelint: - cannot be named in a --files-from list (for a file called -, write ./-)\n";
    // A list find -print0 wrote, read line by line, would be one name that
    // open() cuts at its first NUL; a name longer than any path is no name.
    const std::string nul_list = name_list_file({song, song}, '\0');
    const std::string nul_error = "framelint: --files-from " + nul_list + ": it holds NUL bytes: read it with --null\n";
    const std::string long_list = name_list_file({song, std::string(5000, 'x'), song}, '\n');
    const std::string long_error = "framelint: --files-from " + long_list + ": a name longer than 4096 bytes\n";
    const std::vector<error_case> cases = {
        {{"-p", "--files-from", dir.file("none"), song}, missing_list, 0},
        {{"-c", "-p", "--files-from", nul_list}, nul_error, 0},
        {{"-c", "-p", "--jobs", "2", "--files-from", nul_list}, nul_error, 0},
        {{"-p", "--files-from", long_list}, long_error, 1},
        {{"-p", "--jobs", "2", "--files-from", long_list}, long_error, 1},
        {{"-p", "--files-from", dir.path(), song}, unreadable_list, 1},
        {{"-p", "--jobs", "2", "--files-from", dir.path(), song}, unreadable_list, 1},
        {{"-p", "--files-from", list_with_dash}, dash, 2},
        {{"-p", "--jobs=2", "--files-from", list_with_dash}, dash, 2},
    };
    for (const error_case& c : cases) {
        SCOPED_TRACE(::testing::PrintToString(c.args));
        const run_result r = run_framelint(c.args);
        EXPECT_EQ(r.err, c.err);
        std::size_t reports = 0;
        for (std::size_t at = r.out.find("FILE_NAME "); at != std::string::npos;
             at = r.out.find("FILE_NAME ", at + 1)) {
            ++reports;
        }
        EXPECT_EQ(reports, c.reports) << r.out;
        EXPECT_EQ(r.status, 1);
    }

    const std::vector<std::pair<std::vector<std::string>, std::string>> refused = {
        {{"--null", song}, ": --null is for the names of --files-from"},
        {{"--files-from"}, ": --files-from needs the name of a file of names (- for standard input)"},
        {{"--files-from", "-", "-"},
         ": standard input cannot be both the list of names (--files-from -) and a stream to check (-)"},
        // The list's reports would land in the repaired stream.
        {{"--fix", "--files-from", list_with_dash, "-"},
         ": --fix - repairs standard input alone: it cannot be used with --files-from"},
    };
    for (const auto& [args, message] : refused) {
        SCOPED_TRACE(::testing::PrintToString(args));
        const run_result r = run_framelint(args, read_file(song));
        EXPECT_EQ(r.err, me + message + "\n");
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.status, 1);
    }
}

TEST(FilesFrom, AListWithoutEndEndsWithAMessageInBoundedMemory)
{
    if (built_with_sanitizer()) {
        GTEST_SKIP() << "no cap on the address space under the sanitizers";
    }
    const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
        {{"-p", "--files-from", "/dev/zero"}, "framelint: --files-from /dev/zero: it holds NUL bytes: read it with --null\n"},
        {{"-p", "--null", "--files-from", "/dev/zero"},
         "framelint: --files-from /dev/zero: separators without end and no name\n"},
    };
    for (const auto& [args, message] : cases) {
        SCOPED_TRACE(::testing::PrintToString(args));
        launch how;
        how.args = args;
        how.address_space = 600000ull * 1024;
        const run_result r = run_framelint_as(how);
        EXPECT_EQ(r.err, message);
        EXPECT_EQ(r.status, 1);
    }
}

}  // namespace
}  // namespace framelint::test
