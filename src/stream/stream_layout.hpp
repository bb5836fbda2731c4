#pragma once
// What the integrity check (-c) found a stream to be made of, in stream order:
// the tags, read by their own size fields, and the runs of frames that belong to
// the stream. Everything else (junk, damaged headers, chance sync words, cut
// frames) lies between them. A repair keeps what is listed here and nothing else,
// so the record holds ranges, not frames: its size follows the damage, not the
// length of the stream.

#include <cstdint>
#include <optional>
#include <vector>

namespace framelint {

struct byte_range {
    std::int64_t begin = 0;
    std::int64_t end = 0;  // one past the last byte

    std::int64_t size() const { return end - begin; }
    friend bool operator==(const byte_range&, const byte_range&) = default;
};

enum class tag_format : std::uint8_t { id3v2, id3v1, apev2, lyrics3v2 };

enum class tag_place : std::uint8_t {
    leading,   // before the first frame (one or several ID3v2 tags)
    inner,     // between two runs of frames: a second file's tag, two files joined
    trailing,  // after the last frame (ID3v1, APEv2, Lyrics3v2, appended ID3v2)
};

struct tag_range {
    tag_format format = tag_format::id3v2;
    tag_place place = tag_place::leading;
    // The bytes the tag really holds. For an ID3v2 tag whose size field runs into
    // the audio, this ends where the first frame of the stream begins.
    byte_range bytes;
    // Where the tag's own size field says it ends (the same as bytes.end unless
    // the size is wrong).
    std::int64_t declared_end = 0;
    // Its end does not match its start (an APEv2 footer unlike the header that
    // promised it): what belongs to it cannot be told, so nothing can mend it.
    bool damaged = false;
};

// Frames of the stream that follow one another with no byte between them, each
// where the one before said, and each whole.
struct frame_run {
    byte_range bytes;          // the first frame's header to the end of the last frame
    std::int64_t frames = 0;
    std::int64_t samples = 0;  // play length, in samples per channel
    std::uint32_t first_header = 0;  // the header word of the run's first frame
    std::int64_t last_frame = 0;     // where the run's last frame begins
};

struct stream_layout {
    std::vector<tag_range> tags;  // in stream order
    std::vector<frame_run> runs;  // in stream order
    std::int64_t stream_end = 0;  // the stream's length in bytes
    // The first frame of the first run, when it carries a Xing/Info or VBRI header
    // (it is counted in runs like any other frame).
    std::optional<std::int64_t> vbr_frame;
    // False when the layout could not be recorded whole (too many pieces, or the
    // scan stopped before the stream ended): nothing may be decided from it.
    bool complete = false;
};

}  // namespace framelint
