#include <array>
#include <cstring>

#include "mpeg/frame_info.hpp"
#include "mpeg/header_word.hpp"
#include "mpeg/rate_tables.hpp"

namespace framelint {
namespace {

// Four bit-string characters for every nibble, so that a header's text form is
// eight small copies rather than 32 tests.
constexpr std::array<std::array<char, 4>, 16> nibble_text = [] {
    std::array<std::array<char, 4>, 16> table{};
    for (unsigned n = 0; n < 16; ++n) {
        for (unsigned bit = 0; bit < 4; ++bit) {
            table[n][bit] = ((n >> (3 - bit)) & 1u) != 0 ? '1' : '0';
        }
    }
    return table;
}();
static_assert(nibble_text[0xA][0] == '1' && nibble_text[0xA][1] == '0' && nibble_text[0xA][3] == '0');

void write_bin_string(std::uint32_t word, char (&text)[33])
{
    for (int i = 0; i < 8; ++i) {
        std::memcpy(text + 4 * i, nibble_text[(word >> (28 - 4 * i)) & 0xFu].data(), 4);
    }
    text[32] = '\0';
}

// Layer II bit rates that MPEG-1 ties to the channel mode; the half-rate Layer II
// of MPEG-2 and 2.5 allows every mode at every rate.
bool mpeg1_layer2_mode_allowed(std::int32_t bit_rate, bool single_channel)
{
    switch (bit_rate) {
    case 32: case 48: case 56: case 80:
        return single_channel;
    case 224: case 256: case 320: case 384:
        return !single_channel;
    default:
        return true;
    }
}

std::int32_t compute_frame_length(const frame_info& f)
{
    const std::int32_t br = f.bit_rate;
    const std::int32_t sr = f.sample_freq;
    const std::int32_t pad = f.pad_bit;
    if (sr == 0 || f.l_reserved != 0) {
        return 0;
    }
    if (f.l1 != 0) {
        return (12000 * br / sr + pad) * 4;  // a Layer I slot is four bytes
    }
    if (f.l3 != 0 && f.mpv_1 == 0) {
        return 72000 * br / sr + pad;  // half as many samples per frame
    }
    return 144000 * br / sr + pad;
}

}  // namespace

const frame_info& blank_frame_info()
{
    static const frame_info blank = [] {
        frame_info f{};
        std::memset(f.bin_string, '0', 32);
        f.bin_string[32] = '\0';
        return f;
    }();
    return blank;
}

int match_bits(const char* bin, const char* pattern, int first_bit)
{
    const std::size_t at = static_cast<std::size_t>(31 - first_bit);
    const std::size_t n = std::strlen(pattern);
    if (first_bit < 0 || first_bit > 31 || at + n > 32) {
        return 0;
    }
    return std::memcmp(bin + at, pattern, n) == 0 ? 1 : 0;
}

int decode_header(std::uint32_t word, frame_info& f)
{
    f.check_state = 0;
    write_bin_string(word, f.bin_string);
    f.int_header = word;
    if (!has_sync(word)) {
        return 0;
    }
    f.check_state = 1;

    const header_word h{word};
    const unsigned version = h.version_bits();
    const unsigned layer = h.layer_bits();
    f.mpv_25 = version == 0;
    f.mpv_reserved = version == 1;
    f.mpv_2 = version == 2;
    f.mpv_1 = version == 3;
    f.l_reserved = layer == 0;
    f.l3 = layer == 1;
    f.l2 = layer == 2;
    f.l1 = layer == 3;

    if (f.l1 != 0) {
        f.samples_per_frame = 384;
    } else if (f.l2 != 0) {
        f.samples_per_frame = 1152;
    } else if (f.l3 != 0) {
        f.samples_per_frame = (f.mpv_2 != 0 || f.mpv_25 != 0) ? 576 : 1152;
    }

    f.prot_bit = h.has_crc();

    int row = reserved_row;
    if (f.mpv_reserved == 0 && f.l_reserved == 0) {
        if (f.mpv_1 != 0) {
            row = f.l1 != 0 ? mpeg1_layer1 : f.l2 != 0 ? mpeg1_layer2 : mpeg1_layer3;
        } else {
            row = f.l1 != 0 ? lsf_layer1 : lsf_layer23;
        }
    }
    f.bit_rate = bitrate_table[static_cast<std::size_t>(row)][h.bit_rate_index()];

    if (f.mpv_reserved == 0) {
        const std::size_t column = f.mpv_1 != 0 ? 0 : f.mpv_2 != 0 ? 1 : 2;
        f.sample_freq = samplerate_table[h.sample_rate_index()][column];
    }

    f.pad_bit = h.padding();
    f.priv_bit = h.private_bit();

    const unsigned mode = h.channel_mode();
    f.stereo = mode == 0;
    f.joint_stereo = mode == 1;
    f.mode_extension = mode == 1;
    f.dual_stereo = mode == 2;
    f.single_channel = mode == 3;

    f.copyright = h.copyright();
    f.original = h.original();

    const unsigned emphasis = h.emphasis();
    f.emph_none = emphasis == 0;
    f.emph_5015 = emphasis == 1;
    f.emph_reserv = emphasis == 2;
    f.emph_ccit = emphasis == 3;

    f.frame_length = compute_frame_length(f);

    const bool valid = f.sample_freq != 0 && f.l_reserved == 0 && f.bit_rate > 1 &&
                       !(f.l2 != 0 && f.mpv_1 != 0 && !mpeg1_layer2_mode_allowed(f.bit_rate, f.single_channel != 0));
    f.check_state = valid ? 1 : 0;
    return f.check_state;
}

}  // namespace framelint
