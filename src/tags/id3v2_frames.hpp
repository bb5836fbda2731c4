#pragma once
// An ID3v2 tag's frames show where its content ends, whatever its size field
// says: a size that runs past them into the audio, or stops inside them, is
// wrong. These read a tag's frame headers one at a time, as its bytes pass.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <span>
#include <string_view>

namespace framelint {

// A synchsafe integer (an ID3v2 tag's size, a 2.4 frame's): seven bits from
// each of four bytes, read as one big-endian word.
constexpr std::uint32_t id3v2_synchsafe(std::uint32_t word)
{
    return ((word >> 3) & 0x0FE00000u) | ((word >> 2) & 0x001FC000u) | ((word >> 1) & 0x00003F80u) | (word & 0x7Fu);
}
static_assert(id3v2_synchsafe(0x00000201u) == 257);
static_assert(id3v2_synchsafe(0xFFFFFFFFu) == (1u << 28) - 1, "the top bit of each byte is ignored");

// The bytes of a frame header of the tag's version (6 for 2.2, else 10).
inline constexpr std::size_t id3v2_frame_head_max = 10;

// The version (2, 3 or 4) whose frames can be walked from the tag's 10-byte
// header, or 0: a tag unsynchronised whole (2.2, 2.3), compressed (2.2), with an
// extended header or a footer is left to its size field.
int id3v2_walkable_version(std::span<const std::uint8_t> header);

std::size_t id3v2_frame_head_size(int version);

// The whole length (header and body) of the frame whose header begins head
// (at least id3v2_frame_head_size(version) bytes), or 0 where no frame begins:
// padding, or bytes no tagger writes as a frame's identifier or size.
std::uint64_t id3v2_frame_length(std::span<const std::uint8_t> head, int version);

// Hands visit the content of each frame with identifier id (four characters)
// of a whole ID3v2.3 or 2.4 tag in memory, in tag order, as its tagger wrote
// it: the unsynchronisation undone and a data length indicator left out. Stops
// at the first frame visit returns true for (and returns true), at padding, or
// at a frame no tagger writes or that runs past the tag's size.
bool visit_id3v2_frames(std::span<const std::uint8_t> tag, std::string_view id,
                        const std::function<bool(std::span<const std::uint8_t> content)>& visit);

}  // namespace framelint
