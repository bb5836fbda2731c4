// CRC-16/ARC by carry-less multiplication, and the choice of method at run time.
//
// The bytes are taken 16 at a time as polynomials over GF(2), lowest address
// holding the highest powers (the bit order of a reflected CRC, so that a
// little-endian load needs no byte swap). A 128-bit accumulator that stands s
// bits before the end of what has been read can be replaced by its two 64-bit
// halves multiplied by x^(s+64) mod P and x^s mod P: the product is shorter and
// leaves the remainder modulo P, which is all the CRC depends on, unchanged.
// Several accumulators fold in parallel, then into each other. The last one is
// itself a 16-byte message with the same remainder, so its CRC (one table step)
// is the CRC of everything folded into it.

#include "mpeg/crc16.hpp"

#include <array>

#if defined(__x86_64__)
#include <immintrin.h>
#endif

namespace framelint {
namespace {

using crc16_function = std::uint16_t (*)(const std::uint8_t*, std::size_t, std::uint16_t);

std::uint16_t by_table(const std::uint8_t* bytes, std::size_t n, std::uint16_t crc)
{
    return crc16_arc_table(bytes, n, crc);
}

#if defined(__x86_64__)

// x^n mod P, P = x^16 + x^15 + x^2 + 1 (0x8005 with its top term), bit d the
// coefficient of x^d.
constexpr std::uint32_t x_power_mod_p(unsigned n)
{
    std::uint32_t r = 1;
    for (unsigned i = 0; i < n; ++i) {
        r <<= 1;
        if ((r & 0x10000u) != 0) {
            r ^= 0x18005u;
        }
    }
    return r;
}
static_assert(x_power_mod_p(16) == 0x8005u && x_power_mod_p(15) == 0x8000u);

// The multiplier that moves a 64-bit half `shift` bits further from the end.
// A carry-less product of two reflected 64-bit values comes out one bit short of
// the 128-bit reflected layout (bit 127 stays clear), so the power is one less:
// x^(shift-1) with bit d of the remainder at bit 63-d.
constexpr std::uint64_t fold_multiplier(unsigned shift)
{
    const std::uint32_t r = x_power_mod_p(shift - 1);
    std::uint64_t reflected = 0;
    for (unsigned d = 0; d < 16; ++d) {
        if ((r >> d & 1u) != 0) {
            reflected |= std::uint64_t{1} << (63 - d);
        }
    }
    return reflected;
}

// The helpers are inlined into each method, so that each method is compiled for
// its own instruction set as a whole: an SSE-encoded helper called from AVX code
// pays for the switch between the two encodings on some processors.

[[gnu::always_inline, gnu::target("pclmul,sse4.1")]] inline __m128i load16(const std::uint8_t* p)
{
    return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
}

// Multipliers for one 128-bit lane moving `shift` bits: low half for the high
// powers (shift + 64), high half for the low ones. Worked out while compiling.
template <unsigned shift>
[[gnu::always_inline, gnu::target("pclmul,sse4.1")]] inline __m128i lane_multipliers()
{
    constexpr auto high_powers = static_cast<long long>(fold_multiplier(shift + 64));
    constexpr auto low_powers = static_cast<long long>(fold_multiplier(shift));
    return _mm_set_epi64x(low_powers, high_powers);
}

[[gnu::always_inline, gnu::target("pclmul,sse4.1")]] inline __m128i fold(__m128i acc, __m128i k, __m128i next)
{
    return _mm_xor_si128(_mm_xor_si128(_mm_clmulepi64_si128(acc, k, 0x00), _mm_clmulepi64_si128(acc, k, 0x11)), next);
}

// Shuffle masks that move the first r bytes of a block to its end, zeros in
// front: the mask for r starts at index r.
constexpr std::array<std::uint8_t, 32> head_shuffle = [] {
    std::array<std::uint8_t, 32> t{};
    for (std::size_t i = 0; i < 32; ++i) {
        t[i] = static_cast<std::uint8_t>(i < 16 ? 0x80 : i - 16);
    }
    return t;
}();

// The first block, with the running CRC in it, and what follows it: a whole
// number of 16-byte blocks. When the length is not a multiple of 16, the first
// block is the message's first r bytes behind 16 - r zero bytes, which change no
// remainder; the running CRC goes into the message's first two bytes (what a
// reflected CRC's start value amounts to), so r must be at least 2 for both to
// land in this block. n >= 32.
struct block_start {
    __m128i first;
    const std::uint8_t* rest;
    std::size_t rest_len;
};
[[gnu::always_inline, gnu::target("pclmul,sse4.1")]] inline block_start start_blocks(const std::uint8_t* bytes,
                                                                                    std::size_t n,
                                                                                    std::uint16_t crc)
{
    std::size_t r = n % 16;
    if (r == 1) {
        crc = crc16_arc_bytewise(bytes, 1, crc);  // one table step costs less than the odd case
        ++bytes;
        --n;
        r = 0;
    }
    const __m128i head = _mm_xor_si128(load16(bytes), _mm_cvtsi32_si128(crc));
    if (r == 0) {
        return {head, bytes + 16, n - 16};
    }
    const __m128i mask = load16(head_shuffle.data() + r);
    return {_mm_shuffle_epi8(head, mask), bytes + r, n - r};
}

// Folds the remaining whole blocks into acc one by one, then takes the CRC of acc.
[[gnu::always_inline, gnu::target("pclmul,sse4.1")]] inline std::uint16_t finish_blocks(__m128i acc,
                                                                                       const std::uint8_t* bytes,
                                                                                       std::size_t n)
{
    const __m128i k16 = lane_multipliers<128>();
    for (; n >= 16; n -= 16, bytes += 16) {
        acc = fold(acc, k16, load16(bytes));
    }
    const std::uint64_t low = static_cast<std::uint64_t>(_mm_cvtsi128_si64(acc));
    const std::uint64_t high = static_cast<std::uint64_t>(_mm_extract_epi64(acc, 1));
    return static_cast<std::uint16_t>(crc16_slice8(low, 15) ^ crc16_slice8(high, 7));
}

// Four 16-byte lanes, 64 bytes a step. n >= 80.
[[gnu::target("pclmul,sse4.1")]] std::uint16_t crc16_clmul128(const std::uint8_t* bytes, std::size_t n,
                                                              std::uint16_t crc)
{
    const block_start s = start_blocks(bytes, n, crc);
    const std::uint8_t* p = s.rest;
    std::size_t left = s.rest_len;
    __m128i a0 = s.first;
    __m128i a1 = load16(p);
    __m128i a2 = load16(p + 16);
    __m128i a3 = load16(p + 32);
    p += 48;
    left -= 48;
    const __m128i k64 = lane_multipliers<512>();
    for (; left >= 64; left -= 64, p += 64) {
        a0 = fold(a0, k64, load16(p));
        a1 = fold(a1, k64, load16(p + 16));
        a2 = fold(a2, k64, load16(p + 32));
        a3 = fold(a3, k64, load16(p + 48));
    }
    const __m128i k16 = lane_multipliers<128>();
    __m128i acc = fold(a0, k16, a1);
    acc = fold(acc, k16, a2);
    acc = fold(acc, k16, a3);
    return finish_blocks(acc, p, left);
}

[[gnu::always_inline, gnu::target("vpclmulqdq,avx2,pclmul,sse4.1")]] inline __m256i load32(const std::uint8_t* p)
{
    return _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p));
}

[[gnu::always_inline, gnu::target("vpclmulqdq,avx2,pclmul,sse4.1")]] inline __m256i fold(__m256i acc, __m256i k,
                                                                                         __m256i next)
{
    return _mm256_xor_si256(
        _mm256_xor_si256(_mm256_clmulepi64_epi128(acc, k, 0x00), _mm256_clmulepi64_epi128(acc, k, 0x11)), next);
}

template <unsigned shift>
[[gnu::always_inline, gnu::target("vpclmulqdq,avx2,pclmul,sse4.1")]] inline __m256i wide_multipliers()
{
    const __m128i k = lane_multipliers<shift>();
    return _mm256_set_m128i(k, k);
}

// Four 32-byte registers of two lanes each, 128 bytes a step. n >= 256.
[[gnu::target("vpclmulqdq,avx2,pclmul,sse4.1")]] std::uint16_t crc16_clmul256(const std::uint8_t* bytes,
                                                                              std::size_t n, std::uint16_t crc)
{
    const block_start s = start_blocks(bytes, n, crc);
    const std::uint8_t* p = s.rest;
    std::size_t left = s.rest_len;
    __m256i a0 = _mm256_set_m128i(load16(p), s.first);
    __m256i a1 = load32(p + 16);
    __m256i a2 = load32(p + 48);
    __m256i a3 = load32(p + 80);
    p += 112;
    left -= 112;
    const __m256i k128 = wide_multipliers<1024>();
    for (; left >= 128; left -= 128, p += 128) {
        a0 = fold(a0, k128, load32(p));
        a1 = fold(a1, k128, load32(p + 32));
        a2 = fold(a2, k128, load32(p + 64));
        a3 = fold(a3, k128, load32(p + 96));
    }
    const __m256i k32 = wide_multipliers<256>();
    __m256i wide = fold(a0, k32, a1);
    wide = fold(wide, k32, a2);
    wide = fold(wide, k32, a3);
    const __m128i acc =
        fold(_mm256_castsi256_si128(wide), lane_multipliers<128>(), _mm256_extracti128_si256(wide, 1));
    return finish_blocks(acc, p, left);
}

// Below these lengths the next slower method costs less than its setup.
constexpr std::size_t clmul128_from = 80;
constexpr std::size_t clmul256_from = 256;

std::uint16_t by_clmul128(const std::uint8_t* bytes, std::size_t n, std::uint16_t crc)
{
    return n < clmul128_from ? crc16_arc_table(bytes, n, crc) : crc16_clmul128(bytes, n, crc);
}

std::uint16_t by_clmul256(const std::uint8_t* bytes, std::size_t n, std::uint16_t crc)
{
    return n < clmul256_from ? by_clmul128(bytes, n, crc) : crc16_clmul256(bytes, n, crc);
}

bool processor_has(crc16_method method)
{
    __builtin_cpu_init();
    switch (method) {
    case crc16_method::table:
        return true;
    case crc16_method::clmul128:
        return __builtin_cpu_supports("pclmul") && __builtin_cpu_supports("sse4.1");
    case crc16_method::clmul256:
        return __builtin_cpu_supports("vpclmulqdq") && __builtin_cpu_supports("avx2") &&
               processor_has(crc16_method::clmul128);
    }
    return false;
}

crc16_function function_for(crc16_method method)
{
    switch (method) {
    case crc16_method::table:
        break;
    case crc16_method::clmul128:
        return by_clmul128;
    case crc16_method::clmul256:
        return by_clmul256;
    }
    return by_table;
}

#else

// Elsewhere only the table version is built.
bool processor_has(crc16_method method) { return method == crc16_method::table; }
crc16_function function_for(crc16_method) { return by_table; }

#endif

crc16_function fastest_function()
{
    static const crc16_function chosen = function_for(crc16_fastest_method());
    return chosen;
}

}  // namespace

bool crc16_method_available(crc16_method method) { return processor_has(method); }

crc16_method crc16_fastest_method()
{
    for (const crc16_method m : {crc16_method::clmul256, crc16_method::clmul128}) {
        if (processor_has(m)) {
            return m;
        }
    }
    return crc16_method::table;
}

std::uint16_t crc16_arc_by(crc16_method method, const std::uint8_t* bytes, std::size_t n, std::uint16_t crc)
{
    return function_for(method)(bytes, n, crc);
}

std::uint16_t crc16_arc_fastest(const std::uint8_t* bytes, std::size_t n, std::uint16_t crc)
{
    return fastest_function()(bytes, n, crc);
}

}  // namespace framelint
