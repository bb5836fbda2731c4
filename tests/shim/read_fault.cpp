// Preloaded under the program in tests to make a read fail at a chosen point,
// the way a disk error would. FRAMELINT_TEST_READ_FAULT_AT=N: reads hand out
// the first N bytes (a read that would cross N is cut there), and every read
// after that fails with EIO. The count covers every read the program makes;
// its only reads are of the streams it checks.

#include <dlfcn.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

namespace {

using read_function = ssize_t (*)(int, void*, size_t);

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

}  // namespace

extern "C" ssize_t read(int fd, void* into, size_t room)
{
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
