#pragma once
// Frames that follow one another, each where the one before says it ends: the
// one walker of such chains. The walk of known frames goes over the input's
// buffer with it, the check of -c looks ahead with it for frames that confirm
// a header, and the recovery of frames an ID3v2 tag's size hid finds and takes
// them with it; what each makes of a frame is its own step.

#include <cstddef>
#include <cstdint>
#include <span>

namespace framelint {

// Bytes in one piece, for the walker.
struct contiguous_bytes {
    std::span<const std::uint8_t> bytes;

    std::size_t size() const { return bytes.size(); }
    std::uint32_t word_at(std::size_t i) const
    {
        const std::uint8_t* p = bytes.data() + i;
        return static_cast<std::uint32_t>(p[0]) << 24 | static_cast<std::uint32_t>(p[1]) << 16 |
               static_cast<std::uint32_t>(p[2]) << 8 | p[3];
    }
};

// Walks the chain of frames in bytes (anything with size() and word_at(i))
// from offset at: the header word at each frame's start is handed to
// step(word, at), which returns the length of the frame there to go on by, or
// 0 to stop at it. The walk stops too where fewer than four bytes are left.
// Returns where it stopped.
template <class Bytes, class Step>
[[gnu::always_inline]] inline std::size_t walk_frame_chain(const Bytes& bytes, std::size_t at, Step&& step)
{
    while (at + 4 <= bytes.size()) {
        const std::size_t length = step(bytes.word_at(at), at);
        if (length == 0) {
            break;
        }
        at += length;
    }
    return at;
}

}  // namespace framelint
