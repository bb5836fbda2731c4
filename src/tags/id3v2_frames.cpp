#include "tags/id3v2_frames.hpp"

#include <algorithm>
#include <vector>

namespace framelint {
namespace {

constexpr bool id_char(std::uint8_t b) { return (b >= 'A' && b <= 'Z') || (b >= '0' && b <= '9'); }

std::uint32_t big_endian32(const std::uint8_t* p)
{
    return std::uint32_t{p[0]} << 24 | std::uint32_t{p[1]} << 16 | std::uint32_t{p[2]} << 8 | p[3];
}

std::uint32_t syncsafe32(const std::uint8_t* p) { return id3v2_synchsafe(big_endian32(p)); }

// Bytes with the zero that unsynchronisation put after each 0xFF taken out,
// from byte `from` on.
std::vector<std::uint8_t> resynchronised(std::span<const std::uint8_t> bytes, std::size_t from)
{
    std::vector<std::uint8_t> out;
    out.reserve(bytes.size());
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        if (i <= from || bytes[i] != 0 || bytes[i - 1] != 0xFF) {
            out.push_back(bytes[i]);
        }
    }
    return out;
}

}  // namespace

int id3v2_walkable_version(std::span<const std::uint8_t> header)
{
    if (header.size() < 10 || header[0] != 'I' || header[1] != 'D' || header[2] != '3') {
        return 0;
    }
    const int version = header[3];
    const std::uint8_t flags = header[5];
    switch (version) {
    case 2: return (flags & 0xC0u) == 0 ? 2 : 0;
    case 3: return (flags & 0xC0u) == 0 ? 3 : 0;
    case 4: return (flags & 0x50u) == 0 ? 4 : 0;  // 2.4 unsynchronises frame by frame: sizes stay true
    default: return 0;
    }
}

std::size_t id3v2_frame_head_size(int version) { return version == 2 ? 6 : 10; }

std::uint64_t id3v2_frame_length(std::span<const std::uint8_t> head, int version)
{
    const std::size_t head_size = id3v2_frame_head_size(version);
    const std::size_t id_size = version == 2 ? 3 : 4;
    if (head.size() < head_size || head[0] < 'A' || head[0] > 'Z') {
        return 0;
    }
    for (std::size_t i = 1; i < id_size; ++i) {
        if (!id_char(head[i])) {
            return 0;
        }
    }
    std::uint64_t size = 0;
    if (version == 2) {
        size = static_cast<std::uint64_t>(head[3]) << 16 | static_cast<std::uint64_t>(head[4]) << 8 | head[5];
    } else if (version == 3) {
        size = static_cast<std::uint64_t>(head[4]) << 24 | static_cast<std::uint64_t>(head[5]) << 16 |
               static_cast<std::uint64_t>(head[6]) << 8 | head[7];
    } else {
        for (std::size_t i = 4; i < 8; ++i) {
            if ((head[i] & 0x80u) != 0) {
                return 0;  // no synchsafe size
            }
            size = size << 7 | head[i];
        }
    }
    return size == 0 ? 0 : head_size + size;
}

bool visit_id3v2_frames(std::span<const std::uint8_t> tag, std::string_view id,
                        const std::function<bool(std::span<const std::uint8_t> content)>& visit)
{
    constexpr std::size_t head = 10;  // the tag's header, and a 2.3 or 2.4 frame's
    if (tag.size() < head || tag[0] != 'I' || tag[1] != 'D' || tag[2] != '3' || (tag[3] != 3 && tag[3] != 4)) {
        return false;
    }
    const int version = tag[3];
    const bool v4 = version == 4;
    const bool unsynchronised = (tag[5] & 0x80u) != 0;
    std::vector<std::uint8_t> plain;
    if (unsynchronised && !v4) {
        // ID3v2.3 unsynchronises the whole tag after its header: frame sizes
        // count the bytes with the zero after each 0xFF taken out.
        plain = resynchronised(tag, head);
        tag = plain;
    }
    const std::size_t end = std::min<std::size_t>(tag.size(), head + syncsafe32(tag.data() + 6));
    std::size_t at = head;
    if ((tag[5] & 0x40u) != 0 && at + 4 <= end) {  // an extended header
        at += v4 ? syncsafe32(tag.data() + at) : big_endian32(tag.data() + at) + 4;
    }
    while (at + head <= end) {
        const std::uint64_t length = id3v2_frame_length(tag.subspan(at, head), version);
        if (length == 0 || length > end - at) {
            break;
        }
        const std::uint8_t* frame = tag.data() + at;
        if (std::string_view(reinterpret_cast<const char*>(frame), 4) == id) {
            std::vector<std::uint8_t> content(frame + head, frame + length);
            if (v4 && (frame[9] & 0x01u) != 0) {  // a data length indicator first
                content.erase(content.begin(), content.begin() + std::min<std::ptrdiff_t>(4, std::ssize(content)));
            }
            if (v4 && (unsynchronised || (frame[9] & 0x02u) != 0)) {
                content = resynchronised(content, 0);
            }
            if (visit(content)) {
                return true;
            }
        }
        at += static_cast<std::size_t>(length);
    }
    return false;
}

}  // namespace framelint
