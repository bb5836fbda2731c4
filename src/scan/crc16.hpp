#pragma once
// CRC-16/ARC (polynomial 0x8005 reflected as 0xA001, initial value 0, no final
// XOR), the checksum compared with a protected frame's stored CRC word.
// Eight bytes per step ("slicing by eight"): table k holds the CRC of a byte
// followed by k zero bytes, so eight lookups replace eight dependent steps.

#include <array>
#include <cstddef>
#include <cstdint>

namespace framelint {

using crc16_slice = std::array<std::uint16_t, 256>;

inline constexpr std::array<crc16_slice, 8> crc16_tables = [] {
    std::array<crc16_slice, 8> t{};
    for (unsigned i = 0; i < 256; ++i) {
        unsigned crc = i;
        for (int bit = 0; bit < 8; ++bit) {
            crc = (crc & 1u) != 0 ? (crc >> 1) ^ 0xA001u : crc >> 1;
        }
        t[0][i] = static_cast<std::uint16_t>(crc);
    }
    for (std::size_t k = 1; k < 8; ++k) {
        for (unsigned i = 0; i < 256; ++i) {
            const std::uint16_t prev = t[k - 1][i];
            t[k][i] = static_cast<std::uint16_t>((prev >> 8) ^ t[0][prev & 0xFFu]);
        }
    }
    return t;
}();

// One byte at a time: the definition the sliced form must agree with.
constexpr std::uint16_t crc16_arc_bytewise(const std::uint8_t* bytes, std::size_t n, std::uint16_t crc = 0)
{
    for (std::size_t i = 0; i < n; ++i) {
        crc = static_cast<std::uint16_t>((crc >> 8) ^ crc16_tables[0][(crc ^ bytes[i]) & 0xFFu]);
    }
    return crc;
}

constexpr std::uint16_t crc16_arc(const std::uint8_t* bytes, std::size_t n)
{
    std::uint16_t crc = 0;
    const auto& t = crc16_tables;
    for (; n >= 8; n -= 8, bytes += 8) {
        // Little-endian assembly; compilers turn it into one load.
        std::uint64_t word = 0;
        for (int i = 7; i >= 0; --i) {
            word = word << 8 | bytes[i];
        }
        word ^= crc;
        crc = static_cast<std::uint16_t>(t[7][word & 0xFFu] ^ t[6][(word >> 8) & 0xFFu] ^ t[5][(word >> 16) & 0xFFu] ^
                                         t[4][(word >> 24) & 0xFFu] ^ t[3][(word >> 32) & 0xFFu] ^
                                         t[2][(word >> 40) & 0xFFu] ^ t[1][(word >> 48) & 0xFFu] ^ t[0][word >> 56]);
    }
    return crc16_arc_bytewise(bytes, n, crc);
}

namespace crc16_checks {
constexpr std::array<std::uint8_t, 9> check_input{'1', '2', '3', '4', '5', '6', '7', '8', '9'};
constexpr std::array<std::uint8_t, 23> longer{0xFF, 0xFB, 0x90, 0x64, 0x00, 0x01, 0x80, 0x7F, 0x55, 0xAA, 0x12, 0x34,
                                              0x56, 0x78, 0x9A, 0xBC, 0xDE, 0xF0, 0x0F, 0x1E, 0x2D, 0x3C, 0x4B};
static_assert(crc16_tables[0][1] == 0xC0C1 && crc16_tables[0][255] == 0x4040);
static_assert(crc16_arc(check_input.data(), check_input.size()) == 0xBB3D, "the CRC-16/ARC check value");
static_assert(crc16_arc(longer.data(), longer.size()) == crc16_arc_bytewise(longer.data(), longer.size()));
static_assert(crc16_arc(longer.data(), 16) == crc16_arc_bytewise(longer.data(), 16));
}  // namespace crc16_checks

}  // namespace framelint
