#include "scan/integrity_scan.hpp"

#include <algorithm>
#include <array>

#include "mpeg/frame_crc.hpp"
#include "tags/end_tags.hpp"
#include "integrity/gain_steps.hpp"
#include "mpeg/header_word.hpp"
#include "report/integrity_findings.hpp"
#include "scan/frame_account.hpp"
#include "scan/frame_chain.hpp"
#include "scan/scan_file.hpp"
#include "tags/id3v2_frames.hpp"

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

// A notice: printed and listed, but no bad frame, so neither the status nor
// the verdict changes.
void report_notice(scan_context& c, problem_kind kind, std::int64_t offset, std::int64_t first = 0,
                   std::int64_t second = 0, std::int64_t third = 0)
{
    const problem p{kind, false, offset, {first, second, third}};
    print_finding(p, c.err);
    note_problem(c, kind, false, offset, first, second, third);
}

// The layout holds ranges, so its size follows the damage, not the stream's
// length; past this many pieces of one kind it stops and says it is incomplete.
constexpr std::size_t layout_limit = 4096;

void add_tag(scan_context& c, tag_format format, tag_place place, std::int64_t begin, std::int64_t end,
             std::int64_t declared_end, bool damaged = false)
{
    std::vector<tag_range>& tags = c.state.layout.tags;
    if (tags.size() >= layout_limit) {
        c.watch->layout_overflow = true;
        return;
    }
    tags.push_back(tag_range{format, place, byte_range{begin, end}, declared_end, damaged});
}

tag_format layout_format(end_tag_kind kind)
{
    switch (kind) {
    case end_tag_kind::id3v1:
    case end_tag_kind::id3v1_enhanced: return tag_format::id3v1;
    case end_tag_kind::lyrics3v1: return tag_format::lyrics3v2;
    case end_tag_kind::apev2: return tag_format::apev2;
    case end_tag_kind::lyrics3v2: return tag_format::lyrics3v2;
    case end_tag_kind::id3v2: return tag_format::id3v2;
    }
    return tag_format::id3v2;
}

// Bit-rate index 0 on an otherwise valid header: a frame whose length only
// the distance to the next header tells.
constexpr bool free_format(std::uint32_t word)
{
    const header_word h{word};
    return has_sync(word) && h.version_bits() != 1u && h.layer_bits() != 0u && h.bit_rate_index() == 0u &&
           h.sample_rate_index() != 3u;
}
static_assert(free_format(0xFFFB0064u) && !free_format(0xFFFB9064u) && !free_format(0xFFFB0C64u));

// A stream of free-format frames shows the same header again and again; a
// chance sync word in junk does not.
constexpr std::int64_t free_format_evidence = 3;

// Enough of the first frame for a Xing/Info header with every field and the
// LAME tag behind it, or a VBRI header.
constexpr std::size_t tag_frame_reach = 320;

void read_tag_frame(scan_context& c, const frame_info& frame, std::int64_t frame_start,
                    std::span<const std::uint8_t> body)
{
    integrity_watch& w = *c.watch;
    std::array<std::uint8_t, 6 + tag_frame_reach> bytes{};
    const auto word_bytes = header_word{frame.int_header}.bytes();
    std::copy(word_bytes.begin(), word_bytes.end(), bytes.begin());
    std::size_t n = 4;
    if (frame.prot_bit != 0) {
        bytes[4] = static_cast<std::uint8_t>(frame.crc16_value >> 8);
        bytes[5] = static_cast<std::uint8_t>(frame.crc16_value);
        n = 6;
    }
    const std::size_t from_body = std::min(body.size(), bytes.size() - n);
    std::copy_n(body.data(), from_body, bytes.data() + n);
    const std::span<const std::uint8_t> seen(bytes.data(), n + from_body);

    w.counts = find_vbr_header(seen, frame.int_header);
    if (!w.counts) {
        return;
    }
    w.tag_frame_start = frame_start;
    if (w.counts->kind == vbr_header_kind::vbri) {
        return;
    }
    w.lame = find_lame_tag(seen, w.counts->fields_end, true);
    if (w.lame && w.lame->unknown_encoder && w.lame->tag_crc_matches()) {
        w.lame.reset();  // an encoder not known to write the music CRC: it vouches for nothing
    }
    if (!w.lame) {
        return;
    }
    // A tag whose own CRC fails was edited or damaged: the end of the stream
    // tells which (finish_integrity), so its music is watched all the same.
    w.watch_music(frame_start + frame.frame_length, frame_start + static_cast<std::int64_t>(w.lame->music_length));
    if (!c.in.rereadable()) {
        w.watch_gains();  // no second look at the audio later: its gains are summed now
    }
}

// Enough of a frame for a Xing/Info or VBRI header's text and flags, wherever
// they lie.
constexpr std::size_t vbr_header_reach = 70;

bool holds_vbr_header(std::span<const std::uint8_t> frame_start, std::uint32_t word)
{
    return has_vbr_header_text(frame_start.data(), frame_start.size(), xing_text_at(word)) &&
           find_vbr_header(frame_start, word).has_value();
}

// Whether a frame after the first carries a Xing/Info or VBRI header (its header
// and CRC word consumed, its body of body_size bytes not yet).
bool carries_vbr_header(scan_context& c, const frame_info& frame, std::int64_t body_size)
{
    std::array<std::uint8_t, vbr_header_reach> bytes{};
    const auto word_bytes = header_word{frame.int_header}.bytes();
    std::copy(word_bytes.begin(), word_bytes.end(), bytes.begin());
    std::size_t n = 4;
    if (frame.prot_bit != 0) {
        bytes[4] = static_cast<std::uint8_t>(frame.crc16_value >> 8);
        bytes[5] = static_cast<std::uint8_t>(frame.crc16_value);
        n = 6;
    }
    const auto body = c.in.peek(
        static_cast<std::size_t>(std::clamp<std::int64_t>(body_size, 0, static_cast<std::int64_t>(bytes.size() - n))));
    std::copy(body.begin(), body.end(), bytes.data() + n);
    n += body.size();
    return holds_vbr_header(std::span<const std::uint8_t>(bytes.data(), n), frame.int_header);
}

// Whether the header's counts are there and agree with the stream; those that
// do not are reported.
bool check_counts(scan_context& c)
{
    const integrity_watch& w = *c.watch;
    const vbr_header& h = *w.counts;
    const bool vbri = h.kind == vbr_header_kind::vbri;
    const std::int64_t after_tag = w.frames - 1;
    bool agree = h.frames && h.bytes;
    if (h.frames && *h.frames != after_tag && *h.frames != w.frames) {
        report(c, vbri ? problem_kind::vbri_frame_count : problem_kind::xing_frame_count, w.tag_frame_start,
               *h.frames, after_tag);
        agree = false;
    }
    // Bytes that exist: a last frame cut by the end of the stream counts only
    // what there is of it.
    const std::int64_t bytes = std::min(w.last_end, w.fed()) - w.tag_frame_start;
    if (h.bytes && *h.bytes != bytes) {
        report(c, vbri ? problem_kind::vbri_byte_count : problem_kind::xing_byte_count, w.tag_frame_start, *h.bytes,
               bytes);
        agree = false;
    }
    return agree;
}

// Where the stream's audio would end with nothing but its frames from the tag
// frame on: junk between them (a block spliced in) is no music the LAME tag
// should have declared. Without a whole layout, where the last frame ends.
std::int64_t audio_end(const scan_context& c)
{
    const integrity_watch& w = *c.watch;
    if (w.layout_overflow) {
        return w.last_end;
    }
    std::int64_t audio = 0;
    for (const frame_run& run : c.state.layout.runs) {
        audio += std::max<std::int64_t>(0, run.bytes.end - std::max(run.bytes.begin, w.tag_frame_start));
    }
    return w.tag_frame_start + audio;
}

// The MP3GAIN_UNDO record of a tag of the stream, read again from the input.
std::optional<gain_change> undo_record(const scan_context& c)
{
    constexpr std::int64_t largest_tag = 1 << 20;  // pictures aside, a tag is small
    std::vector<std::uint8_t> bytes;
    for (const tag_range& t : c.state.layout.tags) {
        if ((t.format != tag_format::apev2 && t.format != tag_format::id3v2) || t.bytes.size() > largest_tag) {
            continue;
        }
        bytes.resize(static_cast<std::size_t>(t.bytes.size()));
        bytes.resize(c.in.reread(t.bytes.begin, bytes));
        const auto record = t.format == tag_format::apev2 ? undo_record_in_apev2(bytes) : undo_record_in_id3v2(bytes);
        if (record) {
            return record;
        }
    }
    return std::nullopt;
}

// The global gains of the music's frames, read once more from the input (only
// their side information); none when they are not frame after frame.
std::optional<gain_fields> reread_gains(scan_context& c, std::int64_t music_end)
{
    const integrity_watch& w = *c.watch;
    const std::int64_t from = w.music_from();
    std::optional<gain_fields> fields(std::in_place, music_end - from);
    std::vector<std::uint8_t> block(io::byte_source::block_size);
    std::int64_t at = from;
    while (at < music_end) {
        const std::size_t got = c.in.reread(at, block);
        std::size_t p = 0;
        while (p + 4 <= got && at + static_cast<std::int64_t>(p) < music_end) {
            const std::uint32_t word = header_word::at(std::span(block).subspan(p)).word;
            frame_info f = blank_frame_info();
            if (!has_sync(word) || decode_header(word, f) == 0 || f.frame_length <= 4) {
                return std::nullopt;  // not frame after frame: something else changed
            }
            const auto length = static_cast<std::size_t>(f.frame_length);
            if (p + length > got && got == block.size() && p > 0) {
                break;  // read it whole from its start
            }
            const std::span<const std::uint8_t> frame(block.data() + p, std::min(length, got - p));
            if (!fields->add_frame(frame, at + static_cast<std::int64_t>(p) - from)) {
                return std::nullopt;
            }
            p += length;
        }
        if (p == 0) {
            return std::nullopt;
        }
        at += static_cast<std::int64_t>(p);
    }
    return fields;
}

// Whether the map has the music as one run of frames, frame after frame. A
// gain change leaves it so; junk, a gap or a tag inside it means something else
// changed, and the gains need not be read again to tell. (Without the map,
// in repair, the read tells.)
bool music_in_one_run(const scan_context& c, std::int64_t music_end)
{
    const stream_layout& map = c.state.layout;
    if (!c.stream_rules() || c.watch->layout_overflow) {
        return true;
    }
    const std::int64_t from = c.watch->music_from();
    for (const frame_run& run : map.runs) {
        if (run.bytes.begin <= from && from < run.bytes.end) {
            return music_end <= run.bytes.end;
        }
    }
    return false;
}

// Whether the music's CRC mismatch is a gain change after encoding: the
// change an undo record names, or else a uniform one found by trying.
std::optional<gain_change> gain_changed(scan_context& c, std::int64_t music_end)
{
    const integrity_watch& w = *c.watch;
    std::optional<gain_fields> reread;
    const gain_fields* fields = w.gains();
    if (fields == nullptr && c.in.rereadable() && music_in_one_run(c, music_end)) {
        reread = reread_gains(c, music_end);
        fields = reread ? &*reread : nullptr;
    }
    if (fields == nullptr) {
        return std::nullopt;
    }
    const std::uint16_t crc = w.music_crc();
    const std::uint16_t stored = w.lame->music_crc;
    if (const auto record = undo_record(c)) {
        if (const auto found = fields->explains(*record, crc, stored)) {
            return found;
        }
    }
    return fields->find_change(crc, stored);
}

void note_gain_change(scan_context& c, const gain_change& change)
{
    if (change.held_moved != 0) {
        report_notice(c, problem_kind::gain_changed_twice, c.watch->tag_frame_start, change.left, change.right,
                      change.held_moved);
        return;
    }
    report_notice(c, problem_kind::gain_changed, c.watch->tag_frame_start, change.left, change.right,
                  change.recorded ? 1 : 0);
}

// Whether the LAME tag's music CRC vouches for the audio (a tag whose own CRC
// fails vouches only where its music CRC still matches). counts_agree: the
// Xing/Info counts are there and agree with the stream.
bool check_music(scan_context& c, bool counts_agree)
{
    integrity_watch& w = *c.watch;
    const lame_tag& tag = *w.lame;
    const bool tag_sound = tag.tag_crc_matches();
    const std::int64_t end = w.tag_frame_start + static_cast<std::int64_t>(tag.music_length);
    if (tag_sound) {
        if (end > w.fed()) {
            report(c, problem_kind::music_length, w.tag_frame_start, end, w.fed());
        } else if (c.stream_rules() && end < audio_end(c)) {
            // The CRC covers less than the stream's audio: it vouches for the part
            // the tag declares, and the rest (often a second file) goes unchecked.
            report(c, problem_kind::music_ends_early, w.tag_frame_start, end, w.last_end);
        }
    }
    const bool comparable = end <= w.fed() && end > w.music_from();
    bool matches = comparable && w.music_crc() == tag.music_crc;
    std::optional<gain_change> gain;
    if (comparable && !matches && !tag.unknown_encoder) {
        gain = gain_changed(c, end);
        matches = gain.has_value();
        w.music_gain_explained = matches;
    }
    if (tag_sound) {
        if (comparable && !matches) {
            if (c.stream_rules() && end > w.last_end && w.last_end <= w.fed()) {
                // The music declared runs on past the last frame into the tags
                // after it: audio is missing (a cut stream made playable keeps the
                // whole's length), and the CRC was worked out over tag bytes.
                report(c, problem_kind::music_length, w.tag_frame_start, end, w.last_end);
            } else {
                report(c, problem_kind::music_crc_mismatch, w.tag_frame_start, tag.music_crc, w.music_crc());
            }
        } else if (gain) {
            note_gain_change(c, *gain);
        }
        return true;  // nothing there to compare, or no audio the tag vouches for: as it always was
    }
    if (matches) {
        // Edited after encoding (its encoder string, or a field a tool rewrote)
        // while the audio is what the encoder wrote.
        report_notice(c, problem_kind::lame_tag_edited, w.tag_frame_start, tag.tag_crc, tag.tag_crc_found);
        if (gain) {
            note_gain_change(c, *gain);
        }
        return true;
    }
    if (tag.unknown_encoder) {
        return false;  // nothing known of it: as if there were no tag
    }
    if (counts_agree) {
        // Rewritten for a stream that is not the one encoded (a part split off,
        // a header rebuilt by another tool): its music CRC no longer applies,
        // and its counts say the stream is whole.
        report_notice(c, problem_kind::lame_tag_rewritten, w.tag_frame_start, tag.tag_crc, tag.tag_crc_found);
        return false;
    }
    report(c, problem_kind::lame_tag_crc, w.tag_frame_start, tag.tag_crc, tag.tag_crc_found);
    return false;
}

// The tags read back from the end that begin at from or later, into the
// layout in stream order (they were read from the last one back).
void keep_end_tags(scan_context& c, const stream_end& end, std::int64_t from)
{
    for (std::size_t i = end.back_count; i-- > 0;) {
        const end_tag& t = end.back[i];
        const auto begin = static_cast<std::int64_t>(t.start);
        const std::vector<tag_range>& kept = c.state.layout.tags;
        const bool known = std::any_of(kept.begin(), kept.end(), [&](const tag_range& k) {
            return k.place == tag_place::trailing && k.bytes.begin == begin;
        });
        if (begin >= from && !known) {
            const std::int64_t tag_end = begin + static_cast<std::int64_t>(t.length);
            add_tag(c, layout_format(t.kind), tag_place::trailing, begin, tag_end, tag_end);
        }
    }
}

// The stream's last bytes from offset at on, into `into`. Every byte of a
// watched scan is consumed, none passed over by a seek, so the input's history
// holds the last of them (the input keeps more of them where they cannot be
// read again); those before it are read again where the input can be, and are
// not to be had where it cannot.
std::size_t stream_bytes_at(const scan_context& c, std::int64_t at, std::span<std::uint8_t> into)
{
    const std::int64_t fed = c.watch->fed();
    if (at >= fed) {
        return 0;
    }
    const auto wanted = static_cast<std::size_t>(std::min<std::int64_t>(fed - at, static_cast<std::int64_t>(into.size())));
    if (fed - at <= static_cast<std::int64_t>(io::byte_source::history_size)) {
        std::array<std::uint8_t, io::byte_source::history_size> last;  // filled by last_consumed
        const auto back = static_cast<std::size_t>(fed - at);
        if (c.in.last_consumed(last.data(), back) == back) {
            std::copy_n(last.data(), wanted, into.data());
            return wanted;
        }
    }
    return c.in.rereadable() ? c.in.reread(at, into.first(wanted)) : 0;
}

// Where the tags read by their headers after the last frame stop. Under the
// check's rules the scan read them into the layout as they came, each by its
// size: the chain of them from the frame's end on, as far as each one's size
// leads to the next (a tag whose size runs past the stream's end stops it at
// its start). Otherwise they are read here, from the input's last bytes or
// from the file again.
std::int64_t forward_tags_end(const scan_context& c)
{
    const integrity_watch& w = *c.watch;
    if (!c.stream_rules()) {
        // Where they cannot be read (standard input, past what the input
        // keeps), no junk is claimed after them.
        return tags_forward_end(w.last_end, w.fed(), [&](std::int64_t at, std::span<std::uint8_t> into) {
                   return stream_bytes_at(c, at, into);
               }).value_or(w.fed());
    }
    std::int64_t at = w.last_end;
    for (const tag_range& t : c.state.layout.tags) {
        if (t.place != tag_place::trailing || t.bytes.begin < at) {
            continue;
        }
        if (t.bytes.begin > at) {
            break;
        }
        if (t.declared_end > w.fed()) {
            return at;
        }
        at = t.declared_end;
    }
    return at;
}

stream_end_facts end_facts(const scan_context& c, std::span<const std::uint8_t> tail)
{
    const integrity_watch& w = *c.watch;
    stream_end_facts f;
    f.tail = tail;
    f.stream_end = w.fed();
    f.has_frame = w.frames > 0;
    f.last_start = w.last_start;
    f.last_end = w.last_end;
    f.stream_rules = c.stream_rules();
    if (f.has_frame && w.last_end <= w.fed()) {
        f.forward_end = forward_tags_end(c);
    }
    return f;
}

using tail_bytes = std::array<std::uint8_t, end_tail_size>;

stream_end settle_end(const scan_context& c)
{
    tail_bytes last{};
    const auto wanted = static_cast<std::size_t>(std::min<std::int64_t>(c.watch->fed(), end_tail_size));
    const std::span<const std::uint8_t> tail(last.data(), stream_bytes_at(c, c.watch->fed() - static_cast<std::int64_t>(wanted),
                                                                          std::span(last).first(wanted)));
    return settle_stream_end(end_facts(c, tail));
}

// The stream's end, settled once at the end of the scan: every check of the
// end reads it.
const stream_end& settled_end(scan_context& c)
{
    integrity_watch& w = *c.watch;
    if (!w.settled_end) {
        w.settled_end = settle_end(c);
    }
    return *w.settled_end;
}

}  // namespace

bool end_tags_cut_last_frame(const scan_context& c)
{
    // (Asked as the scan ends inside the last frame, before the end is settled.)
    return c.watch != nullptr && settle_end(c).frame_cut_by_tags;
}

namespace {

// Whether offset lies inside the tags after the stream's last whole frame: from
// the frame's end by their headers, or back from the stream's end by their footers.
bool inside_end_tags(scan_context& c, std::int64_t offset)
{
    const integrity_watch& w = *c.watch;
    if (w.frames == 0 || w.last_end > w.fed() || offset < w.last_end) {
        return false;
    }
    const stream_end& end = settled_end(c);
    return offset < end.forward_end || offset >= end.back_begin;
}

void check_end(scan_context& c)
{
    integrity_watch& w = *c.watch;
    const stream_end& end = settled_end(c);
    if (w.last_end > w.fed()) {
        if (end.frame_cut_by_tags) {
            // A file cut inside its last frame and tagged again: the tags
            // stand where the rest of the frame would have been.
            keep_end_tags(c, end, 0);
            settle_held_rejections(c, end.back_begin);
            report(c, problem_kind::last_frame_cut_by_tag, w.last_start, w.last_end, end.back_begin);
            return;
        }
        settle_held_rejections(c, INT64_MAX);
        return;  // the stream ends inside the last frame: the scan has said so
    }
    if (c.stream_rules()) {
        if (end.back_begin < end.forward_end) {
            // Read back from the end, the tags reach further than those read
            // by their headers, which took a tag's first bytes for a tag of
            // their own ("TAG+" before an ID3v1 tag read as one): the tags
            // read back say what the end is made of.
            std::vector<tag_range>& tags = c.state.layout.tags;
            while (!tags.empty() && tags.back().place == tag_place::trailing &&
                   tags.back().bytes.begin >= end.back_begin) {
                tags.pop_back();
            }
            keep_end_tags(c, end, end.back_begin);
        } else {
            keep_end_tags(c, end, end.forward_end);
        }
        settle_held_rejections(c, end.tags_begin());
    }
    if (end.junk_size() > 0) {
        report(c, problem_kind::trailing_junk, end.forward_end, end.junk_size());
    }
    if (end.back_begin < w.last_end && end.back_begin > w.last_start) {
        report(c, problem_kind::last_frame_cut_by_tag, w.last_start, w.last_end, end.back_begin);
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
    if (c.stream_rules() && !first) {
        if (stream_format(frame.int_header) != stream_format(w.last_word)) {
            // A first frame taken at the start of the stream, with no frame
            // where it said the next would be, is no stream of its own: a stray
            // sync word that the stream begins with, not a first file.
            const bool lone_first = w.frames == 1 && frame_start != w.last_end;
            // Between mono and two channels alone, the standard lets a stream
            // switch (its conformance streams do): said once.
            const bool channels_only =
                (stream_format(frame.int_header) ^ stream_format(w.last_word)) == 1u;
            if (channels_only) {
                if (!w.channels_switched) {
                    report_notice(c, problem_kind::mono_stereo_switch, frame_start, w.last_word, frame.int_header);
                }
                w.channels_switched = true;
            } else if (!lone_first) {
                report(c, problem_kind::format_switch, frame_start, w.last_word, frame.int_header);
            }
            w.format_switched = true;
        }
        // Tags read after the last run, now followed by frames again: a second
        // file's tags, two files joined. Said once for each gap.
        std::vector<tag_range>& tags = c.state.layout.tags;
        std::size_t i = tags.size();
        while (i > 0 && tags[i - 1].place == tag_place::trailing && tags[i - 1].bytes.begin >= w.last_end) {
            --i;
        }
        if (i < tags.size()) {
            report(c, problem_kind::joined_streams, tags[i].bytes.begin, tags[i].bytes.size(),
                   static_cast<std::int64_t>(tags[i].format));
            for (; i < tags.size(); ++i) {
                tags[i].place = tag_place::inner;
            }
        }
    }
    if (c.stream_rules() && (first || stream_format(frame.int_header) != stream_format(w.last_word))) {
        // The walk of known frames passes only frames whose header was decoded
        // before: with the decodes of any other format gone, a frame of another
        // format always comes back here.
        for (decoded_header& kept : c.state.decoded) {
            if (kept.word != 0 && stream_format(kept.word) != stream_format(frame.int_header)) {
                kept.word = 0;
            }
        }
    }
    w.last_word = frame.int_header;
    w.frame_accepted(frame_start, frame_start + frame.frame_length);
    if (first && frame_start > expected_start) {
        report(c, problem_kind::leading_junk, expected_start, frame_start - expected_start);
    }
    w.frame_left_out = false;
    w.frame_opens_run = false;
    if ((frame.int_header & 3u) == 2u) {
        report(c, problem_kind::reserved_emphasis, frame_start, frame.int_header);
        w.frame_left_out = true;
    }
    const std::int64_t body_size = frame.frame_length - (frame.prot_bit != 0 ? 6 : 4);
    if (!first && c.stream_rules()) {
        w.frame_opens_run = carries_vbr_header(c, frame, body_size);
    }
    if (!first && frame.prot_bit == 0) {
        return;
    }
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
        if (w.counts && c.stream_rules()) {
            c.state.layout.vbr_frame = frame_start;
        }
    }
}

// A frame at at of length bytes, in first and then second read as one, into the audio hash.
void hash_across(scan_context& c, std::span<const std::uint8_t> first, std::span<const std::uint8_t> second,
                 std::size_t at, std::size_t length)
{
    if (at + length > first.size() + second.size()) {
        c.state.audio.lost();
        return;
    }
    const std::size_t in_first = at < first.size() ? std::min(length, first.size() - at) : 0;
    if (in_first == length) {
        hash_audio(c, first.data() + at, length, 1);
        return;
    }
    hash_audio(c, first.data() + at, in_first, 0);
    const std::size_t from = at + in_first - first.size();
    hash_audio(c, second.data() + from, length - in_first, 1);
}

// How far back into an ID3v2 tag frames that its size swallowed are looked for.
constexpr std::size_t hidden_audio_reach = 16 * 1024;

// The bytes of the tag's end (last) and those after it, read as one.
struct across_tag_end {
    std::span<const std::uint8_t> last;
    std::span<const std::uint8_t> after;

    std::size_t size() const { return last.size() + after.size(); }
    std::uint8_t operator[](std::size_t i) const { return i < last.size() ? last[i] : after[i - last.size()]; }
    using position = std::size_t;
    bool header_fits(std::size_t i) const { return i + 4 <= size(); }
    std::uint32_t word_at(std::size_t i) const
    {
        const std::array<std::uint8_t, 4> b{(*this)[i], (*this)[i + 1], (*this)[i + 2], (*this)[i + 3]};
        return header_word::from(b.data()).word;
    }
};

// The length of the frame a valid header word begins; 0 when it is none.
std::size_t frame_length_of(std::uint32_t word)
{
    frame_info f = blank_frame_info();
    if (!has_sync(word) || decode_header(word, f) == 0 || f.frame_length <= 4) {
        return 0;
    }
    return static_cast<std::size_t>(f.frame_length);
}

// Where a chain of frames of one format begins in the tag's last bytes and goes
// on past its end, at least two frames beyond it; the first such place from the
// front. Returns the bytes of audio the tag hides (0: none). Nothing is looked
// for when a frame or a tag stands where the size says the tag ends.
std::int64_t find_hidden_audio(scan_context& c, std::span<const std::uint8_t> last)
{
    const auto after = c.in.peek(2 * scan_context::longest_frame + 8);
    const across_tag_end bytes{last, after};
    if (after.size() < 4 || frame_length_of(bytes.word_at(last.size())) != 0 ||
        tag_length_from_start(after.first(std::min(after.size(), tag_head_size))) != 0) {
        return 0;
    }
    for (std::size_t i = 0; i + 4 <= last.size(); ++i) {
        if (last[i] != 0xFF) {
            continue;
        }
        const std::uint32_t first = bytes.word_at(i);
        int beyond = 0;
        walk_frame_chain(bytes, i, [&](std::uint32_t word, std::size_t at) -> std::size_t {
            if (beyond == 2 || stream_format(word) != stream_format(first)) {
                return 0;
            }
            const std::size_t length = frame_length_of(word);
            beyond += length != 0 && at >= last.size() ? 1 : 0;
            return length;
        });
        if (beyond == 2) {
            return static_cast<std::int64_t>(last.size() - i);
        }
    }
    return 0;
}

// The frames the tag hid, from hidden bytes before its declared end: counted
// as the scan counts frames, the first read for the stream's tag as a first
// frame is, and the rest of the frame the tag's end cuts through consumed,
// so that the scan goes on at the next frame.
void take_hidden_audio(scan_context& c, std::span<const std::uint8_t> last, std::int64_t tag_start,
                       std::int64_t declared_end, std::int64_t hidden)
{
    scan_state& st = c.state;
    scan_counters& n = st.counters;
    integrity_watch& w = *c.watch;
    report(c, problem_kind::id3v2_size, tag_start, declared_end, hidden);
    const auto after = c.in.peek(scan_context::longest_frame);
    const across_tag_end bytes{last, after};
    const std::size_t first = last.size() - static_cast<std::size_t>(hidden);
    const auto tag_base = declared_end - static_cast<std::int64_t>(last.size());
    if (!w.first_whole_frame) {
        w.first_whole_frame = tag_base + static_cast<std::int64_t>(first);
    }
    // The chain find_hidden_audio found, to the frame the tag's end cuts through.
    const std::size_t end = walk_frame_chain(bytes, first, [&](std::uint32_t word, std::size_t at) -> std::size_t {
        const auto length = static_cast<std::int32_t>(frame_length_of(word));
        if (at >= last.size() || length == 0) {
            return 0;
        }
        frame_info f = blank_frame_info();
        decode_header(word, f);
        const std::int64_t frame_start = tag_base + static_cast<std::int64_t>(at);
        bool header_frame = false;  // a second file's VBR header frame: no audio
        if (w.frames == 0) {
            w.last_word = word;
            w.frame_accepted(frame_start, frame_start + length);
            const std::size_t body_at = at + (f.prot_bit != 0 ? 6 : 4);
            if (body_at < last.size()) {
                const auto body = last.subspan(body_at, std::min<std::size_t>(last.size() - body_at, tag_frame_reach));
                if (f.prot_bit != 0) {
                    f.crc16_value = static_cast<std::uint16_t>(last[at + 4] << 8 | last[at + 5]);
                }
                read_tag_frame(c, f, frame_start, body);
                if (w.counts) {
                    st.layout.vbr_frame = frame_start;
                }
                const std::size_t audio_at = at + static_cast<std::size_t>(length);
                if (audio_at < last.size()) {
                    w.catch_up_music(last.data() + audio_at, tag_base + static_cast<std::int64_t>(audio_at),
                                     last.size() - audio_at);
                }
            }
        } else {
            w.last_word = word;
            w.frame_accepted(frame_start, frame_start + length);
            // A second file's header frame opens a run of its own.
            std::array<std::uint8_t, vbr_header_reach> head{};
            const std::size_t have = std::min({head.size(), static_cast<std::size_t>(length), bytes.size() - at});
            for (std::size_t i = 0; i < have; ++i) {
                head[i] = bytes[at + i];
            }
            header_frame = holds_vbr_header(std::span<const std::uint8_t>(head.data(), have), word);
        }
        if (f.prot_bit != 0 && at + 6 <= bytes.size()) {
            // Its CRC word, checked as watch_frame checks every protected frame.
            std::array<std::uint8_t, frame_crc_reach> body{};
            const std::size_t body_at = at + 6;
            const std::size_t have =
                body_at < bytes.size()
                    ? std::min({body.size(), static_cast<std::size_t>(length) - 6, bytes.size() - body_at})
                    : 0;
            for (std::size_t i = 0; i < have; ++i) {
                body[i] = bytes[body_at + i];
            }
            ++w.protected_frames;
            const auto stored = static_cast<std::uint16_t>(bytes[at + 4] << 8 | bytes[at + 5]);
            if (const auto expected = expected_frame_crc(word, std::span<const std::uint8_t>(body.data(), have))) {
                if (*expected == stored) {
                    ++w.frame_crcs_matched;
                } else {
                    report(c, problem_kind::frame_crc_mismatch, frame_start, stored, *expected);
                }
            }
        }
        // Into the layout's runs as a frame the scan read whole: one with
        // reserved emphasis is in none.
        if ((word & 3u) != 2u) {
            grow_runs(c, frame_run{byte_range{frame_start, frame_start + length}, 1, f.samples_per_frame, word, frame_start},
                      header_frame);
            if (c.hashes_audio && !header_frame && frame_start != st.layout.vbr_frame) {
                hash_across(c, bytes.last, bytes.after, at, static_cast<std::size_t>(length));
            }
        }
        count_good_frames(n, 1);
        tally_frame(n.play_seconds, st.rates,
                    static_cast<double>(f.samples_per_frame) / static_cast<double>(f.sample_freq), f.bit_rate);
        keep_last_good_frame(st, word, 0);
        return static_cast<std::size_t>(length);
    });
    // The frame the tag's end cuts through: the rest of it is audio too.
    consume_counted(c, end > last.size() ? end - last.size() : 0, false);
}

namespace {

std::uint32_t word_at(const std::uint8_t* p)
{
    return header_word::from(p).word;
}

// Bytes ahead of the scan, and whether the stream ends where they do (they are
// fewer than were asked for).
struct lookahead {
    std::span<const std::uint8_t> bytes;
    bool stream_ends;
};

lookahead look_ahead(scan_context& c, std::size_t wanted)
{
    const auto bytes = c.in.peek(wanted);
    return {bytes, bytes.size() < wanted};
}

// Whether `needed` frames over which a frame with header found carries no more
// follow one another from at, each where the one before says; when may_end,
// fewer will do if the end of the stream or a tag comes next.
bool frames_follow(const lookahead& ahead, std::size_t at, std::uint32_t found, int needed, bool may_end)
{
    const std::span<const std::uint8_t> bytes = ahead.bytes;
    int seen = 0;
    bool broken = false;  // a header that is no frame of the chain
    const auto stop = static_cast<std::size_t>(
        walk_frame_chain(contiguous_bytes{bytes.data() + bytes.size()}, bytes.data() + at,
                         [&](std::uint32_t word, const std::uint8_t*) -> std::size_t {
        if (seen == needed || !has_sync(word)) {
            return 0;
        }
        frame_info next = blank_frame_info();
        if (decode_header(word, next) == 0 || carries_more_than(found, word) || next.frame_length <= 4) {
            broken = true;
            return 0;
        }
        ++seen;
        return static_cast<std::size_t>(next.frame_length);
    }) - bytes.data());
    if (seen == needed) {
        return true;
    }
    if (broken) {
        return false;
    }
    if (stop == bytes.size() && ahead.stream_ends) {
        return may_end;
    }
    if (bytes.size() < stop + 4) {
        return false;  // the stream ends inside the last one, or the look ahead does
    }
    // Bytes that are no header: a tag, or nothing that ends the stream.
    return may_end && may_begin_tag(bytes[stop]) &&
           tag_length_from_start(bytes.subspan(stop, std::min(bytes.size() - stop, tag_head_size))) != 0;
}

// Whether the CRC word of a frame with header word matches, after_header
// holding its bytes from the CRC word on. (Unprotected: nothing to match.)
bool crc_holds(std::uint32_t word, std::span<const std::uint8_t> after_header)
{
    if (!header_word{word}.has_crc()) {
        return true;
    }
    if (after_header.size() < 2) {
        return false;
    }
    const auto stored = static_cast<std::uint16_t>(after_header[0] << 8 | after_header[1]);
    const auto expected =
        expected_frame_crc(word, after_header.subspan(2, std::min(after_header.size() - 2, frame_crc_reach)));
    return !expected || *expected == stored;
}

// A protected frame found off its place whose CRC fails while the next one's
// holds is a chance header (or a broken one), no frame of the stream; when the
// next one's fails too, the stream's CRCs are wrong throughout (an encoder's
// fault) and are reported frame by frame as at their place.
bool crc_confirms(const frame_info& frame, const lookahead& ahead)
{
    const std::span<const std::uint8_t> bytes = ahead.bytes;
    if (frame.prot_bit == 0 || crc_holds(frame.int_header, bytes)) {
        return true;
    }
    const auto next = static_cast<std::size_t>(frame.frame_length - 4);
    return bytes.size() >= next + 4 && !crc_holds(word_at(bytes.data() + next), bytes.subspan(next + 4));
}

}  // namespace

namespace {

// Passes n bytes of a tag, fed to the watch as every byte is; how many there were.
// The last bytes of an ID3v2 tag (by its size), kept while it passes: a
// tagger that wrote too large a size hides the first frames of the audio there.
struct tag_last_bytes {
    std::vector<std::uint8_t> bytes;
    std::int64_t from = 0;  // the stream offset of bytes[0]

    void keep(const std::uint8_t* p, std::size_t len, std::int64_t at)
    {
        const std::int64_t to = from + static_cast<std::int64_t>(bytes.size());
        const std::int64_t begin = std::max(at, from);
        const std::int64_t end = std::min(at + static_cast<std::int64_t>(len), to);
        if (begin < end) {
            std::copy_n(p + (begin - at), end - begin, bytes.data() + (begin - from));
        }
    }
};

std::uint64_t pass_tag_bytes(scan_context& c, std::uint64_t n, tag_last_bytes& last)
{
    std::int64_t at = c.state.counters.bytes_read;
    const std::uint64_t got = c.in.consume(n, [&](const std::uint8_t* bytes, std::size_t len) {
        c.watch->feed(bytes, len);
        last.keep(bytes, len, at);
        at += static_cast<std::int64_t>(len);
    });
    c.state.counters.bytes_read += static_cast<std::int64_t>(got);
    return got;
}

// Where an ID3v2 tag's frames say it ends, when that differs from its size.
struct id3v2_true_end {
    std::int64_t end = 0;    // where the stream's frames begin after the tag's frames and padding
    bool too_large = false;  // the size runs past them into the frames; else it stops inside them
    bool past_stream = false;  // the size runs past the end of the stream
};

// Walks the frames of the ID3v2 tag that begins at start (the first 4 bytes of
// header consumed, header holding its 10) as far as its size reaches, consuming
// them. When the frames, their zero padding and then a stream's frames put the
// tag's end elsewhere than declared_end, that end is returned with the bytes
// up to it consumed; otherwise nothing more than whole frames within the
// declared size is consumed, and the caller reads on by the size.
std::optional<id3v2_true_end> walk_id3v2_frames(scan_context& c, std::span<const std::uint8_t> header,
                                                std::int64_t start, std::int64_t declared_end, tag_last_bytes& last)
{
    const int version = id3v2_walkable_version(header);
    if (version == 0 || declared_end < start + 10) {
        return std::nullopt;
    }
    scan_counters& n = c.state.counters;
    const std::size_t head_size = id3v2_frame_head_size(version);
    if (pass_tag_bytes(c, 6, last) < 6) {
        return std::nullopt;
    }
    // The frames that end within the size, passed whole.
    const std::int64_t first_frame = n.bytes_read;
    for (;;) {
        const auto head = c.in.peek(head_size);
        const std::uint64_t length = id3v2_frame_length(head, version);
        if (length == 0 || n.bytes_read + static_cast<std::int64_t>(length) > declared_end ||
            n.bytes_read == declared_end) {
            break;
        }
        if (pass_tag_bytes(c, length, last) < length) {
            return std::nullopt;
        }
    }
    // From here on, as far as the look ahead goes: frames that run past the
    // size, the padding, and where the stream's frames begin. A short look
    // settles a tag with a little padding; a longer one is taken only when
    // the short one ends before anything is settled.
    const std::int64_t here = n.bytes_read;
    const bool content = here > first_frame;
    for (const std::size_t window : {std::size_t{16 * 1024}, io::byte_source::block_size}) {
        const auto ahead = c.in.peek(window);
        const bool stream_ends = ahead.size() < window;
        const bool last_look = stream_ends || window == io::byte_source::block_size;
        std::size_t at = 0;
        bool crossed = false;
        bool beyond = false;  // a frame runs past the look ahead
        while (at + head_size <= ahead.size()) {
            const std::uint64_t length = id3v2_frame_length(ahead.subspan(at, head_size), version);
            if (length == 0 || at + length > ahead.size()) {
                beyond = length != 0;
                break;
            }
            at += static_cast<std::size_t>(length);
            crossed = true;
        }
        while (at < ahead.size() && ahead[at] == 0) {
            ++at;
        }
        if (!last_look && (beyond || ahead.size() < at + 3 * scan_context::longest_frame + 8)) {
            continue;  // nothing settled within the short look
        }
        const std::int64_t frames_at = here + static_cast<std::int64_t>(at);
        // A tag with no frame of its own shows nothing of where it ends.
        if (!(content || crossed) || frames_at == declared_end ||
            (crossed ? frames_at < declared_end : frames_at > declared_end) || ahead.size() < at + 4) {
            return std::nullopt;
        }
        const auto frames_begin_at = [&](std::size_t from) {
            if (ahead.size() < from + 4) {
                return false;
            }
            const std::uint32_t word = word_at(ahead.data() + from);
            frame_info f = blank_frame_info();
            const lookahead rest{ahead.subspan(from), stream_ends};
            return has_sync(word) && decode_header(word, f) != 0 && !free_format(word) &&
                   frames_follow(rest, 0, word, 3, true) &&
                   crc_confirms(f, lookahead{rest.bytes.subspan(4), stream_ends});
        };
        if (!frames_begin_at(at)) {
            return std::nullopt;
        }
        // Where frames begin right at the size's end too, the size is right and
        // a frame of the tag misstates its own length: nothing is hidden.
        if (crossed && frames_begin_at(static_cast<std::size_t>(declared_end - here))) {
            return std::nullopt;
        }
        const bool past_stream = stream_ends && here + static_cast<std::int64_t>(ahead.size()) < declared_end;
        pass_tag_bytes(c, at, last);
        return id3v2_true_end{frames_at, !crossed, past_stream};
    }
    return std::nullopt;
}

// A tag that begins 4 bytes back (head holding its first bytes) and is length
// bytes long, read whole by its size; leading: before the first frame;
// after_junk: a finding was just printed; headerless_apev2: an APEv2 tag
// without a header, read by its items.
void read_tag(scan_context& c, const std::array<std::uint8_t, tag_head_size>& head, std::uint64_t length, bool leading,
              bool after_junk = false, bool headerless_apev2 = false)
{
    scan_state& st = c.state;
    const bool id3v2 = head[0] == 'I' && !headerless_apev2;
    scan_counters& n = st.counters;
    const std::int64_t start = n.bytes_read - 4;
    if (leading) {
        // As the tag at the very start is told of: each tag before the audio (on
        // a line of its own after a finding, which ends without one).
        c.err.print(after_junk ? "\nPossible ID3v2 frame found, skipping\n" : "Possible ID3v2 frame found, skipping\n");
        if (c.options.id3v2_error) {
            ++n.bad_frames;
        }
        const std::uint32_t size = id3v2_synchsafe(static_cast<std::uint32_t>(head[6]) << 24 |
                                                   static_cast<std::uint32_t>(head[7]) << 16 |
                                                   static_cast<std::uint32_t>(head[8]) << 8 | head[9]);
        note_problem(c, problem_kind::id3v2_tag, c.options.id3v2_error, start, size);
    }
    const std::int64_t declared_end = start + static_cast<std::int64_t>(length);
    if (!id3v2) {
        consume_counted(c, length - 4, false);
        bool damaged = false;
        if (head[0] == 'A' && length >= 64 && std::equal(head.begin(), head.begin() + 8, "APETAGEX")) {
            // Read by its header: the footer it promises must end it.
            std::array<std::uint8_t, 32> footer{};
            const std::size_t got = c.in.last_consumed(footer.data(), footer.size());
            damaged = !apev2_footer_matches(std::span<const std::uint8_t>(head.data(), 32),
                                            std::span<const std::uint8_t>(footer.data(), got));
            if (damaged) {
                report(c, problem_kind::apev2_footer, start, n.bytes_read - 32);
            }
        }
        add_tag(c, head[0] == 'T' && !headerless_apev2 ? tag_format::id3v1 : tag_format::apev2,
                leading ? tag_place::leading : tag_place::trailing, start, n.bytes_read, declared_end, damaged);
        n.next_expected = n.bytes_read + 4;
        return;
    }
    const std::uint64_t whole_rest = length - 4;
    tag_last_bytes last;
    last.bytes.resize(static_cast<std::size_t>(std::min<std::uint64_t>(whole_rest, hidden_audio_reach)));
    last.from = declared_end - static_cast<std::int64_t>(last.bytes.size());
    const std::span<const std::uint8_t> header(head.data(), 10);
    if (const auto true_end = walk_id3v2_frames(c, header, start, declared_end, last)) {
        if (true_end->too_large) {
            report(c, problem_kind::id3v2_size, start, declared_end,
                   true_end->past_stream ? 0 : declared_end - true_end->end);
        } else {
            report(c, problem_kind::id3v2_size_short, start, declared_end, true_end->end);
        }
        add_tag(c, tag_format::id3v2, leading ? tag_place::leading : tag_place::trailing, start, true_end->end,
                declared_end);
        n.next_expected = n.bytes_read + 4;
        return;
    }
    // Its frames settle nothing: the rest is read by its size, as it always was.
    const std::uint64_t rest = static_cast<std::uint64_t>(declared_end - n.bytes_read);
    const std::uint64_t got = pass_tag_bytes(c, rest, last);
    std::int64_t tag_end = n.bytes_read;
    std::int64_t hidden = 0;
    if (got < rest) {
        report(c, problem_kind::id3v2_size, start, declared_end, 0);
    } else {
        hidden = find_hidden_audio(c, last.bytes);
        tag_end -= hidden;
    }
    add_tag(c, tag_format::id3v2, leading ? tag_place::leading : tag_place::trailing, start, tag_end, declared_end);
    if (hidden > 0) {
        take_hidden_audio(c, last.bytes, start, declared_end, hidden);
    }
    n.next_expected = n.bytes_read + 4;
}

// The length of an APEv2 tag without a header that begins 4 bytes back (the
// word just read), read by its items up to its footer; 0 when none does. Its
// first item's flags and key are looked at before anything else: junk seldom
// passes that.
std::uint64_t apev2_at_frame_end(scan_context& c)
{
    const std::uint32_t word = c.state.header_word;
    const auto first = c.in.peek(6);
    if (first.size() < 6 || first[0] > 7 || first[1] != 0 || first[2] != 0 || first[3] != 0 || first[4] < 0x20 ||
        first[4] > 0x7E || first[5] < 0x20 || first[5] > 0x7E) {
        return 0;
    }
    const auto ahead = c.in.peek(io::byte_source::block_size - 4);
    std::vector<std::uint8_t> bytes(4 + ahead.size());
    const auto word_bytes = header_word{word}.bytes();
    std::copy(word_bytes.begin(), word_bytes.end(), bytes.begin());
    std::copy(ahead.begin(), ahead.end(), bytes.begin() + 4);
    return apev2_length_from_items(bytes);
}

}  // namespace

bool read_tag_at_frame_end(scan_context& c)
{
    scan_state& st = c.state;
    const integrity_watch& w = *c.watch;
    std::array<std::uint8_t, tag_head_size> head{};
    const auto word_bytes = header_word{st.header_word}.bytes();
    std::copy(word_bytes.begin(), word_bytes.end(), head.begin());
    // Before the first frame only ID3v2 tags are looked for; after a frame any
    // tag that begins with its own header, or an APEv2 tag without one.
    const bool leading = w.frames == 0;
    if (!leading && !may_begin_tag(head[0])) {
        const std::uint64_t length = apev2_at_frame_end(c);
        if (length == 0) {
            return false;
        }
        read_tag(c, head, length, false, false, true);
        return true;
    }
    if (leading && head[0] != 'I') {
        return false;
    }
    const auto ahead = c.in.peek(tag_head_size - 4);
    std::copy(ahead.begin(), ahead.end(), head.begin() + 4);
    const std::span<const std::uint8_t> seen(head.data(), 4 + ahead.size());
    const std::uint64_t length = tag_length_from_start(seen);
    if (length == 0 || (leading && head[0] != 'I')) {
        return false;
    }
    read_tag(c, head, length, leading);
    return true;
}

bool read_id3v2_after_junk(scan_context& c)
{
    scan_state& st = c.state;
    std::array<std::uint8_t, tag_head_size> head{};
    const auto word_bytes = header_word{st.header_word}.bytes();
    std::copy(word_bytes.begin(), word_bytes.end(), head.begin());
    const auto header_rest = c.in.peek(6);
    std::copy(header_rest.begin(), header_rest.end(), head.begin() + 4);
    const std::uint64_t length =
        strict_id3v2_length(std::span<const std::uint8_t>(head.data(), 4 + header_rest.size()));
    if (length == 0) {
        return false;
    }
    // What its size leads to must be seen before it is believed: a tag's header
    // left in junk (a tag rewritten elsewhere, a cut one) leads nowhere. A tag
    // too long to look past is believed on its header, which stray bytes do not
    // make; a size that runs into the audio is then caught as at the start.
    const std::uint64_t rest = length - 4;
    constexpr std::size_t reach = io::byte_source::block_size;
    constexpr std::size_t after_need = 3 * scan_context::longest_frame + 4;
    if (rest + after_need <= reach) {
        const lookahead ahead = look_ahead(c, static_cast<std::size_t>(rest) + after_need);
        const auto end = static_cast<std::size_t>(rest);
        if (ahead.bytes.size() < end) {
            return false;  // the stream ends inside it: junk, as it always was
        }
        bool leads_on = end == ahead.bytes.size() && ahead.stream_ends;
        if (!leads_on && ahead.bytes.size() >= end + 4) {
            const std::uint32_t next = word_at(ahead.bytes.data() + end);
            // (A free-format frame's length is in no header: its header is all
            // there is to see.)
            leads_on = has_sync(next) ? free_format(next) || frames_follow(ahead, end, next, 3, true)
                                      : frames_follow(ahead, end, 0, 1, true);
        }
        if (!leads_on) {
            return false;
        }
    }
    const std::int64_t start = st.counters.bytes_read - 4;
    const std::int64_t expected_start = st.counters.next_expected - 4;
    settle_held_rejections(c, start);  // the rejections before it lay in junk
    report(c, problem_kind::leading_junk, expected_start, start - expected_start);
    read_tag(c, head, length, true, true);
    return true;
}

bool belongs_to_stream(scan_context& c, const frame_info& frame)
{
    const scan_counters& n = c.state.counters;
    const integrity_watch& w = *c.watch;
    // Unlike the stream's frames, it would stand for a finding of its own (a
    // change of format, a CRC, a reserved emphasis). At its place only a change
    // of format needs more than its place: a header whose last bytes a zeroed
    // block begins in reads as one (a mono frame turned stereo), while a broken
    // protection or emphasis bit there is that frame's own damage.
    const bool at_place = n.bytes_read == n.next_expected;
    const std::uint32_t word = frame.int_header;
    const bool unlike = w.frames > 0 && (at_place ? stream_format(word) != stream_format(w.last_word)
                                                  : carries_more_than(word, w.last_word));
    if (at_place && !unlike) {
        return true;
    }
    const std::int32_t length = frame.frame_length;
    if (length > 4) {
        // Two frames like it after it: bytes that merely hold header words here
        // and there rarely line up twice. Or, for one like the stream's, one and
        // then a tag or the end.
        const auto body = static_cast<std::size_t>(length - 4);
        const lookahead ahead = look_ahead(c, body + scan_context::longest_frame + 4);
        if (frames_follow(ahead, body, word, 2, !unlike) && crc_confirms(frame, ahead)) {
            return true;
        }
    }
    if (unlike) {
        // Its decode must not let the walk of known frames take a header like it later.
        decoded_header& kept = c.state.decoded[decoded_slot(frame.int_header)];
        if (kept.word == frame.int_header) {
            kept.word = 0;
        }
    }
    return false;
}

void hold_rejected_header(scan_context& c)
{
    integrity_watch& w = *c.watch;
    const std::uint32_t word = c.state.header_word;
    const std::int64_t offset = c.state.counters.bytes_read;
    if (free_format(word)) {
        if (w.free_format_headers == 0) {
            w.free_format_first = offset - 4;
            w.free_format_word = word;
        }
        if (stream_format(word) == stream_format(w.free_format_word)) {
            ++w.free_format_headers;
            return;
        }
    }
    if (w.held.size() < integrity_watch::held_limit) {
        w.held.push_back({offset, word});
    } else {
        ++w.held_beyond;
        w.held_beyond_last = offset;
    }
}

void settle_held_rejections(scan_context& c, std::int64_t limit)
{
    integrity_watch& w = *c.watch;
    scan_counters& n = c.state.counters;
    for (const integrity_watch::held_rejection& h : w.held) {
        if (h.offset - 4 >= limit) {
            break;
        }
        ++n.bad_frames;
        note_problem(c, problem_kind::header_rejected, true, h.offset, h.word);
    }
    if (w.held_beyond > 0 && w.held_beyond_last - 4 < limit) {
        n.bad_frames += w.held_beyond;
    }
    w.held.clear();
    w.held_beyond = 0;
}

void frame_of_stream_whole(scan_context& c, std::int64_t start, std::int64_t end, std::int32_t samples)
{
    integrity_watch& w = *c.watch;
    if (!w.first_whole_frame) {
        w.first_whole_frame = start;
    }
    if (w.frame_left_out) {
        return;  // its bytes lie between runs, as junk does
    }
    if (c.hashes_audio && start != c.state.layout.vbr_frame && !w.frame_opens_run) {
        // The frame was consumed just now: its bytes are the input's last ones,
        // hashed where they lie unless the buffer moved on in the middle of it.
        std::array<std::uint8_t, scan_context::longest_frame> frame;  // filled by last_consumed
        const auto length = static_cast<std::size_t>(end - start);
        const std::span<const std::uint8_t> in_place =
            c.state.counters.bytes_read == end ? c.in.last_consumed_in_place(length) : std::span<const std::uint8_t>();
        if (!in_place.empty()) {
            hash_audio(c, in_place.data(), length, 1);
        } else if (c.state.counters.bytes_read == end && length <= frame.size() &&
                   c.in.last_consumed(frame.data(), length) == length) {
            hash_audio(c, frame.data(), length, 1);
        } else {
            c.state.audio.lost();
        }
    }
    grow_runs(c, frame_run{byte_range{start, end}, 1, samples, w.last_word, start}, w.frame_opens_run);
}

void grow_runs(scan_context& c, const frame_run& frames, bool opens_run)
{
    std::vector<frame_run>& runs = c.state.layout.runs;
    if (!opens_run && !runs.empty() && runs.back().bytes.end == frames.bytes.begin) {
        frame_run& run = runs.back();
        run.bytes.end = frames.bytes.end;
        run.frames += frames.frames;
        run.samples += frames.samples;
        run.last_frame = frames.last_frame;
        return;
    }
    if (runs.size() >= layout_limit) {
        c.watch->layout_overflow = true;
        return;
    }
    runs.push_back(frames);
}

void finish_integrity(scan_context& c, bool ended)
{
    integrity_watch& w = *c.watch;
    // The end of the stream is judged only where the stream itself ended: not
    // where -b or -v stopped the scan, nor where a read error or a failed
    // standard output cut it off (the file loop fails the run for those). Bytes
    // never read are no proof of a missing frame, a short count or junk.
    const bool at_stream_end = ended && c.in.error() == 0 && !c.in.stopped();
    // Sync words inside the tags that end the stream are no stream of their
    // own, however alike they look.
    const bool free = c.stream_rules() && w.free_format_headers >= free_format_evidence &&
                      !(at_stream_end && inside_end_tags(c, w.free_format_first));
    bool music_checked = false;
    if (free) {
        // Its frames' lengths are in no header: the stream is neither junk nor
        // checked. Said once, and nothing is said of its audio.
        report_notice(c, problem_kind::free_format, w.free_format_first, w.free_format_word);
        // Sync words in its audio are no damage of their own.
        settle_held_rejections(c, w.free_format_first);
    }
    if (!at_stream_end && w.lame && !w.lame->tag_crc_matches() && !w.lame->unknown_encoder) {
        // Without the stream's end nothing tells an edit from damage.
        report(c, problem_kind::lame_tag_crc, w.tag_frame_start, w.lame->tag_crc, w.lame->tag_crc_found);
    }
    if (at_stream_end && w.frames == 0) {
        if (c.stream_rules()) {
            settle_held_rejections(c, INT64_MAX);
        }
        if (!free) {
            report(c, problem_kind::no_frames, c.state.counters.bytes_read);
        }
    } else if (at_stream_end) {
        if (!free) {
            check_end(c);
        }
        const bool counts_agree = w.counts && !free && check_counts(c);
        if (w.music_watched()) {
            music_checked = check_music(c, counts_agree);
        }
        const bool layer3 = header_word{w.last_word}.layer3();
        const bitrate_stats& rates = c.state.rates;
        if (c.stream_rules() && layer3 && !w.counts && !w.format_switched && rates.low != rates.high && rates.low > 0) {
            report_notice(c, problem_kind::vbr_without_header, w.first_whole_frame.value_or(w.last_start), rates.low,
                          rates.high);
        }
    }
    if (c.stream_rules()) {
        stream_layout& layout = c.state.layout;
        layout.stream_end = w.fed();
        layout.complete = at_stream_end && !w.layout_overflow;
        // A hash of part of the stream, or of no frame at all, would vouch for nothing.
        const audio_hash& audio = c.state.audio;
        if (c.hashes_audio && at_stream_end && audio.whole() && audio.frames() > 0) {
            c.state.audio_sum = audio.digest();
        }
    }
    c.state.verdict = verdict_of(c, music_checked);
}

}  // namespace framelint
