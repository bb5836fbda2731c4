#pragma once
// What went wrong in a stream, as plain records: one per event that counted a
// bad frame or that a warning reports, kept whether or not the switches in force
// print that warning. The scanner (and any check that runs beside it) appends
// them; the reports are handed the list and print it.

#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

namespace framelint {

// Each kind's name is part of the machine-readable report: a name never changes
// once released, and a new kind is added at the end.
enum class problem_kind : std::uint8_t {
    frame_not_found,   // a frame found off the position the previous one gave
    first_frame_late,  // the first frame is not where the stream should begin
    header_rejected,   // a word with sync bits that is no valid header
    last_frame_cut,    // the stream ends inside a frame
    frame_read_error,  // a protected frame's body could not be read whole
    id3v2_tag,         // an ID3v2 tag at the start (a bad frame with -e)
    short_run,         // a run of good frames shorter than -q asks
    read_error,        // reading the stream failed
    // Found by the integrity check (-c); each counts as a bad frame.
    frame_crc_mismatch,     // a protected frame's CRC word and its protected bits disagree
    reserved_emphasis,      // an accepted header with emphasis 10
    no_frames,              // the stream ended without one accepted frame
    leading_junk,           // bytes before the first frame other than the ID3v2 tag
    trailing_junk,          // bytes after the last frame other than recognised tags
    last_frame_cut_by_tag,  // a tag that ends the stream begins inside the last frame
    xing_frame_count,       // the first frame's Xing/Info header: frames
    xing_byte_count,        // ... and bytes
    vbri_frame_count,       // the same for a VBRI header
    vbri_byte_count,
    lame_tag_crc,        // the LAME tag's own CRC does not match
    music_crc_mismatch,  // the audio bytes do not match the LAME tag's music CRC
    music_length,        // the stream ends before the music the LAME tag declares
    format_switch,       // version, layer, sample rate or channel count changes between two frames of the stream
    id3v2_size,          // an ID3v2 tag's size runs past the end of the file, or over frames of the stream
    vbr_without_header,  // a Layer III stream whose bit rate varies, with no Xing/VBRI header (a notice)
    joined_streams,      // a tag between two runs of frames: two files joined (second number: its tag_format)
    free_format,         // bit-rate index 0: the frames' lengths are not in their headers, so they go unchecked
    music_ends_early,    // the LAME tag's music length ends before the last frame of the stream does
    gain_changed,        // the music CRC matches with a lossless gain change undone (mp3gain, aacgain; a notice)
    gain_changed_twice,  // likewise, but gains one change held at an end of the range were moved by another (a notice)
    lame_tag_edited,     // the LAME tag's own CRC fails, its music CRC matches (a notice)
    lame_tag_rewritten,  // the LAME tag's CRCs fail, the Xing/Info counts agree with the stream (a notice)
    mono_stereo_switch,  // frames switch between mono and two channels, all else alike (a notice)
    id3v2_size_short,    // an ID3v2 tag's size ends inside its own frames
    apev2_footer,        // an APEv2 tag read by its header does not end with the footer the header promises
    // Found against the record of a collection (--db).
    audio_changed,    // the audio hash differs while size and modification time are as recorded: bit rot
    audio_rewritten,  // the audio hash differs and a program wrote the file since (a notice)
    file_missing,     // a recorded file that is gone (a notice)
};

// Damage makes a file DAMAGED; a notice is printed and listed, and changes
// neither the bad-frame count, the status nor the verdict.
enum class problem_severity : std::uint8_t { damage, notice };

constexpr std::string_view severity_name(problem_severity s) { return s == problem_severity::notice ? "notice" : "damage"; }

// Up to three numbers beside the offset, named per kind; an empty name ends a
// kind's list. offset is the position the matching warning names.
struct problem_kind_info {
    problem_kind kind;
    std::string_view name;
    std::array<std::string_view, 3> numbers;
    problem_severity severity = problem_severity::damage;
};

inline constexpr problem_kind_info problem_kinds[] = {
    {problem_kind::frame_not_found, "frame_not_found", {"expected", "", ""}},
    {problem_kind::first_frame_late, "first_frame_late", {"expected", "", ""}},
    {problem_kind::header_rejected, "header_rejected", {"header", "", ""}},
    {problem_kind::last_frame_cut, "last_frame_cut", {"expected_end", "", ""}},
    {problem_kind::frame_read_error, "frame_read_error", {"wanted", "got", ""}},
    {problem_kind::id3v2_tag, "id3v2_tag", {"size", "", ""}},
    {problem_kind::short_run, "short_run", {"run", "needed", ""}},
    {problem_kind::read_error, "read_error", {"errno", "", ""}},
    {problem_kind::frame_crc_mismatch, "frame_crc_mismatch", {"stored", "computed", ""}},
    {problem_kind::reserved_emphasis, "reserved_emphasis", {"header", "", ""}},
    {problem_kind::no_frames, "no_frames", {"", "", ""}},
    {problem_kind::leading_junk, "leading_junk", {"length", "", ""}},
    {problem_kind::trailing_junk, "trailing_junk", {"length", "", ""}},
    {problem_kind::last_frame_cut_by_tag, "last_frame_cut_by_tag", {"expected_end", "tag_offset", ""}},
    {problem_kind::xing_frame_count, "xing_frame_count", {"stored", "found", ""}},
    {problem_kind::xing_byte_count, "xing_byte_count", {"stored", "found", ""}},
    {problem_kind::vbri_frame_count, "vbri_frame_count", {"stored", "found", ""}},
    {problem_kind::vbri_byte_count, "vbri_byte_count", {"stored", "found", ""}},
    {problem_kind::lame_tag_crc, "lame_tag_crc", {"stored", "computed", ""}},
    {problem_kind::music_crc_mismatch, "music_crc_mismatch", {"stored", "computed", ""}},
    {problem_kind::music_length, "music_length", {"expected_end", "stream_end", ""}},
    {problem_kind::format_switch, "format_switch", {"from_header", "to_header", ""}},
    {problem_kind::id3v2_size, "id3v2_size", {"declared_end", "audio_hidden", ""}},
    {problem_kind::vbr_without_header, "vbr_without_header", {"bit_rate_low", "bit_rate_high", ""},
     problem_severity::notice},
    {problem_kind::joined_streams, "joined_streams", {"tag_length", "", ""}},
    {problem_kind::free_format, "free_format", {"header", "", ""}, problem_severity::notice},
    {problem_kind::music_ends_early, "music_ends_early", {"music_end", "stream_end", ""}},
    {problem_kind::gain_changed, "gain_changed", {"left_steps", "right_steps", "recorded"}, problem_severity::notice},
    {problem_kind::gain_changed_twice, "gain_changed_twice", {"left_steps", "right_steps", "held_steps"},
     problem_severity::notice},
    {problem_kind::lame_tag_edited, "lame_tag_edited", {"stored", "computed", ""}, problem_severity::notice},
    {problem_kind::lame_tag_rewritten, "lame_tag_rewritten", {"stored", "computed", ""}, problem_severity::notice},
    {problem_kind::mono_stereo_switch, "mono_stereo_switch", {"from_header", "to_header", ""},
     problem_severity::notice},
    {problem_kind::id3v2_size_short, "id3v2_size_short", {"declared_end", "tag_end", ""}},
    {problem_kind::apev2_footer, "apev2_footer", {"footer", "", ""}},
    {problem_kind::audio_changed, "audio_changed", {"recorded_at", "", ""}},
    {problem_kind::audio_rewritten, "audio_rewritten", {"recorded_at", "", ""}, problem_severity::notice},
    {problem_kind::file_missing, "file_missing", {"recorded_at", "", ""}, problem_severity::notice},
};

constexpr const problem_kind_info& info_of(problem_kind kind) { return problem_kinds[static_cast<std::size_t>(kind)]; }

namespace problem_checks {
constexpr bool snake_case(std::string_view s)
{
    if (s.empty() || s.front() == '_' || s.back() == '_') {
        return false;
    }
    for (const char ch : s) {
        if (!((ch >= 'a' && ch <= 'z') || (ch >= '0' && ch <= '9') || ch == '_')) {
            return false;
        }
    }
    return true;
}

constexpr bool table_is_sound()
{
    constexpr std::size_t count = std::size(problem_kinds);
    for (std::size_t i = 0; i < count; ++i) {
        const problem_kind_info& k = problem_kinds[i];
        if (static_cast<std::size_t>(k.kind) != i || !snake_case(k.name)) {
            return false;
        }
        for (std::size_t j = 0; j < i; ++j) {
            if (problem_kinds[j].name == k.name) {
                return false;
            }
        }
        bool ended = false;
        for (const std::string_view number : k.numbers) {
            if (number.empty()) {
                ended = true;
            } else if (ended || !snake_case(number) || number == "kind" || number == "offset" ||
                       number == "bad_frame" || number == "severity") {
                return false;
            }
        }
    }
    return true;
}
}  // namespace problem_checks

static_assert(problem_checks::table_is_sound(),
              "one row per kind, in enum order, unique snake_case names, numbers named apart from the fixed fields");

struct problem {
    problem_kind kind = problem_kind::frame_not_found;
    bool bad_frame = false;  // it added one to the bad-frame count
    std::int64_t offset = 0;
    std::array<std::int64_t, 3> numbers{};  // as named in the kind's row
};

// An ID3v2 tag at the start is where taggers put it: it is damage only when -e
// made it a bad frame. Every other problem is what its kind is.
constexpr problem_severity severity_of(const problem& p)
{
    if (p.kind == problem_kind::id3v2_tag && !p.bad_frame) {
        return problem_severity::notice;
    }
    return info_of(p.kind).severity;
}

// One stream's problems. Endless junk can hold a problem every few bytes, so
// only the first kept_limit are kept; the rest are counted.
struct problem_list {
    static constexpr std::size_t kept_limit = 1000;

    std::vector<problem> kept;
    std::int64_t dropped = 0;

    void add(const problem& p)
    {
        if (kept.size() < kept_limit) {
            kept.push_back(p);
        } else {
            ++dropped;
        }
    }

    // A problem that must be seen whatever came before it (a read error: without
    // it the list reads like a stream that ended cleanly). When the list is full
    // it takes the place of the last one kept, which is counted as omitted.
    void add_never_omitted(const problem& p)
    {
        if (kept.size() >= kept_limit) {
            kept.pop_back();
            ++dropped;
        }
        kept.push_back(p);
    }
};

}  // namespace framelint
