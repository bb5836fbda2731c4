#pragma once
// CRC-16/ARC (polynomial 0x8005 reflected as 0xA001, initial value 0, no final
// XOR), the checksum of the LAME tag: its music CRC over the audio and its tag
// CRC over the header frame.
//
// Two ways to compute it:
// - the table version, sixteen bytes per step ("slicing by sixteen"): table k
//   holds the CRC of a byte followed by k zero bytes, so sixteen independent
//   lookups replace sixteen dependent steps. It is constexpr, runs anywhere,
//   and is what the others are checked against;
// - carry-less multiplication (crc16_clmul.cpp), which folds 16 or 32 bytes per
//   instruction pair, on x86 processors that report PCLMULQDQ (or VPCLMULQDQ).
// crc16_arc() takes the fastest one this processor runs, decided once.

#include <array>
#include <cstddef>
#include <cstdint>
#include <type_traits>

namespace framelint {

using crc16_slice = std::array<std::uint16_t, 256>;

inline constexpr std::array<crc16_slice, 16> crc16_tables = [] {
    std::array<crc16_slice, 16> t{};
    for (unsigned i = 0; i < 256; ++i) {
        unsigned crc = i;
        for (int bit = 0; bit < 8; ++bit) {
            crc = (crc & 1u) != 0 ? (crc >> 1) ^ 0xA001u : crc >> 1;
        }
        t[0][i] = static_cast<std::uint16_t>(crc);
    }
    for (std::size_t k = 1; k < 16; ++k) {
        for (unsigned i = 0; i < 256; ++i) {
            const std::uint16_t prev = t[k - 1][i];
            t[k][i] = static_cast<std::uint16_t>((prev >> 8) ^ t[0][prev & 0xFFu]);
        }
    }
    return t;
}();

// One byte at a time: the definition the faster forms must agree with.
constexpr std::uint16_t crc16_arc_bytewise(const std::uint8_t* bytes, std::size_t n, std::uint16_t crc = 0)
{
    for (std::size_t i = 0; i < n; ++i) {
        crc = static_cast<std::uint16_t>((crc >> 8) ^ crc16_tables[0][(crc ^ bytes[i]) & 0xFFu]);
    }
    return crc;
}

// Little-endian assembly of eight bytes; compilers turn it into one load.
constexpr std::uint64_t load_le64(const std::uint8_t* bytes)
{
    std::uint64_t word = 0;
    for (int i = 7; i >= 0; --i) {
        word = word << 8 | bytes[i];
    }
    return word;
}

// The CRC contribution of eight bytes standing `first` bytes before the end of a step.
constexpr std::uint16_t crc16_slice8(std::uint64_t word, std::size_t first)
{
    const auto& t = crc16_tables;
    std::uint16_t crc = 0;
    for (std::size_t i = 0; i < 8; ++i) {
        crc = static_cast<std::uint16_t>(crc ^ t[first - i][(word >> (8 * i)) & 0xFFu]);
    }
    return crc;
}

// The table version. crc is the value over the bytes before these (0 to start).
constexpr std::uint16_t crc16_arc_table(const std::uint8_t* bytes, std::size_t n, std::uint16_t crc = 0)
{
    for (; n >= 16; n -= 16, bytes += 16) {
        const std::uint64_t low = load_le64(bytes) ^ crc;
        const std::uint64_t high = load_le64(bytes + 8);
        crc = static_cast<std::uint16_t>(crc16_slice8(low, 15) ^ crc16_slice8(high, 7));
    }
    return crc16_arc_bytewise(bytes, n, crc);
}

// The ways this build knows; which of them the processor runs is known at run time.
enum class crc16_method {
    table,     // everywhere
    clmul128,  // PCLMULQDQ and SSE4.1: four 16-byte lanes
    clmul256,  // VPCLMULQDQ and AVX2: four 32-byte lanes
};

// True when the method is built in and this processor runs it.
bool crc16_method_available(crc16_method method);
// The fastest available method; the one crc16_arc() uses.
crc16_method crc16_fastest_method();
// The CRC by a given method, which must be available.
std::uint16_t crc16_arc_by(crc16_method method, const std::uint8_t* bytes, std::size_t n, std::uint16_t crc = 0);
// The CRC by the fastest method.
std::uint16_t crc16_arc_fastest(const std::uint8_t* bytes, std::size_t n, std::uint16_t crc);

// A running CRC: pass the CRC of the bytes before (0 to start) to continue over
// more, so crc16_arc(b, n, crc16_arc(a, m)) is the CRC of a followed by b.
constexpr std::uint16_t crc16_arc(const std::uint8_t* bytes, std::size_t n, std::uint16_t crc = 0)
{
    if (std::is_constant_evaluated()) {
        return crc16_arc_table(bytes, n, crc);
    }
    return crc16_arc_fastest(bytes, n, crc);
}

namespace crc16_checks {
constexpr std::array<std::uint8_t, 9> check_input{'1', '2', '3', '4', '5', '6', '7', '8', '9'};
constexpr std::array<std::uint8_t, 23> longer{0xFF, 0xFB, 0x90, 0x64, 0x00, 0x01, 0x80, 0x7F, 0x55, 0xAA, 0x12, 0x34,
                                              0x56, 0x78, 0x9A, 0xBC, 0xDE, 0xF0, 0x0F, 0x1E, 0x2D, 0x3C, 0x4B};
static_assert(crc16_tables[0][1] == 0xC0C1 && crc16_tables[0][255] == 0x4040);
static_assert(crc16_arc(check_input.data(), check_input.size()) == 0xBB3D, "the CRC-16/ARC check value");
static_assert(crc16_arc(longer.data(), longer.size()) == crc16_arc_bytewise(longer.data(), longer.size()));
static_assert(crc16_arc(longer.data(), 16) == crc16_arc_bytewise(longer.data(), 16));
static_assert(crc16_arc(longer.data(), 7) == crc16_arc_bytewise(longer.data(), 7));
static_assert(crc16_arc(longer.data() + 5, 18, crc16_arc(longer.data(), 5)) == crc16_arc(longer.data(), 23),
              "a CRC continued over the rest equals the CRC of the whole");
}  // namespace crc16_checks

}  // namespace framelint
