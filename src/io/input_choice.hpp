#pragma once
// Whether regular files are mapped or read. Mapping saves the kernel's copy;
// reading saves the page faults and hands the scan bytes that are in the cache.
// Which costs less depends on the machine: a mapped look at every page took half
// the time of reading on one machine the benchmark ran on, and 15% more on
// another. So before the first file large enough to tell, both ways are timed on
// its first few hundred KiB, and the cheaper is kept for the rest of the run.
// Either way gives the same results; only the time differs.

#include <cstdint>
#include <span>

namespace framelint::io {

class input_choice {
public:
    // Stretches of the file timed, alternately mapped and read, and how many of each.
    static constexpr std::size_t stretch_bytes = 256 * 1024;
    static constexpr int stretches_per_way = 3;
    // Files smaller than this are not timed on: too little to tell.
    static constexpr std::int64_t timed_from_bytes = 2 * stretches_per_way * static_cast<std::int64_t>(stretch_bytes);

    // The map_from to hand the next file's byte_source (mapped_from_bytes while
    // mapping is the way, or no way is kept yet; otherwise never).
    std::int64_t map_from(std::int64_t mapped_from_bytes) const { return maps_ ? mapped_from_bytes : INT64_MAX; }

    // Before a regular file of size bytes is scanned: when no way is kept yet and
    // the file is large enough, times both ways on its first stretches (with
    // buffer, at least 128 KiB, to read into) and keeps the cheaper. The file's
    // offset is left as it was.
    void time_on(int fd, std::int64_t size, std::span<std::uint8_t> buffer);

    // A test aid: FRAMELINT_TEST_INPUT=read reads every file, =map maps them (from
    // the usual size on), without timing, so that a test can make a file change
    // under the way it means to exercise whatever the machine would pick.
    // Anything else leaves the choice to the timing.
    void follow_test_setting();

    bool decided() const { return decided_; }
    bool maps() const { return maps_; }

private:
    bool decided_ = false;
    bool maps_ = true;
};

}  // namespace framelint::io
