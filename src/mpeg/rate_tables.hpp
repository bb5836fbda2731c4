#pragma once
// Bit-rate and sample-rate tables of MPEG audio (ISO/IEC 11172-3, 13818-3 and the
// MPEG-2.5 extension). Index 0 of a bit-rate row holds 1 to mark free format,
// index 15 (forbidden) holds 0, and row 5 serves reserved versions and layers.

#include <array>
#include <cstdint>

namespace framelint {

using bitrate_row = std::array<std::int32_t, 16>;

inline constexpr std::array<bitrate_row, 6> bitrate_table{{
    {1, 32, 64, 96, 128, 160, 192, 224, 256, 288, 320, 352, 384, 416, 448, 0},  // MPEG-1 Layer I
    {1, 32, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320, 384, 0},     // MPEG-1 Layer II
    {1, 32, 40, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320, 0},      // MPEG-1 Layer III
    {1, 32, 48, 56, 64, 80, 96, 112, 128, 144, 160, 176, 192, 224, 256, 0},     // MPEG-2/2.5 Layer I
    {1, 8, 16, 24, 32, 40, 48, 56, 64, 80, 96, 112, 128, 144, 160, 0},          // MPEG-2/2.5 Layers II, III
    {},                                                                         // reserved
}};

enum bitrate_row_index : int { mpeg1_layer1, mpeg1_layer2, mpeg1_layer3, lsf_layer1, lsf_layer23, reserved_row };

// Columns: MPEG-1, MPEG-2, MPEG-2.5; row 3 is the reserved index.
inline constexpr std::array<std::array<std::int32_t, 3>, 4> samplerate_table{{
    {44100, 22050, 11025},
    {48000, 24000, 12000},
    {32000, 16000, 8000},
    {0, 0, 0},
}};

static_assert(bitrate_table[mpeg1_layer3][9] == 128 && bitrate_table[lsf_layer23][14] == 160);
static_assert(bitrate_table[reserved_row][7] == 0);
static_assert(samplerate_table[0][0] == 44100 && samplerate_table[2][2] == 8000);

constexpr bool rows_are_rising(const bitrate_row& row)
{
    for (std::size_t i = 2; i < 15; ++i) {
        if (row[i] <= row[i - 1]) {
            return false;
        }
    }
    return row[0] == 1 && row[15] == 0;
}
static_assert(rows_are_rising(bitrate_table[0]) && rows_are_rising(bitrate_table[1]) &&
              rows_are_rising(bitrate_table[2]) && rows_are_rising(bitrate_table[3]) &&
              rows_are_rising(bitrate_table[4]));

}  // namespace framelint
