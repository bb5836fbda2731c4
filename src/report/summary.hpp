#pragma once
// The per-file summary: name/value lines, or one tab-separated line (-p).

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "mpeg/frame_info.hpp"
#include "integrity/verdict.hpp"
#include "io/output.hpp"
#include "options/scan_options.hpp"

namespace framelint {

// What the scan of one stream found, as the summary prints it.
struct summary_facts {
    std::int64_t good_frames = 0;
    std::int64_t bad_frames = 0;
    std::int64_t bytes_read = 0;
    std::int32_t bitrate_high = 0;
    std::int32_t bitrate_low = 0;
    std::int64_t bitrate_sum = 0;
    std::int64_t bitrate_frames = 0;  // how many bit rates went into bitrate_sum
    double play_seconds = 0.0;
    bool have_good_frame = false;
    const frame_info* last_good_frame = nullptr;  // set with have_good_frame
    std::optional<integrity_verdict> integrity;   // -c: what vouched for the stream
};

struct play_time {
    std::int32_t minutes = 0;
    std::int32_t seconds = 0;
    std::int32_t hundredths = 0;
};

// Truncates at every step, on the double values, as the reports always have.
play_time split_play_time(double play_seconds);

// What both the summary and the JSON report show, decided in one place.
// The bit-rate range and average are shown only when the bit rate varied.
bool bit_rate_varied(const summary_facts& f);
// VBR_AVERAGE: the mean of the frames' bit rates in kbit/s, truncated.
std::int64_t average_bit_rate(const summary_facts& f);
// The play time and the last header are shown once a frame was accepted.
bool has_last_header(const summary_facts& f);
// SONG_LENGTH: "mm:ss.hh".
std::string song_length_text(double play_seconds);

void report_summary(const summary_facts& facts, std::string_view file_label, const scan_options& options,
                    io::output& out);

}  // namespace framelint
