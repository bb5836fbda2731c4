#include "io/file_window.hpp"

#include <array>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <sys/mman.h>
#include <unistd.h>

namespace framelint::io {
namespace {

// The windows the SIGBUS handler may repair: one per stream being scanned (several
// threads may scan at once), and standard input's, which stays mapped while named
// files are scanned. A slot is claimed by setting end from 0 to claimed_slot, so
// that two threads never take the same one.
struct live_window {
    std::atomic<std::uintptr_t> begin{0};
    std::atomic<std::uintptr_t> end{0};  // 0: a free slot
    std::atomic<std::int64_t> file_offset{0};
    std::atomic<std::int64_t> lost_from{-1};
};
static_assert(std::atomic<std::uintptr_t>::is_always_lock_free && std::atomic<std::int64_t>::is_always_lock_free,
              "the handler reads these without locks");
constexpr std::size_t max_live_windows = 64;
// end's value while a slot is taken but its window not mapped yet: no address
// of a mapping lies below it, so the handler never matches it.
constexpr std::uintptr_t claimed_slot = 1;
std::array<live_window, max_live_windows> live_windows;
std::uintptr_t page_mask = 0;
struct sigaction previous_action {};

// Runs on the faulting thread, between two instructions of whoever touched the
// page. Only async-signal-safe calls: mmap, sigaction.
void on_sigbus(int, siginfo_t* info, void*)
{
    const int saved_errno = errno;
    const auto at = reinterpret_cast<std::uintptr_t>(info->si_addr);
    for (live_window& w : live_windows) {
        // end first: a slot another thread is filling shows its new begin with its new end.
        const std::uintptr_t end = w.end.load(std::memory_order_acquire);
        const std::uintptr_t begin = w.begin.load(std::memory_order_relaxed);
        if (end == 0 || at < begin || at >= end) {
            continue;
        }
        const std::uintptr_t page = at & ~page_mask;
        void* zeros = ::mmap(reinterpret_cast<void*>(page), end - page, PROT_READ,
                             MAP_PRIVATE | MAP_ANONYMOUS | MAP_FIXED, -1, 0);
        if (zeros != MAP_FAILED) {
            const std::int64_t lost = w.file_offset.load(std::memory_order_relaxed) +
                                      static_cast<std::int64_t>(page - begin);
            const std::int64_t before = w.lost_from.load(std::memory_order_relaxed);
            if (before < 0 || lost < before) {
                w.lost_from.store(lost, std::memory_order_relaxed);
            }
            errno = saved_errno;
            return;  // the faulting access is made again and reads zeros
        }
        break;
    }
    // Not a window of ours (or it could not be repaired): the fault is a real
    // one. The previous disposition takes it when the access is made again.
    ::sigaction(SIGBUS, &previous_action, nullptr);
    errno = saved_errno;
}

// Once per process, whichever thread maps first; true when the handler is in place.
bool install_handler()
{
    static const bool installed = [] {
        page_mask = file_window::page_size() - 1;
        struct sigaction action {};
        action.sa_sigaction = on_sigbus;
        action.sa_flags = SA_SIGINFO | SA_RESTART;
        sigemptyset(&action.sa_mask);
        return ::sigaction(SIGBUS, &action, &previous_action) == 0;
    }();
    return installed;
}

// A free slot, now taken, or max_live_windows when all are.
std::size_t claim_slot()
{
    for (std::size_t slot = 0; slot < max_live_windows; ++slot) {
        std::uintptr_t free_end = 0;
        if (live_windows[slot].end.compare_exchange_strong(free_end, claimed_slot)) {
            return slot;
        }
    }
    return max_live_windows;
}

}  // namespace

std::size_t file_window::page_size()
{
    static const std::size_t size = [] {
        const long n = ::sysconf(_SC_PAGESIZE);
        return n > 0 ? static_cast<std::size_t>(n) : std::size_t{4096};
    }();
    return size;
}

bool file_window::map(int fd, std::int64_t offset, std::size_t len)
{
    unmap();
    if (!install_handler()) {
        return false;  // without it a file cut short would kill the process
    }
    if (len == 0) {
        errno = EINVAL;
        return false;
    }
    const std::size_t slot = claim_slot();
    if (slot == max_live_windows) {
        errno = ENOMEM;  // the caller reads instead
        return false;
    }
    void* p = ::mmap(nullptr, len, PROT_READ, MAP_PRIVATE, fd, static_cast<off_t>(offset));
    if (p == MAP_FAILED) {
        const int saved = errno;
        live_windows[slot].end.store(0, std::memory_order_release);
        errno = saved;
        return false;
    }
    // The scan moves forward through the window; let the kernel read ahead and
    // drop pages behind.
    ::madvise(p, len, MADV_SEQUENTIAL);
    live_window& w = live_windows[slot];
    w.file_offset.store(offset, std::memory_order_relaxed);
    w.lost_from.store(-1, std::memory_order_relaxed);
    w.begin.store(reinterpret_cast<std::uintptr_t>(p), std::memory_order_relaxed);
    w.end.store(reinterpret_cast<std::uintptr_t>(p) + len, std::memory_order_release);
    std::atomic_signal_fence(std::memory_order_seq_cst);
    data_ = static_cast<const std::uint8_t*>(p);
    size_ = len;
    offset_ = offset;
    slot_ = static_cast<int>(slot);
    lost_ = &w.lost_from;
    return true;
}

void file_window::unmap()
{
    if (data_ == nullptr) {
        return;
    }
    live_window& w = live_windows[static_cast<std::size_t>(slot_)];
    w.end.store(0, std::memory_order_relaxed);
    std::atomic_signal_fence(std::memory_order_seq_cst);
    ::munmap(const_cast<std::uint8_t*>(data_), size_);
    data_ = nullptr;
    size_ = 0;
    slot_ = -1;
    lost_ = nullptr;
}

std::int64_t file_window::lost_from() const
{
    if (slot_ < 0) {
        return -1;
    }
    std::atomic_signal_fence(std::memory_order_seq_cst);
    return live_windows[static_cast<std::size_t>(slot_)].lost_from.load(std::memory_order_relaxed);
}

}  // namespace framelint::io
