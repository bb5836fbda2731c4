#pragma once
// How an accepted frame is accounted, whichever path accepted it: the scan
// loop frame by frame, the walk of known frames over a run of them, or the
// recovery of frames an ID3v2 tag's size hid. Each path calls these and
// nothing else to count a frame, so that the three cannot drift apart.

#include <cstdint>

#include "scan/scan_state.hpp"

namespace framelint {

// A frame's play time and bit rate, added to the stream's (or to copies of
// them a walk keeps in registers and stores back once), without counting it:
// a walk counts its frames once, at its end.
[[gnu::always_inline]] inline void add_time_and_rate(double& seconds, bitrate_stats& r, double frame_seconds,
                                                     std::int32_t rate)
{
    seconds += frame_seconds;
    if (rate > r.high) {
        r.high = rate;
    }
    if (r.low == 0 || rate < r.low) {
        r.low = rate;
    }
    r.sum += rate;
}

// One frame's play time and bit rate, counted.
[[gnu::always_inline]] inline void tally_frame(double& seconds, bitrate_stats& r, double frame_seconds,
                                               std::int32_t rate)
{
    add_time_and_rate(seconds, r, frame_seconds, rate);
    ++r.frames;
}

// frames accepted each where the one before said: good, and in the current run.
[[gnu::always_inline]] inline void count_good_frames(scan_counters& n, std::int64_t frames)
{
    n.good_frames += frames;
    n.run_length += frames;
}

// The last good frame's header and CRC words: all the summary needs to rebuild it.
[[gnu::always_inline]] inline void keep_last_good_frame(scan_state& st, std::uint32_t word, std::uint16_t crc)
{
    st.last_good_word = word;
    st.last_good_crc = crc;
    st.have_good_frame = true;
}

// -c: frames of the stream, whole and one after the other (from.bytes, with
// their count, samples, first header and last frame's start), into the
// layout's runs: the last run grows when they follow it, else they open one
// (always when opens_run: a second file's header frame).
void grow_runs(scan_context& c, const frame_run& frames, bool opens_run);

}  // namespace framelint
