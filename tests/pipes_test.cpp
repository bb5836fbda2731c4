// The program in a pipeline: several runs writing into one pipe, a reader that
// goes away early, and a file that changes while it is read or copied.

#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <regex>
#include <sstream>
#include <thread>

#include "io/byte_source.hpp"
#include "run_support.hpp"

namespace framelint::test {
namespace {

// Starts framelint with args and standard output on out_fd (standard input on
// in_fd, else /dev/null; standard error on err_fd, else /dev/null), its files
// read or mapped as input_way says (FRAMELINT_TEST_INPUT; nullptr: as timed);
// returns its pid.
pid_t spawn(const std::vector<std::string>& args, int out_fd, bool ignore_sigpipe = false, int in_fd = -1,
            int err_fd = -1, const char* input_way = nullptr)
{
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::dup2(out_fd, 1);
        const int null = ::open("/dev/null", O_RDWR);
        ::dup2(in_fd >= 0 ? in_fd : null, 0);
        ::dup2(err_fd >= 0 ? err_fd : null, 2);
        if (input_way != nullptr) {
            ::setenv("FRAMELINT_TEST_INPUT", input_way, 1);
        }
        for (int fd = 3; fd < 1024; ++fd) {
            ::close(fd);  // above all the pipe's read end: the child must not be its reader
        }
        if (ignore_sigpipe) {
            ::signal(SIGPIPE, SIG_IGN);  // survives exec, as it does for a shell's children
        }
        exec_framelint(args);
    }
    return pid;
}

// Waits at most a while; a process that hangs is killed and reported as -1.
int wait_status(pid_t pid, std::chrono::seconds limit = std::chrono::seconds(20))
{
    const auto deadline = std::chrono::steady_clock::now() + limit;
    int status = 0;
    while (::waitpid(pid, &status, WNOHANG) == 0) {
        if (std::chrono::steady_clock::now() > deadline) {
            ::kill(pid, SIGKILL);
            ::waitpid(pid, &status, 0);
            return -1;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

std::string drain(int fd)
{
    std::string all;
    char chunk[65536];
    for (;;) {
        const ssize_t got = ::read(fd, chunk, sizeof chunk);
        if (got <= 0) {
            return all;
        }
        all.append(chunk, static_cast<std::size_t>(got));
    }
}

TEST(Pipes, ParallelRunsIntoOnePipeNeverCutALine)
{
    const std::vector<std::string> names = {"lame_cbr128.mp3", "lame_vbr.mp3", "tag_both.mp3",
                                            "twolame_l2_192.mp2", "lame_mpeg25_8k.mp3"};
    std::vector<std::string> args = {"-p"};
    for (int copy = 0; copy < 40; ++copy) {
        for (const std::string& name : names) {
            args.push_back(fixture(name));
        }
    }
    int fds[2];
    ASSERT_EQ(::pipe(fds), 0);
    constexpr int runs = 6;
    std::vector<pid_t> pids;
    for (int i = 0; i < runs; ++i) {
        pids.push_back(spawn(args, fds[1]));
    }
    ::close(fds[1]);
    const std::string all = drain(fds[0]);
    ::close(fds[0]);
    for (pid_t pid : pids) {
        EXPECT_EQ(wait_status(pid), 0);
    }

    const std::regex summary(R"(FILE_NAME \S+\tGOOD_FRAMES \d+\tBAD_FRAMES 0\tLAST_BYTE_CHECKED \d+)"
                             R"((\tVBR_HIGH \d+\tVBR_LOW \d+\tVBR_AVERAGE \d+)?\tSONG_LENGTH {9}\d\d:\d\d\.\d\d)");
    const std::regex cpu_time(R"((USER|SYS)_TIME {11,16}\d+\.\d\ds)");
    std::istringstream lines(all);
    std::size_t summaries = 0;
    for (std::string line; std::getline(lines, line);) {
        if (line.empty() || std::regex_match(line, cpu_time)) {
            continue;
        }
        ASSERT_TRUE(std::regex_match(line, summary)) << "a line cut by another run: " << line;
        ++summaries;
    }
    EXPECT_EQ(summaries, runs * (args.size() - 1));
}

TEST(Pipes, ReaderThatLeavesEarlyEndsTheCopy)
{
    const bytes big = repeat(read_file(fixture("lame_cbr128.mp3")), 200);  // 3.4 MB, far beyond a pipe's buffer
    const std::string path = write_temp_file(big, "big");
    for (bool ignore_sigpipe : {false, true}) {
        SCOPED_TRACE(ignore_sigpipe ? "SIGPIPE ignored" : "SIGPIPE default");
        int fds[2];
        ASSERT_EQ(::pipe(fds), 0);
        const pid_t pid = spawn({"-s", path}, fds[1], ignore_sigpipe);
        ::close(fds[1]);
        char first[100];
        std::size_t got = 0;
        while (got < sizeof first) {
            const ssize_t n = ::read(fds[0], first + got, sizeof first - got);
            ASSERT_GT(n, 0);
            got += static_cast<std::size_t>(n);
        }
        ::close(fds[0]);  // like head -c 100
        const int status = wait_status(pid);
        EXPECT_EQ(std::memcmp(first, big.data(), sizeof first), 0);
        // Killed by SIGPIPE like cat, or, with the signal ignored, a write error: status 1.
        EXPECT_EQ(status, ignore_sigpipe ? 1 : 128 + SIGPIPE);
    }
    ::unlink(path.c_str());
}

// A child that writes piece into fd over and over until the reader goes away.
pid_t endless_writer(int fd, const bytes& piece)
{
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::signal(SIGPIPE, SIG_DFL);
        for (;;) {
            if (::write(fd, piece.data(), piece.size()) < 0) {
                ::_exit(0);
            }
        }
    }
    return pid;
}

TEST(Pipes, BrokenOutputEndsACopyOfAnEndlessStream)
{
    // With SIGPIPE ignored the closed pipe or the full disk is only a write
    // error; the copy must stop there and not read on for ever.
    const bytes frames = repeat(frame(l3_128k), 64);
    for (const std::string mode : {"-s", "-sf"}) {
        for (const bool to_full_disk : {false, true}) {
            SCOPED_TRACE(mode + (to_full_disk ? " into /dev/full" : " into a pipe closed after 10 bytes"));
            int in[2];
            ASSERT_EQ(::pipe(in), 0);
            const pid_t writer = endless_writer(in[1], frames);
            ::close(in[1]);
            int out[2] = {-1, -1};
            if (to_full_disk) {
                out[1] = ::open("/dev/full", O_WRONLY);
            } else {
                ASSERT_EQ(::pipe(out), 0);
            }
            const pid_t pid = spawn({mode, "-"}, out[1], true, in[0]);
            ::close(in[0]);
            ::close(out[1]);
            if (!to_full_disk) {
                char first[10];
                std::size_t got = 0;
                while (got < sizeof first) {
                    const ssize_t n = ::read(out[0], first + got, sizeof first - got);
                    ASSERT_GT(n, 0);
                    got += static_cast<std::size_t>(n);
                }
                ::close(out[0]);  // like head -c 10
            }
            EXPECT_EQ(wait_status(pid, std::chrono::seconds(10)), 1);
            ::kill(writer, SIGKILL);
            ::waitpid(writer, nullptr, 0);
        }
    }
}

TEST(Pipes, PlainCopyOfAMappedFileIntoAPipeIsTheFile)
{
    // Large enough to be mapped: the copy goes into the pipe by splicing, from
    // a named file and from standard input, which starts where it stands.
    const bytes big = repeat(read_file(fixture("tag_both.mp3")) + read_file(fixture("lame_crc.mp3")), 20);
    const std::string path = write_temp_file(big, "spliced");
    for (const bool from_stdin : {false, true}) {
        SCOPED_TRACE(from_stdin ? "stdin" : "named file");
        int fds[2];
        ASSERT_EQ(::pipe(fds), 0);
        const int in = ::open(path.c_str(), O_RDONLY);
        const off_t start = from_stdin ? 1000 : 0;
        ASSERT_EQ(::lseek(in, start, SEEK_SET), start);
        const pid_t pid = from_stdin ? spawn({"-s", "-"}, fds[1], false, in) : spawn({"-s", path}, fds[1]);
        ::close(fds[1]);
        const std::string copy = drain(fds[0]);
        ::close(fds[0]);
        EXPECT_EQ(wait_status(pid), 255);  // the stream starts inside a tag or frame, or has junk
        EXPECT_TRUE(copy == std::string(big.begin() + start, big.end())) << copy.size() << " bytes copied";
        if (from_stdin) {
            EXPECT_EQ(::lseek(in, 0, SEEK_CUR), static_cast<off_t>(big.size()));  // all of it consumed
        }
        ::close(in);
    }
    ::unlink(path.c_str());
}

TEST(Pipes, BrokenOutputStopsTheReading)
{
    // The input is a shared file, so where the program left it shows how far it read.
    const bytes big = repeat(read_file(fixture("lame_cbr128.mp3")), 200);  // 3.4 MB
    const std::string path = write_temp_file(big, "big");
    const int in = ::open(path.c_str(), O_RDONLY);
    ASSERT_GE(in, 0);
    const int full = ::open("/dev/full", O_WRONLY);
    for (const std::string mode : {"-s", "-sf", "-sf -i"}) {
        SCOPED_TRACE(mode);
        ASSERT_EQ(::lseek(in, 0, SEEK_SET), 0);
        std::vector<std::string> args = {mode.substr(0, 3)};
        if (mode.size() > 3) {
            args.push_back("-i");
        }
        args.push_back("-");
        EXPECT_EQ(wait_status(spawn(args, full, true, in)), 1);
        // The first write goes out when the first window or block is done with.
        EXPECT_LT(::lseek(in, 0, SEEK_CUR), static_cast<off_t>(io::byte_source::window_size + 512 * 1024));
    }
    ::close(full);
    ::close(in);
    ::unlink(path.c_str());
}

// Reads exactly n bytes from fd (fewer only when it ends first).
std::string read_exactly(int fd, std::size_t n)
{
    std::string got(n, '\0');
    std::size_t have = 0;
    while (have < n) {
        const ssize_t put = ::read(fd, got.data() + have, n - have);
        if (put <= 0) {
            break;
        }
        have += static_cast<std::size_t>(put);
    }
    got.resize(have);
    return got;
}

// The program blocks on the pipe of its standard output; once the test has
// taken the first 100 KB out of it, the program cannot have read more than a few
// hundred KB of its first file, which is then cut at 1 MB. Whatever way the file
// is taken in, that is a read error, what was copied is the file's first bytes,
// and the next file is checked (and copied) whole.
TEST(Pipes, FileCutWhileCheckedIsAReadErrorAndTheNextFileIsChecked)
{
    const bytes song = read_file(fixture("lame_cbr128.mp3"));
    const bytes big = repeat(song, 300);  // 5.1 MB of whole copies: a cut between two is a clean end
    const std::int64_t cut = 60 * static_cast<std::int64_t>(song.size());
    const std::string next = fixture("lame_vbr.mp3");
    const bytes before_cut(big.begin(), big.begin() + cut);
    const std::string before_cut_path = write_temp_file(before_cut, "before_cut");
    struct cut_case {
        std::vector<std::string> switches;
        const char* way;
    };
    const cut_case cases[] = {
        {{"-s"}, "read"}, {{"-s"}, "map"}, {{"-sf"}, "read"}, {{"-vv", "-a"}, "read"}, {{"-vv", "-a"}, "map"},
    };
    for (const cut_case& c : cases) {
        SCOPED_TRACE(c.switches[0] + " " + c.way);
        const std::string path = write_temp_file(big, "cut");
        const std::string err_path = write_temp_file({}, "err");
        const int err = ::open(err_path.c_str(), O_WRONLY);
        int fds[2];
        ASSERT_EQ(::pipe(fds), 0);
        std::vector<std::string> args = c.switches;
        args.push_back(path);
        args.push_back(next);
        const pid_t pid = spawn(args, fds[1], false, -1, err, c.way);
        ::close(fds[1]);
        ::close(err);
        std::string out = read_exactly(fds[0], 100000);
        ASSERT_EQ(::truncate(path.c_str(), static_cast<off_t>(cut)), 0);
        out += drain(fds[0]);
        ::close(fds[0]);
        EXPECT_EQ(wait_status(pid), 1);
        const std::string err_text = as_string(read_file(err_path));
        EXPECT_NE(err_text.find("framelint: " + path + " Input/output error"), std::string::npos) << err_text;
        EXPECT_EQ(err_text.find("stdout"), std::string::npos) << err_text;
        if (c.switches[0] == "-s") {
            EXPECT_TRUE(out == as_string(before_cut) + as_string(read_file(next))) << out.size() << " bytes copied";
        } else if (c.switches[0] == "-sf") {
            // What the repair makes of the file as it was up to the cut, then of the next file.
            const run_result whole = run_framelint({"-sf", before_cut_path, next});
            EXPECT_TRUE(out == whole.out) << out.size() << " bytes copied, " << whole.out.size() << " expected";
        } else {
            EXPECT_EQ(report_value(out, "LAST_BYTE_CHECKED"), std::to_string(cut));
            EXPECT_NE(out.find("FILE_NAME           " + next + "\n"), std::string::npos);
        }
        ::unlink(path.c_str());
        ::unlink(err_path.c_str());
    }
    ::unlink(before_cut_path.c_str());
}

// A copy into a pipe is the bytes that were checked, even when the file is
// rewritten or cut after the program has finished but before the reader has
// taken the copy out of the pipe.
TEST(Pipes, CopyInAPipeStaysWhatWasCheckedWhenTheFileChangesAfterwards)
{
    const bytes big = repeat(read_file(fixture("lame_cbr128.mp3")), 30);  // 514 KB: the pipe holds it all
    for (const bool rewrite : {true, false}) {
        SCOPED_TRACE(rewrite ? "rewritten in place" : "cut");
        const std::string path = write_temp_file(big, "changes");
        int fds[2];
        ASSERT_EQ(::pipe(fds), 0);
        ASSERT_GE(::fcntl(fds[1], F_SETPIPE_SZ, 1 << 20), static_cast<int>(big.size()));
        const pid_t pid = spawn({"-s", path}, fds[1], false, -1, -1, "map");
        ::close(fds[1]);
        EXPECT_EQ(wait_status(pid), 0);
        if (rewrite) {
            const int fd = ::open(path.c_str(), O_WRONLY);
            const bytes other(big.size(), 0x55);
            ASSERT_EQ(::write(fd, other.data(), other.size()), static_cast<ssize_t>(other.size()));
            ::close(fd);
        } else {
            ASSERT_EQ(::truncate(path.c_str(), 1000), 0);
        }
        const std::string copy = drain(fds[0]);
        ::close(fds[0]);
        EXPECT_TRUE(copy == as_string(big)) << copy.size() << " bytes copied";
        ::unlink(path.c_str());
    }
}

TEST(Pipes, FileThatShrinksWhileReadGivesASaneReport)
{
    const bytes big = repeat(read_file(fixture("lame_cbr128.mp3")), 1500);  // about 25 MB
    const std::string path = write_temp_file(big, "shrinking");
    const std::string report = write_temp_file({}, "report");
    const int out = ::open(report.c_str(), O_WRONLY | O_TRUNC);
    // -vv makes the scan slow enough for the file to change under it.
    const pid_t pid = spawn({"-vv", "-a", "-p", path}, out);
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    ASSERT_EQ(::truncate(path.c_str(), 100000), 0);
    const int status = wait_status(pid);
    ::close(out);
    // 1 when the cut was seen: it is a read error (see Mapped.* for the details).
    EXPECT_TRUE(status == 0 || status == 255 || status == 1) << status;
    const bytes text = read_file(report);
    const std::string all(text.begin(), text.end());
    std::smatch m;
    ASSERT_TRUE(std::regex_search(all, m, std::regex(R"(LAST_BYTE_CHECKED (\d+))")));
    EXPECT_LE(std::stoll(m[1]), static_cast<long long>(big.size()));
    ::unlink(path.c_str());
    ::unlink(report.c_str());
}

}  // namespace
}  // namespace framelint::test
