#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <new>

#include "cli/driver.hpp"

namespace {

// Running out of memory (under ulimit -v, say) must end in a message and status
// 1, not an abort. Throwing std::bad_alloc needs a little memory itself, so some
// is set aside at the start and given back just before the throw.
// Under --jobs several threads can run out at once: the reserve is taken by
// exactly one of them, and the message is said once.
constexpr std::size_t spare_size = 64 * 1024;
std::atomic<void*> spare_room{nullptr};
std::atomic<bool> said_out_of_memory{false};

void say_out_of_memory()
{
    if (said_out_of_memory.exchange(true)) {
        return;
    }
    // Straight to the descriptor: nothing may be allocated now.
    static constexpr char message[] = "framelint: out of memory\n";
    if (::write(STDERR_FILENO, message, sizeof message - 1) < 0) {
        return;  // nowhere to say it; the status still tells
    }
}

// A thread that finds the reserve gone (another one took it, or this one is
// out of memory again while unwinding) throws all the same: the exception
// itself comes from the runtime's own emergency pool, and every thread that
// catches it stops.
void give_back_spare_room_and_throw()
{
    std::free(spare_room.exchange(nullptr));
    throw std::bad_alloc();
}

}  // namespace

int main(int argc, char** argv)
{
    spare_room = std::malloc(spare_size);
    if (spare_room.load() == nullptr) {
        say_out_of_memory();
        return 1;
    }
    std::set_new_handler(give_back_spare_room_and_throw);
    try {
        return framelint::cli::run(argc, argv);
    } catch (const std::bad_alloc&) {
        say_out_of_memory();
        return 1;
    }
}
