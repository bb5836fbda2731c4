// Preloaded under the program in tests to make a read fail at a chosen point,
// the way a disk error would. FRAMELINT_TEST_READ_FAULT_AT=N: reads hand out
// the first N bytes (a read that would cross N is cut there), and every read
// after that fails with EIO. The count covers every read the program makes;
// its only reads are of the streams it checks.
// FRAMELINT_TEST_READ_FAIL_CALL=N: the N-th call (from 1) of read or pread
// fails with EIO and every other goes through: one failed read, anywhere.

#include <dlfcn.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

namespace {

using read_function = ssize_t (*)(int, void*, size_t);
using pread_function = ssize_t (*)(int, void*, size_t, off_t);

read_function real_read()
{
    static const auto next = reinterpret_cast<read_function>(::dlsym(RTLD_NEXT, "read"));
    return next;
}

// -1: no fault asked for.
long long fault_at()
{
    static const long long at = [] {
        const char* text = std::getenv("FRAMELINT_TEST_READ_FAULT_AT");
        return text != nullptr ? std::atoll(text) : -1LL;
    }();
    return at;
}

long long handed_out = 0;

// 0: no single failed call asked for.
long long failing_call()
{
    static const long long n = [] {
        const char* text = std::getenv("FRAMELINT_TEST_READ_FAIL_CALL");
        return text != nullptr ? std::atoll(text) : 0LL;
    }();
    return n;
}

long long calls = 0;

// A test that tries every call in turn learns here that it has tried them all.
struct say_when_never_failed {
    ~say_when_never_failed()
    {
        if (failing_call() > calls) {
            static const char text[] = "read fault shim: no call failed\n";
            [[maybe_unused]] const ssize_t put = ::write(2, text, sizeof text - 1);
        }
    }
} never_failed_notice;

// Whether this call is the one to fail.
bool fail_this_call()
{
    return failing_call() > 0 && ++calls == failing_call();
}

ssize_t positioned(pread_function next, int fd, void* into, size_t room, off_t at)
{
    if (fail_this_call()) {
        errno = EIO;
        return -1;
    }
    return next(fd, into, room, at);
}

}  // namespace

extern "C" ssize_t read(int fd, void* into, size_t room)
{
    if (fail_this_call()) {
        errno = EIO;
        return -1;
    }
    const long long at = fault_at();
    if (at < 0) {
        return real_read()(fd, into, room);
    }
    if (handed_out >= at) {
        errno = EIO;
        return -1;
    }
    const auto left = static_cast<unsigned long long>(at - handed_out);
    const ssize_t got = real_read()(fd, into, room < left ? room : static_cast<size_t>(left));
    if (got > 0) {
        handed_out += got;
    }
    return got;
}

extern "C" ssize_t pread(int fd, void* into, size_t room, off_t at)
{
    static const auto next = reinterpret_cast<pread_function>(::dlsym(RTLD_NEXT, "pread"));
    return positioned(next, fd, into, room, at);
}

extern "C" ssize_t pread64(int fd, void* into, size_t room, off_t at)
{
    static const auto next = reinterpret_cast<pread_function>(::dlsym(RTLD_NEXT, "pread64"));
    return positioned(next, fd, into, room, at);
}
