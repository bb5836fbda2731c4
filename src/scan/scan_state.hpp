#pragma once
// The per-stream state of the scanner, and the context its steps share.

#include <array>
#include <cstdint>
#include <optional>
#include <vector>

#include "checksum/audio_hash.hpp"
#include "mpeg/frame_info.hpp"
#include "mpeg/header_word.hpp"
#include "id3v1/tail_ring.hpp"
#include "io/byte_source.hpp"
#include "io/output.hpp"
#include "integrity/verdict.hpp"
#include "options/scan_options.hpp"
#include "problems/problem.hpp"
#include "scan/integrity_watch.hpp"
#include "stream/frame_acceptance.hpp"
#include "stream/stream_layout.hpp"

namespace framelint {

// Positions and counts are 64-bit so that files past 2 GiB are counted right.
struct scan_counters {
    std::int64_t good_frames = 0;    // accepted exactly where the previous frame said
    std::int64_t bad_frames = 0;
    std::int64_t run_length = 0;     // good frames in the current contiguous run (-q)
    std::int64_t bytes_read = 0;     // bytes consumed so far, by every path
    std::int64_t next_expected = 4;  // bytes_read just after the next frame's header
    double play_seconds = 0.0;
};

struct bitrate_stats {
    std::int32_t high = 0;
    std::int32_t low = 0;  // 0: no frame seen yet
    std::int64_t sum = 0;
    std::int64_t frames = 0;  // frames whose bit rate is in sum
};

// A header word decoded once and kept: a stream repeats a handful of header
// words (bit rate and padding vary, little else), so most frames need no
// decoding at all.
struct decoded_header {
    std::uint32_t word = 0;  // 0 never passes the sync test: an empty slot
    frame_info info;
    double seconds = 0.0;  // play time of one frame
};

// Where a header word's decode is kept: by its bit-rate index and padding bit.
constexpr std::size_t decoded_slot(std::uint32_t word) { return header_word{word}.rate_and_padding(); }

struct scan_state {
    scan_counters counters;
    bitrate_stats rates;
    std::uint32_t header_word = 0;  // the last four bytes the search consumed
    bool block_read = true;         // the next search read takes four fresh bytes
    frame_info candidate;
    // Decodes kept by bit-rate index and padding bit (decoded_slot), the fields
    // that vary within a stream; a different word in the same slot replaces it.
    std::array<decoded_header, 32> decoded;
    // The last accepted frame from the first good one on: its header word and CRC
    // word are all it takes to rebuild its record, which happens once, at the end.
    std::uint32_t last_good_word = 0;
    std::uint16_t last_good_crc = 0;
    frame_info last_good_frame = blank_frame_info();  // filled when the scan ends
    bool have_good_frame = false;
    tail_ring tail;
    problem_list problems;  // filled only when the scan records them
    integrity_watch integrity;                  // used under -c only
    std::optional<integrity_verdict> verdict;  // -c: what vouched for the stream
    stream_layout layout;                      // -c: the stream's tags and runs of frames
    // -c: the audio frames of the layout's runs but a VBR header frame, hashed
    // as each run takes them in; the digest once the stream was read to its end.
    audio_hash audio;
    std::optional<audio_digest> audio_sum;
};

// What one scan works with, and the decisions the options fix for its whole length.
struct scan_context {
    io::byte_source& in;
    const scan_options& options;
    io::output& out;
    io::output& err;
    scan_state& state;
    std::int64_t byte_budget;  // the scan ends once more bytes than this were read
    bool goes_on;              // the scan continues after an accepted frame
    bool bodies_read_through;  // every body byte must pass by: copied, kept, or standard input
    bool repair;               // accepted frames are written out (-sf)
    // The last frame body passed, for a stream found cut short afterwards: where
    // it ends (-1: reported as cut short already), and whether it was read whole
    // for its CRC (then bytes_read stands at its start until it is passed).
    std::int64_t body_end = -1;
    bool body_read_whole = false;
    bool records_problems;     // every problem goes into the state's list (--json, --summary, --fix)
    // Where the notes meant for standard output go: standard error when standard
    // output carries records (JSON Lines, the lines for people), which nothing
    // else may break into.
    io::output& notes;
    integrity_watch* watch;    // -c: sees every consumed byte and accepted frame; else nullptr
    // Frames of the stream alone under -c outside repair, else any header.
    frame_acceptance acceptance;
    bool stream_rules() const { return acceptance == frame_acceptance::stream_frames; }
    // Plain frames may be walked by walk_known_frames: the scan goes on after every
    // frame and nothing else wants to see each one (no repair or frame dump).
    bool walks_known_frames;
    // -c outside repair, with the audio hash asked for: the layout's frames are hashed.
    bool hashes_audio;
    // Repair writes a frame only once all of it has arrived: its header, CRC word
    // and body wait here, and a frame the stream ends inside (or one whose body
    // the scan never reads) is dropped, so that the repaired stream holds no
    // broken frame. One frame at most: under 3 KiB.
    std::vector<std::uint8_t> held_frame;

    scan_context(io::byte_source& source, const scan_options& opts, io::output& stdout_stream,
                 io::output& stderr_stream, scan_state& st)
        : in(source), options(opts), out(stdout_stream), err(stderr_stream), state(st),
          byte_budget(opts.byte_search && opts.byte_count ? *opts.byte_count : INT64_MAX),
          goes_on(opts.check_all || (opts.byte_search && opts.byte_count && *opts.byte_count > 0)),
          bodies_read_through(copies_bodies(opts) || source.is_stdin() || opts.id3_tag),
          repair(writes_repaired_frames(opts)), records_problems(records_only(opts) || opts.fix_in_place),
          notes(records_only(opts) ? stderr_stream : stdout_stream),
          watch(opts.integrity ? &st.integrity : nullptr),
          acceptance(opts.integrity && !writes_repaired_frames(opts) ? frame_acceptance::stream_frames
                                                                      : frame_acceptance::any_header),
          walks_known_frames(goes_on && !repair && !opts.very_verbose),
          hashes_audio(stream_rules() && opts.hash_audio)
    {
        if (repair) {
            held_frame.reserve(longest_frame);
        }
        if (hashes_audio) {
            source.keep_long_history();  // a frame the buffer moved on in the middle of is hashed from it
        }
    }

    // The longest frame there is: MPEG-2.5 Layer II at 160 kbit/s and 8 kHz, padded.
    static constexpr std::size_t longest_frame = 2881;
};

// Keeps one problem for the report, when this scan records them. Called where the
// event happens, whether or not its warning is printed.
inline void note_problem(scan_context& c, problem_kind kind, bool bad_frame, std::int64_t offset,
                         std::int64_t first = 0, std::int64_t second = 0, std::int64_t third = 0)
{
    if (c.records_problems) {
        c.state.problems.add(problem{kind, bad_frame, offset, {first, second, third}});
    }
}

// The search's byte step: one byte into header_word, and counted. (In plain
// copy mode the input tees every consumed byte to standard output, and the tail
// ring is filled from the input's history when the scan ends.) False at the end
// of the stream.
inline bool shift_in_byte(scan_context& c)
{
    const int byte = c.in.next();
    if (byte < 0) {
        return false;
    }
    scan_state& st = c.state;
    st.header_word = (st.header_word << 8) | static_cast<std::uint32_t>(byte);
    ++st.counters.bytes_read;
    if (c.watch != nullptr) {
        c.watch->feed_byte(static_cast<std::uint8_t>(byte));
    }
    return true;
}

// Consumes up to n bytes in order (tag bytes, frame bodies on the byte path):
// counted, and added to the held frame when write_out (repair). With -i they are read, never
// sought over, so that the input's history holds the stream's true tail.
// Returns how many there were.
std::uint64_t consume_counted(scan_context& c, std::uint64_t n, bool write_out);

}  // namespace framelint
