#include "report/play_clock.hpp"

#include <algorithm>
#include <cmath>
#include <cstdio>

#include "mpeg/frame_info.hpp"

namespace framelint {

play_clock clock_of(const stream_layout* layout)
{
    play_clock c;
    if (layout == nullptr || !layout->complete || layout->runs.empty()) {
        return c;
    }
    frame_info first = blank_frame_info();
    if (decode_header(layout->runs.front().first_header, first) == 0 || first.sample_freq <= 0 ||
        first.samples_per_frame <= 0) {
        return c;
    }
    c.layout = layout;
    c.sample_rate = first.sample_freq;
    c.samples_per_frame = first.samples_per_frame;
    if (layout->vbr_frame && *layout->vbr_frame == layout->runs.front().bytes.begin) {
        c.header_samples = first.samples_per_frame;
    }
    return c;
}

double play_clock::seconds() const
{
    if (!running()) {
        return 0;
    }
    std::int64_t samples = -header_samples;
    for (const frame_run& run : layout->runs) {
        samples += run.samples;
    }
    return static_cast<double>(std::max<std::int64_t>(samples, 0)) / sample_rate;
}

double play_clock::seconds_at(std::int64_t offset) const
{
    if (!running()) {
        return 0;
    }
    double samples = static_cast<double>(-header_samples);
    for (const frame_run& run : layout->runs) {
        if (offset <= run.bytes.begin) {
            break;
        }
        if (offset >= run.bytes.end || run.bytes.size() <= 0) {
            samples += static_cast<double>(run.samples);
            continue;
        }
        samples += static_cast<double>(run.samples) * static_cast<double>(offset - run.bytes.begin) /
                   static_cast<double>(run.bytes.size());
        break;
    }
    return std::max(samples, 0.0) / sample_rate;
}

double play_clock::frames_seconds(std::int64_t n) const
{
    return running() ? static_cast<double>(n) * samples_per_frame / sample_rate : 0;
}

double play_clock::bytes_per_second() const
{
    const double played = seconds();
    if (played <= 0) {
        return 0;
    }
    std::int64_t bytes = 0;
    for (const frame_run& run : layout->runs) {
        bytes += run.bytes.size();
    }
    return static_cast<double>(bytes) / played;
}

std::string clock_words(double seconds)
{
    const auto whole = static_cast<long long>(std::floor(std::max(seconds, 0.0)));
    char text[32];
    if (whole >= 3600) {
        std::snprintf(text, sizeof text, "%lld:%02lld:%02lld", whole / 3600, whole / 60 % 60, whole % 60);
    } else {
        std::snprintf(text, sizeof text, "%lld:%02lld", whole / 60, whole % 60);
    }
    return text;
}

std::string duration_words(double seconds)
{
    char text[32];
    if (seconds >= 60) {
        return clock_words(seconds);
    }
    if (seconds >= 10) {
        std::snprintf(text, sizeof text, "%.0f s", seconds);
    } else if (seconds >= 0.1) {
        std::snprintf(text, sizeof text, "%.1f s", seconds);
    } else {
        std::snprintf(text, sizeof text, "%.2f s", seconds);
    }
    return text;
}

}  // namespace framelint
