#pragma once
// The last 128 bytes consumed from a stream, kept so that an ID3v1 tag can be
// found at its end without seeking (standard input cannot seek).
// Byte k of the stream (counting from 1) lives in slot k mod 128.

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>

namespace framelint {

struct tail_ring {
    // Slots a short stream has not reached stay zero, so they never look like "TAG".
    std::array<std::uint8_t, 128> slots{};

    // bytes_read already counts this byte.
    void store(std::uint64_t bytes_read, std::uint8_t byte) { slots[bytes_read & 127u] = byte; }

    // A run of n consumed bytes; bytes_read already counts all of them. Only the
    // last 128 can survive, so only those are stored.
    void store(std::uint64_t bytes_read, const std::uint8_t* bytes, std::size_t n)
    {
        const std::size_t keep = n < 128 ? n : 128;
        const std::uint8_t* from = bytes + (n - keep);
        std::size_t slot = static_cast<std::size_t>((bytes_read - keep + 1) & 127u);
        const std::size_t first = keep < 128 - slot ? keep : 128 - slot;
        std::memcpy(slots.data() + slot, from, first);
        std::memcpy(slots.data(), from + first, keep - first);
    }
};

// Rewrites the ring in stream order: slot 0 the oldest, slot 127 the newest byte.
int unroll_ring(tail_ring& ring, std::uint64_t bytes_read);

}  // namespace framelint
