#include "id3v1/tail_ring.hpp"

namespace framelint {

int unroll_ring(tail_ring& ring, std::uint64_t bytes_read)
{
    const std::size_t d = static_cast<std::size_t>(bytes_read & 127u);
    std::array<std::uint8_t, 128> ordered{};
    const std::size_t older = 127 - d;  // slots d+1 .. 127
    std::memcpy(ordered.data(), ring.slots.data() + d + 1, older);
    std::memcpy(ordered.data() + older, ring.slots.data(), d + 1);
    ring.slots = ordered;
    return 1;
}

}  // namespace framelint
