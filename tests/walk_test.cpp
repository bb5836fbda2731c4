// -r: which files below a directory are checked, in what order, and how a
// walk gets past links, loops and directories it cannot read.

#include <gtest/gtest.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <string>
#include <vector>

#include "cli/tree_walk.hpp"
#include "run_support.hpp"
#include "support.hpp"

namespace framelint::test {
namespace {

// The FILE_NAME of every -p line, in order.
std::vector<std::string> checked_files(const std::string& out)
{
    std::vector<std::string> names;
    std::size_t at = 0;
    while ((at = out.find("FILE_NAME ", at)) != std::string::npos) {
        at += 10;
        names.push_back(out.substr(at, out.find('\t', at) - at));
    }
    return names;
}

void write_stream(const std::string& path)
{
    const bytes f = frame(l3_128k);
    const std::string made = write_temp_file(f + f);
    ASSERT_EQ(::rename(made.c_str(), path.c_str()), 0) << path;
}

TEST(Walk, AudioFileNamesInAnyCase)
{
    for (const char* name : {"a.mp3", "B.MP2", "c.Mp1", "d.mpa", "e.MPGA", ".mp3", "x.y.mp3"}) {
        EXPECT_TRUE(cli::is_audio_file_name(name)) << name;
    }
    for (const char* name : {"a.mp4", "mp3", "a.mp3.part", "a.mpg", "a_mp3", "a.mpgaa", ""}) {
        EXPECT_FALSE(cli::is_audio_file_name(name)) << name;
    }
}

TEST(Walk, SortedDepthFirstWithoutFollowingLinksToDirectories)
{
    temp_dir dir;
    const std::string top = dir.file("top");
    ASSERT_EQ(::mkdir(top.c_str(), 0755), 0);
    for (const char* sub : {"/sub", "/sub/deeper", "/dir.mp3", "/empty"}) {
        ASSERT_EQ(::mkdir((top + sub).c_str(), 0755), 0);
    }
    for (const char* file : {"/a.mp3", "/B.MP2", "/c.txt", "/d.Mpga", "/sub/e.mpa", "/sub/deeper/f.mp1",
                             "/dir.mp3/g.mp3"}) {
        write_stream(top + file);
    }
    ASSERT_EQ(::symlink("..", (top + "/sub/loop").c_str()), 0);
    ASSERT_EQ(::symlink("sub", (top + "/sub_link.mp3").c_str()), 0);
    ASSERT_EQ(::symlink("a.mp3", (top + "/link_file.mp3").c_str()), 0);
    ASSERT_EQ(::symlink("nowhere", (top + "/broken.mp3").c_str()), 0);
    ASSERT_EQ(::mkfifo((top + "/pipe.mp3").c_str(), 0644), 0) << "a fifo would hang the walk if opened";

    const std::vector<std::string> expected = {
        top + "/B.MP2",        top + "/a.mp3",      top + "/d.Mpga",
        top + "/dir.mp3/g.mp3", top + "/link_file.mp3", top + "/sub/deeper/f.mp1",
        top + "/sub/e.mpa",
    };
    for (const std::string& named : {top, top + "/"}) {
        for (const char* option : {"-r", "--recursive"}) {
            const run_result r = run_framelint({option, "-p", named});
            EXPECT_EQ(checked_files(r.out), expected) << option << " " << named;
            EXPECT_EQ(r.err, "");
            EXPECT_EQ(r.status, 0);
        }
    }

    // A file named directly is checked whatever its name; without -r a directory
    // is read as a file, as it always was.
    const run_result named = run_framelint({"-r", "-p", top + "/c.txt", top + "/empty"});
    EXPECT_EQ(checked_files(named.out), std::vector<std::string>{top + "/c.txt"});
    EXPECT_EQ(named.err, "");
    const run_result plain = run_framelint({"-p", top});
    EXPECT_EQ(plain.err, "framelint: " + top + " Is a directory\n");
    EXPECT_EQ(checked_files(plain.out), std::vector<std::string>{top});
}

TEST(Walk, UnreadableDirectoryIsReportedAndTheWalkGoesOn)
{
    if (::geteuid() == 0) {
        GTEST_SKIP() << "root reads a directory whatever its mode bits say";
    }
    temp_dir dir;
    const std::string top = dir.file("top");
    ASSERT_EQ(::mkdir(top.c_str(), 0755), 0);
    ASSERT_EQ(::mkdir((top + "/a").c_str(), 0755), 0);
    ASSERT_EQ(::mkdir((top + "/b").c_str(), 0755), 0);
    write_stream(top + "/a/x.mp3");
    write_stream(top + "/b/y.mp3");
    ASSERT_EQ(::chmod((top + "/a").c_str(), 0), 0);
    const run_result r = run_framelint({"-r", "-p", top});
    EXPECT_EQ(r.err, "framelint: " + top + "/a Permission denied\n");
    EXPECT_EQ(checked_files(r.out), std::vector<std::string>{top + "/b/y.mp3"});
    EXPECT_EQ(r.status, 1) << "the files in the unreadable directory went unchecked";
}

TEST(Walk, TreeDeeperThanAPathCanNameIsWalkedWhole)
{
    temp_dir dir;
    constexpr int depth = 5000;
    const std::vector<int> with_file = {1, 2, 1000, 2500, 4000, depth - 1, depth};
    const bytes f = frame(l3_128k);
    const bytes stream = f + f;
    // Made, and taken down, by descriptors: the deepest paths are far longer than
    // PATH_MAX. One descriptor per level, as the walk itself holds.
    struct rlimit limit {};
    ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &limit), 0);
    if (limit.rlim_max < depth + 100) {
        GTEST_SKIP() << "the system allows too few descriptors";
    }
    limit.rlim_cur = limit.rlim_max;
    ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &limit), 0);
    std::vector<int> levels = {::open(dir.path().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC)};
    const auto has_file = [&](int d) { return std::find(with_file.begin(), with_file.end(), d) != with_file.end(); };
    for (int d = 1; d <= depth; ++d) {
        ASSERT_EQ(::mkdirat(levels.back(), "d", 0755), 0);
        levels.push_back(::openat(levels.back(), "d", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        ASSERT_GE(levels.back(), 0);
        if (has_file(d)) {
            const int fd = ::openat(levels.back(), "song.mp3", O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
            ASSERT_EQ(::write(fd, stream.data(), stream.size()), static_cast<ssize_t>(stream.size()));
            ::close(fd);
        }
    }
    const run_result r = run_framelint({"-r", "-p", dir.path()});
    for (int d = depth; d >= 1; --d) {
        if (has_file(d)) {
            ::unlinkat(levels[static_cast<std::size_t>(d)], "song.mp3", 0);
        }
        ::close(levels[static_cast<std::size_t>(d)]);
        ::unlinkat(levels[static_cast<std::size_t>(d) - 1], "d", AT_REMOVEDIR);
    }
    ::close(levels[0]);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");
    // "d" sorts before "song.mp3": the deepest file comes first.
    const std::vector<std::string> names = checked_files(r.out);
    ASSERT_EQ(names.size(), with_file.size());
    for (std::size_t i = 0; i < names.size(); ++i) {
        const auto d = static_cast<std::size_t>(with_file[with_file.size() - 1 - i]);
        EXPECT_EQ(names[i].size(), dir.path().size() + 2 * d + 9) << i;
    }
}

// Whatever framelint writes to fd, until it ends or time is up (then the program
// is killed: a hang shows as what it wrote so far and its status).
std::string drain_until(int fd, pid_t pid, std::chrono::seconds limit)
{
    const auto deadline = std::chrono::steady_clock::now() + limit;
    std::string all;
    char chunk[65536];
    for (;;) {
        pollfd ready{fd, POLLIN, 0};
        if (::poll(&ready, 1, 100) == 0) {
            if (std::chrono::steady_clock::now() > deadline) {
                ::kill(pid, SIGKILL);
            }
            continue;
        }
        const ssize_t got = ::read(fd, chunk, sizeof chunk);
        if (got <= 0) {
            return all;
        }
        all.append(chunk, static_cast<std::size_t>(got));
    }
}

// Entries swapped after the walk listed them, while it copies the first file into
// a pipe it is blocked on: a FIFO and a link where files were, a link to a
// directory where a directory was. None is opened for reading or followed; each
// is reported, and the walk goes on to the last file.
TEST(Walk, EntriesSwappedAfterTheListingAreNeitherWaitedForNorFollowed)
{
    temp_dir dir;
    const std::string top = dir.file("top");
    const std::string elsewhere = dir.file("elsewhere");
    for (const std::string& d : {top, top + "/sub", elsewhere}) {
        ASSERT_EQ(::mkdir(d.c_str(), 0755), 0);
    }
    const bytes song = read_file(fixture("lame_cbr128.mp3"));
    const bytes first = repeat(song, 20);  // far beyond what the pipe holds
    for (const char* name : {"/b.mp3", "/c.mp3", "/sub/s.mp3"}) {
        write_stream(top + name);
    }
    write_stream(elsewhere + "/other.mp3");
    const std::string a = write_temp_file(first);
    ASSERT_EQ(::rename(a.c_str(), (top + "/a.mp3").c_str()), 0);
    const std::string z = write_temp_file(song);
    ASSERT_EQ(::rename(z.c_str(), (top + "/z.mp3").c_str()), 0);

    int out[2];
    ASSERT_EQ(::pipe(out), 0);
    const std::string err_path = write_temp_file({}, "err");
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::dup2(out[1], 1);
        ::dup2(::open(err_path.c_str(), O_WRONLY), 2);
        ::close(out[0]);
        exec_framelint({"-r", "-s", top});
    }
    ::close(out[1]);
    char one = 0;
    ASSERT_EQ(::read(out[0], &one, 1), 1);  // a.mp3 is being copied: top has been listed
    ASSERT_EQ(::unlink((top + "/b.mp3").c_str()), 0);
    ASSERT_EQ(::mkfifo((top + "/b.mp3").c_str(), 0644), 0);
    ASSERT_EQ(::unlink((top + "/c.mp3").c_str()), 0);
    ASSERT_EQ(::symlink((elsewhere + "/other.mp3").c_str(), (top + "/c.mp3").c_str()), 0);
    ASSERT_EQ(::rename((top + "/sub").c_str(), dir.file("old_sub").c_str()), 0);
    ASSERT_EQ(::symlink(elsewhere.c_str(), (top + "/sub").c_str()), 0);
    const std::string copy = std::string(1, one) + drain_until(out[0], pid, std::chrono::seconds(20));
    ::close(out[0]);
    int status = 0;
    ::waitpid(pid, &status, 0);
    ASSERT_TRUE(WIFEXITED(status)) << "killed: the walk hung";
    EXPECT_EQ(WEXITSTATUS(status), 1);
    EXPECT_TRUE(copy == as_string(first) + as_string(song)) << copy.size() << " bytes copied";
    EXPECT_EQ(as_string(read_file(err_path)), "framelint: " + top + "/b.mp3 Not a regular file\n" +
                                                  "framelint: " + top + "/c.mp3 Too many levels of symbolic links\n" +
                                                  "framelint: " + top + "/sub Not a directory\n");
    ::unlink(err_path.c_str());
}

// With --jobs the walk lists and the threads that check open: a file is opened
// after its directory has been walked, and maybe moved. It is opened in the
// directory that was listed, as the walk would have opened it then: an entry
// swapped in its place since is reported as the walk reports it, not followed
// nor waited for.
TEST(Walk, FilesListedForLaterAreOpenedInTheDirectoryThatWasListed)
{
    temp_dir dir;
    const std::string top = dir.file("top");
    const std::string elsewhere = dir.file("elsewhere");
    for (const std::string& d : {top, top + "/sub", elsewhere}) {
        ASSERT_EQ(::mkdir(d.c_str(), 0755), 0);
    }
    for (const char* name : {"/a.mp3", "/b.mp3", "/c.mp3", "/d.mp3", "/e.mp3", "/sub/s.mp3"}) {
        write_stream(top + name);
    }
    write_stream(elsewhere + "/other.mp3");
    ASSERT_EQ(::symlink("a.mp3", (top + "/link.mp3").c_str()), 0);

    std::vector<cli::listed_file> listed;
    std::vector<std::string> skipped;
    const bool went_on = cli::walk_tree_unopened(
        top, [&](cli::listed_file&& f) { listed.push_back(std::move(f)); return true; },
        [&](const std::string& path, std::string_view why) { skipped.push_back(path + " " + std::string(why)); });
    EXPECT_TRUE(went_on);
    EXPECT_EQ(skipped, std::vector<std::string>{});
    std::vector<std::string> paths;
    for (const cli::listed_file& f : listed) {
        paths.push_back(f.path);
    }
    ASSERT_EQ(paths, (std::vector<std::string>{top + "/a.mp3", top + "/b.mp3", top + "/c.mp3", top + "/d.mp3",
                                               top + "/e.mp3", top + "/link.mp3", top + "/sub/s.mp3"}));

    // The whole tree moves away, and entries change in it after the listing.
    const std::string moved = dir.file("moved");
    ASSERT_EQ(::rename(top.c_str(), moved.c_str()), 0);
    ASSERT_EQ(::unlink((moved + "/b.mp3").c_str()), 0);
    ASSERT_EQ(::mkfifo((moved + "/b.mp3").c_str(), 0644), 0);
    ASSERT_EQ(::unlink((moved + "/c.mp3").c_str()), 0);
    ASSERT_EQ(::symlink((elsewhere + "/other.mp3").c_str(), (moved + "/c.mp3").c_str()), 0);
    ASSERT_EQ(::unlink((moved + "/d.mp3").c_str()), 0);
    ASSERT_EQ(::unlink((moved + "/e.mp3").c_str()), 0);
    ASSERT_EQ(::mkdir((moved + "/e.mp3").c_str(), 0755), 0);

    const std::int64_t stream_size = static_cast<std::int64_t>(read_file(moved + "/a.mp3").size());
    const std::vector<std::pair<std::string_view, std::int64_t>> expected = {
        {"", stream_size},
        {"Not a regular file", 0},
        {"Too many levels of symbolic links", 0},
        {"No such file or directory", 0},
        {"Is a directory", 0},
        {"", stream_size},  // the link the listing showed is followed
        {"", stream_size},
    };
    for (std::size_t i = 0; i < listed.size(); ++i) {
        SCOPED_TRACE(listed[i].path);
        const cli::opened_entry opened = cli::open_listed_file(listed[i]);
        EXPECT_EQ(opened.why, expected[i].first);
        EXPECT_EQ(opened.fd >= 0, expected[i].first.empty());
        if (opened.fd >= 0) {
            EXPECT_EQ(opened.size, expected[i].second);
            ::close(opened.fd);
        }
    }
}

TEST(Walk, MacOsMetadataBesideASongIsSkippedAndCounted)
{
    temp_dir dir;
    const std::string top = dir.file("copied_from_a_mac");
    ASSERT_EQ(::mkdir(top.c_str(), 0755), 0);
    write_stream(top + "/song.mp3");
    bytes apple_double{0x00, 0x05, 0x16, 0x07, 0x00, 0x02, 0x00, 0x00};
    apple_double.resize(4096, 0);
    const std::string made = write_temp_file(apple_double);
    const std::string metadata = top + "/._song.mp3";
    ASSERT_EQ(::rename(made.c_str(), metadata.c_str()), 0);
    // Zeros under a "._" name are no such file: checked, and damaged.
    const std::string zeros = write_temp_file(bytes(4096, 0));
    ASSERT_EQ(::rename(zeros.c_str(), (top + "/._zeros.mp3").c_str()), 0);
    const std::string list = write_temp_file(text(metadata + "\n" + top + "/song.mp3\n"));
    const std::string tally = "1 macOS metadata file skipped";
    for (const char* jobs : {"--jobs=1", "--jobs=2"}) {
        const run_result walked = run_framelint({"--summary", "-r", jobs, top});
        EXPECT_EQ(walked.status, 255) << jobs << walked.out;
        EXPECT_NE(walked.out.find("._zeros.mp3: DAMAGED"), std::string::npos) << walked.out;
        EXPECT_EQ(walked.out.find("._song.mp3"), std::string::npos) << walked.out;
        EXPECT_NE(walked.out.find("2 files: 1 clean, 1 damaged, 0 unreadable, " + tally), std::string::npos)
            << walked.out;
        const run_result listed = run_framelint({"--summary", jobs, "--files-from", list});
        EXPECT_EQ(listed.status, 0) << jobs << listed.out;
        EXPECT_NE(listed.out.find("1 file: 1 clean, 0 damaged, 0 unreadable, " + tally), std::string::npos)
            << listed.out;
    }
    // Named, it is checked: no frames, and said to be what it is.
    const run_result named = run_framelint({"--summary", metadata});
    EXPECT_EQ(named.status, 255);
    EXPECT_NE(named.out.find("._song.mp3: DAMAGED: not audio: a macOS metadata file\n"), std::string::npos)
        << named.out;
    EXPECT_EQ(run_framelint({"-c", metadata}).status, 255);
    // The default check walks it as it always did.
    EXPECT_EQ(checked_files(run_framelint({"-p", "-r", top}).out).size(), 3u);
}

}  // namespace
}  // namespace framelint::test
