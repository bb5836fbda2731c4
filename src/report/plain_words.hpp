#pragma once
// Every problem kind in plain words, for the report meant for people: what is
// wrong, with the numbers that say how much, and no offsets unless asked.

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "problems/problem.hpp"

namespace framelint {

// What else about the stream the words can use.
struct stream_clues {
    // The length of the last frame accepted (0: none), to say how far into it a
    // cut stream ends.
    std::int32_t last_frame_length = 0;
    // The stream's last bytes (at most a kilobyte), to guess what a file with
    // no audio in it is instead.
    std::span<const std::uint8_t> last_bytes;
    std::int64_t stream_length = 0;
    // Where an ID3v2 tag at the start of the stream ends by its size (0: none).
    std::int64_t id3v2_end = 0;
    // The stream's first four bytes, when it could be read again for them,
    // and its name: an AppleDouble file ("._name", 00 05 16 07) is no audio.
    std::span<const std::uint8_t> first_bytes{};
    std::string_view file_label{};
};

// Whether a stream so named that begins with these bytes is a macOS AppleDouble
// file ("._name", beginning 00 05 16 07).
bool is_apple_double(std::string_view file_label, std::span<const std::uint8_t> first_bytes);

// One problem in words, e.g. "ends 19 bytes into its last frame".
std::string plain_words(const problem& p, const stream_clues& clues);

// count (two or more) problems of one kind in words, e.g. "3 frames out of place";
// empty for the kinds a stream rarely holds twice (their first's words serve).
std::string plain_words_many(problem_kind kind, std::int64_t count);

// Where a problem is, for people: the first byte of the thing it is about.
std::int64_t plain_offset(const problem& p);

// A guess at what bytes with no MPEG audio in them are, e.g. "an HTML page?";
// empty when there is nothing to go on.
std::string what_it_looks_like(std::span<const std::uint8_t> bytes, std::int64_t stream_length);

}  // namespace framelint
