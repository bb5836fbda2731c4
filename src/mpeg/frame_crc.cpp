#include "mpeg/frame_crc.hpp"

#include "mpeg/rate_tables.hpp"

namespace framelint {
namespace {

// Reads bit fields most significant bit first; false once a read ran past the end.
class bit_reader {
public:
    explicit bit_reader(std::span<const std::uint8_t> bytes) : bytes_(bytes) {}

    std::uint32_t read(int bits)
    {
        const std::size_t end = pos_ + static_cast<std::size_t>(bits);
        if (bits <= 0 || !ok_ || (end + 7) / 8 > bytes_.size()) {
            ok_ = ok_ && bits <= 0;
            return 0;
        }
        // The bytes that hold the field (a field is at most 4 bits, so two).
        std::uint32_t window = 0;
        const std::size_t first = pos_ >> 3;
        const std::size_t last = (end - 1) >> 3;
        for (std::size_t b = first; b <= last; ++b) {
            window = window << 8 | bytes_[b];
        }
        const std::size_t below = (last - first + 1) * 8 - (pos_ & 7) - static_cast<std::size_t>(bits);
        pos_ = end;
        return (window >> below) & ((1u << bits) - 1u);
    }
    bool ok() const { return ok_; }
    std::size_t bits_read() const { return pos_; }

private:
    std::span<const std::uint8_t> bytes_;
    std::size_t pos_ = 0;
    bool ok_ = true;
};

// The CRC over the first n bits of bytes: whole bytes by table, the rest bit by bit.
std::uint16_t crc_of_bits(std::uint16_t crc, std::span<const std::uint8_t> bytes, std::size_t n)
{
    std::size_t i = 0;
    for (; (i + 1) * 8 <= n; ++i) {
        crc = mpeg_crc_byte(crc, bytes[i]);
    }
    const auto rest = static_cast<int>(n - i * 8);
    return rest > 0 ? mpeg_crc_bits(crc, static_cast<std::uint32_t>(bytes[i] >> (8 - rest)), rest) : crc;
}

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
    const header_word h{word};
    return {h.version_bits(), h.layer_bits(), h.bit_rate_index(), h.sample_rate_index(), h.channel_mode(),
            h.mode_extension()};
}

// Subbands below the bound carry one allocation per channel, the rest one shared.
std::size_t stereo_bound(const header_fields& h, std::size_t subbands)
{
    const std::size_t bound = h.mode == 1 ? 4 * (h.mode_extension + 1) : 32;
    return bound < subbands ? bound : subbands;
}

// The protected fields lie one after the other from the CRC word on, so each
// layer's reader only finds where they end; the CRC then runs over those bits.
void read_layer1_allocation(const header_fields& h, bit_reader& in)
{
    const int channels = h.mode == 3 ? 1 : 2;
    const std::size_t bound = stereo_bound(h, 32);
    for (std::size_t sb = 0; sb < 32; ++sb) {
        for (int ch = 0; ch < (sb < bound ? channels : 1); ++ch) {
            in.read(4);
        }
    }
}

void read_layer2_allocation(std::uint32_t word, const header_fields& h, bit_reader& in)
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
            }
        } else {
            allocation[0][sb] = allocation[1][sb] = in.read(bits);
        }
    }
    for (std::size_t sb = 0; sb < table.subbands; ++sb) {
        for (int ch = 0; ch < channels; ++ch) {
            if (allocation[ch][sb] != 0) {
                in.read(2);  // scale factor selection
            }
        }
    }
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
    const std::uint16_t crc =
        mpeg_crc_byte(mpeg_crc_byte(0xFFFF, static_cast<std::uint8_t>(header_word >> 8)), static_cast<std::uint8_t>(header_word));
    std::size_t bits = 0;
    if (h.layer == 1) {
        bits = 8 * side_info_bytes(h.version == 3, h.mode == 3);
        if (after_crc.size() * 8 < bits) {
            return std::nullopt;
        }
    } else {
        bit_reader in(after_crc);
        if (h.layer == 3) {
            read_layer1_allocation(h, in);
        } else {
            read_layer2_allocation(header_word, h, in);
        }
        if (!in.ok()) {
            return std::nullopt;
        }
        bits = in.bits_read();
    }
    return crc_of_bits(crc, after_crc, bits);
}

}  // namespace framelint
