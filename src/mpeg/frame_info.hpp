#pragma once
// One decoded MPEG audio frame header: the rates and lengths, and one 0/1 flag
// for every value of every field, so that the dumps can print each by name.

#include <cstdint>

namespace framelint {

struct frame_info {
    std::int32_t frame_length = 0;       // whole frame in bytes, header and CRC word included
    std::int32_t frame_data_length = 0;  // body bytes read in one block (set by the body reader)
    std::int32_t bit_rate = 0;           // kbit/s; 1 = free format, 0 = bad index or reserved
    std::int32_t sample_freq = 0;        // Hz; 0 = none
    std::int32_t samples_per_frame = 0;  // per channel: 384, 576 or 1152; 0 for a reserved layer
    std::int16_t mpv_1 = 0;
    std::int16_t mpv_2 = 0;
    std::int16_t mpv_25 = 0;
    std::int16_t mpv_reserved = 0;
    std::int16_t l1 = 0;
    std::int16_t l2 = 0;
    std::int16_t l3 = 0;
    std::int16_t l_reserved = 0;
    std::int16_t prot_bit = 0;  // protection bit is 0: a CRC word follows the header
    std::int16_t pad_bit = 0;
    std::int16_t priv_bit = 0;
    std::int16_t stereo = 0;
    std::int16_t joint_stereo = 0;
    std::int16_t dual_stereo = 0;
    std::int16_t single_channel = 0;
    std::int16_t mode_extension = 0;  // set with joint_stereo; the two bits are not decoded
    std::int16_t id3v2 = 0;           // never set by the decoder
    std::int16_t copyright = 0;
    std::int16_t original = 0;
    std::int16_t emph_none = 0;
    std::int16_t emph_5015 = 0;
    std::int16_t emph_reserv = 0;
    std::int16_t emph_ccit = 0;
    char bin_string[33] = {};  // the header word as '0'/'1', most significant bit first
    std::uint32_t int_header = 0;
    std::uint16_t crc16_value = 0;          // stored CRC word (set by the scanner)
    std::uint16_t correct_crc16_value = 0;  // CRC-16 of the body (set by the body reader)
    std::int16_t check_state = 0;           // 1 valid, 0 not
};

// The all-zero record with 32 '0' characters as its bit string; every decode starts from it.
const frame_info& blank_frame_info();

// 1 when the characters of bin from index 31 - first_bit on equal pattern
// ('0'/'1' characters), else 0. first_bit 31 is the header's most significant bit.
int match_bits(const char* bin, const char* pattern, int first_bit);

// Fills info (which must start as blank_frame_info()) from the header word and
// returns 1 when the header is valid, else 0; info.check_state holds the same.
int decode_header(std::uint32_t header_word, frame_info& info);

// The weak sieve: the top 11 bits (the sync pattern) are all 1.
constexpr bool has_sync(std::uint32_t word) { return word >= 0xFFE00000u; }

// The header bits that neither the validity rule nor a frame's length, bit rate
// or play time depend on: private, mode extension, copyright, original and
// emphasis. Encoders change the mode extension from frame to frame, so two
// words equal but for these decode to the same frame in all the scan counts.
constexpr std::uint32_t frame_flag_bits = 0x0000013Fu;

}  // namespace framelint
