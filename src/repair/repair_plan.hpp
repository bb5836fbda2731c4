#pragma once
// The repair of a damaged stream, decided from what the integrity check found:
// which stretches of the stream to keep (its tags and its runs of frames), and
// which new bytes to put among them (a VBR header frame that describes the
// frames kept, an ID3v2 header with a size that holds what the tag really
// holds). A pure function: the few stretches of the stream it looks at (the
// header frame, the frames that open and close each run, an ID3v2 header) are
// read before it is made, by a reader that tells a failed read from the end of
// the stream, and the plan it returns is applied by someone else. A plan never
// takes bytes it could not read for bytes that are not there.

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "stream/stream_layout.hpp"

namespace framelint {

// What the check found, beside the layout, that the repair decides from.
struct repair_facts {
    bool frame_crc_mismatch = false;  // a protected frame's CRC failed: its audio is damaged
    bool format_switch = false;       // sample rate, channels, version or layer change within the stream
    bool music_crc_matched = false;   // the LAME tag's music CRC was worked out and matched
    bool music_crc_mismatch = false;  // ... and did not match
    bool vbr_without_header = false;  // Layer III, bit rate varies, no Xing or VBRI header
    // The bit rate of the frames the check accepted varies: a Layer III stream
    // whose header frame the repair cannot keep gets a new one.
    bool bit_rate_varies = false;
    // The last frame of the stream, from begin, cut short by the tags that end
    // the stream, from end on (the layout counts that frame in its last run).
    std::optional<byte_range> last_frame_cut_by_tag;
    // The stream ends inside a frame (no tag stands where its rest would be):
    // the audio after it is lost, and how much only a header can tell.
    bool last_frame_cut = false;
};

// Up to n bytes of the stream from offset at (fewer where the stream ends), or
// nothing when the read fails.
using stream_reader = std::function<std::optional<std::vector<std::uint8_t>>(std::int64_t at, std::size_t n)>;

// A stretch of the stream's own bytes, read before the plan is made.
struct stream_excerpt {
    std::int64_t at = 0;
    std::vector<std::uint8_t> bytes;
};
using stream_excerpts = std::vector<stream_excerpt>;  // in stream order, apart from one another

// The stretches of the stream the plan looks at: in order, apart, within the
// stream. junk_after[r] tells whether the bytes where run r ends are no frame
// header: only then does the plan look inside the
// run's last frame for frames a cut hid.
std::vector<byte_range> excerpts_wanted(const stream_layout& layout, const repair_facts& facts,
                                        const std::vector<bool>& junk_after);

enum class repair_action_kind : std::uint8_t {
    stray_bytes_removed,   // junk, damaged headers, frames off their place or cut short
    joined_tag_removed,    // a second file's ID3v2 tag inside the audio
    joined_vbr_frame_removed,  // a second file's Xing/Info/VBRI frame inside the audio
    id3v2_size_corrected,  // a tag whose size ran into the audio
    vbr_header_rebuilt,    // Xing/Info counts and table of contents
    vbri_replaced,         // a VBRI frame replaced by a Xing frame
    xing_frame_added,      // Layer III VBR without a header
    lame_tag_rewritten,    // music length and tag CRC, music CRC kept
    lame_music_crc_dropped,  // the music CRC no longer vouches for the audio
    lame_evidence_kept,      // incomplete: music length and CRC kept, tag CRC rewritten
};

struct repair_action {
    repair_action_kind kind = repair_action_kind::stray_bytes_removed;
    std::int64_t count = 0;   // bytes, tags or frames, as the kind says
    std::int64_t places = 0;  // stray bytes: in how many stretches
    std::int64_t from = 0;    // VBR header: frames it counted before
    std::int64_t to = 0;      // ... and now
    // Tags removed: one bit per tag_format among them (bit 1 << format).
    std::uint8_t formats = 0;
};

// One piece of the repaired stream: the original's bytes, or new ones.
struct repair_piece {
    bool from_source = true;
    byte_range source;
    std::vector<std::uint8_t> bytes;
};

// Audio the repair cannot bring back: the stream it makes plays, but less than
// the whole. samples_whole is 0 where nothing in the stream tells the whole.
struct audio_shortfall {
    std::int64_t samples_kept = 0;
    std::int64_t samples_whole = 0;
    std::int32_t sample_rate = 0;
    // The whole is worked out from the LAME tag's music length in bytes, not
    // counted in frames: an estimate where the bit rate varies.
    bool whole_estimated = false;
};

// Why a stream cannot be repaired.
enum class repair_refusal : std::uint8_t {
    map_incomplete,      // the check could not map the whole stream
    map_inconsistent,    // the map's runs and tags do not fit together
    no_frames,           // no frame of audio at all
    no_whole_frame,      // frames, but none whole
    format_switch,       // layer, sample rate or channels change between frames
    frame_crc_mismatch,  // a protected frame's audio is damaged
    music_crc_mismatch,  // the audio differs from what the LAME tag vouches for
    damaged_tag,         // a tag whose end does not match its start
};

struct repair_plan {
    // Set when the stream cannot be repaired (the pieces are then empty): why.
    std::optional<repair_refusal> refusal;
    std::vector<repair_piece> pieces;  // the whole repaired stream, in order
    std::vector<repair_action> actions;
    // Set when audio is missing that the repair cannot restore.
    std::optional<audio_shortfall> incomplete;

    // True when applying the pieces changes the stream.
    bool changes() const { return !refusal && !actions.empty(); }
};

repair_plan plan_repair(const stream_layout& layout, const repair_facts& facts, const stream_excerpts& excerpts);

// The excerpts the plan wants, read by read, then the plan; nothing when a
// read fails.
std::optional<repair_plan> plan_repair_reading(const stream_layout& layout, const repair_facts& facts,
                                               const stream_reader& read);

// Why a stream cannot be repaired, in plain words, as the repair line says it.
std::string_view refusal_words(repair_refusal why);

// One action in plain words, as the repair line lists them.
std::string describe(const repair_action& action);

// The machine-readable name of an action's kind (never changes once released).
std::string_view action_name(repair_action_kind kind);

}  // namespace framelint
