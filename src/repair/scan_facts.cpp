#include "repair/scan_facts.hpp"

#include <algorithm>

namespace framelint {
namespace {

bool found(const problem_list& problems, problem_kind kind)
{
    return std::any_of(problems.kept.begin(), problems.kept.end(), [&](const problem& p) { return p.kind == kind; });
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
    f.music_crc_mismatch = found(p, problem_kind::music_crc_mismatch);
    f.music_crc_matched = w.music_watched() && !f.music_crc_mismatch && !found(p, problem_kind::music_length) &&
                          p.dropped == 0;
    f.vbr_without_header = found(p, problem_kind::vbr_without_header);
    for (const problem& q : p.kept) {
        if (q.kind == problem_kind::last_frame_cut_by_tag) {
            f.last_frame_cut_by_tag = byte_range{q.offset, q.numbers[1]};
        }
    }
    return f;
}

}  // namespace framelint
