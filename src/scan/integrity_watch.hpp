#pragma once
// The integrity check (-c) beside the scan: sees every byte the scan consumes, in
// order, and every frame it accepts, and keeps only small fixed windows of the
// stream whatever its length.

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <vector>

#include "tags/end_tags.hpp"
#include "integrity/gain_steps.hpp"
#include "mpeg/vbr_tag.hpp"

namespace framelint {

class integrity_watch {
public:
    // Every consumed byte passes here, in stream order.
    void feed(const std::uint8_t* bytes, std::size_t n)
    {
        const std::int64_t pos = fed_;
        fed_ += static_cast<std::int64_t>(n);
        if (music_.active && pos < music_.to && fed_ > music_.from) {
            add_music(bytes, pos, n);
        }
    }
    void feed_byte(std::uint8_t byte) { feed(&byte, 1); }

    std::int64_t fed() const { return fed_; }

    // An accepted frame from start to its expected end.
    void frame_accepted(std::int64_t start, std::int64_t end);
    // A run of count frames accepted one after the other and fed whole; the last
    // from start to end.
    void frames_accepted(std::int64_t count, std::int64_t start, std::int64_t end)
    {
        frames += count - 1;
        frame_accepted(start, end);
    }

    // The first frame's tag: the music CRC is then worked out over the bytes from
    // from (the tag frame's end) up to to, as they pass.
    void watch_music(std::int64_t from, std::int64_t to);
    bool music_watched() const { return music_.active; }
    // Bytes that went by before the music was watched (audio found afterwards
    // inside a tag that claimed it), handed over again with their position.
    void catch_up_music(const std::uint8_t* bytes, std::int64_t pos, std::size_t n)
    {
        if (music_.active) {
            add_music(bytes, pos, n);
        }
    }
    std::uint16_t music_crc() const { return music_.crc; }
    // For an input that cannot be read twice: the global gains of the music's
    // frames are summed as its bytes pass, for a music CRC that does not match
    // (see gain_steps.hpp); a file is read again for them only then.
    void watch_gains() { gains_ = std::make_unique<gain_walk>(music_.to - music_.from); }
    // The gains summed, when they were watched and every frame of the music
    // followed the one before.
    const gain_fields* gains() const { return gains_ && !gains_->broken ? &gains_->fields : nullptr; }
    std::int64_t music_from() const { return music_.from; }

    // What the scan saw, for the checks at its end.
    std::int64_t frames = 0;
    std::int64_t protected_frames = 0;
    std::int64_t frame_crcs_matched = 0;
    std::int64_t last_start = 0;
    std::int64_t last_end = 0;
    std::optional<vbr_header> counts;  // the first frame's Xing/Info or VBRI header
    std::int64_t tag_frame_start = 0;
    std::optional<lame_tag> lame;
    // The music CRC did not match as the audio is, but did with a gain change
    // undone (mp3gain and its peers).
    bool music_gain_explained = false;

    // The stream's own frames: the header word of the last one (a change of
    // format between two of them is a joined stream).
    std::uint32_t last_word = 0;
    bool format_switched = false;  // then a varying bit rate is no sign of VBR
    bool channels_switched = false;  // between mono and two channels, all else alike
    // Headers rejected while searching: whether they count as bad frames depends
    // on what the bytes they lie in turn out to be (junk between frames, or a tag
    // that is only known by its footer at the end), so they wait here. Offsets
    // only grow; past the cap the latest is kept with a count.
    struct held_rejection {
        std::int64_t offset = 0;
        std::uint32_t word = 0;
    };
    static constexpr std::size_t held_limit = 1000;
    std::vector<held_rejection> held;
    std::int64_t held_beyond = 0;        // rejections past the cap
    std::int64_t held_beyond_last = 0;   // the offset of the latest of them
    // Free-format headers (bit-rate index 0): lengths not in their headers.
    std::int64_t free_format_headers = 0;
    std::int64_t free_format_first = 0;
    std::uint32_t free_format_word = 0;
    // The layout could not hold every piece: it is not complete.
    bool layout_overflow = false;
    // What the last accepted frame is to the layout (set for each frame): one
    // the check reports on its own (reserved emphasis) is in no run, so that
    // a repair leaves it out; one that carries a Xing/Info or VBRI header
    // after the first (a second file's, two files joined with no tag between
    // them) opens a run of its own, so that a repair finds and drops it.
    bool frame_left_out = false;
    bool frame_opens_run = false;
    // Where the first frame of the stream read whole begins, left out of the
    // layout or not: the notices name it.
    std::optional<std::int64_t> first_whole_frame;
    // What follows the last frame, settled once the stream has ended (see
    // settle_stream_end): read by every check of the end.
    std::optional<stream_end> settled_end;

private:
    void add_music(const std::uint8_t* bytes, std::int64_t pos, std::size_t n);
    void add_gains(const std::uint8_t* bytes, std::int64_t pos, std::size_t n);

    std::int64_t fed_ = 0;

    struct music_range {
        bool active = false;
        std::int64_t from = 0;
        std::int64_t to = 0;
        std::uint16_t crc = 0;
    } music_;

    // The frames of the music, one after another from its first byte: the
    // first bytes of each (header, CRC word, side information) gathered as
    // they pass, and the gains in them summed.
    struct gain_walk {
        explicit gain_walk(std::int64_t length) : fields(length) {}
        gain_fields fields;
        std::int64_t next = 0;  // where the next frame begins, from the music's start
        std::array<std::uint8_t, 40> head{};
        std::size_t head_len = 0;
        std::size_t head_need = 4;
        std::int64_t frame_length = 0;
        bool broken = false;  // not frame after frame: nothing can be said
        // Header words met, by bit-rate index and padding: a frame's length and
        // the bytes up to the end of its side information, decoded once.
        struct known_word {
            std::uint32_t word = 0;
            std::int64_t length = 0;
            std::size_t need = 0;
        };
        std::array<known_word, 32> known{};
    };
    std::unique_ptr<gain_walk> gains_;

};

}  // namespace framelint
