#pragma once
// Frames that follow one another, each where the one before says it ends: the
// walker of such chains. The walk of known frames (the scan's hot path) goes
// through a healthy stream with it, the check of -c looks ahead with it for
// frames that confirm a header, and the recovery of frames an ID3v2 tag's size
// hid finds and takes them with it; what each makes of a frame is its own step.
// It is inlined into each, so that the hot path pays nothing for sharing it.

#include <cstddef>
#include <cstdint>
#include <span>

namespace framelint {

// Bytes in one piece, for the walker: a place in them is a pointer.
struct contiguous_bytes {
    using position = const std::uint8_t*;
    const std::uint8_t* end;

    bool header_fits(position p) const { return end - p >= 4; }
    static std::uint32_t word_at(position p)
    {
        return static_cast<std::uint32_t>(p[0]) << 24 | static_cast<std::uint32_t>(p[1]) << 16 |
               static_cast<std::uint32_t>(p[2]) << 8 | p[3];
    }
};

// Walks the chain of frames in bytes (a type with a position, header_fits(at)
// and word_at(at)) from at: the header word at each frame's start is handed
// to step(word, at), which returns the length of the frame there to go on
// by, or 0 to stop at it. The walk stops too where fewer than four bytes are
// left. Returns where it stopped.
template <class Bytes, class Step>
[[gnu::always_inline]] inline typename Bytes::position walk_frame_chain(const Bytes& bytes,
                                                                        typename Bytes::position at, Step&& step)
{
    while (bytes.header_fits(at)) {
        const std::size_t length = step(bytes.word_at(at), at);
        if (length == 0) {
            break;
        }
        at += length;
    }
    return at;
}

}  // namespace framelint
