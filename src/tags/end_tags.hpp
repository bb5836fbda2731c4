#pragma once
// The tags taggers put after the audio, recognised from their bytes: ID3v1 (a
// 128-byte block starting "TAG"), APEv2 (an "APETAGEX" header or footer with the
// tag's size), Lyrics3v2 ("LYRICSBEGIN" ... a six-digit size and "LYRICS200")
// and an appended ID3v2 tag ("ID3" header or "3DI" footer with its size).
// They stack in any order, so a stream's end is read both ways: forward from the
// last frame by the tags' headers, backward from the end by their footers;
// settle_stream_end() puts the two together, the one place that decides what
// ends a stream.

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>

namespace framelint {

// The most bytes tag_length_from_start() looks at.
inline constexpr std::size_t tag_head_size = 32;

// False for a byte no tag recognised by tag_length_from_start() begins with,
// such as the first byte of a frame header (0xFF).
constexpr bool may_begin_tag(std::uint8_t first) { return first == 'T' || first == 'A' || first == 'I'; }

// The whole length of the tag that begins at head[0] (head holding up to
// tag_head_size bytes from there), or 0 when no tag recognisable by its first
// bytes begins there.
std::uint64_t tag_length_from_start(std::span<const std::uint8_t> head);

// The whole length of the ID3v2 tag whose header begins head (head holding at
// least its 10 bytes), or 0 unless the header is one a tagger writes: version
// 2, 3 or 4, no flag its version leaves undefined, and a synchsafe size. For a
// tag found where no tag was expected, where the looser reading of
// tag_length_from_start() would take stray bytes for one.
std::uint64_t strict_id3v2_length(std::span<const std::uint8_t> head);

// The whole length of an APEv2 tag without a header that begins at bytes[0],
// read by its content: well-formed items one after another up to a footer
// that says the tag begins there and holds as many items; 0 when bytes (up to
// the footer) show none. Such a tag can hold anything, whole frames too (a
// cover, an attached file), so nothing but its items and footer tell it.
std::uint64_t apev2_length_from_items(std::span<const std::uint8_t> bytes);

// Whether the APEv2 tag read by its header (bytes: its 32-byte header, then
// footer: its last 32 bytes) ends with the footer its header promises: the
// same version, size and item count.
bool apev2_footer_matches(std::span<const std::uint8_t> header, std::span<const std::uint8_t> footer);

// id3v1_enhanced: the 227-byte "TAG+" block some taggers put before an ID3v1
// tag; lyrics3v1: "LYRICSBEGIN" ... "LYRICSEND", which only an ID3v1 tag ends.
enum class end_tag_kind : std::uint8_t { id3v1, apev2, lyrics3v2, id3v2, id3v1_enhanced, lyrics3v1 };

// One tag read off the end of a stream by its footer.
struct end_tag {
    end_tag_kind kind = end_tag_kind::id3v1;
    std::uint64_t start = 0;
    std::uint64_t length = 0;
    bool start_seen = false;  // the tag's first bytes lay within the tail and were found right
};

// Where the run of tags that ends the stream begins: end_offset is the stream's
// length and tail its last tail.size() bytes. Peels tags off the end for as long
// as their footers lie within tail; returns end_offset when none ends the stream.
// A footer is believed only when its tag's beginning fits it: an ID3v2 footer
// needs its header where it says (and so within tail), an APEv2 footer its
// header or a well-formed first item, a Lyrics3v2 end its "LYRICSBEGIN", each
// checked when it lies within tail; and no tag begins before floor. An ID3v2
// tag without a footer is found by a header within tail whose size leads
// exactly to where the tags read so far begin, no earlier than
// footerless_floor: ten bytes of a header are a weak sign, and are not
// believed over a frame's bytes. Each tag believed is handed to on_tag (when
// set), from the last one back.
std::uint64_t end_tags_start(std::span<const std::uint8_t> tail, std::uint64_t end_offset, std::uint64_t floor = 0,
                             void (*on_tag)(const end_tag&, void*) = nullptr, void* context = nullptr,
                             std::uint64_t footerless_floor = 0);

// Bytes of the stream from offset at into `into`; how many there were (fewer
// at the end of the stream, none when they cannot be had).
using stream_bytes_reader = std::function<std::size_t(std::int64_t at, std::span<std::uint8_t> into)>;

// Where the tags that follow one another from offset from, each read by its
// header, stop: at the first bytes that begin no tag, at the start of a tag that
// claims more bytes than the stream (stream_end) has left, or at the stream's
// end. Bytes fewer than a tag's header at the end are tags only if they fit
// exactly (empty ID3v2 tags can stand several in a few bytes). Nothing when
// bytes the stream holds could not be had: where the tags stop is not known.
std::optional<std::int64_t> tags_forward_end(std::int64_t from, std::int64_t stream_end,
                                             const stream_bytes_reader& read);

// What the scan knows of a stream it has read to the end, for settling what
// follows its last frame.
struct stream_end_facts {
    std::span<const std::uint8_t> tail;  // the stream's last bytes (at most end_tail_size)
    std::int64_t stream_end = 0;
    bool has_frame = false;               // a frame of the stream was accepted
    std::int64_t last_start = 0;          // the last one: where it begins
    std::int64_t last_end = 0;            // and where it says it ends (past stream_end when cut)
    // Where the tags read by their headers from the last frame's end stop
    // (tags_forward_end(), or the scan's own reading of them).
    std::int64_t forward_end = 0;
    // The check's own rules (-c outside repair): a tag read back may stand
    // where the last frame was cut off, and the tags read back are listed. Without
    // them only where they begin counts.
    bool stream_rules = false;
};

// The stream's end settled: the tags after the last frame and the junk before them.
struct stream_end {
    static constexpr std::size_t most_tags = 16;
    // Where the tags read by their headers from the last frame's end stop.
    std::int64_t forward_end = 0;
    // Where the run of tags read back from the stream's end begins (the
    // stream's end when none does).
    std::int64_t back_begin = 0;
    // The stream ends inside its last frame and the tags read back begin in it:
    // a file cut and tagged again.
    bool frame_cut_by_tags = false;
    // The tags read back (under the check's rules), from the last one back.
    std::array<end_tag, most_tags> back{};
    std::size_t back_count = 0;

    // Bytes after the last frame that no tag accounts for, from forward_end.
    std::int64_t junk_size() const { return back_begin > forward_end ? back_begin - forward_end : 0; }
    // Where the tags that end the stream begin: all bytes from here on are tags.
    std::int64_t tags_begin() const { return std::max(forward_end, back_begin); }
};

// How many of the stream's last bytes settle_stream_end() reads tags back from:
// an ID3v1 tag, APEv2 and ID3v2 footers, a Lyrics3v2 end, and some room before them.
inline constexpr std::size_t end_tail_size = 1024;

// The one decision of what ends a stream: the tags read back from its end by
// their footers, taken together with those read forward by their headers; the
// junk between the two; and whether tags stand where the last frame was cut off.
// No tag read back hides a whole frame of the stream: where a tag begins right
// at the last frame's end (read forward or back), the frame is whole and
// nothing read back reaches into it.
stream_end settle_stream_end(const stream_end_facts& facts);

}  // namespace framelint
