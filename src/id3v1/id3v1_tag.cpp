#include "id3v1/id3v1_tag.hpp"

#include <array>
#include <cstring>

namespace framelint {
namespace {

// Offsets within the 128-byte trailer.
constexpr std::size_t title_at = 3;
constexpr std::size_t artist_at = 33;
constexpr std::size_t album_at = 63;
constexpr std::size_t year_at = 93;
constexpr std::size_t comment_at = 97;
constexpr std::size_t track_at = 126;
constexpr std::size_t genre_at = 127;
constexpr std::size_t text_width = 30;
constexpr std::size_t year_width = 4;

static_assert(comment_at + text_width == genre_at, "the comment runs up to the genre byte");

// Text worth keeping at the end of a field: the printable ASCII characters other
// than space, and every byte from 0x80 up. Tags are written in Latin-1 (and in
// practice often UTF-8), where those bytes are letters such as the last one of
// "Café"; trimming them would cut the word.
constexpr bool is_text(unsigned char c) { return (c >= 0x21 && c <= 0x7E) || c >= 0x80; }
static_assert(is_text('a') && is_text(0xE9) && is_text(0xA9) && !is_text(' ') && !is_text('\t') && !is_text(0x7F));

template <std::size_t N>
void put_trimmed(const char* text, io::output& out)
{
    std::array<char, N> field{};
    std::memcpy(field.data(), text, trimmed_length(text));
    out.write(field.data(), field.size());
}

}  // namespace

void clear_id3v1(id3v1_tag& tag) { tag = id3v1_tag{}; }

int parse_id3v1(const std::uint8_t* block, id3v1_tag& tag)
{
    if (std::memcmp(block, "TAG", 3) != 0) {
        tag.has_tag = 0;
        return 0;
    }
    tag.has_tag = 1;
    std::memcpy(tag.title, block + title_at, text_width);
    std::memcpy(tag.artist, block + artist_at, text_width);
    std::memcpy(tag.album, block + album_at, text_width);
    std::memcpy(tag.year, block + year_at, year_width);
    std::memcpy(tag.comment, block + comment_at, text_width);
    tag.track = block[track_at];
    tag.is_v11 = block[track_at] != 0 ? 1 : 0;
    tag.genre = block[genre_at];
    return 1;
}

std::size_t trimmed_length(const char* text)
{
    const std::size_t length = std::strlen(text);
    for (std::size_t i = length; i > 0; --i) {
        if (is_text(static_cast<unsigned char>(text[i - 1]))) {
            return i;
        }
    }
    return length;
}

int emit_id3v1(const id3v1_tag& tag, io::output& out)
{
    out.write("TAG", 3);
    put_trimmed<text_width>(tag.title, out);
    put_trimmed<text_width>(tag.artist, out);
    put_trimmed<text_width>(tag.album, out);
    put_trimmed<year_width>(tag.year, out);

    std::array<char, text_width> comment{};
    std::memcpy(comment.data(), tag.comment, trimmed_length(tag.comment));
    out.write(comment.data(), text_width - 1);
    out.put(tag.track != 0 ? static_cast<std::uint8_t>(tag.track) : static_cast<std::uint8_t>(comment[text_width - 1]));
    out.put(static_cast<std::uint8_t>(tag.genre));
    return 1;
}

id3v1_tag find_id3v1(tail_ring& ring, std::uint64_t bytes_read)
{
    id3v1_tag tag;
    clear_id3v1(tag);
    unroll_ring(ring, bytes_read);
    parse_id3v1(ring.slots.data(), tag);
    return tag;
}

void report_id3v1(const scan_options& options, tail_ring& ring, std::uint64_t bytes_read, io::output& out)
{
    if (!options.id3_tag) {
        return;
    }
    const id3v1_tag tag = find_id3v1(ring, bytes_read);
    if (tag.has_tag == 0) {
        if (!options.to_stdout) {
            out.print("\n%-20s%d\n", "MP3_TAG", 0);
        }
        return;
    }
    if (options.fix_stream && options.to_stdout) {
        emit_id3v1(tag, out);  // even under -ss, which writes no frames
    }
    if (!options.to_stdout && options.verbose) {
        out.print("\n%-20s%d\n", "MP3_TAG", tag.has_tag);
        out.print("%-20s%s\n", "TITLE", tag.title);
        out.print("%-20s%s\n", "ARTIST", tag.artist);
        out.print("%-20s%s\n", "ALBUM", tag.album);
        out.print("%-20s%s\n", "YEAR", tag.year);
        out.print("%-20s%s\n", "COMMENT", tag.comment);
        out.print("%-20s%d\n", "GENRE", tag.genre);
        out.print("%-20s%d\n", "TRACK", tag.track);
        out.print("%-20s%d\n", "ID3.11", tag.is_v11);
    }
}

}  // namespace framelint
