// Fuzz target for decode_header: four input bytes are one header word (first
// byte most significant), decoded into a blank record. Every property the
// scanner and the dumps rely on is checked; a violation aborts with a note of
// which check failed.
//
// The field checks read the bit string through match_bits, while the decoder
// itself takes the fields from the word by shift and mask: the two routes must
// agree, and the bit string must be the word.

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "mpeg/frame_info.hpp"
#include "fuzz_check.hpp"

namespace {

using framelint::frame_info;

std::uint32_t g_word = 0;

}  // namespace

void fuzz_check_failed(const char* what, int line)
{
    std::fprintf(stderr, "decode_header_fuzz: check failed at line %d: %s (word 0x%08x)\n", line, what,
                 static_cast<unsigned>(g_word));
    std::abort();
}

namespace {

bool is_flag(std::int16_t v) { return v == 0 || v == 1; }

// Every field but the two text forms of the word.
bool same_decoded_fields(const frame_info& a, const frame_info& b)
{
    return a.frame_length == b.frame_length && a.frame_data_length == b.frame_data_length &&
           a.bit_rate == b.bit_rate && a.sample_freq == b.sample_freq && a.samples_per_frame == b.samples_per_frame &&
           a.mpv_1 == b.mpv_1 && a.mpv_2 == b.mpv_2 && a.mpv_25 == b.mpv_25 && a.mpv_reserved == b.mpv_reserved &&
           a.l1 == b.l1 && a.l2 == b.l2 && a.l3 == b.l3 && a.l_reserved == b.l_reserved && a.prot_bit == b.prot_bit &&
           a.pad_bit == b.pad_bit && a.priv_bit == b.priv_bit && a.stereo == b.stereo &&
           a.joint_stereo == b.joint_stereo && a.dual_stereo == b.dual_stereo &&
           a.single_channel == b.single_channel && a.mode_extension == b.mode_extension && a.id3v2 == b.id3v2 &&
           a.copyright == b.copyright && a.original == b.original && a.emph_none == b.emph_none &&
           a.emph_5015 == b.emph_5015 && a.emph_reserv == b.emph_reserv && a.emph_ccit == b.emph_ccit &&
           a.crc16_value == b.crc16_value && a.correct_crc16_value == b.correct_crc16_value &&
           a.check_state == b.check_state;
}

frame_info decode(std::uint32_t word, int& result)
{
    frame_info f = framelint::blank_frame_info();
    result = framelint::decode_header(word, f);
    return f;
}

// One flag per value of a two-bit field, and the field's bits in the text form
// must pick out the flag that is set.
void check_group(const char* bin, int first_bit, std::int16_t f00, std::int16_t f01, std::int16_t f10,
                 std::int16_t f11)
{
    CHECK(is_flag(f00) && is_flag(f01) && is_flag(f10) && is_flag(f11));
    CHECK(f00 + f01 + f10 + f11 == 1);
    CHECK(f00 == framelint::match_bits(bin, "00", first_bit));
    CHECK(f01 == framelint::match_bits(bin, "01", first_bit));
    CHECK(f10 == framelint::match_bits(bin, "10", first_bit));
    CHECK(f11 == framelint::match_bits(bin, "11", first_bit));
}

void check_one_bit(const char* bin, int bit, std::int16_t flag, const char* set_when)
{
    CHECK(is_flag(flag));
    CHECK(flag == framelint::match_bits(bin, set_when, bit));
}

void check_word(std::uint32_t word)
{
    g_word = word;
    int result = -1;
    const frame_info f = decode(word, result);
    const frame_info& blank = framelint::blank_frame_info();

    CHECK(result == 0 || result == 1);
    CHECK(result == f.check_state);

    for (int i = 0; i < 32; ++i) {
        const char expected = ((word >> (31 - i)) & 1u) != 0 ? '1' : '0';
        CHECK(f.bin_string[i] == expected);
    }
    CHECK(f.bin_string[32] == '\0');
    CHECK(f.int_header == word);

    // Fields that belong to the scanner and the body reader stay untouched.
    CHECK(f.frame_data_length == 0 && f.crc16_value == 0 && f.correct_crc16_value == 0 && f.id3v2 == 0);

    const char* bin = f.bin_string;
    CHECK(framelint::match_bits(bin, "11111111111", 31) == (framelint::has_sync(word) ? 1 : 0));
    // Patterns that would run past either end of the text never match.
    CHECK(framelint::match_bits(bin, bin[0] == '1' ? "1" : "0", 32) == 0);
    CHECK(framelint::match_bits(bin, bin[31] == '1' ? "1" : "0", -1) == 0);
    CHECK(framelint::match_bits(bin, bin[31] == '1' ? "01" : "00", 0) == 0);

    if (!framelint::has_sync(word)) {
        CHECK(result == 0);
        CHECK(same_decoded_fields(f, blank));
        return;
    }

    check_group(bin, 20, f.mpv_25, f.mpv_reserved, f.mpv_2, f.mpv_1);
    check_group(bin, 18, f.l_reserved, f.l3, f.l2, f.l1);
    check_group(bin, 7, f.stereo, f.joint_stereo, f.dual_stereo, f.single_channel);
    check_group(bin, 1, f.emph_none, f.emph_5015, f.emph_reserv, f.emph_ccit);
    CHECK(f.mode_extension == f.joint_stereo);
    check_one_bit(bin, 16, f.prot_bit, "0");
    check_one_bit(bin, 9, f.pad_bit, "1");
    check_one_bit(bin, 8, f.priv_bit, "1");
    check_one_bit(bin, 3, f.copyright, "1");
    check_one_bit(bin, 2, f.original, "1");

    // Samples per frame follow the layer; Layer III halves them for MPEG-2 and 2.5.
    if (f.l1 != 0) {
        CHECK(f.samples_per_frame == 384);
    } else if (f.l2 != 0) {
        CHECK(f.samples_per_frame == 1152);
    } else if (f.l3 != 0) {
        CHECK(f.samples_per_frame == ((f.mpv_2 != 0 || f.mpv_25 != 0) ? 576 : 1152));
    } else {
        CHECK(f.samples_per_frame == 0);
    }

    // Sample rates: MPEG-2 halves the MPEG-1 rates and MPEG-2.5 quarters them.
    const unsigned rate_index = (word >> 10) & 3u;
    if (f.mpv_reserved != 0 || rate_index == 3) {
        CHECK(f.sample_freq == 0);
    } else {
        static constexpr std::int32_t mpeg1_rates[3] = {44100, 48000, 32000};
        const std::int32_t divisor = f.mpv_1 != 0 ? 1 : f.mpv_2 != 0 ? 2 : 4;
        CHECK(f.sample_freq == mpeg1_rates[rate_index] / divisor);
    }

    // Bit rates: 0 for reserved rows and the forbidden index 15, 1 for free format,
    // otherwise a real rate that rises with the index.
    const unsigned rate_step = (word >> 12) & 15u;
    if (f.mpv_reserved != 0 || f.l_reserved != 0 || rate_step == 15) {
        CHECK(f.bit_rate == 0);
    } else if (rate_step == 0) {
        CHECK(f.bit_rate == 1);
    } else {
        CHECK(f.bit_rate >= 8 && f.bit_rate <= 448 && f.bit_rate % 8 == 0);
        if (rate_step == 1) {
            CHECK(f.bit_rate == (f.mpv_1 != 0 || f.l1 != 0 ? 32 : 8));
        } else {
            int lower_result = 0;
            const frame_info lower = decode(word - (1u << 12), lower_result);
            CHECK(lower.bit_rate < f.bit_rate);
        }
    }

    // Frame length in bytes, header and CRC word included.
    const std::int32_t br = f.bit_rate;
    const std::int32_t sr = f.sample_freq;
    const std::int32_t pad = f.pad_bit;
    std::int32_t length = 0;
    if (sr != 0 && f.l_reserved == 0) {
        if (f.l1 != 0) {
            length = (12000 * br / sr + pad) * 4;
        } else if (f.l3 != 0 && f.mpv_1 == 0) {
            length = 72000 * br / sr + pad;
        } else {
            length = 144000 * br / sr + pad;
        }
    }
    CHECK(f.frame_length == length);

    // MPEG-1 Layer II ties the lowest rates to mono and the highest to the
    // two-channel modes; MPEG-2 and 2.5 Layer II allow every mode at every rate.
    bool layer2_mode_ok = true;
    if (f.l2 != 0 && f.mpv_1 != 0) {
        switch (br) {
        case 32: case 48: case 56: case 80:
            layer2_mode_ok = f.single_channel != 0;
            break;
        case 224: case 256: case 320: case 384:
            layer2_mode_ok = f.single_channel == 0;
            break;
        default:
            break;
        }
    }
    const bool valid = sr != 0 && f.l_reserved == 0 && br > 1 && layer2_mode_ok;
    CHECK(result == (valid ? 1 : 0));

    if (valid) {
        // What the scanner relies on: a body of at least one byte after the header
        // and CRC word, a bounded frame, and a duration it can divide out.
        CHECK(f.frame_length > 6 && f.frame_length <= 2881);
        CHECK(f.bit_rate > 1 && f.sample_freq > 0 && f.samples_per_frame > 0);
    }

    // The decoder keeps no state: the same word decodes to the same record.
    int again_result = -1;
    const frame_info again = decode(word, again_result);
    CHECK(again_result == result && same_decoded_fields(again, f));
}

}  // namespace

// Only 21 bits of a word that passes the sync test are free, so every such word
// is checked once when the target starts; the fuzzing that follows covers the
// words without sync and keeps the target honest if the sweep is ever dropped.
extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    for (std::uint32_t low = 0; low < (1u << 21); ++low) {
        check_word(0xFFE00000u | low);
    }
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size < 4) {
        return 0;
    }
    const std::uint32_t word = (static_cast<std::uint32_t>(data[0]) << 24) | (static_cast<std::uint32_t>(data[1]) << 16) |
                               (static_cast<std::uint32_t>(data[2]) << 8) | static_cast<std::uint32_t>(data[3]);
    check_word(word);
    // The word with its sync bits forced on, so that every mutation also reaches
    // the field decoding.
    check_word(word | 0xFFE00000u);
    return 0;
}
