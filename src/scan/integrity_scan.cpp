#include "scan/integrity_scan.hpp"

#include <algorithm>
#include <array>

#include "integrity/frame_crc.hpp"
#include "report/integrity_findings.hpp"

namespace framelint {
namespace {

// A finding is a bad frame, a warning, and a problem record.
void report(scan_context& c, problem_kind kind, std::int64_t offset, std::int64_t first = 0,
            std::int64_t second = 0)
{
    ++c.state.counters.bad_frames;
    const problem p{kind, true, offset, {first, second, 0}};
    print_finding(p, c.err);
    note_problem(c, kind, true, offset, first, second);
}

// Enough of the first frame for a Xing/Info header with every field and the
// LAME tag behind it, or a VBRI header.
constexpr std::size_t tag_frame_reach = 320;

void read_tag_frame(scan_context& c, const frame_info& frame, std::int64_t frame_start,
                    std::span<const std::uint8_t> body)
{
    integrity_watch& w = *c.watch;
    std::array<std::uint8_t, 6 + tag_frame_reach> bytes{};
    const std::uint32_t word = frame.int_header;
    bytes[0] = static_cast<std::uint8_t>(word >> 24);
    bytes[1] = static_cast<std::uint8_t>(word >> 16);
    bytes[2] = static_cast<std::uint8_t>(word >> 8);
    bytes[3] = static_cast<std::uint8_t>(word);
    std::size_t n = 4;
    if (frame.prot_bit != 0) {
        bytes[4] = static_cast<std::uint8_t>(frame.crc16_value >> 8);
        bytes[5] = static_cast<std::uint8_t>(frame.crc16_value);
        n = 6;
    }
    const std::size_t from_body = std::min(body.size(), bytes.size() - n);
    std::copy_n(body.data(), from_body, bytes.data() + n);
    const std::span<const std::uint8_t> seen(bytes.data(), n + from_body);

    w.counts = find_vbr_header(seen, word);
    if (!w.counts) {
        return;
    }
    w.tag_frame_start = frame_start;
    if (w.counts->kind == vbr_header_kind::vbri) {
        return;
    }
    w.lame = find_lame_tag(seen, w.counts->fields_end);
    if (!w.lame) {
        return;
    }
    if (!w.lame->tag_crc_matches()) {
        report(c, problem_kind::lame_tag_crc, frame_start, w.lame->tag_crc, w.lame->tag_crc_found);
        return;
    }
    w.watch_music(frame_start + frame.frame_length, frame_start + static_cast<std::int64_t>(w.lame->music_length));
}

void check_counts(scan_context& c)
{
    const integrity_watch& w = *c.watch;
    const vbr_header& h = *w.counts;
    const bool vbri = h.kind == vbr_header_kind::vbri;
    const std::int64_t after_tag = w.frames - 1;
    if (h.frames && *h.frames != after_tag && *h.frames != w.frames) {
        report(c, vbri ? problem_kind::vbri_frame_count : problem_kind::xing_frame_count, w.tag_frame_start,
               *h.frames, after_tag);
    }
    const std::int64_t bytes = w.last_end - w.tag_frame_start;
    if (h.bytes && *h.bytes != bytes) {
        report(c, vbri ? problem_kind::vbri_byte_count : problem_kind::xing_byte_count, w.tag_frame_start, *h.bytes,
               bytes);
    }
}

void check_music(scan_context& c)
{
    const integrity_watch& w = *c.watch;
    const std::int64_t end = w.tag_frame_start + static_cast<std::int64_t>(w.lame->music_length);
    if (end > w.fed()) {
        report(c, problem_kind::music_length, w.tag_frame_start, end, w.fed());
    } else if (w.music_crc() != w.lame->music_crc) {
        report(c, problem_kind::music_crc_mismatch, w.tag_frame_start, w.lame->music_crc, w.music_crc());
    }
}

void check_end(scan_context& c)
{
    const integrity_watch& w = *c.watch;
    if (w.last_end > w.fed()) {
        return;  // the stream ends inside the last frame: the scan has said so
    }
    // Every byte of a watched scan is consumed, none passed over by a seek, so
    // the input's history holds the stream's last bytes.
    static_assert(io::byte_source::history_size >= integrity_watch::tail_size);
    std::array<std::uint8_t, integrity_watch::tail_size> last{};
    const auto wanted = static_cast<std::size_t>(std::min<std::int64_t>(w.fed(), integrity_watch::tail_size));
    const std::size_t got = c.in.last_consumed(last.data(), wanted);
    const std::int64_t tags_end = w.forward_tags_end();
    const std::int64_t tags_begin = w.end_tags_begin(std::span<const std::uint8_t>(last.data(), got));
    if (tags_end < tags_begin) {
        report(c, problem_kind::trailing_junk, tags_end, tags_begin - tags_end);
    }
    if (tags_begin < w.last_end && tags_begin > w.last_start) {
        report(c, problem_kind::last_frame_cut_by_tag, w.last_start, w.last_end, tags_begin);
    }
}

integrity_verdict verdict_of(const scan_context& c, bool music_checked)
{
    const integrity_watch& w = *c.watch;
    if (c.state.counters.bad_frames > 0) {
        return integrity_verdict::damaged;
    }
    if (music_checked) {
        return integrity_verdict::music_crc;
    }
    if (w.frames > 0 && w.protected_frames == w.frames && w.frame_crcs_matched == w.frames) {
        return integrity_verdict::frame_crcs;
    }
    return integrity_verdict::structure;
}

}  // namespace

void watch_frame(scan_context& c, const frame_info& frame, std::int64_t frame_start, std::int64_t expected_start)
{
    integrity_watch& w = *c.watch;
    const bool first = w.frames == 0;
    w.frame_accepted(frame_start, frame_start + frame.frame_length);
    if (first && frame_start > expected_start) {
        report(c, problem_kind::leading_junk, expected_start, frame_start - expected_start);
    }
    if ((frame.int_header & 3u) == 2u) {
        report(c, problem_kind::reserved_emphasis, frame_start, frame.int_header);
    }
    if (!first && frame.prot_bit == 0) {
        return;
    }
    const std::int64_t body_size = frame.frame_length - (frame.prot_bit != 0 ? 6 : 4);
    const std::size_t reach = first ? tag_frame_reach : frame_crc_reach;
    const auto body = c.in.peek(static_cast<std::size_t>(std::clamp<std::int64_t>(body_size, 0, reach)));
    if (frame.prot_bit != 0) {
        ++w.protected_frames;
        if (const auto expected = expected_frame_crc(frame.int_header, body)) {
            if (*expected == frame.crc16_value) {
                ++w.frame_crcs_matched;
            } else {
                report(c, problem_kind::frame_crc_mismatch, frame_start, frame.crc16_value, *expected);
            }
        }
    }
    if (first) {
        read_tag_frame(c, frame, frame_start, body);
    }
}

void finish_integrity(scan_context& c, bool ended)
{
    integrity_watch& w = *c.watch;
    // The end of the stream is judged only where the stream itself ended: not
    // where -b or -v stopped the scan, nor where a read error or a failed
    // standard output cut it off (the file loop fails the run for those). Bytes
    // never read are no proof of a missing frame, a short count or junk.
    const bool at_stream_end = ended && c.in.error() == 0 && !c.in.stopped();
    bool music_checked = false;
    if (at_stream_end && w.frames == 0) {
        report(c, problem_kind::no_frames, c.state.counters.bytes_read);
    } else if (at_stream_end) {
        check_end(c);
        if (w.counts) {
            check_counts(c);
        }
        if (w.music_watched()) {
            check_music(c);
            music_checked = true;
        }
    }
    c.state.verdict = verdict_of(c, music_checked);
}

}  // namespace framelint
