#include "mpeg/vbr_tag.hpp"

#include <algorithm>
#include <array>
#include <cstring>

#include "mpeg/frame_crc.hpp"
#include "mpeg/crc16.hpp"

namespace framelint {
namespace {

constexpr std::uint32_t big_endian32(const std::uint8_t* p)
{
    return static_cast<std::uint32_t>(p[0]) << 24 | static_cast<std::uint32_t>(p[1]) << 16 |
           static_cast<std::uint32_t>(p[2]) << 8 | p[3];
}

constexpr std::uint16_t big_endian16(const std::uint8_t* p)
{
    return static_cast<std::uint16_t>(p[0] << 8 | p[1]);
}

bool has_text(std::span<const std::uint8_t> frame, std::size_t at, const char* text)
{
    const std::size_t n = std::strlen(text);
    return at + n <= frame.size() && std::memcmp(frame.data() + at, text, n) == 0;
}

constexpr std::size_t vbri_offset = 36;        // from the frame's first byte, whatever the frame
constexpr std::size_t lame_tag_length = 36;
constexpr std::size_t lame_music_length_at = 28;
constexpr std::size_t lame_tag_crc_at = 34;
constexpr std::size_t ffmpeg_tag_crc_span = 190;

}  // namespace

std::optional<vbr_header> find_vbr_header(std::span<const std::uint8_t> frame, std::uint32_t word)
{
    const header_word header{word};
    if (header.layer3()) {
        // Right after the side information, whether or not a CRC word comes first.
        const std::size_t at = header.vbr_header_at();
        const bool xing = has_text(frame, at, "Xing");
        if ((xing || has_text(frame, at, "Info")) && at + 8 <= frame.size()) {
            vbr_header h;
            h.kind = xing ? vbr_header_kind::xing : vbr_header_kind::info;
            const std::uint32_t flags = big_endian32(frame.data() + at + 4);
            std::size_t p = at + 8;
            const auto field = [&](std::uint32_t flag, std::size_t size) -> std::optional<std::uint32_t> {
                if ((flags & flag) == 0) {
                    return std::nullopt;
                }
                const std::size_t from = p;
                p += size;
                if (size != 4 || p > frame.size()) {
                    return std::nullopt;
                }
                return big_endian32(frame.data() + from);
            };
            h.frames = field(1, 4);
            h.bytes = field(2, 4);
            field(4, 100);  // the seek table
            field(8, 4);    // the quality indicator
            // A frame too short for the table its flags announce still has its
            // counts, when they lie within it; fields_end then lies past the
            // frame, where no LAME tag is looked for.
            h.fields_end = p;
            return h;
        }
    }
    if (has_text(frame, vbri_offset, "VBRI") && vbri_offset + 18 <= frame.size()) {
        // version 2, delay 2, quality 2, bytes 4, frames 4
        vbr_header h;
        h.kind = vbr_header_kind::vbri;
        h.bytes = big_endian32(frame.data() + vbri_offset + 10);
        h.frames = big_endian32(frame.data() + vbri_offset + 14);
        h.fields_end = vbri_offset + 18;
        return h;
    }
    return std::nullopt;
}

bool lame_writes_crcs(std::span<const std::uint8_t, 9> encoder)
{
    if (std::memcmp(encoder.data(), "Lavc", 4) == 0 || std::memcmp(encoder.data(), "Lavf", 4) == 0) {
        return true;
    }
    if (std::memcmp(encoder.data(), "LAME", 4) != 0) {
        return false;
    }
    // "LAMEm.nn...": a major version above 3, or 3 with a minor version of 90 or more
    // (3.100 is after 3.99).
    std::size_t i = 4;
    unsigned major = 0;
    for (; i < encoder.size() && encoder[i] >= '0' && encoder[i] <= '9'; ++i) {
        major = major * 10 + (encoder[i] - '0');
    }
    if (i == 4 || i >= encoder.size() || encoder[i] != '.') {
        return false;
    }
    unsigned minor = 0;
    std::size_t digits = 0;
    for (++i; i < encoder.size() && encoder[i] >= '0' && encoder[i] <= '9'; ++i, ++digits) {
        minor = minor * 10 + (encoder[i] - '0');
    }
    if (digits == 0) {
        return false;
    }
    if (digits == 1) {
        minor *= 10;  // "3.9" reads as 3.90
    }
    return major > 3 || (major == 3 && minor >= 90);
}

std::optional<lame_tag> find_lame_tag(std::span<const std::uint8_t> frame, std::size_t at, bool any_encoder)
{
    if (at + lame_tag_length > frame.size()) {
        return std::nullopt;
    }
    const bool known = lame_writes_crcs(frame.subspan(at).first<9>());
    if (!known && !any_encoder) {
        return std::nullopt;
    }
    lame_tag t;
    t.unknown_encoder = !known;
    t.music_length = big_endian32(frame.data() + at + lame_music_length_at);
    t.music_crc = big_endian16(frame.data() + at + lame_music_length_at + 4);
    t.tag_crc = big_endian16(frame.data() + at + lame_tag_crc_at);
    if (t.tag_crc == 0) {
        return std::nullopt;  // an encoder that leaves the field empty vouches for nothing
    }
    const std::size_t tag_crc_offset = at + lame_tag_crc_at;  // where the field lies in the frame
    const std::uint16_t lame_rule = crc16_arc(frame.data(), tag_crc_offset);
    std::array<std::uint8_t, ffmpeg_tag_crc_span> span{};
    std::memcpy(span.data(), frame.data(), std::min(frame.size(), span.size()));
    if (tag_crc_offset + 2 <= span.size()) {
        span[tag_crc_offset] = 0;
        span[tag_crc_offset + 1] = 0;
    }
    const std::uint16_t ffmpeg_rule = crc16_arc(span.data(), span.size());
    const bool by_ffmpeg = frame[at] == 'L' && frame[at + 1] == 'a';
    t.tag_crc_found = by_ffmpeg ? ffmpeg_rule : lame_rule;
    t.tag_crc_other = by_ffmpeg ? lame_rule : ffmpeg_rule;
    return t;
}

}  // namespace framelint
