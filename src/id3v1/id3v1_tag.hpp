#pragma once
// The 128-byte ID3v1 trailer (with the ID3v1.1 track byte): its record, the
// report, and the trimmed re-emission that follows a repaired stream.

#include <cstddef>
#include <cstdint>

#include "id3v1/tail_ring.hpp"
#include "io/output.hpp"
#include "options/scan_options.hpp"

namespace framelint {

struct id3v1_tag {
    std::int16_t has_tag = 0;
    std::int16_t is_v11 = 0;   // byte 126 is not zero: taken as a track number
    char title[31] = {};       // every text field is its bytes plus a NUL
    char artist[31] = {};
    char album[31] = {};
    char year[5] = {};
    char comment[31] = {};     // all 30 bytes, so the track byte is the comment's last
    std::int16_t genre = 0;
    std::int16_t track = 0;
};

void clear_id3v1(id3v1_tag& tag);

// Fills a cleared record from a block in stream order; 1 when it begins with "TAG".
int parse_id3v1(const std::uint8_t* block, id3v1_tag& tag);

// The end-of-stream step: unrolls the ring and reports the tag found there, or
// in repair mode writes it after the last frame.
void report_id3v1(const scan_options& options, tail_ring& ring, std::uint64_t bytes_read, io::output& out);

// The tag in the stream's last 128 bytes, as the ring holds them (has_tag 0 when
// there is none).
id3v1_tag find_id3v1(tail_ring& ring, std::uint64_t bytes_read);

// Bytes up to and including the last one that is text (printable ASCII other
// than space, or any byte from 0x80 up); the whole text when it has none.
std::size_t trimmed_length(const char* text);

// Writes the tag rebuilt from the record, exactly 128 bytes; returns 1.
int emit_id3v1(const id3v1_tag& tag, io::output& out);

}  // namespace framelint
