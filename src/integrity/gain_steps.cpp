#include "integrity/gain_steps.hpp"

#include <algorithm>
#include <cctype>
#include <string>
#include <vector>

#include "mpeg/crc16.hpp"
#include "mpeg/frame_crc.hpp"
#include "mpeg/header_word.hpp"
#include "tags/id3v2_frames.hpp"

namespace framelint {
namespace {

// Polynomials modulo CRC-16/ARC's, in the reflected order its register keeps
// them: bit 15 holds x^0, bit 0 x^15.
constexpr std::uint16_t one = 0x8000;

constexpr std::uint16_t times_x(std::uint16_t r)
{
    return static_cast<std::uint16_t>((r & 1u) != 0 ? (r >> 1) ^ 0xA001u : r >> 1);
}

constexpr std::uint16_t multiply(std::uint16_t a, std::uint16_t b)
{
    std::uint16_t r = 0;
    for (int i = 0; i < 16; ++i) {  // Horner's rule, from x^15 (bit 0) down to x^0
        r = times_x(r);
        if (((b >> i) & 1u) != 0) {
            r ^= a;
        }
    }
    return r;
}

// x^(8n) is what passing n zero bytes does to the register.
static_assert(multiply(crc16_tables[0][0x12], one) == crc16_tables[0][0x12]);
static_assert([] {
    std::uint16_t x8 = one;
    for (int i = 0; i < 8; ++i) {
        x8 = times_x(x8);
    }
    const std::uint8_t two[2] = {0x12, 0};
    return multiply(crc16_tables[0][0x12], x8) == crc16_arc_bytewise(two, 2);
}());

// The polynomial is (x + 1)(x^15 + x + 1), the second factor primitive: x has
// order 32767, so exponents are taken modulo that.
constexpr std::uint32_t x_order = 32767;

const std::vector<std::uint16_t>& powers_of_x()
{
    static const std::vector<std::uint16_t> powers = [] {
        std::vector<std::uint16_t> p(x_order);
        std::uint16_t r = one;
        for (std::uint32_t e = 0; e < x_order; ++e) {
            p[e] = r;
            r = times_x(r);
        }
        return p;  // r is x^32767 here, which is one again
    }();
    return powers;
}

// The register after two bytes that hold pattern's eight bits from bit
// `shift` of the first byte on (bit 0 the most significant, as the stream's
// fields are laid out).
std::uint16_t pattern_crc(std::uint8_t pattern, int shift)
{
    const auto spread = static_cast<std::uint16_t>(pattern << (8 - shift));
    const std::uint8_t two[2] = {static_cast<std::uint8_t>(spread >> 8), static_cast<std::uint8_t>(spread)};
    return crc16_arc_bytewise(two, 2);
}

// The eight bits from bit `bit` on (bit 0 the first byte's most significant);
// the byte after the first is there (the side information goes on past a gain).
std::uint8_t byte_at_bit(std::span<const std::uint8_t> bytes, std::size_t bit)
{
    const std::size_t at = bit / 8;
    const unsigned two = static_cast<unsigned>(bytes[at]) << 8 | bytes[at + 1];
    return static_cast<std::uint8_t>(two >> (8 - bit % 8));
}

std::uint32_t little_endian(const std::uint8_t* p) { return std::uint32_t{p[3]} << 24 | p[2] << 16 | p[1] << 8 | p[0]; }
bool is_undo_key(std::string_view key)
{
    constexpr std::string_view name = "MP3GAIN_UNDO";
    return std::equal(key.begin(), key.end(), name.begin(), name.end(),
                      [](char a, char b) { return std::toupper(static_cast<unsigned char>(a)) == b; });
}

// "+004" or "-012": a sign and digits.
std::optional<int> signed_steps(std::string_view s)
{
    if (s.size() < 2 || (s[0] != '+' && s[0] != '-') || s.size() > 5) {
        return std::nullopt;
    }
    int v = 0;
    for (const char ch : s.substr(1)) {
        if (ch < '0' || ch > '9') {
            return std::nullopt;
        }
        v = v * 10 + (ch - '0');
    }
    return s[0] == '-' ? -v : v;
}

// An ID3v2 text in one of its four encodings, as the ASCII it holds (other
// characters dropped); `end` is set past its terminator.
std::string id3_text(std::span<const std::uint8_t> bytes, std::uint8_t encoding, std::size_t& end)
{
    std::string text;
    if (encoding == 1 || encoding == 2) {
        std::size_t i = 0;
        bool little = encoding == 1;  // UTF-16 with a byte order mark; without one, as big-endian
        for (; i + 1 < bytes.size(); i += 2) {
            const unsigned unit = little ? bytes[i] | bytes[i + 1] << 8 : bytes[i] << 8 | bytes[i + 1];
            if (unit == 0) {
                i += 2;
                break;
            }
            if (unit == 0xFEFF || unit == 0xFFFE) {
                little = encoding == 1 && (unit == 0xFEFF) == little;
                continue;
            }
            if (unit < 0x80) {
                text += static_cast<char>(unit);
            }
        }
        end = std::min(i, bytes.size());
        return text;
    }
    std::size_t i = 0;
    for (; i < bytes.size() && bytes[i] != 0; ++i) {
        if (bytes[i] < 0x80) {
            text += static_cast<char>(bytes[i]);
        }
    }
    end = std::min(i + 1, bytes.size());
    return text;
}

}  // namespace

std::optional<gain_change> parse_gain_undo(std::string_view value)
{
    const std::size_t comma = value.find(',');
    const std::size_t second_comma = comma == std::string_view::npos ? comma : value.find(',', comma + 1);
    if (second_comma == std::string_view::npos) {
        return std::nullopt;
    }
    const auto left = signed_steps(value.substr(0, comma));
    const auto right = signed_steps(value.substr(comma + 1, second_comma - comma - 1));
    const std::string_view wrap = value.substr(second_comma + 1);
    if (!left || !right || wrap.empty() || (wrap[0] != 'N' && wrap[0] != 'W')) {
        return std::nullopt;
    }
    // The record holds what undoes the change: the steps applied were the opposite.
    return gain_change{-*left, -*right, wrap[0] == 'W', true};
}

std::optional<gain_change> undo_record_in_apev2(std::span<const std::uint8_t> tag)
{
    constexpr std::size_t footer = 32;
    if (tag.size() < footer) {
        return std::nullopt;
    }
    const std::uint8_t* f = tag.data() + tag.size() - footer;
    if (std::string_view(reinterpret_cast<const char*>(f), 8) != "APETAGEX") {
        return std::nullopt;
    }
    const std::uint32_t size = little_endian(f + 12);  // items and footer
    if (size < footer || size > tag.size()) {
        return std::nullopt;
    }
    const std::span<const std::uint8_t> items = tag.subspan(tag.size() - size, size - footer);
    std::size_t at = 0;
    while (at + 8 < items.size()) {
        const std::uint32_t value_size = little_endian(items.data() + at);
        std::size_t key_end = at + 8;
        while (key_end < items.size() && items[key_end] != 0) {
            ++key_end;
        }
        if (key_end >= items.size() || value_size > items.size() - key_end - 1) {
            return std::nullopt;
        }
        const std::string_view key(reinterpret_cast<const char*>(items.data() + at + 8), key_end - at - 8);
        const std::string_view value(reinterpret_cast<const char*>(items.data() + key_end + 1), value_size);
        if (is_undo_key(key)) {
            return parse_gain_undo(value);
        }
        at = key_end + 1 + value_size;
    }
    return std::nullopt;
}

std::optional<gain_change> undo_record_in_id3v2(std::span<const std::uint8_t> tag)
{
    std::optional<gain_change> record;
    visit_id3v2_frames(tag, "TXXX", [&](std::span<const std::uint8_t> text) {
        if (text.size() < 2) {
            return false;
        }
        std::size_t desc_end = 0;
        if (!is_undo_key(id3_text(text.subspan(1), text[0], desc_end))) {
            return false;
        }
        std::size_t value_end = 0;
        record = parse_gain_undo(id3_text(text.subspan(1 + desc_end), text[0], value_end));
        return true;
    });
    return record;
}

bool gain_fields::add_frame(std::span<const std::uint8_t> frame, std::int64_t at)
{
    if (frame.size() < 4) {
        return false;
    }
    const header_word header = header_word::at(frame);
    if (!header.layer3()) {
        return false;  // not Layer III: no global gains
    }
    const bool mpeg1 = header.mpeg1();
    const bool mono = header.mono();
    const int channels = mono ? 1 : 2;
    const int granules = mpeg1 ? 2 : 1;
    const std::size_t side = header.has_crc() ? 6 : 4;  // the side information begins after the header and its CRC
    // Bits before the first granule's fields: main_data_begin, private bits
    // and, in MPEG-1, scfsi; then one block of fields per granule and channel,
    // global_gain 21 bits into it.
    const std::size_t lead = mpeg1 ? (mono ? 18 : 20) : (mono ? 9 : 10);
    const std::size_t block = mpeg1 ? 59 : 63;
    const std::size_t side_bits = lead + block * static_cast<std::size_t>(granules * channels);
    if (frame.size() * 8 < side * 8 + side_bits) {
        return false;
    }
    const std::uint16_t* powers = powers_of_x().data();
    // A protected frame's CRC covers the header's last 16 bits and the side
    // information, which begins 48 bits into the frame.
    const std::size_t protected_bits = 16 + 8 * side_info_bytes(mpeg1, mono);
    const std::int64_t word_byte = at + 4;
    if (header.has_crc() && word_byte + 2 > length_) {
        return false;
    }
    const std::uint16_t word_weight =
        header.has_crc() ? powers[(8 * static_cast<std::uint64_t>(length_ - word_byte - 2)) % x_order] : 0;
    for (int gr = 0; gr < granules; ++gr) {
        for (int ch = 0; ch < channels; ++ch) {
            const std::size_t in_frame = side * 8 + lead + block * static_cast<std::size_t>(gr * channels + ch) + 21;
            const std::int64_t bit = at * 8 + static_cast<std::int64_t>(in_frame);
            const std::int64_t byte = bit / 8;
            if (bit < 0 || byte + 2 > length_) {
                return false;
            }
            const auto gain = static_cast<std::size_t>(byte_at_bit(frame, in_frame));
            const auto zeros_after = static_cast<std::uint64_t>(length_ - byte - 2);
            const std::uint16_t weight = powers[(8 * zeros_after) % x_order];
            sums_[static_cast<std::size_t>(ch)][gain][static_cast<std::size_t>(bit % 8)] ^= weight;
            if (header.has_crc()) {
                crc_word_sums* words = word_sums_for(protected_bits - (16 + (in_frame - 48) + 8));
                if (words == nullptr) {
                    return false;
                }
                words->sums[static_cast<std::size_t>(ch)][gain] ^= word_weight;
            }
            seen_[static_cast<std::size_t>(ch)][gain] = true;
            ++fields_;
        }
    }
    return true;
}

gain_fields::crc_word_sums* gain_fields::word_sums_for(std::size_t bits_after)
{
    for (crc_word_sums& w : crc_words_) {
        if (w.bits_after == bits_after) {
            return &w;
        }
    }
    if (crc_words_.size() == most_word_distances) {
        return nullptr;
    }
    crc_word_sums& w = crc_words_.emplace_back();
    w.bits_after = bits_after;
    for (int k = 0; k < 8; ++k) {
        // The CRC of two messages alike but for some bits differs by the CRC,
        // from a register of 0, of those bits alone: here one bit of the gain
        // field, then the protected bits after it.
        auto change = mpeg_crc_bits(0, 1u << k, 8);
        for (std::size_t left = bits_after; left > 0;) {
            const int bits = static_cast<int>(std::min<std::size_t>(left, 16));
            change = mpeg_crc_bits(change, 0, bits);
            left -= static_cast<std::size_t>(bits);
        }
        const std::uint8_t two[2] = {static_cast<std::uint8_t>(change >> 8), static_cast<std::uint8_t>(change)};
        w.flip_crc[static_cast<std::size_t>(k)] = crc16_arc_bytewise(two, 2);
    }
    return &w;
}

std::optional<std::uint16_t> gain_fields::channel_change(int channel, int steps, bool wraps, held_gains held,
                                                         int from_end) const
{
    const auto ch = static_cast<std::size_t>(channel);
    const int end = steps > 0 ? 255 : 0;  // where a change without wrapping holds a gain
    std::uint16_t total = 0;
    for (int gain = 0; gain < 256; ++gain) {
        const auto g = static_cast<std::size_t>(gain);
        if (!seen_[ch][g]) {
            continue;
        }
        // mp3gain leaves a gain of 0 (a silent granule) where it is when it
        // raises the rest; a gain held at the end may have stood there before.
        const bool silent = !wraps && steps > 0 && gain == 0;
        const bool stayed = silent || (!wraps && held == held_gains::stayed && steps != 0 && gain == end);
        const int encoded = gain == from_end ? (from_end > 127 ? 255 : 0) : stayed ? gain : gain - steps;
        if (!wraps && (encoded < 0 || encoded > 255)) {
            return std::nullopt;
        }
        const auto pattern = static_cast<std::uint8_t>(gain ^ (encoded & 0xFF));
        if (pattern == 0) {
            continue;
        }
        for (int shift = 0; shift < 8; ++shift) {
            const std::uint16_t sum = sums_[ch][g][static_cast<std::size_t>(shift)];
            if (sum != 0) {
                total ^= multiply(sum, pattern_crc(pattern, shift));
            }
        }
        for (const crc_word_sums& words : crc_words_) {
            const std::uint16_t sum = words.sums[ch][g];
            if (sum == 0) {
                continue;
            }
            std::uint16_t flips = 0;
            for (std::size_t k = 0; k < 8; ++k) {
                if (((pattern >> k) & 1u) != 0) {
                    flips ^= words.flip_crc[k];
                }
            }
            total ^= multiply(sum, flips);
        }
    }
    return total;
}

bool gain_fields::holds_at_end(int channel, int steps) const
{
    return steps != 0 && seen_[static_cast<std::size_t>(channel)][steps > 0 ? 255 : 0];
}

std::vector<int> gain_fields::near_ends() const
{
    std::vector<int> values;
    for (int v = 1; v < 256; ++v) {
        const bool near = v <= max_steps || (v >= 255 - max_steps && v < 255);
        if (near && (seen_[0][static_cast<std::size_t>(v)] || seen_[1][static_cast<std::size_t>(v)])) {
            values.push_back(v);
        }
    }
    return values;
}

std::optional<gain_change> gain_fields::explains(const gain_change& change, std::uint16_t crc,
                                                 std::uint16_t stored) const
{
    const auto target = static_cast<std::uint16_t>(crc ^ stored);
    for (const held_gains left_held : {held_gains::moved, held_gains::stayed}) {
        if (left_held == held_gains::stayed && (change.wraps || !holds_at_end(0, change.left))) {
            continue;
        }
        for (const held_gains right_held : {held_gains::moved, held_gains::stayed}) {
            if (right_held == held_gains::stayed && (change.wraps || !holds_at_end(1, change.right))) {
                continue;
            }
            const auto left = channel_change(0, change.left, change.wraps, left_held);
            const auto right = channel_change(1, change.right, change.wraps, right_held);
            if (left && right && (*left ^ *right) == target) {
                return change;
            }
        }
    }
    return change.wraps ? std::nullopt : moved_back(change, target);
}

std::optional<gain_change> gain_fields::moved_back(const gain_change& change, std::uint16_t target) const
{
    for (const int v : near_ends()) {
        const auto left = channel_change(0, change.left, false, held_gains::moved, v);
        const auto right = channel_change(1, change.right, false, held_gains::moved, v);
        if (left && right && (*left ^ *right) == target) {
            gain_change found = change;
            found.held_moved = v > 127 ? v - 255 : v;
            return found;
        }
    }
    return std::nullopt;
}

std::optional<gain_change> gain_fields::find_change(std::uint16_t crc, std::uint16_t stored) const
{
    const auto target = static_cast<std::uint16_t>(crc ^ stored);
    if (target == 0 || fields_ == 0) {
        return std::nullopt;
    }
    const bool two_channels = std::ranges::any_of(seen_[1], [](bool b) { return b; });
    for (int size = 1; size <= max_steps; ++size) {
        for (const int steps : {size, -size}) {
            // The held gains' second reading only where there are any: each
            // guess more is one more chance for damage to pass.
            const bool some_held = holds_at_end(0, steps) || (two_channels && holds_at_end(1, steps));
            for (const held_gains held : {held_gains::moved, held_gains::stayed}) {
                if (held == held_gains::stayed && !some_held) {
                    continue;
                }
                const auto left = channel_change(0, steps, false, held);
                const auto right =
                    two_channels ? channel_change(1, steps, false, held) : std::optional<std::uint16_t>(0);
                if (left && right && (*left ^ *right) == target) {
                    return gain_change{steps, steps, false, false};
                }
                if (!two_channels) {
                    continue;
                }
                if (left && *left == target) {
                    return gain_change{steps, 0, false, false};
                }
                if (right && *right == target) {
                    return gain_change{0, steps, false, false};
                }
            }
        }
    }
    return moved_back(gain_change{}, target);
}

}  // namespace framelint
