// Most of a healthy stream is frame after frame, each exactly where the one
// before said, with a header word decoded before (but for the flag bits), and
// all of it in the input's buffer or window. Those frames are walked
// here, with the counts in registers and no per-frame test of options; the first
// frame that is anything else goes back to the general loop, which finds the
// state as it would have left it after the last frame walked here.
//
// Under -c the walk also checks each frame's own CRC word, stops at a frame the
// integrity check reports on or reads (the first, one with reserved emphasis or
// a CRC word that does not match), and hands the walked bytes to the watch
// in large runs instead of frame by frame, so that the music CRC runs over
// whole stretches of the stream.

#include <algorithm>

#include "mpeg/frame_crc.hpp"
#include "mpeg/header_word.hpp"
#include "mpeg/vbr_tag.hpp"
#include "scan/frame_account.hpp"
#include "scan/frame_chain.hpp"
#include "scan/integrity_scan.hpp"
#include "scan/scan_file.hpp"

namespace framelint {

namespace {

// Emphasis 2 is reserved: the integrity check reports such a frame.
constexpr bool reserved_emphasis(std::uint32_t word) { return (word & 3u) == 2u; }

// What the watch is handed at once: small enough to be in the cache still.
constexpr std::ptrdiff_t watch_run = 64 * 1024;

// The input's buffer, for the walker: a header may start up to `last`, which
// leaves room for its four bytes and stays within the byte budget (-b), so that
// one comparison a frame tells both.
struct budgeted_bytes {
    using position = const std::uint8_t*;
    const std::uint8_t* last;

    bool header_fits(position p) const { return p <= last; }
    static std::uint32_t word_at(position p) { return header_word::from(p).word; }
};

// mapped: the input is a mapped file, whose pages a cut may take away mid-walk.
template <bool watched, bool mapped>
bool walk(scan_context& c)
{
    scan_state& st = c.state;
    scan_counters& n = st.counters;
    // Only from where a frame is expected; and not after pages of a mapped file
    // were found gone, when the general loop asks the file after every frame.
    if (n.bytes_read != n.next_expected - 4 || c.in.lost_pages()) {
        return false;
    }
    if constexpr (watched) {
        if (c.watch->frames == 0) {
            return false;  // the first frame may carry the stream's tag
        }
        if (c.stream_rules() && c.watch->last_end != n.bytes_read) {
            return false;  // after a tag: the frame that follows it starts a run of its own
        }
        if (c.stream_rules() &&
            (st.layout.runs.empty() || st.layout.runs.back().bytes.end != n.bytes_read)) {
            return false;  // after a frame left out of the layout: likewise
        }
    }
    const std::span<const std::uint8_t> ahead = c.in.buffered();
    const std::int64_t budget_left = c.byte_budget - n.bytes_read;
    if (ahead.size() < 4 || budget_left < 0) {
        return false;
    }
    const std::uint8_t* const begin = ahead.data();
    const std::uint8_t* const end = begin + ahead.size();
    const budgeted_bytes bytes{
        begin + static_cast<std::ptrdiff_t>(std::min<std::uint64_t>(ahead.size() - 4, static_cast<std::uint64_t>(budget_left)))};
    double seconds = n.play_seconds;  // added frame by frame, as the general loop does, for the same rounding
    bitrate_stats rates = st.rates;
    std::int64_t walked = 0;
    const decoded_header* last = nullptr;
    std::uint32_t last_word = 0;
    // The last frame walked with a CRC word: the general loop leaves its record
    // in the state's candidate.
    struct crc_checked {
        std::uint32_t word = 0;  // 0: none walked
        std::uint16_t stored = 0;
        std::uint16_t computed = 0;
        std::int64_t index = -1;  // among the frames walked
    } checked;
    const std::uint8_t* unfed = begin;  // -c: the walked bytes not yet handed to the watch
    // Every frame walked has the stream's format (see below), so its Xing/Info
    // text, if any, lies where that of the frame before did.
    std::size_t xing_at = 0;
    if constexpr (watched) {
        xing_at = xing_text_at(c.watch->last_word);
    }

    const std::uint8_t* const p_end = walk_frame_chain(bytes, begin, [&](std::uint32_t word, const std::uint8_t* p) -> std::size_t {
        const decoded_header& kept = st.decoded[decoded_slot(word)];
        const std::int32_t length = kept.info.frame_length;
        if (((kept.word ^ word) & ~frame_flag_bits) != 0 || length <= 6 || end - p < length) {
            return 0;
        }
        const bool with_crc = kept.info.prot_bit != 0;
        if constexpr (mapped) {
            // A page of the window lost to a cut reads as zeros once it has
            // faulted, and zeros must not count as a frame or pass its CRC. The
            // fault is caught before anything is made of the bytes: the header
            // has just been read, and a protected frame's last byte is read
            // first, since its body is checked here. The general loop then ends
            // the stream at the cut.
            if (with_crc) {
                const volatile std::uint8_t frame_end = p[length - 1];
                (void)frame_end;
            }
            if (c.in.lost_pages()) {
                return 0;
            }
        }
        if constexpr (watched) {
            // (A frame of another format than the stream's is never walked: the
            // decodes of other formats are forgotten whenever the stream's
            // format is set, so its header is decoded, and reported, anew.)
            if (reserved_emphasis(word)) {
                return 0;  // the integrity check reports this frame
            }
            if (c.stream_rules() && has_vbr_header_text(p, static_cast<std::size_t>(length), xing_at)) {
                return 0;  // perhaps a second file's header frame: the layout sets it apart
            }
            if (with_crc) {
                // The frame's own CRC word, checked as watch_frame checks it; a
                // mismatch goes back to the general loop, which reports it.
                const auto body = std::span<const std::uint8_t>(
                    p + 6, std::min<std::size_t>(static_cast<std::size_t>(length - 6), frame_crc_reach));
                const auto expected = expected_frame_crc(word, body);
                const auto stored = static_cast<std::uint16_t>(p[4] << 8 | p[5]);
                if (expected && *expected != stored) {
                    return 0;
                }
                ++c.watch->protected_frames;
                c.watch->frame_crcs_matched += expected ? 1 : 0;
            }
            if (p - unfed >= watch_run) {
                c.watch->feed(unfed, static_cast<std::size_t>(p - unfed));
                if (c.hashes_audio) {
                    hash_audio(c, unfed, static_cast<std::size_t>(p - unfed), 0);  // whole frames, counted below
                }
                unfed = p;
            }
        }
        c.in.fetch_lines_ahead(p);
        if (with_crc) {
            // The CRC word, and the body's CRC-16 where the general loop reads the
            // body in one block (see read_frame_body).
            checked = {word, static_cast<std::uint16_t>(p[4] << 8 | p[5]), 0, walked};
            if (!c.bodies_read_through) {
                checked.computed = check_body_crc16(
                    c, std::span<const std::uint8_t>(p + 6, static_cast<std::size_t>(length - 6)), checked.stored);
            }
        }
        add_time_and_rate(seconds, rates, kept.seconds, kept.info.bit_rate);
        ++walked;
        last = &kept;
        last_word = word;
        return static_cast<std::size_t>(length);
    });
    const std::uint8_t* const p = p_end;
    const std::int64_t at = n.bytes_read + (p - begin);
    if (last == nullptr) {
        return false;
    }
    if constexpr (watched) {
        c.watch->feed(unfed, static_cast<std::size_t>(p - unfed));
        if (c.hashes_audio) {
            // Every frame walked is in the last run, and none carries a VBR header.
            hash_audio(c, unfed, static_cast<std::size_t>(p - unfed), walked);
        }
        c.watch->frames_accepted(walked, at - last->info.frame_length, at);
        c.watch->last_word = last_word;
        if (c.stream_rules()) {
            // They follow the last run, which they grow (see the checks on entry).
            grow_runs(c,
                      frame_run{byte_range{n.bytes_read, at}, walked,
                                walked * last->info.samples_per_frame,  // one format throughout
                                st.layout.runs.back().first_header, at - last->info.frame_length},
                      false);
        }
    }
    c.in.skip(static_cast<std::uint64_t>(p - begin));
    n.bytes_read = at;
    n.next_expected = at + 4;
    count_good_frames(n, walked);
    n.play_seconds = seconds;
    rates.frames += walked;
    st.rates = rates;
    const bool ends_with_crc = checked.index == walked - 1;
    st.header_word = ends_with_crc ? last_word << 16 | checked.stored : last_word;
    keep_last_good_frame(st, last_word, ends_with_crc ? checked.stored : last->info.crc16_value);
    if (checked.word != 0) {
        // Its own word decoded, flag bits and all, as the general loop keeps it.
        st.candidate = blank_frame_info();
        decode_header(checked.word, st.candidate);
        st.candidate.crc16_value = checked.stored;
        if (!c.bodies_read_through) {
            st.candidate.frame_data_length = st.candidate.frame_length - 6;
            st.candidate.correct_crc16_value = checked.computed;
        }
    }
    // As the body reader leaves it after passing over a body.
    c.body_end = at;
    c.body_read_whole = ends_with_crc && !c.bodies_read_through;
    return true;
}

}  // namespace

template <bool watched>
bool walk_known_frames(scan_context& c)
{
    return c.in.mapped() ? walk<watched, true>(c) : walk<watched, false>(c);
}

template bool walk_known_frames<false>(scan_context& c);
template bool walk_known_frames<true>(scan_context& c);

}  // namespace framelint
