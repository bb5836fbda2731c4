#include "cli/scan_facts.hpp"

#include <algorithm>

namespace framelint {
namespace {

bool found(const problem_list& problems, problem_kind kind)
{
    return std::any_of(problems.kept.begin(), problems.kept.end(), [&](const problem& p) { return p.kind == kind; });
}

// Whether the music the LAME tag vouches for was all there and its CRC differs:
// worked out again from the watch, as the check works it out, since the
// problem list keeps only its first problems and this one comes last.
bool music_crc_differs(const integrity_watch& w)
{
    if (!w.music_watched() || !w.lame || !w.lame->tag_crc_matches() || w.music_gain_explained) {
        return false;
    }
    const std::int64_t end = w.tag_frame_start + static_cast<std::int64_t>(w.lame->music_length);
    return end <= w.fed() && end > w.music_from() && w.music_crc() != w.lame->music_crc;
}

}  // namespace

repair_facts repair_facts_of(const scan_state& st)
{
    const problem_list& p = st.problems;
    const integrity_watch& w = st.integrity;
    repair_facts f;
    // Past the kept problems, a protected frame that failed its CRC still shows
    // in the watch's counts.
    f.frame_crc_mismatch = found(p, problem_kind::frame_crc_mismatch) ||
                           (p.dropped > 0 && w.protected_frames != w.frame_crcs_matched);
    f.format_switch = found(p, problem_kind::format_switch) || w.format_switched;
    f.music_crc_mismatch = found(p, problem_kind::music_crc_mismatch) || music_crc_differs(w);
    f.music_crc_matched = w.music_watched() && w.lame && w.lame->tag_crc_matches() && !f.music_crc_mismatch &&
                          !found(p, problem_kind::music_length) && p.dropped == 0;
    f.vbr_without_header = found(p, problem_kind::vbr_without_header);
    f.bit_rate_varies = st.rates.low > 0 && st.rates.low != st.rates.high;
    for (const problem& q : p.kept) {
        if (q.kind == problem_kind::last_frame_cut_by_tag) {
            f.last_frame_cut_by_tag = byte_range{q.offset, q.numbers[1]};
        }
    }
    if (!f.last_frame_cut_by_tag && p.dropped > 0) {
        // Not kept: read off the layout as the check found it, a tag at the end
        // that begins inside the last frame.
        for (const tag_range& t : st.layout.tags) {
            if (t.place == tag_place::trailing && t.bytes.begin > w.last_start && t.bytes.begin < w.last_end &&
                w.last_end <= w.fed()) {
                f.last_frame_cut_by_tag = byte_range{w.last_start, t.bytes.begin};
                break;
            }
        }
    }
    f.last_frame_cut = !f.last_frame_cut_by_tag && w.frames > 0 && w.last_end > w.fed();
    return f;
}

}  // namespace framelint
