#pragma once
// The scanner's side of the integrity check (-c): the checks it makes on every
// accepted frame and at the end of the stream, and how a finding is counted.

#include "scan/scan_state.hpp"

namespace framelint {

// An accepted frame whose header and CRC word were just consumed; its body has
// not been. frame_start is its header's offset, expected_start where the frame
// was expected (for the first one: the start of the stream, or after its ID3v2 tag).
void watch_frame(scan_context& c, const frame_info& frame, std::int64_t frame_start, std::int64_t expected_start);

// After the scan loop; ended is false when a stop condition (-b, -v) ended the
// scan before the stream did.
void finish_integrity(scan_context& c, bool ended);

}  // namespace framelint
