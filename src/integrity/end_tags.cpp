#include "integrity/end_tags.hpp"

#include <cstring>

namespace framelint {
namespace {

bool starts_with(std::span<const std::uint8_t> bytes, const char* text)
{
    const std::size_t n = std::strlen(text);
    return bytes.size() >= n && std::memcmp(bytes.data(), text, n) == 0;
}

constexpr std::uint32_t little_endian32(const std::uint8_t* p)
{
    return static_cast<std::uint32_t>(p[3]) << 24 | static_cast<std::uint32_t>(p[2]) << 16 |
           static_cast<std::uint32_t>(p[1]) << 8 | p[0];
}

// An ID3v2 size: seven bits from each of four bytes whose top bit is clear.
bool synchsafe(const std::uint8_t* p, std::uint64_t& size)
{
    if (((p[0] | p[1] | p[2] | p[3]) & 0x80u) != 0) {
        return false;
    }
    size = static_cast<std::uint64_t>(p[0]) << 21 | static_cast<std::uint64_t>(p[1]) << 14 |
           static_cast<std::uint64_t>(p[2]) << 7 | p[3];
    return true;
}

constexpr std::size_t ape_block = 32;  // an APEv2 header or footer
constexpr std::uint32_t ape_has_header = 1u << 31;
constexpr std::uint32_t ape_is_header = 1u << 29;
constexpr std::size_t id3v2_block = 10;  // an ID3v2 header or footer
constexpr std::uint8_t id3v2_has_footer = 0x10;

// "ID3"/"3DI", version and revision below 0xFF, then flags and a synchsafe size.
bool id3v2_block_size(std::span<const std::uint8_t> block, const char* magic, std::uint64_t& size)
{
    return block.size() >= id3v2_block && starts_with(block, magic) && block[3] != 0xFF && block[4] != 0xFF &&
           synchsafe(block.data() + 6, size);
}

}  // namespace

std::uint64_t tag_length_from_start(std::span<const std::uint8_t> head)
{
    if (starts_with(head, "TAG")) {
        return 128;
    }
    if (starts_with(head, "APETAGEX") && head.size() >= ape_block) {
        const std::uint32_t flags = little_endian32(head.data() + 20);
        if ((flags & ape_is_header) != 0) {
            return ape_block + little_endian32(head.data() + 12);  // the size counts the footer, not the header
        }
        return 0;
    }
    std::uint64_t size = 0;
    if (id3v2_block_size(head, "ID3", size)) {
        return id3v2_block + size + ((head[5] & id3v2_has_footer) != 0 ? id3v2_block : 0);
    }
    return 0;
}

std::uint64_t tag_length_from_end(std::span<const std::uint8_t> tail)
{
    const std::size_t n = tail.size();
    if (n >= 128 && starts_with(tail.subspan(n - 128), "TAG")) {
        return 128;
    }
    if (n >= ape_block && starts_with(tail.subspan(n - ape_block), "APETAGEX")) {
        const std::uint8_t* footer = tail.data() + n - ape_block;
        const std::uint32_t flags = little_endian32(footer + 20);
        if ((flags & ape_is_header) == 0) {
            return little_endian32(footer + 12) + ((flags & ape_has_header) != 0 ? ape_block : 0);
        }
    }
    if (n >= 15 && std::memcmp(tail.data() + n - 9, "LYRICS200", 9) == 0) {
        std::uint64_t size = 0;
        for (std::size_t i = n - 15; i < n - 9; ++i) {
            if (tail[i] < '0' || tail[i] > '9') {
                return 0;
            }
            size = size * 10 + (tail[i] - '0');
        }
        return size + 15;  // the size counts from "LYRICSBEGIN" to just before itself
    }
    std::uint64_t size = 0;
    if (n >= id3v2_block && id3v2_block_size(tail.subspan(n - id3v2_block), "3DI", size)) {
        return size + 2 * id3v2_block;
    }
    return 0;
}

std::uint64_t end_tags_start(std::span<const std::uint8_t> tail, std::uint64_t end_offset)
{
    std::uint64_t start = end_offset;
    std::size_t in_tail = tail.size();
    for (;;) {
        const std::uint64_t length = tag_length_from_end(tail.first(in_tail));
        if (length == 0 || length > start) {
            return start;
        }
        start -= length;
        if (length >= in_tail) {
            return start;  // the next footer would lie before what the tail holds
        }
        in_tail -= static_cast<std::size_t>(length);
    }
}

}  // namespace framelint
