#include "tags/id3v2_frames.hpp"

namespace framelint {
namespace {

constexpr bool id_char(std::uint8_t b) { return (b >= 'A' && b <= 'Z') || (b >= '0' && b <= '9'); }

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

}  // namespace framelint
