#pragma once
// The header field dump (-v) and the per-frame dump (-vv).

#include <cstdint>

#include "mpeg/frame_info.hpp"
#include "io/output.hpp"

namespace framelint {

void dump_header(const frame_info& frame, io::output& out);

// good_frames and bytes_read are the scanner's counts at the call: the header
// (and a protected frame's CRC word) is counted, the body not yet.
void dump_frame(const frame_info& frame, std::int64_t good_frames, std::int64_t bytes_read, io::output& out);

}  // namespace framelint
