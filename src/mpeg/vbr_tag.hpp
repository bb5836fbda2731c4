#pragma once
// The headers encoders put into the first frame of a stream to describe it:
// Xing/Info (frame and byte counts), VBRI (the same, Fraunhofer's form) and the
// LAME tag behind Xing/Info (the CRC-16 of the audio and of the tag itself).

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>
#include <span>

#include "mpeg/frame_crc.hpp"
#include "mpeg/header_word.hpp"

namespace framelint {

enum class vbr_header_kind { xing, info, vbri };

struct vbr_header {
    vbr_header_kind kind = vbr_header_kind::xing;
    std::optional<std::uint32_t> frames;  // frames after the tag frame (some encoders count it too)
    std::optional<std::uint32_t> bytes;   // from the tag frame's first byte to the end of the last frame
    std::size_t fields_end = 0;           // offset in the frame just after the header's fields
};

// frame: the first frame of a stream from its header's first byte on (as much of
// it as there is); word its header, which decoded as valid.
std::optional<vbr_header> find_vbr_header(std::span<const std::uint8_t> frame, std::uint32_t word);

// Four bytes of text as a 32-bit load from memory reads them on this machine.
constexpr std::uint32_t text_as_loaded(const char (&t)[5])
{
    const auto b = [&](int i) { return static_cast<std::uint32_t>(static_cast<unsigned char>(t[i])); };
    return std::endian::native == std::endian::little ? b(0) | b(1) << 8 | b(2) << 16 | b(3) << 24
                                                      : b(0) << 24 | b(1) << 16 | b(2) << 8 | b(3);
}

// Where a Layer III frame's Xing/Info text lies, right after the side
// information (whether or not a CRC word comes first); 0 for other layers,
// which carry none. The same for every frame of one stream.
constexpr std::size_t xing_text_at(std::uint32_t word)
{
    const header_word h{word};
    return h.layer3() ? h.vbr_header_at() : 0;
}

// Whether a frame of length bytes (all of them at frame) holds the text that
// find_vbr_header begins with, where it looks for it (xing_at: xing_text_at of
// its header): a test cheap enough for every frame of a stream, where a header
// frame means a second file begins.
inline bool has_vbr_header_text(const std::uint8_t* frame, std::size_t length, std::size_t xing_at)
{
    const auto loaded = [](const std::uint8_t* p) {
        std::uint32_t v = 0;
        std::memcpy(&v, p, 4);
        return v;
    };
    constexpr std::size_t vbri_at = 36;  // in any frame
    if (vbri_at + 4 <= length && loaded(frame + vbri_at) == text_as_loaded("VBRI")) {
        return true;
    }
    if (xing_at == 0 || xing_at + 4 > length) {
        return false;
    }
    const std::uint32_t t = loaded(frame + xing_at);
    return t == text_as_loaded("Xing") || t == text_as_loaded("Info");
}

struct lame_tag {
    std::uint32_t music_length = 0;  // bytes from the tag frame's first byte to the end of the audio
    std::uint16_t music_crc = 0;     // CRC-16/ARC of the audio after the tag frame
    std::uint16_t tag_crc = 0;       // as stored
    // The tag CRC as worked out by the two known writers: LAME covers the frame up
    // to the field; ffmpeg covers its first 190 bytes (the same span in a stereo
    // MPEG-1 frame) with the field as 0 and zeros past the end of a shorter frame.
    std::uint16_t tag_crc_found = 0;  // by the rule of the encoder the string names
    std::uint16_t tag_crc_other = 0;  // by the other rule

    // The encoder string names no encoder known to write both CRCs: the tag
    // is only believed where its own CRC fails (an edit, the string among
    // what was edited) and the music CRC still matches the audio.
    bool unknown_encoder = false;

    bool tag_crc_matches() const { return tag_crc == tag_crc_found || tag_crc == tag_crc_other; }
};

// The LAME tag at offset `at` of the frame (a Xing/Info header's fields_end;
// frame holds no more than the frame's own bytes):
// only when its encoder string names an encoder that writes both CRCs (LAME from
// 3.90 on, ffmpeg's "Lavc"/"Lavf") and its tag CRC field is not 0. With
// any_encoder, a tag with another string is taken too, marked unknown_encoder.
std::optional<lame_tag> find_lame_tag(std::span<const std::uint8_t> frame, std::size_t at, bool any_encoder = false);

// LAME's encoder strings read "LAME3.100", "LAME3.99r"; true from 3.90 on.
bool lame_writes_crcs(std::span<const std::uint8_t, 9> encoder);

}  // namespace framelint
