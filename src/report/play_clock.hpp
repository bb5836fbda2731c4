#pragma once
// Play time for people, worked out from the stream's layout: where in the song
// a byte of the stream is heard, and how long the audio that is there plays.
// The words and the numbers of the report for people come from the same runs
// of frames, so they cannot disagree.

#include <cstdint>
#include <string>

#include "stream/stream_layout.hpp"

namespace framelint {

struct play_clock {
    const stream_layout* layout = nullptr;  // complete, with at least one run; else the clock is stopped
    std::int32_t sample_rate = 0;
    std::int32_t samples_per_frame = 0;
    // A Xing/Info or VBRI frame is counted in the first run but holds no sound.
    std::int64_t header_samples = 0;

    bool running() const { return layout != nullptr && sample_rate > 0; }
    // The play time of the frames the layout holds.
    double seconds() const;
    // When the byte at offset would be heard: after every run before it, and
    // inside a run in proportion to its bytes.
    double seconds_at(std::int64_t offset) const;
    // How long n frames of this stream play.
    double frames_seconds(std::int64_t n) const;
    // Average bytes of audio per second of play (0 when nothing plays).
    double bytes_per_second() const;
};

// A stopped clock when the layout is missing, not whole or holds no frame.
play_clock clock_of(const stream_layout* layout);

// A moment of a song: "0:47", "1:05:09".
std::string clock_words(double seconds);

// A stretch of time: "0.03 s", "2.4 s", "24 s", "3:12".
std::string duration_words(double seconds);

}  // namespace framelint
