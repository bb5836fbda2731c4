#include "tags/end_tags.hpp"

#include "tags/id3v2_frames.hpp"

#include <algorithm>
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
    size = id3v2_synchsafe(static_cast<std::uint32_t>(p[0]) << 24 | static_cast<std::uint32_t>(p[1]) << 16 |
                           static_cast<std::uint32_t>(p[2]) << 8 | p[3]);
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

std::uint64_t strict_id3v2_length(std::span<const std::uint8_t> head)
{
    if (head.size() < id3v2_block || !starts_with(head, "ID3") || head[3] < 2 || head[3] > 4) {
        return 0;
    }
    // The flags each version defines: unsynchronisation and compression (2.2);
    // unsynchronisation, extended header, experimental (2.3); and a footer (2.4).
    constexpr std::uint8_t defined_flags[] = {0xC0, 0xE0, 0xF0};
    if ((head[5] & ~defined_flags[head[3] - 2]) != 0) {
        return 0;
    }
    return tag_length_from_start(head);
}

namespace {

constexpr std::size_t id3v1_enhanced_size = 227;
constexpr std::size_t lyrics3v1_most = 5100;  // of lyrics, between its begin and end marks

// A Lyrics3 v1 tag that ends with tail's last byte: from the "LYRICSBEGIN"
// nearest its "LYRICSEND" (0: none within tail).
std::uint64_t lyrics3v1_length(std::span<const std::uint8_t> tail)
{
    const std::size_t n = tail.size();
    constexpr std::size_t begin_size = 11;
    constexpr std::size_t end_size = 9;
    if (n < begin_size + end_size || std::memcmp(tail.data() + n - end_size, "LYRICSEND", end_size) != 0) {
        return 0;
    }
    const std::size_t lowest = n - end_size - begin_size - std::min(n - end_size - begin_size, lyrics3v1_most);
    for (std::size_t at = n - end_size - begin_size + 1; at-- > lowest;) {
        if (std::memcmp(tail.data() + at, "LYRICSBEGIN", begin_size) == 0) {
            return n - at;
        }
    }
    return 0;
}

// The tag that ends with tail's last byte: its kind and whole length (0: none).
// before_id3v1: an ID3v1 tag follows it, which the enhanced block and Lyrics3
// v1 need.
std::uint64_t footer_tag(std::span<const std::uint8_t> tail, end_tag_kind& kind, bool before_id3v1)
{
    const std::size_t n = tail.size();
    if (before_id3v1 && n >= id3v1_enhanced_size && starts_with(tail.subspan(n - id3v1_enhanced_size), "TAG+")) {
        kind = end_tag_kind::id3v1_enhanced;
        return id3v1_enhanced_size;
    }
    if (before_id3v1) {
        if (const std::uint64_t length = lyrics3v1_length(tail)) {
            kind = end_tag_kind::lyrics3v1;
            return length;
        }
    }
    // An APEv2 footer is looked for before an ID3v1 tag: the "TAG" 128 bytes
    // before the end can be the middle of an earlier APEv2 footer's
    // "APETAGEX", while an ID3v1 tag holding "APETAGEX" where a footer would
    // begin is not met with.
    if (n >= ape_block && starts_with(tail.subspan(n - ape_block), "APETAGEX")) {
        const std::uint8_t* footer = tail.data() + n - ape_block;
        const std::uint32_t flags = little_endian32(footer + 20);
        if ((flags & ape_is_header) == 0) {
            kind = end_tag_kind::apev2;
            return little_endian32(footer + 12) + ((flags & ape_has_header) != 0 ? ape_block : 0);
        }
    }
    if (n >= 128 && starts_with(tail.subspan(n - 128), "TAG")) {
        kind = end_tag_kind::id3v1;
        return 128;
    }
    if (n >= 15 && std::memcmp(tail.data() + n - 9, "LYRICS200", 9) == 0) {
        std::uint64_t size = 0;
        for (std::size_t i = n - 15; i < n - 9; ++i) {
            if (tail[i] < '0' || tail[i] > '9') {
                return 0;
            }
            size = size * 10 + (tail[i] - '0');
        }
        kind = end_tag_kind::lyrics3v2;
        return size + 15;  // the size counts from "LYRICSBEGIN" to just before itself
    }
    std::uint64_t size = 0;
    if (n >= id3v2_block && id3v2_block_size(tail.subspan(n - id3v2_block), "3DI", size)) {
        kind = end_tag_kind::id3v2;
        return size + 2 * id3v2_block;
    }
    return 0;
}

// An APEv2 item: value size and flags (little-endian), a key of printable
// ASCII ended by a NUL, then the value, all within the tag. A footer whose
// size is wrong points into audio or junk, where this shape is rare.
bool ape_item_at(std::span<const std::uint8_t> tag)
{
    if (tag.size() < 8 + 2 + ape_block) {
        return false;
    }
    const std::uint64_t value = little_endian32(tag.data());
    std::size_t key = 8;
    while (key < tag.size() && key < 8 + 256 && tag[key] >= 0x20 && tag[key] <= 0x7E) {
        ++key;
    }
    return key > 8 && key < tag.size() && tag[key] == 0 && key + 1 + value <= tag.size() - ape_block;
}

// Whether the tag of the given kind and length that ends with tail's last byte
// begins as such a tag does; start_seen tells whether its beginning lies in tail.
bool start_fits(std::span<const std::uint8_t> tail, end_tag_kind kind, std::uint64_t length, bool& start_seen)
{
    start_seen = length <= tail.size();
    const std::span<const std::uint8_t> tag =
        start_seen ? tail.subspan(tail.size() - static_cast<std::size_t>(length)) : std::span<const std::uint8_t>{};
    switch (kind) {
    case end_tag_kind::id3v1:
    case end_tag_kind::id3v1_enhanced:
    case end_tag_kind::lyrics3v1: return true;  // read from their first bytes already
    case end_tag_kind::id3v2: {
        // A footer repeats its header; without the header nothing stands there.
        // A tag found without a footer was found by its header.
        std::uint64_t size = 0;
        return start_seen && id3v2_block_size(tag, "ID3", size) &&
               (size + 2 * id3v2_block == length || size + id3v2_block == length);
    }
    case end_tag_kind::lyrics3v2: return !start_seen || starts_with(tag, "LYRICSBEGIN");
    case end_tag_kind::apev2: {
        if (!start_seen) {
            return true;  // nothing to check it against
        }
        const std::uint32_t flags = little_endian32(tail.data() + tail.size() - ape_block + 20);
        if ((flags & ape_has_header) != 0) {
            return starts_with(tag, "APETAGEX");
        }
        return ape_item_at(tag);
    }
    }
    return false;
}

// An ID3v2 tag without a footer that ends with tail's last byte: its header
// lies within tail, no earlier than floor_in_tail, and its size leads exactly
// to the end. An appended ID3v2 tag should carry a footer, but some are
// written without one; behind a tag that cannot be read from its start
// (Lyrics3v2, an APEv2 tag without a header) nothing else would find it. The
// longest such tag is taken, so that a tag inside a tag's picture or object is
// not taken for the end. 0: none.
std::uint64_t footerless_id3v2(std::span<const std::uint8_t> tail, std::size_t floor_in_tail)
{
    const std::size_t n = tail.size();
    for (std::size_t at = floor_in_tail; at + id3v2_block <= n; ++at) {
        const void* found = std::memchr(tail.data() + at, 'I', n - id3v2_block + 1 - at);
        if (found == nullptr) {
            return 0;
        }
        at = static_cast<std::size_t>(static_cast<const std::uint8_t*>(found) - tail.data());
        if (strict_id3v2_length(tail.subspan(at)) == n - at) {
            return n - at;
        }
    }
    return 0;
}

}  // namespace

std::uint64_t apev2_length_from_items(std::span<const std::uint8_t> bytes)
{
    std::size_t at = 0;
    std::uint32_t items = 0;
    while (at + ape_block <= bytes.size()) {
        if (starts_with(bytes.subspan(at), "APETAGEX")) {
            const std::uint8_t* footer = bytes.data() + at;
            const std::uint32_t flags = little_endian32(footer + 20);
            const bool fits = items > 0 && (flags & (ape_is_header | ape_has_header)) == 0 &&
                              little_endian32(footer + 12) == at + ape_block && little_endian32(footer + 16) == items;
            return fits ? at + ape_block : 0;
        }
        // An item: value size, flags (only the type and read-only bits), a key
        // of printable ASCII of 2 to 255 bytes ended by a NUL, the value.
        const std::uint64_t value = little_endian32(bytes.data() + at);
        if ((little_endian32(bytes.data() + at + 4) & ~7u) != 0) {
            return 0;
        }
        std::size_t key = at + 8;
        while (key < bytes.size() && key < at + 8 + 255 && bytes[key] >= 0x20 && bytes[key] <= 0x7E) {
            ++key;
        }
        if (key < at + 8 + 2 || key >= bytes.size() || bytes[key] != 0) {
            return 0;
        }
        at = key + 1 + static_cast<std::size_t>(std::min<std::uint64_t>(value, bytes.size()));
        ++items;
    }
    return 0;
}

bool apev2_footer_matches(std::span<const std::uint8_t> header, std::span<const std::uint8_t> footer)
{
    if (header.size() < ape_block || footer.size() < ape_block || !starts_with(footer, "APETAGEX")) {
        return false;
    }
    const std::uint32_t flags = little_endian32(footer.data() + 20);
    return (flags & ape_is_header) == 0 && std::memcmp(header.data() + 8, footer.data() + 8, 12) == 0;
}

std::uint64_t end_tags_start(std::span<const std::uint8_t> tail, std::uint64_t end_offset, std::uint64_t floor,
                             void (*on_tag)(const end_tag&, void*), void* context, std::uint64_t footerless_floor)
{
    std::uint64_t start = end_offset;
    std::size_t in_tail = tail.size();
    bool before_id3v1 = false;
    for (;;) {
        end_tag tag;
        std::uint64_t length = footer_tag(tail.first(in_tail), tag.kind, before_id3v1);
        if (length == 0) {
            const std::uint64_t lowest = std::max(floor, footerless_floor);
            const std::uint64_t below_floor = lowest > start - in_tail ? lowest - (start - in_tail) : 0;
            if (below_floor < in_tail) {
                length = footerless_id3v2(tail.first(in_tail), static_cast<std::size_t>(below_floor));
                tag.kind = end_tag_kind::id3v2;
            }
        }
        if (length == 0 || length > start || start - length < floor ||
            !start_fits(tail.first(in_tail), tag.kind, length, tag.start_seen)) {
            return start;
        }
        start -= length;
        tag.start = start;
        tag.length = length;
        if (on_tag != nullptr) {
            on_tag(tag, context);
        }
        before_id3v1 = tag.kind == end_tag_kind::id3v1;
        if (length >= in_tail) {
            return start;  // the next footer would lie before what the tail holds
        }
        in_tail -= static_cast<std::size_t>(length);
    }
}

std::optional<std::int64_t> tags_forward_end(std::int64_t from, std::int64_t stream_end,
                                             const stream_bytes_reader& read)
{
    std::int64_t at = from;
    std::int64_t last_tag_start = from;
    std::array<std::uint8_t, tag_head_size> head{};
    for (;;) {
        if (at > stream_end) {
            return last_tag_start;  // a tag that claims more bytes than the stream has left
        }
        const std::size_t got = read(at, head);
        if (static_cast<std::int64_t>(got) < std::min<std::int64_t>(stream_end - at, tag_head_size)) {
            return std::nullopt;
        }
        const std::span<const std::uint8_t> seen(head.data(), got);
        if (got < tag_head_size) {
            // Fewer than a head's worth of bytes are left (or could be read).
            std::size_t fit = 0;
            while (fit < got) {
                const std::uint64_t length = tag_length_from_start(seen.subspan(fit));
                if (length == 0 || length > got - fit) {
                    break;
                }
                fit += static_cast<std::size_t>(length);
            }
            return at + static_cast<std::int64_t>(fit);
        }
        if (!may_begin_tag(head[0])) {
            return at;
        }
        const std::uint64_t length = tag_length_from_start(seen);
        if (length == 0) {
            return at;
        }
        last_tag_start = at;
        at += static_cast<std::int64_t>(length);
    }
}

namespace {

void keep_back_tag(const end_tag& tag, void* context)
{
    auto& end = *static_cast<stream_end*>(context);
    if (end.back_count < stream_end::most_tags) {
        end.back[end.back_count++] = tag;
    }
}

}  // namespace

stream_end settle_stream_end(const stream_end_facts& f)
{
    stream_end end;
    end.forward_end = f.forward_end;
    end.back_begin = f.stream_end;
    const auto stream_length = static_cast<std::uint64_t>(f.stream_end);
    const auto frame_end = static_cast<std::uint64_t>(f.last_end);
    if (!f.has_frame) {
        return end;
    }
    if (f.last_end > f.stream_end) {
        end.forward_end = f.stream_end;  // nothing follows a frame the stream ends in
        // Cut inside its last frame: only the check's rules look for tags that
        // stand where the rest of the frame would have been.
        if (f.stream_rules) {
            const auto begin = static_cast<std::int64_t>(end_tags_start(
                f.tail, stream_length, static_cast<std::uint64_t>(f.last_start + 4), keep_back_tag, &end, frame_end));
            if (begin > f.last_start && begin < f.stream_end) {
                end.back_begin = begin;
                end.frame_cut_by_tags = true;
            } else {
                end.back_count = 0;
            }
        }
        return end;
    }
    if (!f.stream_rules) {
        end.back_begin = static_cast<std::int64_t>(end_tags_start(f.tail, stream_length, 0, nullptr, nullptr, frame_end));
        return end;
    }
    if (f.forward_end == f.stream_end) {
        return end;  // the tags read by their headers reach the end: nothing is left to read back
    }
    const bool whole = f.forward_end > f.last_end ||
                       end_tags_start(f.tail, stream_length, frame_end, nullptr, nullptr, frame_end) == frame_end;
    const std::uint64_t floor = whole ? frame_end : static_cast<std::uint64_t>(f.last_start + 1);
    end.back_begin = static_cast<std::int64_t>(end_tags_start(f.tail, stream_length, floor, keep_back_tag, &end, frame_end));
    return end;
}

}  // namespace framelint
