#include <gtest/gtest.h>

#include <cstring>

#include "mpeg/frame_info.hpp"

namespace framelint {
namespace {

frame_info decoded(std::uint32_t word)
{
    frame_info f = blank_frame_info();
    decode_header(word, f);
    return f;
}

// Builds a header word from its fields; sync bits always set.
std::uint32_t header(unsigned version, unsigned layer, unsigned bitrate_index, unsigned samplerate_index,
                     unsigned mode, bool pad = false, bool protected_frame = false)
{
    return 0xFFE00000u | version << 19 | layer << 17 | (protected_frame ? 0u : 1u) << 16 | bitrate_index << 12 |
           samplerate_index << 10 | (pad ? 1u : 0u) << 9 | mode << 6;
}

constexpr unsigned mpeg25 = 0, reserved_version = 1, mpeg2 = 2, mpeg1 = 3;
constexpr unsigned reserved_layer = 0, layer3 = 1, layer2 = 2, layer1 = 3;
constexpr unsigned stereo = 0, joint = 1, dual = 2, mono = 3;

TEST(DecodeHeader, WorkedMpeg1Layer3HeaderDecodesEveryField)
{
    const frame_info f = decoded(0xFFFB9064u);
    EXPECT_EQ(f.check_state, 1);
    EXPECT_EQ(f.frame_length, 417);
    EXPECT_EQ(f.samples_per_frame, 1152);
    EXPECT_EQ(f.bit_rate, 128);
    EXPECT_EQ(f.sample_freq, 44100);
    EXPECT_STREQ(f.bin_string, "11111111111110111001000001100100");
    EXPECT_EQ(f.int_header, 0xFFFB9064u);

    // Exactly the flags this header has, and no others.
    frame_info expected = blank_frame_info();
    expected.frame_length = 417;
    expected.bit_rate = 128;
    expected.sample_freq = 44100;
    expected.samples_per_frame = 1152;
    expected.mpv_1 = expected.l3 = expected.joint_stereo = expected.mode_extension = 1;
    expected.original = expected.emph_none = 1;
    expected.check_state = 1;
    std::memcpy(expected.bin_string, f.bin_string, sizeof f.bin_string);
    expected.int_header = f.int_header;
    EXPECT_EQ(std::memcmp(&f, &expected, sizeof f), 0);

    EXPECT_EQ(decoded(0xFFFB9264u).frame_length, 418) << "padding adds one byte";
    const frame_info crc = decoded(0xFFFA9064u);
    EXPECT_EQ(crc.prot_bit, 1);
    EXPECT_EQ(crc.frame_length, 417);
}

struct length_case {
    const char* what;
    std::uint32_t word;
    int frame_length;
    int samples;
    bool valid;
};

class FrameLength : public ::testing::TestWithParam<length_case> {};

TEST_P(FrameLength, MatchesTheRateTablesAndTheLengthRule)
{
    const length_case& c = GetParam();
    frame_info f = blank_frame_info();
    EXPECT_EQ(decode_header(c.word, f), c.valid ? 1 : 0);
    EXPECT_EQ(f.check_state, c.valid ? 1 : 0);
    EXPECT_EQ(f.frame_length, c.frame_length);
    EXPECT_EQ(f.samples_per_frame, c.samples);
}

INSTANTIATE_TEST_SUITE_P(
    Rates, FrameLength,
    ::testing::Values(
        length_case{"mpeg1 layer1 32k 32000", header(mpeg1, layer1, 1, 2, stereo), 48, 384, true},
        length_case{"mpeg1 layer1 padded: a slot is 4 bytes", header(mpeg1, layer1, 1, 2, stereo, true), 52, 384, true},
        length_case{"mpeg2 layer1 32k 22050", header(mpeg2, layer1, 1, 0, stereo), 68, 384, true},
        length_case{"mpeg2 layer1 padded", header(mpeg2, layer1, 1, 0, stereo, true), 72, 384, true},
        length_case{"mpeg2 layer2 64k 22050", header(mpeg2, layer2, 8, 0, stereo), 417, 1152, true},
        length_case{"mpeg2 layer3 64k 22050", header(mpeg2, layer3, 8, 0, stereo), 208, 576, true},
        length_case{"mpeg2.5 layer3 80k 11025", header(mpeg25, layer3, 9, 0, stereo), 522, 576, true},
        length_case{"free format is never accepted", header(mpeg1, layer3, 0, 0, stereo), 3, 1152, false},
        length_case{"forbidden bit-rate index", header(mpeg1, layer3, 15, 0, stereo), 0, 1152, false},
        length_case{"reserved sample-rate index", header(mpeg1, layer3, 9, 3, stereo), 0, 1152, false},
        length_case{"reserved version keeps its layer's samples", header(reserved_version, layer3, 9, 0, stereo), 0,
                    1152, false},
        length_case{"reserved layer", header(mpeg1, reserved_layer, 9, 0, stereo), 0, 0, false}),
    [](const auto& param_info) {
        std::string name = param_info.param.what;
        for (char& ch : name) {
            if (std::isalnum(static_cast<unsigned char>(ch)) == 0) {
                ch = '_';
            }
        }
        return name;
    });

TEST(DecodeHeader, ReservedFieldsLeaveTheirMarks)
{
    const frame_info version = decoded(header(reserved_version, layer3, 9, 0, stereo));
    EXPECT_EQ(version.mpv_reserved, 1);
    EXPECT_EQ(version.bit_rate, 0);
    EXPECT_EQ(version.sample_freq, 0);

    const frame_info layer = decoded(header(mpeg1, reserved_layer, 9, 0, stereo));
    EXPECT_EQ(layer.l_reserved, 1);
    EXPECT_EQ(layer.bit_rate, 0);
    EXPECT_EQ(layer.sample_freq, 44100) << "the sample rate is still looked up";

    EXPECT_EQ(decoded(header(mpeg1, layer3, 0, 0, stereo)).bit_rate, 1) << "free format marks itself with 1";

    const frame_info emphasis = decoded(0xFFFB9066u);
    EXPECT_EQ(emphasis.emph_reserv, 1);
    EXPECT_EQ(emphasis.check_state, 1) << "a reserved emphasis does not make a header invalid";
}

TEST(DecodeHeader, Mpeg1Layer2TiesSomeBitRatesToTheChannelMode)
{
    struct rule {
        unsigned bitrate_index;  // MPEG-1 Layer II
        bool mono_valid;
        bool stereo_valid;
    };
    const rule rules[] = {
        {1, true, false},   // 32 kbit/s: single channel only
        {5, true, false},   // 80
        {4, true, true},    // 64: any mode
        {10, true, true},   // 192
        {11, false, true},  // 224: not single channel
        {14, false, true},  // 384
    };
    for (const rule& r : rules) {
        SCOPED_TRACE(r.bitrate_index);
        EXPECT_EQ(decoded(header(mpeg1, layer2, r.bitrate_index, 1, mono)).check_state, r.mono_valid ? 1 : 0);
        for (unsigned mode : {stereo, joint, dual}) {
            EXPECT_EQ(decoded(header(mpeg1, layer2, r.bitrate_index, 1, mode)).check_state, r.stereo_valid ? 1 : 0);
        }
    }
}

TEST(DecodeHeader, HalfRateLayer2AllowsEveryModeAtEveryRate)
{
    // Encoders write MPEG-2 Layer II stereo at 32, 48, 56 and 80 kbit/s; the
    // MPEG-1 channel-mode rule must not reject them.
    for (unsigned version : {mpeg2, mpeg25}) {
        for (unsigned index = 1; index <= 14; ++index) {
            for (unsigned mode : {stereo, joint, dual, mono}) {
                EXPECT_EQ(decoded(header(version, layer2, index, 1, mode)).check_state, 1)
                    << "version " << version << " index " << index << " mode " << mode;
            }
        }
    }
}

TEST(DecodeHeader, WordWithoutSyncTouchesOnlyItsTextForm)
{
    frame_info f = blank_frame_info();
    EXPECT_EQ(decode_header(0xFFDFFFFFu, f), 0);
    frame_info expected = blank_frame_info();
    std::memcpy(expected.bin_string, "11111111110111111111111111111111", 33);
    expected.int_header = 0xFFDFFFFFu;
    EXPECT_EQ(std::memcmp(&f, &expected, sizeof f), 0);
}

TEST(DecodeHeader, ModeExtensionBitsAreNotDecoded)
{
    frame_info a = decoded(0xFFFB9064u);
    frame_info b = decoded(0xFFFB9074u);
    std::memcpy(b.bin_string, a.bin_string, sizeof a.bin_string);
    b.int_header = a.int_header;
    EXPECT_EQ(std::memcmp(&a, &b, sizeof a), 0);
}

// Every header word with a sync pattern: the decoded flags agree with the text
// form read back through match_bits, exactly one flag of each group is set, and
// a valid header always has room for its header, CRC word and some body.
TEST(DecodeHeader, EverySyncWordAgreesWithItsBitString)
{
    for (std::uint32_t rest = 0; rest < (1u << 21); ++rest) {
        const std::uint32_t word = 0xFFE00000u | rest;
        frame_info f = blank_frame_info();
        const int valid = decode_header(word, f);
        const char* s = f.bin_string;
        const bool ok =
            valid == f.check_state && std::strlen(s) == 32 && match_bits(s, "11111111111", 31) == 1 &&
            f.mpv_25 == match_bits(s, "00", 20) && f.mpv_reserved == match_bits(s, "01", 20) &&
            f.mpv_2 == match_bits(s, "10", 20) && f.mpv_1 == match_bits(s, "11", 20) &&
            f.l_reserved == match_bits(s, "00", 18) && f.l3 == match_bits(s, "01", 18) &&
            f.l2 == match_bits(s, "10", 18) && f.l1 == match_bits(s, "11", 18) && f.prot_bit == match_bits(s, "0", 16) &&
            f.pad_bit == match_bits(s, "1", 9) && f.priv_bit == match_bits(s, "1", 8) &&
            f.stereo == match_bits(s, "00", 7) && f.joint_stereo == match_bits(s, "01", 7) &&
            f.dual_stereo == match_bits(s, "10", 7) && f.single_channel == match_bits(s, "11", 7) &&
            f.mode_extension == f.joint_stereo && f.copyright == match_bits(s, "1", 3) &&
            f.original == match_bits(s, "1", 2) && f.emph_none == match_bits(s, "00", 1) &&
            f.emph_5015 == match_bits(s, "01", 1) && f.emph_reserv == match_bits(s, "10", 1) &&
            f.emph_ccit == match_bits(s, "11", 1) && f.id3v2 == 0 &&
            (valid == 0 || (f.frame_length > 6 + f.prot_bit * 2 && f.bit_rate > 1 && f.sample_freq > 0));
        if (!ok) {
            FAIL() << "header 0x" << std::hex << word;
        }
    }
}

// The scanner counts a frame from an earlier decode of a word that differs only
// in these bits; that holds only while no rule of the decoder looks at them.
TEST(DecodeHeader, FlagBitsChangeNoCountedField)
{
    for (std::uint32_t rest = 0; rest < (1u << 21); ++rest) {
        const std::uint32_t word = 0xFFE00000u | rest;
        const std::uint32_t base = word & ~frame_flag_bits;
        if (word == base) {
            continue;
        }
        frame_info f = blank_frame_info();
        frame_info g = blank_frame_info();
        const int valid = decode_header(word, f);
        const bool same = valid == decode_header(base, g) && f.frame_length == g.frame_length &&
                          f.bit_rate == g.bit_rate && f.sample_freq == g.sample_freq &&
                          f.samples_per_frame == g.samples_per_frame && f.prot_bit == g.prot_bit;
        if (!same) {
            FAIL() << "header 0x" << std::hex << word;
        }
    }
}

TEST(MatchBits, ComparesFromTheGivenHeaderBit)
{
    const char* s = "11111111111110111001000001100100";
    EXPECT_EQ(match_bits(s, "11111111111", 31), 1);
    EXPECT_EQ(match_bits(s, "11", 20), 1);
    EXPECT_EQ(match_bits(s, "01", 18), 1);
    EXPECT_EQ(match_bits(s, "1", 16), 1);
    EXPECT_EQ(match_bits(s, "00", 1), 1);
    EXPECT_EQ(match_bits(s, "01", 1), 0);
    EXPECT_EQ(match_bits(s, "000", 1), 0) << "a pattern running past bit 0 never matches";
}

}  // namespace
}  // namespace framelint
