#pragma once
// The four bytes of an MPEG audio frame header, read as a value: each field by
// name, and what a stream's frames must share. Every bit mask of the header is
// here; decode_header() (frame_info.hpp) turns a word into rates and lengths.

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

namespace framelint {

// Layer III side information, in bytes.
constexpr std::size_t side_info_bytes(bool mpeg1, bool mono) { return mpeg1 ? (mono ? 17 : 32) : (mono ? 9 : 17); }

struct header_word {
    std::uint32_t word = 0;

    // The big-endian word at the first four of bytes (0 when there are fewer).
    static constexpr header_word at(std::span<const std::uint8_t> bytes)
    {
        if (bytes.size() < 4) {
            return {};
        }
        return from(bytes.data());
    }

    // The big-endian word at p, which holds at least four bytes.
    static constexpr header_word from(const std::uint8_t* p)
    {
        return {static_cast<std::uint32_t>(p[0]) << 24 | static_cast<std::uint32_t>(p[1]) << 16 |
                static_cast<std::uint32_t>(p[2]) << 8 | p[3]};
    }

    // The four bytes of the word as they stand in the stream.
    constexpr std::array<std::uint8_t, 4> bytes() const
    {
        return {static_cast<std::uint8_t>(word >> 24), static_cast<std::uint8_t>(word >> 16),
                static_cast<std::uint8_t>(word >> 8), static_cast<std::uint8_t>(word)};
    }

    constexpr unsigned version_bits() const { return (word >> 19) & 3u; }  // 3 MPEG-1, 2 MPEG-2, 0 MPEG-2.5
    constexpr unsigned layer_bits() const { return (word >> 17) & 3u; }    // 3 Layer I, 2 II, 1 III
    constexpr bool mpeg1() const { return version_bits() == 3u; }
    constexpr bool layer3() const { return layer_bits() == 1u; }
    // The protection bit is 0: a CRC word follows the header.
    constexpr bool has_crc() const { return (word & 0x00010000u) == 0; }
    constexpr unsigned bit_rate_index() const { return (word >> 12) & 0xFu; }
    constexpr unsigned sample_rate_index() const { return (word >> 10) & 3u; }
    constexpr bool padding() const { return ((word >> 9) & 1u) != 0; }
    constexpr bool private_bit() const { return ((word >> 8) & 1u) != 0; }
    // The bit-rate index and the padding bit side by side (0 to 31): all that
    // changes from frame to frame of most streams, so a decode kept per value
    // serves every frame.
    constexpr unsigned rate_and_padding() const { return ((word >> 11) & 0x1Eu) | ((word >> 9) & 1u); }
    constexpr unsigned channel_mode() const { return (word >> 6) & 3u; }  // 3: mono
    constexpr bool mono() const { return channel_mode() == 3u; }
    constexpr unsigned mode_extension() const { return (word >> 4) & 3u; }
    constexpr bool copyright() const { return ((word >> 3) & 1u) != 0; }
    constexpr bool original() const { return ((word >> 2) & 1u) != 0; }
    constexpr unsigned emphasis() const { return word & 3u; }
    constexpr bool reserved_emphasis() const { return emphasis() == 2u; }

    // Layer III side information, in bytes.
    constexpr std::size_t side_info_size() const { return side_info_bytes(mpeg1(), mono()); }
    // Where a Layer III frame's "Xing"/"Info" text lies: after the header and
    // the side information (encoders leave a CRC word out of the count).
    constexpr std::size_t vbr_header_at() const { return 4 + side_info_size(); }

    // This word with another bit-rate index, no CRC word and no padding: the
    // header of a new frame shaped like this one.
    constexpr header_word plain_at_rate(unsigned index) const
    {
        return {(word & ~0x0000F200u) | 0x00010000u | (index & 0xFu) << 12};
    }
};

// What makes two frames one stream's: MPEG version, layer, sample rate, and
// whether the frame is mono. (Bit rate, padding, stereo against joint stereo
// and the mode extension change freely within a stream.)
constexpr std::uint32_t stream_format(std::uint32_t word)
{
    return (word & 0x001E0C00u) | (header_word{word}.mono() ? 1u : 0u);
}
static_assert(stream_format(0xFFFB9064u) == stream_format(0xFFFBA044u), "bit rate, padding, mode extension");
static_assert(stream_format(0xFFFB9004u) != stream_format(0xFFFB90C4u), "stereo against mono");

// Whether a frame with header word would carry a finding that a frame with
// header reference could not: another format (a change of format), a CRC word
// where reference has none (a CRC to fail), or a reserved emphasis where
// reference has none. A stream's own frames carry no more than one another;
// a chance header, or one whose last bytes were overwritten, often does. (A
// stream's first frame may carry less: an unprotected Xing frame that a muxer
// put before protected audio.)
constexpr bool carries_more_than(std::uint32_t word, std::uint32_t reference)
{
    const header_word w{word};
    const header_word r{reference};
    const bool crc = w.has_crc() && !r.has_crc();
    const bool reserved = w.reserved_emphasis() && !r.reserved_emphasis();
    return stream_format(word) != stream_format(reference) || crc || reserved;
}
static_assert(!carries_more_than(0xFFFB9064u, 0xFFFBA07Du), "bit rate, mode extension, flags, emphasis 1");
static_assert(carries_more_than(0xFFFA9064u, 0xFFFB9064u), "a CRC word");
static_assert(!carries_more_than(0xFFFB9064u, 0xFFFA9064u), "no CRC word: nothing to fail");
static_assert(carries_more_than(0xFFFB9066u, 0xFFFB9064u), "reserved emphasis");
static_assert(carries_more_than(0xFFFB5200u, 0xFFFB52C4u), "mono turned stereo by zeros");
static_assert(header_word{0xFFFB9064u}.vbr_header_at() == 36 && header_word{0xFFF390C4u}.vbr_header_at() == 13);
static_assert(header_word{0xFFFB9064u}.plain_at_rate(1).word == 0xFFFB1064u);
static_assert(header_word{0xFFFB9264u}.rate_and_padding() == 19 && header_word{0xFFFBF064u}.rate_and_padding() == 30);
static_assert(header_word{0x12345678u}.bytes()[0] == 0x12 && header_word{0x12345678u}.bytes()[3] == 0x78);

}  // namespace framelint
