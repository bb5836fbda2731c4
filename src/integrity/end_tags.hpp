#pragma once
// The tags taggers put after the audio, recognised from their bytes: ID3v1 (a
// 128-byte block starting "TAG"), APEv2 (an "APETAGEX" header or footer with the
// tag's size), Lyrics3v2 ("LYRICSBEGIN" ... a six-digit size and "LYRICS200")
// and an appended ID3v2 tag ("ID3" header or "3DI" footer with its size).
// They stack in any order, so a stream's end is read both ways: forward from the
// last frame by the tags' headers, backward from the end by their footers.

#include <cstddef>
#include <cstdint>
#include <span>

namespace framelint {

// The most bytes tag_length_from_start() looks at.
inline constexpr std::size_t tag_head_size = 32;

// False for a byte no tag recognised by tag_length_from_start() begins with,
// such as the first byte of a frame header (0xFF).
constexpr bool may_begin_tag(std::uint8_t first) { return first == 'T' || first == 'A' || first == 'I'; }

// The whole length of the tag that begins at head[0] (head holding up to
// tag_head_size bytes from there), or 0 when no tag recognisable by its first
// bytes begins there.
std::uint64_t tag_length_from_start(std::span<const std::uint8_t> head);

// The whole length of the tag that ends with tail's last byte, or 0 when none
// recognisable by its last bytes ends there.
std::uint64_t tag_length_from_end(std::span<const std::uint8_t> tail);

// Where the run of tags that ends the stream begins: end_offset is the stream's
// length and tail its last tail.size() bytes. Peels tags off the end for as long
// as their footers lie within tail; returns end_offset when none ends the stream.
std::uint64_t end_tags_start(std::span<const std::uint8_t> tail, std::uint64_t end_offset);

}  // namespace framelint
