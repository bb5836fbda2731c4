#include "report/plain_words.hpp"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <string_view>

#include "mpeg/frame_info.hpp"

namespace framelint {
namespace {

std::string num(std::int64_t v) { return std::to_string(v); }

// "1 byte", "2 bytes".
std::string count_of(std::int64_t n, std::string_view one, std::string_view many)
{
    return num(n) + " " + std::string(n == 1 ? one : many);
}

// The byte count found runs to where the last frame should end, which a cut
// file does not reach: it is what the frames take, not the file's size.
std::string counts_differ(std::string_view header, std::int64_t stored, std::int64_t found, bool bytes)
{
    return std::string(header) + " header says " + num(stored) + (bytes ? " bytes, the frames take " : " frames, the file has ") +
           num(found);
}

const char* version_words(const frame_info& f)
{
    return f.mpv_1 != 0 ? "MPEG-1" : f.mpv_2 != 0 ? "MPEG-2" : f.mpv_25 != 0 ? "MPEG-2.5" : "an unknown MPEG version";
}

const char* layer_words(const frame_info& f)
{
    return f.l1 != 0 ? "Layer I" : f.l2 != 0 ? "Layer II" : f.l3 != 0 ? "Layer III" : "an unknown layer";
}

const char* channel_words(const frame_info& f) { return f.single_channel != 0 ? "mono" : "two channels"; }

// What changed between two frames' formats, e.g. "44100 Hz to 22050 Hz".
std::string format_change(std::int64_t from_word, std::int64_t to_word)
{
    frame_info from = blank_frame_info();
    frame_info to = blank_frame_info();
    if (decode_header(static_cast<std::uint32_t>(from_word), from) == 0 ||
        decode_header(static_cast<std::uint32_t>(to_word), to) == 0) {
        return "the format changes between frames";
    }
    std::string changes;
    const auto add = [&](const std::string& a, const std::string& b) {
        if (a != b) {
            changes += (changes.empty() ? "" : ", ") + a + " to " + b;
        }
    };
    add(version_words(from), version_words(to));
    add(layer_words(from), layer_words(to));
    add(num(from.sample_freq) + " Hz", num(to.sample_freq) + " Hz");
    add(channel_words(from), channel_words(to));
    return changes.empty() ? "the format changes between frames" : "the format changes between frames (" + changes + ")";
}

std::string no_audio(const stream_clues& clues)
{
    if (is_apple_double(clues.file_label, clues.first_bytes)) {
        return "not audio: a macOS metadata file";
    }
    std::string looks;
    if (clues.id3v2_end > 0 && clues.stream_length < clues.id3v2_end) {
        // The ID3v2 size finding says where the file ends; this adds what that means.
        return "no MPEG audio";
    }
    if (clues.id3v2_end > 0) {
        // What follows the tag, as far as the last bytes reach.
        const std::int64_t after = clues.stream_length - clues.id3v2_end;
        const std::size_t seen = std::min(clues.last_bytes.size(), static_cast<std::size_t>(after));
        looks = what_it_looks_like(clues.last_bytes.last(seen), after);
        if (looks == "an empty file" || looks == "only zero bytes" || after <= 0) {
            looks = "only an ID3v2 tag";
        }
    } else {
        looks = what_it_looks_like(clues.last_bytes, clues.stream_length);
    }
    return looks.empty() ? "no MPEG audio" : "no MPEG audio (" + looks + ")";
}

std::string cut_last_frame(const problem& p, const stream_clues& clues)
{
    const std::int64_t missing = p.numbers[0] - p.offset;
    const std::int64_t into = clues.last_frame_length - missing;
    if (clues.last_frame_length > 0 && into > 0) {
        return "ends " + count_of(into, "byte", "bytes") + " into its last frame";
    }
    return "its last frame is cut short (" + count_of(missing, "byte", "bytes") + " missing)";
}

// One step of global gain is 1.5 dB.
std::string decibels(std::int64_t steps)
{
    const std::int64_t tenths = steps * 15;
    const std::int64_t size = tenths < 0 ? -tenths : tenths;
    return std::string(tenths < 0 ? "-" : tenths > 0 ? "+" : "") + num(size / 10) + "." + num(size % 10) + " dB";
}

std::string gain_words(std::int64_t left, std::int64_t right)
{
    const std::string tail = " after encoding; the audio is otherwise what the encoder wrote";
    if (left == right) {
        return "the gain was changed by " + count_of(left, "step", "steps") + " (" + decibels(left) + ")" + tail;
    }
    return "the gain was changed by " + count_of(left, "step", "steps") + " (" + decibels(left) + ") on the left and " +
           count_of(right, "step", "steps") + " (" + decibels(right) + ") on the right" + tail;
}

// A change made and undone (or changed again) by mp3gain: the gains the first
// change held at the top (or bottom) of their range, the second moved.
std::string gain_twice_words(std::int64_t left, std::int64_t right, std::int64_t held)
{
    std::string words = "the gain was changed more than once after encoding";
    if (left != 0 || right != 0) {
        words += left == right ? ", by " + count_of(left, "step", "steps") + " (" + decibels(left) + ") in all"
                               : ", by " + count_of(left, "step", "steps") + " (" + decibels(left) + ") on the left and " +
                                     count_of(right, "step", "steps") + " (" + decibels(right) + ") on the right in all";
    } else {
        words += ", and back";
    }
    const std::int64_t size = held < 0 ? -held : held;
    return words + "; some short stretches, held at the limit of the gain by one change, are " +
           count_of(size, "step", "steps") + " (" + decibels(held) + ") " + (held < 0 ? "quieter" : "louder") +
           " than the encoder wrote them; the rest of the audio is what it wrote";
}

bool contains_folded(std::string_view text, std::string_view word)
{
    const auto hit = std::search(text.begin(), text.end(), word.begin(), word.end(), [](char a, char b) {
        return std::tolower(static_cast<unsigned char>(a)) == std::tolower(static_cast<unsigned char>(b));
    });
    return hit != text.end();
}

}  // namespace

bool is_apple_double(std::string_view file_label, std::span<const std::uint8_t> first_bytes)
{
    const std::size_t slash = file_label.rfind('/');
    const std::string_view name = slash == std::string_view::npos ? file_label : file_label.substr(slash + 1);
    return name.starts_with("._") && first_bytes.size() >= 4 && first_bytes[0] == 0x00 && first_bytes[1] == 0x05 &&
           first_bytes[2] == 0x16 && first_bytes[3] == 0x07;
}

std::string what_it_looks_like(std::span<const std::uint8_t> bytes, std::int64_t stream_length)
{
    if (stream_length == 0) {
        return "an empty file";
    }
    if (bytes.empty()) {
        return "";
    }
    std::size_t zeros = 0;
    std::size_t texty = 0;
    for (const std::uint8_t b : bytes) {
        zeros += b == 0 ? 1 : 0;
        // Printable ASCII, white space, and the bytes of UTF-8 letters.
        texty += (b >= 0x20 && b < 0x7F) || b == '\n' || b == '\r' || b == '\t' || b >= 0x80 ? 1 : 0;
    }
    if (zeros == bytes.size()) {
        // Only what was seen is known: the bytes before it may be anything.
        return static_cast<std::int64_t>(bytes.size()) == stream_length ? "only zero bytes" : "zero bytes at its end";
    }
    // Text is nearly all printable; a few stray bytes are allowed for odd encodings.
    if (texty * 100 < bytes.size() * 97) {
        return "";
    }
    const std::string_view text(reinterpret_cast<const char*>(bytes.data()), bytes.size());
    if (contains_folded(text, "</html") || contains_folded(text, "<html") || contains_folded(text, "<!doctype html") ||
        contains_folded(text, "</body")) {
        return "an HTML page?";
    }
    return "a text file?";
}

std::string date_words(std::int64_t seconds)
{
    const auto t = static_cast<std::time_t>(seconds);
    std::tm local{};
    char text[32] = "an unknown date";
    if (localtime_r(&t, &local) != nullptr) {
        std::strftime(text, sizeof text, "%Y-%m-%d", &local);
    }
    return text;
}

std::int64_t plain_offset(const problem& p)
{
    switch (p.kind) {
    // The scanner notes these where it stands, just past the four header bytes.
    case problem_kind::frame_not_found:
    case problem_kind::header_rejected:
    case problem_kind::first_frame_late:
        return std::max<std::int64_t>(p.offset - 4, 0);
    default:
        return p.offset;
    }
}

std::string play_time_words(double seconds)
{
    const auto whole = static_cast<std::int64_t>(std::max(seconds, 0.0));
    char text[48];
    if (whole >= 3600) {
        std::snprintf(text, sizeof text, "%lld:%02lld:%02lld", static_cast<long long>(whole / 3600),
                      static_cast<long long>(whole / 60 % 60), static_cast<long long>(whole % 60));
    } else {
        std::snprintf(text, sizeof text, "%lld:%02lld", static_cast<long long>(whole / 60),
                      static_cast<long long>(whole % 60));
    }
    return text;
}

std::string shortfall_words(double kept_seconds, double whole_seconds, bool estimated)
{
    if (whole_seconds <= 0) {
        return play_time_words(kept_seconds) + " kept, the rest is lost";
    }
    std::string kept = play_time_words(kept_seconds);
    std::string whole = play_time_words(whole_seconds);
    // Where both read the same to the second, or the whole is short, tenths
    // or hundredths tell them apart.
    for (const int digits : {1, 2}) {
        if (kept != whole && (digits > 1 || whole_seconds >= 10)) {
            break;
        }
        const auto fraction = [digits](double s) {
            const int scale = digits == 1 ? 10 : 100;
            char t[16];
            std::snprintf(t, sizeof t, ".%0*d", digits, static_cast<int>(s * scale) % scale);
            return std::string(t);
        };
        kept = play_time_words(kept_seconds) + fraction(kept_seconds);
        whole = play_time_words(whole_seconds) + fraction(whole_seconds);
    }
    return kept + " of " + (estimated ? "about " : "") + whole;
}

namespace {

// The music the LAME tag declares, as play time: the frames found play
// clues.play_seconds over their bytes, and the rest is taken to play alike.
std::string music_missing(const problem& p, const stream_clues& clues)
{
    const std::int64_t found = p.numbers[1] - p.offset;
    const std::int64_t declared = p.numbers[0] - p.offset;
    if (clues.play_seconds <= 0 || found <= 0 || declared <= found) {
        return "";
    }
    const double whole = clues.play_seconds * static_cast<double>(declared) / static_cast<double>(found);
    const std::string words = shortfall_words(clues.play_seconds, whole, clues.bit_rate_varies);
    if (words.find(" of ") == std::string::npos || play_time_words(clues.play_seconds) == play_time_words(whole)) {
        if (static_cast<std::int64_t>(clues.play_seconds * 100) == static_cast<std::int64_t>(whole * 100)) {
            return "";  // too little missing to say in play time
        }
    }
    return "incomplete: " + words + " (";
}

}  // namespace

std::string plain_words(const problem& p, const stream_clues& clues)
{
    const std::int64_t first = p.numbers[0];
    const std::int64_t second = p.numbers[1];
    // No default: a kind added without words is a compiler warning here, and the
    // test over every kind fails.
    switch (p.kind) {
    case problem_kind::frame_not_found: return "a frame out of place";
    case problem_kind::first_frame_late:
        return "the first frame comes after " + count_of(std::max<std::int64_t>(p.offset - 4, 0), "byte", "bytes");
    case problem_kind::header_rejected: return "a damaged frame header";
    case problem_kind::last_frame_cut: return cut_last_frame(p, clues);
    case problem_kind::frame_read_error:
        return "a frame could not be read whole (" + num(second) + " of " + count_of(first, "byte", "bytes") + ")";
    case problem_kind::id3v2_tag: return "an ID3v2 tag (" + count_of(first, "byte", "bytes") + ")";
    case problem_kind::short_run:
        return "a run of " + count_of(first, "good frame", "good frames") + ", fewer than the " + num(second) +
               " asked for";
    case problem_kind::read_error: return std::string("read error: ") + std::strerror(static_cast<int>(first));
    case problem_kind::frame_crc_mismatch: return "a frame's CRC does not match its contents";
    case problem_kind::reserved_emphasis: return "a frame header with the reserved emphasis value";
    case problem_kind::no_frames: return no_audio(clues);
    case problem_kind::leading_junk: return "junk before the first frame (" + count_of(first, "byte", "bytes") + ")";
    case problem_kind::trailing_junk: return "junk after the last frame (" + count_of(first, "byte", "bytes") + ")";
    case problem_kind::last_frame_cut_by_tag:
        return "its last frame is cut short by a tag (" + count_of(first - second, "byte", "bytes") + " missing)";
    case problem_kind::xing_frame_count: return counts_differ("Xing", first, second, false);
    case problem_kind::xing_byte_count: return counts_differ("Xing", first, second, true);
    case problem_kind::vbri_frame_count: return counts_differ("VBRI", first, second, false);
    case problem_kind::vbri_byte_count: return counts_differ("VBRI", first, second, true);
    case problem_kind::lame_tag_crc: return "the LAME tag is damaged (its CRC does not match)";
    case problem_kind::music_crc_mismatch:
        return "the audio is not what the encoder wrote (its music CRC does not match)";
    case problem_kind::music_length:
        if (const std::string incomplete = music_missing(p, clues); !incomplete.empty()) {
            return incomplete + "ends " + count_of(first - second, "byte", "bytes") +
                   " before the music the LAME tag declares)";
        }
        return "ends " + count_of(first - second, "byte", "bytes") + " before the music the LAME tag declares";
    case problem_kind::format_switch: return format_change(first, second);
    case problem_kind::id3v2_size:
        return second > 0 ? "an ID3v2 tag's size runs " + count_of(second, "byte", "bytes") + " over the audio"
                          : "the file ends inside its ID3v2 tag, " + count_of(first - clues.stream_length, "byte", "bytes") +
                                " before the tag's size says it ends";
    case problem_kind::vbr_without_header:
        return "the bit rate varies (" + num(first) + " to " + num(second) +
               " kbit/s) with no Xing or VBRI header, so players may show a wrong length";
    case problem_kind::joined_streams: {
        // The second number is the tag's format, as the stream's map numbers them.
        static constexpr std::string_view tag_names[] = {"an ID3v2 tag", "an ID3v1 tag", "an APEv2 tag",
                                                         "a Lyrics3 tag"};
        const std::string_view tag = second >= 0 && second < 4 ? tag_names[second] : tag_names[0];
        return "two files joined (" + std::string(tag) + " of " + count_of(first, "byte", "bytes") +
               " between runs of frames)";
    }
    case problem_kind::free_format: return "free-format frames, whose lengths go unchecked";
    case problem_kind::id3v2_size_short: return "an ID3v2 tag's size stops inside the tag";
    case problem_kind::apev2_footer: return "an APEv2 tag's footer is damaged";
    case problem_kind::music_ends_early:
        return "frames go on " + count_of(second - first, "byte", "bytes") + " past the music the LAME tag declares";
    case problem_kind::gain_changed: return gain_words(first, second);
    case problem_kind::gain_changed_twice: return gain_twice_words(first, second, p.numbers[2]);
    case problem_kind::lame_tag_edited:
        return "the LAME tag was edited after encoding; the audio is still what the encoder wrote";
    case problem_kind::lame_tag_rewritten:
        return "the LAME tag was rewritten after encoding (a part split off, or a header rebuilt by a tool); its "
               "frame counts agree with the file, its music CRC no longer applies";
    case problem_kind::mono_stereo_switch: return "the stream switches between mono and two channels";
    case problem_kind::audio_changed:
        return "the audio changed since " + date_words(first) +
               " while no program wrote the file: restore it from a backup";
    case problem_kind::audio_rewritten:
        return "a program rewrote the audio since " + date_words(first) + " (re-encoded, gain applied or repaired)";
    case problem_kind::file_missing: return "missing since " + date_words(first);
    }
    return "a problem of an unknown kind";
}

std::string plain_words_many(problem_kind kind, std::int64_t count)
{
    const std::string n = num(count);
    switch (kind) {
    case problem_kind::frame_not_found: return n + " frames out of place";
    case problem_kind::header_rejected: return n + " damaged frame headers";
    case problem_kind::frame_crc_mismatch: return n + " frames whose CRC does not match their contents";
    case problem_kind::reserved_emphasis: return n + " frame headers with the reserved emphasis value";
    case problem_kind::short_run: return n + " runs of good frames shorter than asked for";
    case problem_kind::format_switch: return "the format changes " + n + " times between frames";
    case problem_kind::frame_read_error: return n + " frames that could not be read whole";
    case problem_kind::joined_streams: return n + " joins of two files (tags between runs of frames)";
    default: break;
    }
    return "";
}

}  // namespace framelint
