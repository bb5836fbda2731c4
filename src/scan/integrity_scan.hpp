#pragma once
// The scanner's side of the integrity check (-c): the checks it makes on every
// accepted frame and at the end of the stream, and how a finding is counted.

#include "mpeg/header_word.hpp"
#include "scan/scan_state.hpp"

namespace framelint {

// An accepted frame whose header and CRC word were just consumed; its body has
// not been. frame_start is its header's offset, expected_start where the frame
// was expected (for the first one: the start of the stream, or after its ID3v2 tag).
void watch_frame(scan_context& c, const frame_info& frame, std::int64_t frame_start, std::int64_t expected_start);

// The rules below apply under c.stream_rules() only.

// The stream has ended inside its last frame: whether tags read back from the
// end stand inside that frame (a cut file tagged again). The check at the end
// then reports the frame as cut by them, with the tags kept, instead of as cut
// by the end of the stream.
bool end_tags_cut_last_frame(const scan_context& c);

// Four bytes where a frame was expected that are no frame header: when a tag
// begins there, it is read by its own size (never searched for frames) and
// true is returned, with the next frame expected after it.
bool read_tag_at_frame_end(scan_context& c);

// Whether a valid header just consumed begins a frame of the stream. One found
// where the frame before said, and of its format (or the first frame, at the
// start or after the leading tags), is. Any other needs two frames to follow,
// each where the one before says, over which it carries no more
// (carries_more_than); a frame found off its place that carries no more than
// the stream's last frame may instead be followed by one, then a tag or the
// end. A protected one found so needs its CRC to match as well. A header turned
// down here is junk: the search goes on from its second byte.
bool belongs_to_stream(scan_context& c, const frame_info& frame);

// Before the first frame, four bytes off the place a frame was expected that
// begin "ID3": when a valid ID3v2 header stands there whose size leads exactly
// to a frame of the stream, another tag or the end, the junk before it is
// reported and the tag is read by its size, as a leading tag; true then.
bool read_id3v2_after_junk(scan_context& c);

// A header rejected while searching, or a free-format one (bit-rate index 0).
void hold_rejected_header(scan_context& c);
// The held rejections that lie before limit are bad frames; the rest lay in a tag.
void settle_held_rejections(scan_context& c, std::int64_t limit);

// The audio hash's one way in: bytes of frames of the stream as the layout's
// runs take them in, in stream order (a VBR header frame, of the first run or
// a second file's, is no audio and never comes here). Each caller hands over
// bytes it still has in hand, so the hash needs no second read.
inline void hash_audio(scan_context& c, const std::uint8_t* bytes, std::size_t n, std::int64_t frames)
{
    c.state.audio.add(bytes, n, frames);
}

// A frame of the stream read whole, from start to end: the layout's runs grow.
void frame_of_stream_whole(scan_context& c, std::int64_t start, std::int64_t end, std::int32_t samples);

// After the scan loop; ended is false when a stop condition (-b, -v) ended the
// scan before the stream did.
void finish_integrity(scan_context& c, bool ended);

}  // namespace framelint
