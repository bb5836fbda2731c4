#include "io/input_choice.hpp"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <unistd.h>

#include "io/file_window.hpp"

namespace framelint::io {
namespace {

std::int64_t thread_cpu_ns()
{
    timespec ts{};
    if (clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts) != 0) {
        return -1;
    }
    return static_cast<std::int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

// The scan looks at every cache line (it asks for all of them ahead of a header).
constexpr std::size_t line = 64;

unsigned look_at(const std::uint8_t* bytes, std::size_t n)
{
    unsigned sum = 0;
    for (std::size_t i = 0; i < n; i += line) {
        sum += *static_cast<const volatile std::uint8_t*>(bytes + i);
    }
    return sum;
}

// Processor time to map the stretch at offset and look at it; -1 when it fails.
std::int64_t time_mapped(int fd, std::int64_t offset, std::size_t n)
{
    const std::int64_t start = thread_cpu_ns();
    file_window window;  // registered for SIGBUS, should the file be cut meanwhile
    if (!window.map(fd, offset, n)) {
        return -1;
    }
    look_at(window.data(), n);
    window.unmap();
    return thread_cpu_ns() - start;
}

// Processor time to read the stretch at offset and look at it; -1 when it fails.
std::int64_t time_read(int fd, std::int64_t offset, std::size_t n, std::span<std::uint8_t> buffer)
{
    const std::int64_t start = thread_cpu_ns();
    std::size_t done = 0;
    while (done < n) {
        const std::size_t want = std::min(buffer.size(), n - done);
        const ssize_t got = ::pread(fd, buffer.data(), want, static_cast<off_t>(offset) + static_cast<off_t>(done));
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got <= 0) {
            return -1;
        }
        look_at(buffer.data(), static_cast<std::size_t>(got));
        done += static_cast<std::size_t>(got);
    }
    return thread_cpu_ns() - start;
}

}  // namespace

void input_choice::time_on(int fd, std::int64_t size, std::span<std::uint8_t> buffer)
{
    if (decided_ || size < timed_from_bytes || buffer.empty()) {
        return;
    }
    // The least of a few tries each, alternating, so that one interruption or a
    // stretch that was not in the page cache does not decide.
    std::int64_t mapped = INT64_MAX;
    std::int64_t read = INT64_MAX;
    std::int64_t offset = 0;
    for (int i = 0; i < stretches_per_way; ++i) {
        const std::int64_t m = time_mapped(fd, offset, stretch_bytes);
        offset += static_cast<std::int64_t>(stretch_bytes);
        const std::int64_t r = time_read(fd, offset, stretch_bytes, buffer);
        offset += static_cast<std::int64_t>(stretch_bytes);
        if (m < 0 || r < 0) {
            return;  // nothing kept: the next large file tries again
        }
        mapped = std::min(mapped, m);
        read = std::min(read, r);
    }
    decided_ = true;
    maps_ = mapped <= read;
}

void input_choice::follow_test_setting()
{
    const char* way = std::getenv("FRAMELINT_TEST_INPUT");
    if (way != nullptr && (std::strcmp(way, "read") == 0 || std::strcmp(way, "map") == 0)) {
        decided_ = true;
        maps_ = way[0] == 'm';
    }
}

}  // namespace framelint::io
