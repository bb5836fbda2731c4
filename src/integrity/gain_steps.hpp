#pragma once
// Lossless gain changes: mp3gain, aacgain and players that apply ReplayGain
// without decoding add the same number of steps (1.5 dB each) to every
// granule's global gain in a Layer III stream. That leaves the LAME tag's
// music CRC stale although the audio is otherwise as encoded. This works out
// what the music CRC would be with the gains as the encoder wrote them,
// without touching the file and without reading the audio again per guess.
//
// CRC-16/ARC starts from 0 and adds nothing at the end, so it is linear: the
// CRC of the audio with some bits flipped is the CRC read off the file XOR the
// CRC of a message that holds only those flips. A flip pattern of two bytes
// that stands n bytes before the end contributes crc(pattern) times x^(8n)
// modulo the polynomial. That product is bilinear, so the gain fields are
// summed up once, per channel, gain value and bit alignment, into the sum of
// their x^(8n); any step to undo is then tested over those 4096 sums alone.

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

namespace framelint {

// A change mp3gain or a peer applied: steps added to the left (or only)
// channel's and to the right channel's global gains.
struct gain_change {
    int left = 0;
    int right = 0;
    bool wraps = false;  // gains went round modulo 256 instead of stopping at 0 and 255
    bool recorded = false;  // read from an undo record, not found by trying
    // Gains an earlier change held at an end of the range (255, or 0) that a
    // later one moved: how many steps from that end they stand now (0: none).
    // The rest changed by left and right.
    int held_moved = 0;
};

// mp3gain's MP3GAIN_UNDO value, "+004,+004,N": the steps that undo the change
// on each channel (4 steps were taken off), and W when gains wrapped round, N
// when they were held at the ends.
std::optional<gain_change> parse_gain_undo(std::string_view value);

// The MP3GAIN_UNDO value of an APEv2 tag (tag: all of its bytes, with or
// without a header, ending in its footer) or of an ID3v2 tag's TXXX frame (tag:
// from its header on).
std::optional<gain_change> undo_record_in_apev2(std::span<const std::uint8_t> tag);
std::optional<gain_change> undo_record_in_id3v2(std::span<const std::uint8_t> tag);

// The global gains of a stretch of Layer III audio, summed as above. Frames are
// handed in stream order with their offset from the start of the stretch,
// which is music_length bytes long.
class gain_fields {
public:
    explicit gain_fields(std::int64_t music_length) : length_(music_length) {}

    // A whole frame (from its header on) that begins at offset `at` of the
    // stretch. False when it is no Layer III frame or its side information
    // does not lie inside the stretch: the gains cannot all be known.
    bool add_frame(std::span<const std::uint8_t> frame, std::int64_t at);

    // Whether undoing change turns crc (of the audio as it is) into stored,
    // the music CRC the encoder wrote. Gains a change without wrapping left at
    // the end (255 after a rise, 0 after a cut) may have stood anywhere within
    // its steps of there: what they were is lost. Two readings are tried: they
    // moved with the rest, or they stood at the end already (an encoder
    // writes 255 for some granules), and mp3gain held them there.
    // Failing that, gains standing a few steps from an end are tried as ones
    // an earlier change held there and a later one moved (a rise, then
    // mp3gain's undo): the change returned says so in held_moved.
    std::optional<gain_change> explains(const gain_change& change, std::uint16_t crc, std::uint16_t stored) const;

    // A uniform change found by trying: the same steps for both channels, or
    // steps on one channel alone, up to max_steps either way, whose undoing
    // turns crc (of the audio as it is) into stored. The smallest wins. Last,
    // a change made and undone, which moved only gains it had held at an end.
    std::optional<gain_change> find_change(std::uint16_t crc, std::uint16_t stored) const;

    std::int64_t fields() const { return fields_; }

    // Every guess tried is one more chance that damage passes as a gain change
    // (1 in 65536 each): mp3gain's own steps rarely pass 20.
    static constexpr int max_steps = 40;

private:
    enum class held_gains : std::uint8_t { moved, stayed };
    // How the CRC changes when steps are undone on one channel; none when a
    // gain would go past 0 or 255 without wrapping round.
    // from_end: the gain value whose fields are taken as having stood at the
    // nearer end of the range before (-1: none).
    std::optional<std::uint16_t> channel_change(int channel, int steps, bool wraps, held_gains held,
                                                int from_end = -1) const;
    // The gain values a few steps from either end that fields stand at.
    std::vector<int> near_ends() const;
    // change undone, with the fields at one of those values taken as having
    // stood at that end (held there by an earlier change, moved by a later):
    // the change with held_moved set, when that turns the CRC by target.
    std::optional<gain_change> moved_back(const gain_change& change, std::uint16_t target) const;
    // Whether the channel has gains at the end a change of steps would have held them at.
    bool holds_at_end(int channel, int steps) const;

    // Protected frames: mp3gain writes each one's CRC word anew, and the music
    // CRC covers that word too. The word's change is linear in a gain field's
    // flips and depends only on how many protected bits follow the field (a
    // stream has a few such distances), so the fields are summed per distance,
    // by the weight of their frame's CRC word.
    struct crc_word_sums {
        std::size_t bits_after = 0;
        std::array<std::uint16_t, 8> flip_crc{};  // the register after the word's change for each gain bit flipped
        std::array<std::array<std::uint16_t, 256>, 2> sums{};  // [channel][gain]
    };
    static constexpr std::size_t most_word_distances = 16;
    crc_word_sums* word_sums_for(std::size_t bits_after);

    std::int64_t length_;
    std::int64_t fields_ = 0;
    std::vector<crc_word_sums> crc_words_;
    // [channel][gain][bit alignment]: the sum of x^(8n) of such fields.
    std::array<std::array<std::array<std::uint16_t, 8>, 256>, 2> sums_{};
    std::array<std::array<bool, 256>, 2> seen_{};
};

}  // namespace framelint
