// -r: which files below a directory are checked, in what order, and how a
// walk gets past links, loops and directories it cannot read.

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

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

}  // namespace
}  // namespace framelint::test
