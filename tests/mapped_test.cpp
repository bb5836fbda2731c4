// Mapped input: the same results as reading, window by window; a file cut shorter
// while mapped (which would raise SIGBUS) or read ends the stream at the cut as a
// read error; a file that grows is read on.

#include <gtest/gtest.h>

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <functional>

#include "io/aligned_block.hpp"
#include "io/byte_source.hpp"
#include "io/input_choice.hpp"
#include "scan/scan_file.hpp"
#include "support.hpp"

namespace framelint::test {
namespace {

// Real encoder output of every kind the scanner treats apart (protected frames,
// tags, junk, Layer II), about 640 KB: several of the smallest windows.
bytes mixed_stream()
{
    bytes piece = read_file(fixture("tag_v23.mp3")) + read_file(fixture("lame_crc.mp3")) + text("junk!") +
                  read_file(fixture("lame_vbr.mp3")) + read_file(fixture("twolame_l2_crc.mp2")) +
                  read_file(fixture("lame_cbr128.mp3"));
    return repeat(piece, 7) + read_file(fixture("tag_both.mp3"));
}

struct scan_run {
    scan_state state;
    std::string out;
    std::string err;
    int error = 0;
    bool mapped = false;
};

scan_run scan_bytes(const bytes& stream, const scan_options& opts)
{
    scan_run r;
    io::output o(r.out);
    io::output e(r.err);
    io::byte_source in(std::span<const std::uint8_t>(stream.data(), stream.size()));
    r.state = scan_stream(in, opts, o, e);
    o.flush();
    e.flush();
    return r;
}

// Scans the file at path through the smallest windows (or reading it, when not
// mapped); on_window runs as each window is mapped or block read, with its number
// and file offset.
scan_run scan_mapped(const std::string& path, const scan_options& opts,
                     const std::function<void(int, std::int64_t)>& on_window = {}, bool mapped = true)
{
    scan_run r;
    const int fd = ::open(path.c_str(), O_RDONLY);
    EXPECT_GE(fd, 0);
    {
        io::output o(r.out);
        io::output e(r.err);
        std::vector<std::uint8_t> buffer(io::byte_source::block_size);
        io::byte_source in(fd, false, buffer, mapped ? io::byte_source::map_from_bytes : INT64_MAX);
        in.set_window_size(0);
        int windows = 0;
        in.on_refill([&](std::int64_t offset) {
            if (on_window) {
                on_window(windows, offset);
            }
            ++windows;
        });
        r.mapped = in.mapped();
        r.state = scan_stream(in, opts, o, e);
        r.error = in.error();
        o.flush();
        e.flush();
    }
    ::close(fd);
    return r;
}

void expect_same(const scan_run& a, const scan_run& b)
{
    const scan_counters& x = a.state.counters;
    const scan_counters& y = b.state.counters;
    EXPECT_EQ(x.good_frames, y.good_frames);
    EXPECT_EQ(x.bad_frames, y.bad_frames);
    EXPECT_EQ(x.bytes_read, y.bytes_read);
    EXPECT_EQ(x.play_seconds, y.play_seconds);
    EXPECT_EQ(a.state.tail.slots, b.state.tail.slots);
    EXPECT_EQ(a.state.verdict, b.state.verdict);
    EXPECT_TRUE(a.out == b.out) << "standard output differs, " << a.out.size() << " vs " << b.out.size() << " bytes";
    EXPECT_EQ(a.err, b.err);
}

const char* const modes[] = {"", "-a", "-s", "-sf", "-i -a", "-vv", "-b", "-b300000", "-e -q3", "-c", "-c -i"};

TEST(Mapped, EveryModeGivesWhatReadingGives)
{
    const bytes stream = mixed_stream();
    const std::string path = write_temp_file(stream, "mapped");
    for (const char* mode : modes) {
        SCOPED_TRACE(mode);
        const scan_run mapped = scan_mapped(path, options(mode));
        EXPECT_TRUE(mapped.mapped);
        EXPECT_EQ(mapped.error, 0);
        expect_same(mapped, scan_bytes(stream, options(mode)));
    }
    ::unlink(path.c_str());
}

TEST(Mapped, FileCutWhileMappedOrReadEndsTheStreamAtTheCutAsAReadError)
{
    const bytes stream = mixed_stream();
    // Cuts inside the third window or block, well past where the scan stands when
    // it is taken in: inside a frame body, on a page boundary, right after a frame,
    // and (read) where the block begins.
    std::vector<std::int64_t> cuts = {20000, 4096 * 9, 12528, 0};
    for (const bool map : {true, false}) {
        for (const std::int64_t cut_into_window : cuts) {
            for (const char* mode : modes) {
                if (map && (std::string(mode) == "-sf" || cut_into_window == 0)) {
                    continue;  // repair reads (see check_files); a window starts before where the scan stands
                }
                if (std::string(mode).starts_with("-c")) {
                    continue;  // a read error leaves the end unjudged, where a short stream's end is judged
                }
                SCOPED_TRACE(std::string(mode) + (map ? " mapped" : " read") + " cut " + std::to_string(cut_into_window));
                const std::string path = write_temp_file(stream, "cut");
                std::int64_t cut_at = -1;
                const auto cut = [&](int window, std::int64_t offset) {
                    if (window == 2) {
                        cut_at = offset + cut_into_window;
                        ASSERT_EQ(::truncate(path.c_str(), static_cast<off_t>(cut_at)), 0);
                    }
                };
                const scan_run mapped = scan_mapped(path, options(mode), cut, map);
                ::unlink(path.c_str());
                if (cut_at < 0) {
                    EXPECT_EQ(mapped.error, 0);  // the mode stopped before the third window
                    continue;
                }
                const bytes there(stream.begin(), stream.begin() + cut_at);
                const scan_run reading = scan_bytes(there, options(mode));
                // A read error where the scan ran into the cut; none where it stopped before.
                const bool stops_before = scan_bytes(stream, options(mode)).state.counters.bytes_read < cut_at;
                EXPECT_EQ(mapped.error, stops_before ? 0 : EIO);
                expect_same(mapped, reading);
            }
        }
    }
}

// Zeros read from pages lost to a cut are no frame: when the cut falls right
// after a protected frame's header, its CRC word and body read as zeros, and the
// CRC-16 of zeros matches a zero word. Layer I frames of 128 bytes behind 124
// bytes of junk put a header's end on every page boundary.
TEST(Mapped, CutRightAfterAProtectedHeaderPassesNoCrcOverZeros)
{
    const bytes stream = text(std::string(124, 'j')) + repeat(frame_with_good_crc(0xFFFE4400u), 4000);
    for (const char* mode : {"", "-c", "-a"}) {
        SCOPED_TRACE(mode);
        const std::string path = write_temp_file(stream, "cut");
        std::int64_t cut_at = -1;
        const scan_run mapped = scan_mapped(path, options(mode), [&](int window, std::int64_t offset) {
            if (window == 2) {
                cut_at = offset + 4096 * 9;
                ASSERT_EQ(::truncate(path.c_str(), static_cast<off_t>(cut_at)), 0);
            }
        });
        ::unlink(path.c_str());
        ASSERT_GT(cut_at, 0);
        EXPECT_EQ(mapped.error, EIO);
        expect_same(mapped, scan_bytes(bytes(stream.begin(), stream.begin() + cut_at), options(mode)));
    }
}

TEST(Mapped, FileThatGrowsWhileMappedIsReadToItsNewEnd)
{
    const bytes stream = mixed_stream();
    const std::size_t first = stream.size() / 2;
    const std::string path = write_temp_file(bytes(stream.begin(), stream.begin() + first), "grows");
    for (const char* mode : {"", "-s", "-i -a"}) {
        SCOPED_TRACE(mode);
        ASSERT_EQ(::truncate(path.c_str(), static_cast<off_t>(first)), 0);
        const scan_run mapped = scan_mapped(path, options(mode), [&](int window, std::int64_t) {
            if (window == 1) {
                const int fd = ::open(path.c_str(), O_WRONLY | O_APPEND);
                ASSERT_EQ(::write(fd, stream.data() + first, stream.size() - first),
                          static_cast<ssize_t>(stream.size() - first));
                ::close(fd);
            }
        });
        EXPECT_EQ(mapped.error, 0);
        expect_same(mapped, scan_bytes(stream, options(mode)));
    }
    ::unlink(path.c_str());
}

// A file whose size says more than it holds (a kernel attribute file) ends early
// without having been cut: no read error.
TEST(Mapped, FileThatNeverHeldItsSizeIsNoCut)
{
    const char* const path = "/sys/devices/system/cpu/online";
    struct stat st {};
    if (::stat(path, &st) != 0 || static_cast<std::size_t>(st.st_size) <= read_file(path).size()) {
        GTEST_SKIP() << path << " is missing, or holds what its size says";
    }
    const int fd = ::open(path, O_RDONLY);
    ASSERT_GE(fd, 0);
    std::vector<std::uint8_t> buffer(io::byte_source::block_size);
    io::byte_source in(fd, false, buffer, INT64_MAX);
    EXPECT_GT(in.consume(UINT64_MAX, [](const std::uint8_t*, std::size_t) {}), 0u);
    EXPECT_EQ(in.error(), 0);
    ::close(fd);
}

TEST(Mapped, StandardInputFromAFileIsMappedFromWhereItStandsAndGivesBackTheRest)
{
    const bytes stream = mixed_stream();
    const std::string path = write_temp_file(stream, "stdin");
    const int fd = ::open(path.c_str(), O_RDONLY);
    ASSERT_GE(fd, 0);
    const off_t start = 1001;
    ASSERT_EQ(::lseek(fd, start, SEEK_SET), start);
    std::string out;
    std::string err;
    io::output o(out);
    io::output e(err);
    std::vector<std::uint8_t> buffer(io::byte_source::block_size);
    io::byte_source in(fd, true, buffer);
    in.set_window_size(0);
    EXPECT_TRUE(in.mapped());
    const scan_state st = scan_stream(in, options("-b300000"), o, e);
    in.give_back_read_ahead();
    EXPECT_EQ(::lseek(fd, 0, SEEK_CUR), start + st.counters.bytes_read);
    const bytes rest(stream.begin() + start, stream.end());
    EXPECT_EQ(st.counters.bytes_read, scan_bytes(rest, options("-b300000")).state.counters.bytes_read);
    ::close(fd);
    ::unlink(path.c_str());
}

// Whether files are mapped or read is timed once, on the first file large enough,
// without moving its offset; smaller files and anything that cannot be mapped
// leave the choice open (mapping until then).
TEST(InputChoice, TimedOnceOnTheFirstLargeFileWhichItLeavesWhereItStood)
{
    const io::aligned_block buffer(io::byte_source::block_size);
    io::input_choice way;
    EXPECT_EQ(way.map_from(io::byte_source::map_from_bytes), io::byte_source::map_from_bytes);

    const std::string small = write_temp_file(bytes(100000, 0x11), "small");
    const int small_fd = ::open(small.c_str(), O_RDONLY);
    way.time_on(small_fd, 100000, buffer.bytes());
    EXPECT_FALSE(way.decided());
    ::close(small_fd);
    ::unlink(small.c_str());

    int ends[2];
    ASSERT_EQ(::pipe(ends), 0);
    way.time_on(ends[0], io::input_choice::timed_from_bytes, buffer.bytes());
    EXPECT_FALSE(way.decided()) << "a pipe cannot be mapped: nothing is kept";
    ::close(ends[0]);
    ::close(ends[1]);

    const auto size = static_cast<std::size_t>(io::input_choice::timed_from_bytes);
    const std::string large = write_temp_file(bytes(size, 0x22), "large");
    const int fd = ::open(large.c_str(), O_RDONLY);
    ASSERT_EQ(::lseek(fd, 1234, SEEK_SET), 1234);
    way.time_on(fd, static_cast<std::int64_t>(size), buffer.bytes());
    EXPECT_TRUE(way.decided());
    EXPECT_EQ(::lseek(fd, 0, SEEK_CUR), 1234);
    EXPECT_EQ(way.map_from(io::byte_source::map_from_bytes),
              way.maps() ? io::byte_source::map_from_bytes : INT64_MAX);
    ::close(fd);
    ::unlink(large.c_str());
}

}  // namespace
}  // namespace framelint::test
