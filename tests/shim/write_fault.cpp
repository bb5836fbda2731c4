// Preloaded under the program in tests to make writes to files fail as on a
// full disk. FRAMELINT_TEST_WRITE_FAULT_AT=N: writes to regular files hand
// over the first N bytes (a write that would cross N is cut there), and every
// write after that fails with ENOSPC. FRAMELINT_TEST_WRITE_FLIP_AT=N: the
// N-th byte written to regular files (from 0) lands inverted, and the write
// reports success, as a bad disk or bad memory would do it. Standard output
// and standard error are left alone, so that the program can still say what
// happened. FRAMELINT_TEST_EDIT_ON_LINK=PATH: when the program makes a hard
// link (--fix's backup, its last step before the rename), another program's
// edit lands first: the byte in the middle of PATH is inverted in place, and
// PATH's access and modification times are set back to what they were, so
// that only its content tells. FRAMELINT_TEST_NO_HARD_LINKS=1: link() fails
// with EPERM, as on a file system that has no hard links.
// FRAMELINT_TEST_NO_TMPFILE=1: open() with O_TMPFILE fails with EOPNOTSUPP,
// as on a file system without unnamed files.

#include <dlfcn.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdlib>
#include <vector>

namespace {

using write_function = ssize_t (*)(int, const void*, size_t);

write_function real_write()
{
    static const auto next = reinterpret_cast<write_function>(::dlsym(RTLD_NEXT, "write"));
    return next;
}

long long fault_at()
{
    static const long long at = [] {
        const char* text = std::getenv("FRAMELINT_TEST_WRITE_FAULT_AT");
        return text != nullptr ? std::atoll(text) : -1LL;
    }();
    return at;
}

long long flip_at()
{
    static const long long at = [] {
        const char* text = std::getenv("FRAMELINT_TEST_WRITE_FLIP_AT");
        return text != nullptr ? std::atoll(text) : -1LL;
    }();
    return at;
}

long long written = 0;

bool to_a_file(int fd)
{
    struct stat st {};
    return fd > 2 && ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
}

void edit_behind_the_programs_back(const char* path)
{
    const int fd = ::open(path, O_RDWR);
    if (fd < 0) {
        return;
    }
    struct stat st {};
    unsigned char byte = 0;
    if (::fstat(fd, &st) == 0 && ::pread(fd, &byte, 1, st.st_size / 2) == 1) {
        byte = static_cast<unsigned char>(~byte);
        ::pwrite(fd, &byte, 1, st.st_size / 2);
    }
    const struct timespec times[2] = {st.st_atim, st.st_mtim};
    ::futimens(fd, times);
    ::close(fd);
}

}  // namespace

extern "C" int link(const char* from, const char* to)
{
    if (const char* path = std::getenv("FRAMELINT_TEST_EDIT_ON_LINK"); path != nullptr && *path != '\0') {
        edit_behind_the_programs_back(path);
    }
    if (const char* refuse = std::getenv("FRAMELINT_TEST_NO_HARD_LINKS"); refuse != nullptr && *refuse == '1') {
        errno = EPERM;  // as on a file system without hard links
        return -1;
    }
    static const auto next = reinterpret_cast<int (*)(const char*, const char*)>(::dlsym(RTLD_NEXT, "link"));
    return next(from, to);
}

namespace {

bool no_tmpfile()
{
    const char* asked = std::getenv("FRAMELINT_TEST_NO_TMPFILE");
    return asked != nullptr && *asked == '1';
}

template <const char* name>
int open_as_asked(const char* path, int flags, mode_t mode)
{
    if ((flags & O_TMPFILE) == O_TMPFILE && no_tmpfile()) {
        errno = EOPNOTSUPP;
        return -1;
    }
    static const auto next = reinterpret_cast<int (*)(const char*, int, ...)>(::dlsym(RTLD_NEXT, name));
    return next(path, flags, mode);
}

constexpr char open_name[] = "open";
constexpr char open64_name[] = "open64";

}  // namespace

extern "C" int open(const char* path, int flags, ...)
{
    va_list more;
    va_start(more, flags);
    const mode_t mode = (flags & O_CREAT) != 0 || (flags & O_TMPFILE) == O_TMPFILE ? va_arg(more, mode_t) : 0;
    va_end(more);
    return open_as_asked<open_name>(path, flags, mode);
}

extern "C" int open64(const char* path, int flags, ...)
{
    va_list more;
    va_start(more, flags);
    const mode_t mode = (flags & O_CREAT) != 0 || (flags & O_TMPFILE) == O_TMPFILE ? va_arg(more, mode_t) : 0;
    va_end(more);
    return open_as_asked<open64_name>(path, flags, mode);
}

extern "C" ssize_t write(int fd, const void* bytes, size_t n)
{
    const long long at = fault_at();
    const long long flip = flip_at();
    if ((at < 0 && flip < 0) || !to_a_file(fd)) {
        return real_write()(fd, bytes, n);
    }
    if (at >= 0 && written >= at) {
        errno = ENOSPC;
        return -1;
    }
    size_t take = n;
    if (at >= 0 && static_cast<unsigned long long>(at - written) < n) {
        take = static_cast<size_t>(at - written);
    }
    ssize_t put = 0;
    if (flip >= written && flip - written < static_cast<long long>(take)) {
        std::vector<unsigned char> changed(static_cast<const unsigned char*>(bytes),
                                           static_cast<const unsigned char*>(bytes) + take);
        changed[static_cast<size_t>(flip - written)] ^= 0xFFu;
        put = real_write()(fd, changed.data(), take);
    } else {
        put = real_write()(fd, bytes, take);
    }
    if (put > 0) {
        written += put;
    }
    return put;
}
