#include "integrity/frame_crc.hpp"

#include "header/rate_tables.hpp"

namespace framelint {
namespace {

// Reads bit fields most significant bit first; false once a read ran past the end.
class bit_reader {
public:
    explicit bit_reader(std::span<const std::uint8_t> bytes) : bytes_(bytes) {}

    std::uint32_t read(int bits)
    {
        std::uint32_t value = 0;
        for (int i = 0; i < bits; ++i) {
            const std::size_t byte = pos_ >> 3;
            if (byte >= bytes_.size()) {
                ok_ = false;
                return 0;
            }
            value = value << 1 | ((bytes_[byte] >> (7 - (pos_ & 7))) & 1u);
            ++pos_;
        }
        return value;
    }
    bool ok() const { return ok_; }

private:
    std::span<const std::uint8_t> bytes_;
    std::size_t pos_ = 0;
    bool ok_ = true;
};

struct header_fields {
    unsigned version;  // 3 MPEG-1, 2 MPEG-2, 0 MPEG-2.5
    unsigned layer;    // 3 Layer I, 2 Layer II, 1 Layer III
    unsigned bitrate_index;
    unsigned samplerate_index;
    unsigned mode;  // 3 single channel, 1 joint stereo
    unsigned mode_extension;
};

constexpr header_fields fields_of(std::uint32_t word)
{
    return {(word >> 19) & 3u, (word >> 17) & 3u, (word >> 12) & 15u, (word >> 10) & 3u, (word >> 6) & 3u,
            (word >> 4) & 3u};
}

// Subbands below the bound carry one allocation per channel, the rest one shared.
std::size_t stereo_bound(const header_fields& h, std::size_t subbands)
{
    const std::size_t bound = h.mode == 1 ? 4 * (h.mode_extension + 1) : 32;
    return bound < subbands ? bound : subbands;
}

std::optional<std::uint16_t> layer1_crc(const header_fields& h, bit_reader& in, std::uint16_t crc)
{
    const int channels = h.mode == 3 ? 1 : 2;
    const std::size_t bound = stereo_bound(h, 32);
    for (std::size_t sb = 0; sb < 32; ++sb) {
        for (int ch = 0; ch < (sb < bound ? channels : 1); ++ch) {
            crc = mpeg_crc_bits(crc, in.read(4), 4);
        }
    }
    return in.ok() ? std::optional<std::uint16_t>(crc) : std::nullopt;
}

std::optional<std::uint16_t> layer2_crc(std::uint32_t word, const header_fields& h, bit_reader& in,
                                        std::uint16_t crc)
{
    const layer2_allocation& table = layer2_table_for(word);
    const int channels = h.mode == 3 ? 1 : 2;
    const std::size_t bound = stereo_bound(h, table.subbands);
    std::array<std::array<std::uint32_t, 32>, 2> allocation{};
    for (std::size_t sb = 0; sb < table.subbands; ++sb) {
        const int bits = table.bits[sb];
        if (sb < bound) {
            for (int ch = 0; ch < channels; ++ch) {
                allocation[ch][sb] = in.read(bits);
                crc = mpeg_crc_bits(crc, allocation[ch][sb], bits);
            }
        } else {
            const std::uint32_t shared = in.read(bits);
            crc = mpeg_crc_bits(crc, shared, bits);
            allocation[0][sb] = allocation[1][sb] = shared;
        }
    }
    for (std::size_t sb = 0; sb < table.subbands; ++sb) {
        for (int ch = 0; ch < channels; ++ch) {
            if (allocation[ch][sb] != 0) {
                crc = mpeg_crc_bits(crc, in.read(2), 2);
            }
        }
    }
    return in.ok() ? std::optional<std::uint16_t>(crc) : std::nullopt;
}

}  // namespace

const layer2_allocation& layer2_table_for(std::uint32_t header_word)
{
    const header_fields h = fields_of(header_word);
    if (h.version != 3) {
        return layer2_tables::lower_rates;
    }
    const std::int32_t total = bitrate_table[mpeg1_layer2][h.bitrate_index];
    const std::int32_t per_channel = h.mode == 3 ? total : total / 2;
    const std::int32_t rate = samplerate_table[h.samplerate_index][0];
    if ((rate == 48000 && per_channel >= 56) || (per_channel >= 56 && per_channel <= 80)) {
        return layer2_tables::mpeg1_a;
    }
    if (rate != 48000 && per_channel >= 96) {
        return layer2_tables::mpeg1_b;
    }
    if (rate != 32000 && per_channel <= 48) {
        return layer2_tables::mpeg1_c;
    }
    return layer2_tables::mpeg1_d;
}

std::optional<std::uint16_t> expected_frame_crc(std::uint32_t header_word, std::span<const std::uint8_t> after_crc)
{
    const header_fields h = fields_of(header_word);
    if (h.version == 1 || h.layer == 0 || h.bitrate_index == 0 || h.bitrate_index == 15 ||
        h.samplerate_index == 3) {
        return std::nullopt;
    }
    std::uint16_t crc = mpeg_crc_bits(0xFFFF, header_word & 0xFFFFu, 16);
    bit_reader in(after_crc);
    switch (h.layer) {
    case 3:
        return layer1_crc(h, in, crc);
    case 2:
        return layer2_crc(header_word, h, in, crc);
    default: {
        const std::size_t n = side_info_bytes(h.version == 3, h.mode == 3);
        if (after_crc.size() < n) {
            return std::nullopt;
        }
        for (std::size_t i = 0; i < n; ++i) {
            crc = mpeg_crc_bits(crc, after_crc[i], 8);
        }
        return crc;
    }
    }
}

}  // namespace framelint
