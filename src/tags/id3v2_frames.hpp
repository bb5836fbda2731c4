#pragma once
// An ID3v2 tag's frames show where its content ends, whatever its size field
// says: a size that runs past them into the audio, or stops inside them, is
// wrong. These read a tag's frame headers one at a time, as its bytes pass.

#include <cstddef>
#include <cstdint>
#include <span>

namespace framelint {

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

}  // namespace framelint
