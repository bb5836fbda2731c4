// The framelint binary run as a user runs it: switches, help text, exit statuses,
// the file loop over odd kinds of files, standard input read twice, and a standard
// output that cannot be written.

#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <memory>
#include <regex>
#include <set>
#include <string>
#include <vector>

#include "run_support.hpp"
#include "support.hpp"

namespace framelint::test {
namespace {

const std::string help_text =
    "\nusage: framelint [-e] [-p] [-v[v]] [-a] [-b[<byte_count>]] [-i] [-s[s]] [-h] [-] [file ...]\n"
    "     -q<number>        Determines the mininum <number> of contiguous frames\n"
    "                       that must be present for an error NOT to occur.\n"
    "                       Analyzing random data will find spurious MP3 headers,\n"
    "                       but finding <number> sequential headers are even\n"
    "                       harder to find.\n\n"
    "     -e                While id3v2 support is under development, this flag will\n"
    "                       allow you to have framelint record a frame error when\n"
    "                       a id3v2 tag is found.\n\n"
    "     -p                Shows just the essentials (what you get without the\n"
    "                       -v option) on a single line for easy parsing. The\n"
    "                       fields are separated by tabs, and the name/value pairs\n"
    "                       are separated by spaces.\n\n"
    "     -v[v]             Lists details about the mp3 in name -> value order.\n"
    "                       Adding an extra 'v' at the end gives details about\n"
    "                       each frame. Extremly verbose!\n\n"
    "     -a                Checks the mp3 from stem to stern (default).\n"
    "                       If any other flags are present, it will not be\n"
    "                       enabled, and will instead behave as though the\n"
    "                       '-b' switch is present.\n\n"
    "     -b[<byte_count>]  If a frame is not found by <byte_count> bytes,\n"
    "                       quit, and return an error. If byte_count\n"
    "                       is not specified, it will search until the\n"
    "                       first valid frame and quit.\n\n"
    "     -i                Check to see if there is a ID3 tag, and if so,\n"
    "                       display the info.\n\n"
    "     -s[s|f]           Sends the mp3 to stdout (for CGI applications).\n"
    "                       If an additional 's' is there, then no output is\n"
    "                       made, just errors are reported (super silent).\n"
    "                       With the 'f' used, only valid frames are sent\n"
    "                       to stdout ('f'ixing the mp3 is attempted). Also,\n"
    "                       it is important to note that the id3 tag will not\n"
    "                       be included in the 'f'ixed mp3. If you want it\n"
    "                       included, you have to include the '-i' option.\n\n"
    "     -c                Integrity check: also checks the CRC of every\n"
    "                       protected frame, the Xing/Info, VBRI and LAME tags\n"
    "                       (with the CRC of all audio bytes), junk at either\n"
    "                       end and a last frame cut short by a tag, and adds\n"
    "                       INTEGRITY to the summary.\n\n"
    "     -h                Print this text including the version.\n\n"
    "     -r, --recursive   Checks every .mp3, .mp2, .mp1, .mpa and .mpga file\n"
    "                       in the directories named and below them.\n\n"
    "     --json            Writes one JSON object per stream (JSON Lines)\n"
    "                       instead of the summary, for other programs.\n\n"
    "     --summary[=all,offsets]\n"
    "                       One line per file that is not clean, its findings in\n"
    "                       plain words, and a tally; checks as -c does. =all:\n"
    "                       every file; =offsets: where each finding is.\n\n"
    "     --fix             Checks each file as -c does and repairs it in place:\n"
    "                       junk, damaged headers and cut frames are removed,\n"
    "                       the Xing/Info and LAME headers rebuilt for the\n"
    "                       frames kept. Tags are kept byte for byte. Clean\n"
    "                       files, damaged audio and files without frames are\n"
    "                       never rewritten. The original is kept as FILE.bak.\n"
    "                       Status 0 when every file is clean afterwards, 255\n"
    "                       when damage remains, 1 on errors. --fix - writes\n"
    "                       standard input, repaired, to standard output.\n\n"
    "     --no-backup       With --fix: keeps no FILE.bak of a repaired file.\n\n"
    "     --add-xing        With --fix: also gives a Layer III stream whose bit\n"
    "                       rate varies and that has no Xing or VBRI header\n"
    "                       (otherwise clean) a Xing header frame.\n\n"
    "     --keep-times      With --fix: a repaired file keeps its access and\n"
    "                       modification times.\n\n"
    "     --files-from FILE Also checks the files named in FILE, one a line\n"
    "                       (- reads the names from standard input).\n\n"
    "     --null            The names of --files-from end in a NUL byte\n"
    "                       instead of a newline (find -print0).\n\n"
    "     --db FILE         Checks each file as -c does against a record of its\n"
    "                       audio kept in FILE (SQLite, created when missing),\n"
    "                       and records it: audio changed while the file was\n"
    "                       not written is damage. Not with -s, -ss or -sf.\n\n"
    "     --jobs [N]        Checks N files at once (without N, as many as\n"
    "                       there are cores). The output is the same, in the\n"
    "                       same order. Not with -s, -ss, -sf or -.\n\n"
    "     --help            Prints this text on standard output.\n\n"
    "     --version         Prints the version.\n\n"
    "* VERSION:  1.98   \n"
    "* HOMEPAGE: https://framelint.org/   \n"
    "* AUTHOR :  The framelint developers <maintainers@framelint.org>   \n";

const std::string min_run_message = "You must supply an integer greater than 1 to use the '-q' flag.";

// One "%-20s" name/value line.
std::string nv(const std::string& name, const std::string& value)
{
    return name + std::string(20 - name.size(), ' ') + value + "\n";
}
std::string nv(const std::string& name, long long value) { return nv(name, std::to_string(value)); }

// The name/value summary of a stream whose frames all share one bit rate.
std::string summary(const std::string& label, long long good, long long bad, long long last,
                    const std::string& song_length = "")
{
    std::string s = "\n" + nv("FILE_NAME", label) + nv("GOOD_FRAMES", good) + nv("BAD_FRAMES", bad) +
                    nv("LAST_BYTE_CHECKED", last);
    if (!song_length.empty()) {
        s += nv("SONG_LENGTH", song_length);
    }
    return s;
}

std::size_t occurrences(const std::string& text, const std::string& piece)
{
    std::size_t n = 0;
    for (std::size_t at = text.find(piece); at != std::string::npos; at = text.find(piece, at + piece.size())) {
        ++n;
    }
    return n;
}

std::string no_such_file(const std::string& name) { return "framelint: " + name + " No such file or directory\n"; }

const std::string missing = "/nonexistent-dir/missing.mp3";

TEST(HelpText, ShownOnStandardErrorWithStatusOne)
{
    const std::string argv0 = program_path();
    struct help_case {
        std::vector<std::string> args;
        std::string diagnostic;  // what the switch parser says before the help text
    };
    const std::vector<help_case> cases = {
        {{"-h"}, ""},
        {{}, ""},
        {{"-a", "-v"}, ""},                      // switches but no file argument
        {{"-a", "-h", missing}, ""},             // acted on before any file is touched
        {{"-h", "-q1", missing}, ""},            // -h is read first, the bad -q never
        {{"-x", missing}, argv0 + ": invalid option -- 'x'\n"},
        {{"-ax", missing}, argv0 + ": invalid option -- 'x'\n"},
        {{"-q"}, argv0 + ": option requires an argument -- 'q'\n"},
        {{"-a", "-q"}, argv0 + ": option requires an argument -- 'q'\n"},
    };
    for (const help_case& c : cases) {
        SCOPED_TRACE(::testing::PrintToString(c.args));
        const run_result r = run_framelint(c.args);
        EXPECT_EQ(r.err, c.diagnostic + help_text);
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.status, 1);
    }
}

// The switch names a text mentions: "-x" for a letter (its forms -ss, -vv, -q3
// are the letter's), "--word" for a long option.
std::set<std::string> switches_in(const std::string& text, const std::regex& pattern)
{
    std::set<std::string> found;
    for (auto it = std::sregex_iterator(text.begin(), text.end(), pattern); it != std::sregex_iterator(); ++it) {
        for (std::size_t i = 1; i < it->size(); ++i) {
            const std::string word = (*it)[i];
            if (!word.empty()) {
                found.insert(word.rfind("--", 0) == 0 ? word : word.substr(0, 2));
            }
        }
    }
    return found;
}

TEST(LongOptions, HelpAndVersionOnStandardOutputOthersAsBefore)
{
    const std::string argv0 = program_path();
    struct long_case {
        std::vector<std::string> args;
        std::string out;
        std::string err;
        int status;
    };
    const std::vector<long_case> cases = {
        {{"--help"}, help_text, "", 0},
        {{"-a", "--help", missing}, help_text, "", 0},
        {{"--version"}, "framelint 1.98\n", "", 0},
        {{"--version", "-h"}, "framelint 1.98\n", "", 0},
        {{"--jsonx", missing}, "", argv0 + ": invalid option -- '-'\n" + help_text, 1},
        {{"--Help", missing}, "", argv0 + ": invalid option -- '-'\n" + help_text, 1},
        {{"-a--json", missing}, "", argv0 + ": invalid option -- '-'\n" + help_text, 1},
        {{"--json", "-s", missing}, "",
         argv0 + ": --json cannot be used with -s, -ss or -sf, which give standard output to the stream\n", 1},
        {{"-ss", "--json", missing}, "",
         argv0 + ": --json cannot be used with -s, -ss or -sf, which give standard output to the stream\n", 1},
        {{"-sf", "--json"}, "", help_text, 1},  // no file: the help text, as always
        {{"--", "--help"}, "", no_such_file("--help"), 1},  // a file, and no such file
    };
    for (const long_case& c : cases) {
        SCOPED_TRACE(::testing::PrintToString(c.args));
        const run_result r = run_framelint(c.args);
        EXPECT_EQ(r.out.substr(0, c.out.size()), c.out);
        if (c.status == 0 && !c.out.empty() && c.out != help_text) {
            EXPECT_EQ(r.out, c.out);
        }
        EXPECT_EQ(r.err, c.err);
        EXPECT_EQ(r.status, c.status);
    }
    for (const char* option : {"--help", "--version"}) {
        EXPECT_EQ(run_framelint({option}, {}, "/dev/full").status, 1) << option;
    }
    // After -h's text, --help lists every long option on a line of its own,
    // then three examples that begin with the program's name.
    const std::string more = run_framelint({"--help"}).out.substr(help_text.size());
    const std::string examples = more.substr(more.find("\nExamples:\n"));
    for (const std::string& option : switches_in(help_text, std::regex("(--[a-z][a-z-]*)"))) {
        EXPECT_TRUE(std::regex_search(more, std::regex("\n  (-r, )?" + option + "[ =\\[]"))) << option;
    }
    EXPECT_EQ(std::count(examples.begin(), examples.end(), '\n'), 5) << examples;  // its heading, three lines
    EXPECT_EQ(switches_in(examples, std::regex("\n  framelint (--[a-z]+)")),
              (std::set<std::string>{"--summary", "--fix", "--json"}));
}

// What bash completes for the words typed, one a line, in a directory that
// holds names with spaces.
std::string completed(const std::string& dir, const std::string& words)
{
    const std::string source = std::string(FRAMELINT_TEST_DATA) + "/../../completions/framelint";
    const std::string script = "cd '" + dir + "' && source '" + source + "' && COMP_WORDS=(framelint " + words +
                               ") && COMP_CWORD=$((${#COMP_WORDS[@]} - 1)) && _framelint && "
                               "printf '%s\\n' \"${COMPREPLY[@]}\" | sort";
    std::string out;
    FILE* pipe = ::popen(("bash -c '" + std::regex_replace(script, std::regex("'"), "'\\''") + "'").c_str(), "r");
    if (pipe == nullptr) {
        return "";
    }
    char buffer[256];
    while (std::fgets(buffer, sizeof buffer, pipe) != nullptr) {
        out += buffer;
    }
    ::pclose(pipe);
    return out;
}

TEST(Completion, NamesWithSpacesAreOneWordAfterFilesFromAndEverywhere)
{
    temp_dir dir;
    for (const char* name : {"my list.txt", "a song.mp3", "a song.txt", "plain.MP3"}) {
        ::close(::open(dir.file(name).c_str(), O_WRONLY | O_CREAT, 0644));
    }
    ::mkdir(dir.file("sub dir").c_str(), 0755);
    EXPECT_EQ(completed(dir.path(), "--files-from my"), "my list.txt\n");
    EXPECT_EQ(completed(dir.path(), "--files-from \"\""), "a song.mp3\na song.txt\nmy list.txt\nplain.MP3\nsub dir\n");
    EXPECT_EQ(completed(dir.path(), "--summary a"), "a song.mp3\n");
    EXPECT_EQ(completed(dir.path(), "\"\""), "a song.mp3\nplain.MP3\nsub dir\n");
}

TEST(Documentation, HelpTextCompletionManualAndReadmeNameTheSameSwitches)
{
    const std::string source = std::string(FRAMELINT_TEST_DATA) + "/../../";
    const std::set<std::string> in_help =
        switches_in(run_framelint({"--help"}).out, std::regex("\n     (--?[a-z][a-z-]*)(?:, (--[a-z][a-z-]*))?"));
    const std::string completion = as_string(read_file(source + "completions/framelint"));
    const std::size_t list = completion.find("local switches=\"");
    ASSERT_NE(list, std::string::npos);
    const std::string listed = completion.substr(list, completion.find('"', list + 17) - list);
    EXPECT_EQ(switches_in(listed, std::regex("(--?[a-z][a-z-]*)")), in_help);

    // The manual page and the README describe each one.
    const std::string manual = as_string(read_file(source + "docs/framelint.1.in"));
    const std::string readme = as_string(read_file(source + "README.md"));
    for (const std::string& option : in_help) {
        std::string roff;  // "\-\-json" in the page's source, as a regex
        for (const char ch : option) {
            roff += ch == '-' ? "\\\\-" : std::string(1, ch);
        }
        const std::regex described("\\n\\.(B|BR|BI) ([^\\n]*\\s)?" + roff + "\\b");
        EXPECT_TRUE(std::regex_search(manual, described)) << option << " in the manual page";
        EXPECT_NE(readme.find("`" + option), std::string::npos) << option << " in the README";
    }
    EXPECT_GE(in_help.size(), 13u);
}

TEST(MinRunSwitch, BelowTwoEndsTheRunWithoutOpeningAnything)
{
    // The file argument would be reported if it were opened.
    const std::vector<std::vector<std::string>> cases = {
        {"-q1", missing}, {"-q", "0", missing}, {"-qabc", missing},
        {"-q", "abc", missing}, {"-q-5", missing}, {"-q1", "-h", missing},
    };
    for (const auto& args : cases) {
        SCOPED_TRACE(::testing::PrintToString(args));
        const run_result r = run_framelint(args);
        EXPECT_EQ(r.err, min_run_message);
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.status, 255);
    }
}

TEST(ByteBudgetSwitch, BelowZeroEndsTheRunWithoutOpeningAnything)
{
    // A budget below zero would check nothing and call even a damaged file clean.
    const std::string damaged = write_temp_file(frame(l3_128k) + bytes(10, 0) + frame(l3_128k), "damaged");
    const std::vector<std::vector<std::string>> cases = {
        {"-b-5", damaged}, {"-b-1", "-s", damaged}, {"-b100", "-b-1", missing}, {"-a", "-b-5", "-"},
    };
    for (const auto& args : cases) {
        SCOPED_TRACE(::testing::PrintToString(args));
        const run_result r = run_framelint(args, frame(l3_128k));
        EXPECT_EQ(r.err, "You must supply an integer of 0 or more to use the '-b' flag.");
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.status, 255);
    }
    // -b0 keeps its meaning: a frame at the very start, then stop.
    const run_result zero = run_framelint({"-b0", "-p", damaged});
    EXPECT_EQ(zero.status, 0);
    EXPECT_NE(zero.out.find("GOOD_FRAMES 1\tBAD_FRAMES 0\tLAST_BYTE_CHECKED 4\t"), std::string::npos) << zero.out;
    ::unlink(damaged.c_str());
}

TEST(MinRunSwitch, TwoOrMoreIsAccepted)
{
    for (const auto& q : std::vector<std::vector<std::string>>{{"-q2"}, {"-q", "2"}, {"-q40"}}) {
        std::vector<std::string> args = q;
        args.push_back(fixture("lame_cbr128.mp3"));
        SCOPED_TRACE(::testing::PrintToString(args));
        const run_result r = run_framelint(args);
        EXPECT_EQ(r.err, "");
        EXPECT_EQ(without_cpu_times(r.out), summary(fixture("lame_cbr128.mp3"), 41, 0, 17135, "00:01.07"));
        EXPECT_EQ(r.status, 0);
    }
}

TEST(FileLoop, UnopenableFileIsReportedAndFailsTheRun)
{
    const run_result r = run_framelint({missing});
    EXPECT_EQ(r.err, no_such_file(missing));
    EXPECT_TRUE(ends_with_cpu_times(r.out)) << r.out;
    EXPECT_EQ(without_cpu_times(r.out), "");
    EXPECT_EQ(r.status, 1);

    for (const std::string copy_mode : {"-s", "-ss", "-sf"}) {
        SCOPED_TRACE(copy_mode);
        const run_result c = run_framelint({copy_mode, missing});
        EXPECT_EQ(c.err, no_such_file(missing));
        EXPECT_EQ(c.out, "") << "no CPU-time report in the copy modes";
        EXPECT_EQ(c.status, 1);
    }

    // The other files are still checked and reported, and whether clean or
    // damaged, they do not hide the failure.
    const std::string clean = fixture("lame_cbr128.mp3");
    const std::string damaged = write_temp_file(frame(l3_128k) + bytes(10, 0) + frame(l3_128k), "damaged");
    for (const auto& args : std::vector<std::vector<std::string>>{{missing, clean}, {clean, missing},
                                                                   {damaged, missing}, {missing, damaged}}) {
        SCOPED_TRACE(::testing::PrintToString(args));
        const run_result m = run_framelint(args);
        EXPECT_NE(m.out.find("FILE_NAME           " + args[args[0] == missing ? 1 : 0] + "\n"), std::string::npos);
        EXPECT_EQ(m.status, 1);
    }
    ::unlink(damaged.c_str());
}

TEST(FileLoop, UnreadableFileIsReported)
{
    if (::geteuid() == 0) {
        GTEST_SKIP() << "root reads a file whatever its mode bits say";
    }
    temp_dir dir;
    const std::string path = dir.file("locked.mp3");
    const std::string copy = write_temp_file(read_file(fixture("lame_cbr128.mp3")));
    ASSERT_EQ(::rename(copy.c_str(), path.c_str()), 0);
    ASSERT_EQ(::chmod(path.c_str(), 0), 0);
    const run_result r = run_framelint({path});
    EXPECT_EQ(r.err, "framelint: " + path + " Permission denied\n");
    EXPECT_EQ(without_cpu_times(r.out), "");
    EXPECT_EQ(r.status, 1);
}

TEST(FileLoop, EveryFileIsReportedAndOneDamagedFileFailsTheRun)
{
    // Ten stray bytes between the second and third frame put the third off its place.
    const bytes f = frame(l3_128k);
    const std::string damaged = write_temp_file(f + f + bytes(10, 0) + f, "damaged");
    const std::string clean = fixture("lame_cbr128.mp3");

    const run_result r = run_framelint({damaged, clean});
    EXPECT_EQ(r.err, "\nAn expected frame was not found. Expected it at offset 0x346 (BYTE 838), now at offset "
                     "0x350 (BYTE 848).");
    EXPECT_EQ(without_cpu_times(r.out),
              summary(damaged, 2, 1, 1261, "00:00.07") + summary(clean, 41, 0, 17135, "00:01.07"));
    EXPECT_TRUE(ends_with_cpu_times(r.out)) << r.out;
    EXPECT_EQ(r.status, 255);

    // The order does not matter: a clean last file does not make the run clean.
    EXPECT_EQ(run_framelint({clean, damaged}).status, 255);
    ::unlink(damaged.c_str());
}

TEST(FileLoop, WordsAfterTheSwitchesAreFiles)
{
    // Run where no file of these odd names can exist.
    temp_dir dir;
    const std::string song = fixture("lame_cbr128.mp3");
    struct word_case {
        std::vector<std::string> args;
        std::string err;
        std::string out;
    };
    const std::vector<word_case> cases = {
        // A switch after the first file is a file argument: no header dump here.
        {{song, "-v"}, no_such_file("-v"), summary(song, 41, 0, 17135, "00:01.07")},
        // -b takes its number only attached: "500" is a file, and -b alone stops
        // after the first frame.
        {{"-b", "500", song}, no_such_file("500"), summary(song, 1, 0, 4, "00:00.02")},
        // "--" ends the switches and is dropped; "-a" after it is a file.
        {{"--", "-a", song}, no_such_file("-a"), summary(song, 41, 0, 17135, "00:01.07")},
    };
    for (const word_case& c : cases) {
        SCOPED_TRACE(::testing::PrintToString(c.args));
        launch how;
        how.args = c.args;
        how.working_dir = dir.path();
        const run_result r = run_framelint_as(how);
        EXPECT_EQ(r.err, c.err);
        EXPECT_EQ(without_cpu_times(r.out), c.out);
        EXPECT_EQ(r.status, 1) << "a word taken for a file names no file";
    }
}

TEST(FileLoop, DirectoryReadsAsAnEmptyStreamWithAnError)
{
    temp_dir dir;
    const run_result r = run_framelint({dir.path()});
    EXPECT_EQ(without_cpu_times(r.out), summary(dir.path(), 0, 0, 0));
    EXPECT_TRUE(ends_with_cpu_times(r.out)) << r.out;
    EXPECT_EQ(r.err, "framelint: " + dir.path() + " Is a directory\n");
    EXPECT_EQ(r.status, 1);
}

TEST(FileLoop, ClosedStandardInputIsAReadError)
{
    for (const std::string mode : {"-p", "-s", "-sf"}) {
        SCOPED_TRACE(mode);
        launch how;
        how.args = {mode, "-"};
        how.close_stdin = true;
        const run_result r = run_framelint_as(how);
        EXPECT_EQ(r.err, "framelint: stdin Bad file descriptor\n");
        EXPECT_EQ(r.status, 1);
    }
}

// A disk error in the middle of a file: what came before it is checked and
// copied as before, the error is reported, and the run fails.
TEST(FileLoop, ReadErrorInTheMiddleFailsTheRun)
{
    const std::string song = fixture("lame_cbr128.mp3");
    const std::string protected_song = fixture("lame_crc.mp3");  // bodies read in one block
    const bytes whole = read_file(song);
    constexpr long long fault_at = 10000;
    const auto io_error = [](const std::string& label) { return "framelint: " + label + " Input/output error\n"; };
    struct fault_case {
        std::vector<std::string> args;
        bool stdin_is_song;
        std::string err_ends_with;
    };
    const std::vector<fault_case> cases = {
        {{song}, false, io_error(song)},
        {{"-p", protected_song}, false, io_error(protected_song)},
        {{"-s", song}, false, io_error(song)},
        {{"-sf", song}, false, io_error(song)},
        {{"-ss", "-"}, true, io_error("stdin")},
        {{"-sf", "-"}, true, io_error("stdin")},
    };
    for (const fault_case& c : cases) {
        SCOPED_TRACE(::testing::PrintToString(c.args));
        launch how;
        how.args = c.args;
        if (c.stdin_is_song) {
            how.stdin_data = whole;
        }
        how.read_fault_at = fault_at;
        const run_result r = run_framelint_as(how);
        ASSERT_GE(r.err.size(), c.err_ends_with.size()) << r.err;
        EXPECT_EQ(r.err.substr(r.err.size() - c.err_ends_with.size()), c.err_ends_with);
        EXPECT_EQ(r.status, 1);
        if (c.args[0] == "-s") {
            EXPECT_EQ(r.out, as_string(slice(whole, 0, fault_at))) << "the copy up to the error";
        }
        if (c.args[0] == "-sf") {
            const std::string full_repair = run_framelint({"-sf", song}).out;
            EXPECT_LT(r.out.size(), full_repair.size());
            EXPECT_EQ(r.out, full_repair.substr(0, r.out.size()));
        }
    }

    // A clean file before the failing one does not make the run clean.
    launch how;
    how.args = {song, song};
    how.read_fault_at = static_cast<long long>(whole.size()) + fault_at;
    const run_result r = run_framelint_as(how);
    EXPECT_EQ(occurrences(r.out, "BAD_FRAMES          0\n"), 1u) << r.out;
    EXPECT_EQ(r.status, 1);
}

TEST(FileLoop, DevicesAsFiles)
{
    const run_result empty = run_framelint({"/dev/null"});
    EXPECT_EQ(without_cpu_times(empty.out), summary("/dev/null", 0, 0, 0));
    EXPECT_EQ(empty.err, "");
    EXPECT_EQ(empty.status, 0);

    // Zero bytes never pass the weak sieve; the budget is what ends an endless stream.
    const run_result zeros = run_framelint({"-b1000", "/dev/zero"});
    EXPECT_EQ(without_cpu_times(zeros.out), summary("/dev/zero", 0, 0, 1001));
    EXPECT_EQ(zeros.err, "");
    EXPECT_EQ(zeros.status, 0);
}

TEST(FileLoop, HugeDeclaredId3v2TagInASmallFile)
{
    // The tag says 256 MiB minus one; the file ends long before.
    bytes data = {'I', 'D', '3', 3, 0, 0, 0x7F, 0x7F, 0x7F, 0x7F};
    data = data + bytes(1000, 0x20) + repeat(frame(l3_128k), 3);
    const std::string path = write_temp_file(data, "bigtag");
    const auto size = static_cast<long long>(data.size());

    launch how;
    how.limit_memory = true;
    how.args = {path};
    run_result r = run_framelint_as(how);
    EXPECT_EQ(r.err, "Possible ID3v2 frame found, skipping\n");
    EXPECT_EQ(without_cpu_times(r.out), summary(path, 0, 0, size));
    EXPECT_EQ(r.status, 0);

    how.args = {"-"};
    how.stdin_data = data;
    r = run_framelint_as(how);
    EXPECT_EQ(without_cpu_times(r.out), summary("stdin", 0, 0, size));
    EXPECT_EQ(r.status, 0);

    // Plain copy passes the tag bytes through like any others.
    how.args = {"-s", path};
    how.stdin_data.clear();
    r = run_framelint_as(how);
    EXPECT_EQ(r.out, as_string(data));
    EXPECT_EQ(r.status, 0);
    ::unlink(path.c_str());
}

TEST(Limits, OutOfMemoryIsAMessageAndStatusOne)
{
    if (built_with_sanitizer()) {
        GTEST_SKIP() << "the sanitizers need far more address space than the caps tried here";
    }
    // Somewhere between a cap too small to load the program and one it runs in,
    // its own allocations fail. Wherever that is on this machine, every run must
    // end in one of three ways, never in an abort. The sweep starts at 2 MiB: under
    // about 1 MiB the dynamic loader itself may die of a signal before any of the
    // program's code runs (seen at 1024 KiB once the program grew past 780 KB),
    // while from there up to where the program runs it fails cleanly with 127.
    // The loader's death can come on either side of its clean 127 (seen: 127 at
    // 5,312 KiB, then SIGSEGV at 5,376 KiB while ld.so mapped the main thread's
    // TLS, then the program's own "out of memory" at 5,440 KiB): a signal with
    // nothing said is taken for the loader's until the program itself has run
    // (status 0 or 1) at a smaller cap.
    const std::string song = fixture("lame_cbr128.mp3");
    int out_of_memory = 0;
    bool program_ran = false;
    for (std::size_t cap = 2u << 20; cap <= 8u << 20; cap += 32u << 10) {
        launch how;
        how.args = {"-a", song};
        how.address_space = cap;
        const run_result r = run_framelint_as(how);
        SCOPED_TRACE("address space " + std::to_string(cap >> 10) + " KiB: " + r.err);
        if (r.status > 128 && !program_ran && r.out.empty() && r.err.empty()) {
            continue;  // the dynamic loader's own death, before any of the program ran
        }
        if (r.status == 0 || r.status == 1) {
            program_ran = true;
        }
        if (r.status == 1) {
            EXPECT_EQ(r.err, "framelint: out of memory\n");
            ++out_of_memory;
        } else if (r.status != 127) {  // 127: the loader could not even map the program
            EXPECT_EQ(r.status, 0);
            EXPECT_EQ(r.err, "");
        }
    }
    EXPECT_GT(out_of_memory, 0) << "no cap tried made the program itself run out of memory";
}

TEST(StandardInput, SecondDashGoesOnWhereTheFirstStopped)
{
    const bytes f = frame(l3_128k);
    struct split_case {
        std::string budget;
        bytes input;
        std::string first;
        std::string second;
    };
    const std::vector<split_case> cases = {
        // -b alone stops after the first header: the second scan starts inside the
        // first frame's body, four bytes in, and meets the next header 417 bytes later.
        {"-b", repeat(f, 3), summary("stdin", 1, 0, 4, "00:00.02"),
         "\nSomething happened at byte 417. Next expected frame: 4.\n" + summary("stdin", 0, 0, 417)},
        // The budget ends the first scan at the frame boundary after 200000 bytes,
        // well past what one read of the input takes in.
        {"-b200000", repeat(f, 720), summary("stdin", 480, 0, 200160, "00:12.53"),
         summary("stdin", 240, 0, 100080, "00:06.26")},
    };
    for (const split_case& c : cases) {
        for (const bool pipe : {false, true}) {
            SCOPED_TRACE(c.budget + (pipe ? " from a pipe" : " from a file"));
            launch how;
            how.args = {c.budget, "-", "-"};
            how.stdin_data = c.input;
            how.stdin_is_pipe = pipe;
            const run_result r = run_framelint_as(how);
            EXPECT_EQ(without_cpu_times(r.out), c.first + c.second);
            EXPECT_EQ(r.err, "");
            EXPECT_EQ(r.status, 0);
        }
    }
}

TEST(StandardInput, NonBlockingPipeIsWaitedFor)
{
    // A parent may hand over its pipe with O_NONBLOCK set; then every pause of
    // the writer is an EAGAIN, which must not end the stream.
    const bytes song = read_file(fixture("lame_cbr128.mp3"));
    for (const std::string mode : {"-s", "-p"}) {
        SCOPED_TRACE(mode);
        launch how;
        how.args = {mode, "-"};
        how.stdin_data = song;
        how.stdin_is_pipe = true;
        how.stdin_nonblocking = true;
        how.pipe_chunk = 4000;
        how.pipe_pause_ms = 20;
        const run_result r = run_framelint_as(how);
        EXPECT_EQ(r.err, "");
        EXPECT_EQ(r.status, 0);
        if (mode == "-s") {
            EXPECT_EQ(r.out.size(), song.size());
            EXPECT_TRUE(r.out == as_string(song)) << "the copy differs";
        } else {
            EXPECT_NE(r.out.find("GOOD_FRAMES 41\tBAD_FRAMES 0\tLAST_BYTE_CHECKED 17135"), std::string::npos) << r.out;
        }
    }
}

TEST(StandardInput, LeavesASharedFileAtTheFirstByteNotConsumed)
{
    // As in "{ framelint -b -; cat; } < song.mp3": whoever reads standard input
    // next must not lose what framelint read ahead and did not consume.
    const std::string path = write_temp_file(repeat(frame(l3_128k), 720), "shared");
    const int fd = ::open(path.c_str(), O_RDONLY);
    ASSERT_GE(fd, 0);
    struct stop_case {
        std::vector<std::string> args;
        off_t consumed;
    };
    for (const stop_case& c : std::vector<stop_case>{{{"-b", "-"}, 4}, {{"-b200000", "-"}, 200160}}) {
        SCOPED_TRACE(::testing::PrintToString(c.args));
        ASSERT_EQ(::lseek(fd, 0, SEEK_SET), 0);
        launch how;
        how.args = c.args;
        how.stdin_fd = fd;
        EXPECT_EQ(run_framelint_as(how).status, 0);
        EXPECT_EQ(::lseek(fd, 0, SEEK_CUR), c.consumed);
    }
    ::close(fd);
    ::unlink(path.c_str());
}

TEST(CopyModes, NoModeLosesData)
{
    const std::string song = fixture("lame_cbr128.mp3");
    const bytes whole = read_file(song);
    // A tag in the ID3v1 encoding, Latin-1, and one in UTF-8, as taggers write them.
    const bytes tag = id3v1_tag_bytes("Caf\xE9", "Beyonc\xC3\xA9", 3, 12);
    const std::string tagged = write_temp_file(whole + tag, "tagged");
    struct copy_case {
        std::vector<std::string> args;
        bytes written;
    };
    const std::vector<copy_case> cases = {
        // Plain copy copies all of it, wherever the check stops.
        {{"-b", "-s", song}, whole},
        {{"-b500", "-s", song}, whole},
        {{"-v", "-s", song}, whole},
        // Repair writes no frame whose body was never read.
        {{"-sf", "-b", song}, {}},
        // The re-emitted tag keeps its last letters.
        {{"-sf", "-i", tagged}, whole + tag},
    };
    for (const copy_case& c : cases) {
        SCOPED_TRACE(::testing::PrintToString(c.args));
        const run_result r = run_framelint(c.args);
        EXPECT_EQ(r.out.size(), c.written.size());
        EXPECT_TRUE(r.out == as_string(c.written)) << "the output differs";
        EXPECT_EQ(r.status, 0);
    }
    ::unlink(tagged.c_str());
}

TEST(StandardOutput, FullDeviceIsAnErrorAndStopsTheRun)
{
    const std::string song = fixture("lame_cbr128.mp3");
    const std::string full = "framelint: stdout No space left on device\n";
    struct full_case {
        std::vector<std::string> args;
        std::string err;
    };
    const std::vector<full_case> cases = {
        {{song}, full},
        // The second file is never opened, or it would be reported missing.
        {{song, missing}, full},
        {{"-p", song, missing}, full},
        {{"-s", song, missing}, full},
        {{"-sf", "-i", song, missing}, full},
        // Only the CPU-time report is written, at the very end.
        {{missing}, no_such_file(missing) + full},
    };
    for (const full_case& c : cases) {
        SCOPED_TRACE(::testing::PrintToString(c.args));
        launch how;
        how.args = c.args;
        how.stdout_path = "/dev/full";
        const run_result r = run_framelint_as(how);
        EXPECT_EQ(r.err, c.err);
        EXPECT_EQ(r.status, 1);
    }
}

TEST(StandardOutput, ClosedDescriptorIsAnError)
{
    const std::string song = fixture("lame_cbr128.mp3");
    const std::string closed = "framelint: stdout Bad file descriptor\n";
    for (const auto& args : std::vector<std::vector<std::string>>{{song, missing}, {"-"}, {"-s", song}, {"-p", "-"}}) {
        SCOPED_TRACE(::testing::PrintToString(args));
        launch how;
        how.args = args;
        how.stdin_data = read_file(song);
        how.close_stdout = true;
        const run_result r = run_framelint_as(how);
        EXPECT_EQ(r.err, closed);
        EXPECT_EQ(r.status, 1);
    }
}

TEST(NamedPipe, ReportsWhatTheFileReports)
{
    struct pipe_case {
        std::string name;
        bytes data;
        std::vector<std::string> switches;
        long long good_frames;
        std::size_t crc_passes;  // protected frames whose CRC-16 was checked and matched
    };
    // A named pipe cannot seek: unprotected bodies are read through instead of
    // skipped, protected ones read in one block for their CRC check, and neither
    // may be searched as junk. The long streams outgrow one read of the pipe.
    const bytes long_plain = repeat(frame(l3_128k), 720);
    const bytes long_protected = repeat(frame_with_good_crc(l3_128k_crc), 720);
    const std::vector<pipe_case> cases = {
        {"lame_cbr128.mp3", read_file(fixture("lame_cbr128.mp3")), {}, 41, 0},
        {"lame_vbr.mp3", read_file(fixture("lame_vbr.mp3")), {"-p"}, 41, 0},
        {"lame_crc.mp3", read_file(fixture("lame_crc.mp3")), {}, 41, 0},  // not CRC-16/ARC words
        {"tag_both.mp3", read_file(fixture("tag_both.mp3")), {"-i", "-a", "-v"}, 41, 0},
        {"300 KB of frames", long_plain, {}, 720, 0},
        {"300 KB of protected frames", long_protected, {"-p"}, 720, 720},
    };
    for (const pipe_case& c : cases) {
        SCOPED_TRACE(c.name + " " + ::testing::PrintToString(c.switches));
        const std::string path = write_temp_file(c.data, "pipe-twin");
        std::vector<std::string> args = c.switches;
        args.push_back(path);
        const run_result from_file = run_framelint(args);
        ::unlink(path.c_str());

        fifo_feed feed(c.data);
        args.back() = feed.path();
        const run_result from_fifo = run_framelint(args);

        std::string expected = without_cpu_times(from_file.out);
        expected.replace(expected.find(path), path.size(), feed.path());
        EXPECT_EQ(without_cpu_times(from_fifo.out), expected);
        EXPECT_EQ(from_fifo.err, from_file.err);
        EXPECT_EQ(from_file.status, 0);
        EXPECT_EQ(from_fifo.status, 0);
        const bool one_line = c.switches == std::vector<std::string>{"-p"};
        const std::string good = one_line ? "\tGOOD_FRAMES " + std::to_string(c.good_frames) + "\t"
                                          : nv("GOOD_FRAMES", c.good_frames);
        EXPECT_NE(from_fifo.out.find(good), std::string::npos) << from_fifo.out;
        EXPECT_EQ(occurrences(from_fifo.out, "crc16 check passed.\n"), c.crc_passes);
    }

    // Cut in the middle of the last frame: the pipe ends where the file would.
    fifo_feed feed(slice(long_plain, 0, long_plain.size() - 200));
    const run_result cut = run_framelint({feed.path()});
    EXPECT_EQ(without_cpu_times(cut.out), summary(feed.path(), 720, 1, 300040, "00:18.80"));
    EXPECT_EQ(cut.err, "\nThe last frame was cut short by the end of the stream. Expected it to end at offset "
                       "0x494d0 (BYTE 300240).");
    EXPECT_EQ(cut.status, 255);
}

TEST(ReadBoundaries, TagAndCopyWhereverTheReadsBreakTheStream)
{
    // The ID3v1 tag is whatever the last 128 bytes consumed were, and a plain copy
    // is every byte consumed, however the input arrived: whole blocks from a file,
    // pipe-sized pieces, or a few bytes at a time. The tag is put across the
    // places where the input's reads end.
    const bytes tag = id3v1_tag_bytes("Tail Title", "Tail Artist", 9, 17);
    const std::string tag_report = "\n" + nv("MP3_TAG", 1) + nv("TITLE", "Tail Title") + nv("ARTIST", "Tail Artist") +
                                   nv("ALBUM", "") + nv("YEAR", "") + nv("COMMENT", "") + nv("GENRE", 17) +
                                   nv("TRACK", 9) + nv("ID3.11", 1);
    struct way {
        const char* name;
        bool fifo;
        bool stdin_file;
        bool pipe;
        std::size_t chunk;
    };
    const std::vector<way> ways = {
        {"file", false, false, false, 0},
        {"named pipe", true, false, false, 0},
        {"standard input from a file", false, true, false, 0},
        {"standard input from a pipe", false, false, true, 0},
        {"standard input from a pipe, 7 bytes at a time", false, false, true, 7},
    };
    for (const std::size_t tag_at : {65536 - 60, 131072 - 127, 131072 - 50, 131072 - 1, 131072}) {
        const bytes audio = repeat(frame(l3_128k), static_cast<int>((tag_at - 10) / 417));
        const bytes data = id3v2_tag(static_cast<std::uint32_t>(tag_at - 10 - audio.size())) + audio + tag;
        ASSERT_EQ(data.size(), tag_at + 128);
        const std::string path = write_temp_file(data, "boundary");
        for (const way& w : ways) {
            SCOPED_TRACE(std::string(w.name) + ", tag at byte " + std::to_string(tag_at));
            auto run = [&](std::vector<std::string> args) {
                launch how;
                std::unique_ptr<fifo_feed> feed;
                if (w.fifo) {
                    feed = std::make_unique<fifo_feed>(data);
                    args.push_back(feed->path());
                } else if (w.stdin_file || w.pipe) {
                    args.emplace_back("-");
                    how.stdin_data = data;
                    how.stdin_is_pipe = w.pipe;
                    how.pipe_chunk = w.chunk;
                } else {
                    args.push_back(path);
                }
                how.args = args;
                return run_framelint_as(how);
            };
            const run_result report = run({"-i", "-a", "-v"});
            const std::string out = without_cpu_times(report.out);
            EXPECT_EQ(report_value(out, "BAD_FRAMES"), "0");
            EXPECT_EQ(report_value(out, "LAST_BYTE_CHECKED"), std::to_string(data.size()));
            ASSERT_GE(out.size(), tag_report.size());
            EXPECT_EQ(out.substr(out.size() - tag_report.size()), tag_report);
            EXPECT_EQ(report.status, 0);

            const run_result copy = run({"-s"});
            EXPECT_TRUE(copy.out == as_string(data)) << "bytes written: " << copy.out.size();
            const run_result repair = run({"-sf", "-i"});
            EXPECT_TRUE(repair.out == as_string(audio + tag)) << "bytes written: " << repair.out.size();
        }
        ::unlink(path.c_str());
    }
}

TEST(Reports, FixtureSummaryByteForByte)
{
    // lame -V 2: 41 frames of 1152 samples at 44100 Hz (1.071 s), the Xing frame
    // included; bit rates from 32 to 256 kbit/s, 3672 in all.
    const std::string song = fixture("lame_vbr.mp3");

    const run_result lines = run_framelint({song});
    EXPECT_EQ(without_cpu_times(lines.out), "\n" + nv("FILE_NAME", song) + nv("GOOD_FRAMES", 41) +
                                                 nv("BAD_FRAMES", 0) + nv("LAST_BYTE_CHECKED", 11976) +
                                                 nv("VBR_HIGH", 256) + nv("VBR_LOW", 32) + nv("VBR_AVERAGE", 89) +
                                                 nv("SONG_LENGTH", "00:01.07"));
    EXPECT_TRUE(ends_with_cpu_times(lines.out)) << lines.out;
    EXPECT_EQ(lines.err, "");
    EXPECT_EQ(lines.status, 0);

    const run_result one = run_framelint({"-p", song});
    EXPECT_EQ(without_cpu_times(one.out), "FILE_NAME " + song +
                                              "\tGOOD_FRAMES 41\tBAD_FRAMES 0\tLAST_BYTE_CHECKED 11976"
                                              "\tVBR_HIGH 256\tVBR_LOW 32\tVBR_AVERAGE 89"
                                              "\tSONG_LENGTH         00:01.07\n");
    EXPECT_TRUE(ends_with_cpu_times(one.out)) << one.out;
    EXPECT_EQ(one.status, 0);

    // Two files in one line each, under standard input's label for "-".
    launch how;
    how.args = {"-p", song, "-"};
    how.stdin_data = read_file(fixture("lame_cbr128.mp3"));
    const run_result two = run_framelint_as(how);
    EXPECT_EQ(without_cpu_times(two.out),
              without_cpu_times(one.out) +
                  "FILE_NAME stdin\tGOOD_FRAMES 41\tBAD_FRAMES 0\tLAST_BYTE_CHECKED 17135"
                  "\tSONG_LENGTH         00:01.07\n");
}

}  // namespace
}  // namespace framelint::test
