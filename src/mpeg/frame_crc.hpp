#pragma once
// The CRC word of a protected MPEG audio frame, as decoders check it: CRC-16
// with generator 0x8005, register started at 0xFFFF, bits fed most significant
// first, no reflection and no final XOR. It covers the last 16 bits of the
// header, then the bits that follow the CRC word and that a damaged byte would
// turn into noise: the bit allocation (Layers I and II, with the Layer II scale
// factor selection) or the side information (Layer III).

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

#include "mpeg/header_word.hpp"

namespace framelint {

// Feeds the low `bits` bits of value, most significant first, into crc.
constexpr std::uint16_t mpeg_crc_bits(std::uint16_t crc, std::uint32_t value, int bits)
{
    for (int i = bits - 1; i >= 0; --i) {
        const bool top = (crc & 0x8000u) != 0;
        const bool in = ((value >> i) & 1u) != 0;
        crc = static_cast<std::uint16_t>(crc << 1);
        if (top != in) {
            crc = static_cast<std::uint16_t>(crc ^ 0x8005u);
        }
    }
    return crc;
}

// The same eight bits at a time, from a table of what each value of the
// register's top byte turns into, built by the rule above.
inline constexpr std::array<std::uint16_t, 256> mpeg_crc_table = [] {
    std::array<std::uint16_t, 256> table{};
    for (unsigned top = 0; top < 256; ++top) {
        table[top] = mpeg_crc_bits(static_cast<std::uint16_t>(top << 8), 0, 8);
    }
    return table;
}();

constexpr std::uint16_t mpeg_crc_byte(std::uint16_t crc, std::uint8_t byte)
{
    return static_cast<std::uint16_t>(crc << 8 ^ mpeg_crc_table[((crc >> 8) ^ byte) & 0xFFu]);
}

constexpr bool byte_rule_agrees()
{
    for (unsigned crc : {0x0000u, 0xFFFFu, 0x8005u, 0x1234u, 0xBEEFu}) {
        for (unsigned byte = 0; byte < 256; ++byte) {
            if (mpeg_crc_byte(static_cast<std::uint16_t>(crc), static_cast<std::uint8_t>(byte)) !=
                mpeg_crc_bits(static_cast<std::uint16_t>(crc), byte, 8)) {
                return false;
            }
        }
    }
    return true;
}
static_assert(byte_rule_agrees());

// A Layer II bit allocation table: how many subbands carry audio, and how many
// allocation bits each of them takes.
struct layer2_allocation {
    std::size_t subbands;
    std::array<std::uint8_t, 32> bits;
};

namespace layer2_tables {
// {4 bits up to first_3, 3 bits up to first_2, 2 bits up to subbands}
constexpr layer2_allocation make(std::size_t subbands, std::size_t first_3, std::size_t first_2)
{
    layer2_allocation t{subbands, {}};
    for (std::size_t sb = 0; sb < subbands; ++sb) {
        t.bits[sb] = static_cast<std::uint8_t>(sb < first_3 ? 4 : sb < first_2 ? 3 : 2);
    }
    return t;
}
inline constexpr layer2_allocation mpeg1_a = make(27, 11, 23);
inline constexpr layer2_allocation mpeg1_b = make(30, 11, 23);
inline constexpr layer2_allocation mpeg1_c = make(8, 2, 8);
inline constexpr layer2_allocation mpeg1_d = make(12, 2, 12);
inline constexpr layer2_allocation lower_rates = make(30, 4, 11);

constexpr unsigned total_bits(const layer2_allocation& t)
{
    unsigned sum = 0;
    for (std::size_t sb = 0; sb < t.subbands; ++sb) {
        sum += t.bits[sb];
    }
    return sum;
}
static_assert(total_bits(mpeg1_a) == 11 * 4 + 12 * 3 + 4 * 2);
static_assert(total_bits(mpeg1_b) == 11 * 4 + 12 * 3 + 7 * 2);
static_assert(total_bits(mpeg1_c) == 2 * 4 + 6 * 3);
static_assert(total_bits(mpeg1_d) == 2 * 4 + 10 * 3);
static_assert(total_bits(lower_rates) == 4 * 4 + 7 * 3 + 19 * 2);
static_assert(mpeg1_a.bits[26] == 2 && mpeg1_a.bits[27] == 0 && mpeg1_b.bits[29] == 2 && mpeg1_c.bits[7] == 3);
}  // namespace layer2_tables

// The Layer II table of a header word (which must be a valid Layer II header).
const layer2_allocation& layer2_table_for(std::uint32_t header_word);

// The CRC a valid protected frame with this header word must store, computed
// over after_crc, the bytes that follow its CRC word; nothing when they end
// before the protected bits do, or for a layer or rate it cannot cover.
std::optional<std::uint16_t> expected_frame_crc(std::uint32_t header_word, std::span<const std::uint8_t> after_crc);

// The most bytes after the CRC word that expected_frame_crc() ever reads.
inline constexpr std::size_t frame_crc_reach = 64;

}  // namespace framelint
