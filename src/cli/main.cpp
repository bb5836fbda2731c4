#include <unistd.h>

#include <cstdlib>
#include <new>

#include "cli/driver.hpp"

namespace {

// Running out of memory (under ulimit -v, say) must end in a message and status
// 1, not an abort. Throwing std::bad_alloc needs a little memory itself, so some
// is set aside at the start and given back just before the throw.
constexpr std::size_t spare_size = 64 * 1024;
void* spare_room = nullptr;

void say_out_of_memory()
{
    // Straight to the descriptor: nothing may be allocated now.
    static constexpr char message[] = "framelint: out of memory\n";
    if (::write(STDERR_FILENO, message, sizeof message - 1) < 0) {
        return;  // nowhere to say it; the status still tells
    }
}

void give_back_spare_room_and_throw()
{
    if (spare_room == nullptr) {
        say_out_of_memory();  // out of memory again while unwinding: no second throw
        ::_exit(1);
    }
    std::free(spare_room);
    spare_room = nullptr;
    throw std::bad_alloc();
}

}  // namespace

int main(int argc, char** argv)
{
    spare_room = std::malloc(spare_size);
    if (spare_room == nullptr) {
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
