#pragma once
// Which frames a scan accepts, and so which frames the stream's map is made of.

#include <cstdint>

namespace framelint {

enum class frame_acceptance : std::uint8_t {
    // Any header that decodes is a frame, wherever it is found: how the default
    // check counts good and bad frames, and how a repair (-sf) has always taken
    // them, so that -c changes nothing a repair writes.
    any_header,
    // Only frames of the stream: one found where the frame before said it would
    // be, or followed by frames where it says. Tags are read by their size,
    // never searched for frames. How -c judges a stream and maps it.
    stream_frames,
};

}  // namespace framelint
