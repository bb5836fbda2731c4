#include "report/person_story.hpp"

#include <algorithm>
#include <array>
#include <cstring>
#include <optional>

#include "mpeg/frame_info.hpp"
#include "report/person_report.hpp"
#include "report/play_clock.hpp"

namespace framelint {
namespace {

std::string num(std::int64_t v) { return std::to_string(v); }

// The damage of one stream, by kind: how often, and the first of each.
struct damage_found {
    std::array<std::int64_t, std::size(problem_kinds)> count{};
    std::array<const problem*, std::size(problem_kinds)> first{};

    explicit damage_found(const problem_list& problems)
    {
        for (const problem& p : problems.kept) {
            if (!p.bad_frame) {
                continue;
            }
            const auto k = static_cast<std::size_t>(p.kind);
            if (count[k]++ == 0) {
                first[k] = &p;
            }
        }
    }
    std::int64_t n(problem_kind k) const { return count[static_cast<std::size_t>(k)]; }
    bool has(problem_kind k) const { return n(k) > 0; }
    const problem* of(problem_kind k) const { return first[static_cast<std::size_t>(k)]; }
};

// Bytes between two runs of frames that are no tag: where audio was damaged,
// lost, or where junk got in.
struct gap {
    std::int64_t begin = 0;
    std::int64_t end = 0;
    std::int64_t bytes = 0;
};

std::vector<gap> gaps_of(const stream_layout& layout)
{
    std::vector<gap> gaps;
    for (std::size_t i = 1; i < layout.runs.size(); ++i) {
        gap g{layout.runs[i - 1].bytes.end, layout.runs[i].bytes.begin, 0};
        g.bytes = g.end - g.begin;
        for (const tag_range& t : layout.tags) {
            if (t.place == tag_place::inner && t.bytes.begin >= g.begin && t.bytes.end <= g.end) {
                g.bytes -= t.bytes.size();
            }
        }
        if (g.bytes > 0) {
            gaps.push_back(g);
        }
    }
    return gaps;
}

// Everything there is to say of a file without audio.
std::string no_audio_words(const stream_clues& clues)
{
    if (is_apple_double(clues.file_label, clues.first_bytes)) {
        return "not audio: a macOS metadata file";
    }
    if (clues.id3v2_end > 0 && clues.stream_length < clues.id3v2_end) {
        return "no audio in it: the file is cut off inside the tag at its start (" +
               size_words(clues.id3v2_end - clues.stream_length) + " short)";
    }
    if (clues.id3v2_end > 0) {
        const std::int64_t after = clues.stream_length - clues.id3v2_end;
        if (after <= 0) {
            return "no audio in it: only a tag (" + size_words(clues.stream_length) + ")";
        }
        const std::size_t seen = std::min(clues.last_bytes.size(), static_cast<std::size_t>(after));
        const std::string looks = what_it_looks_like(clues.last_bytes.last(seen), after);
        if (looks == "only zero bytes") {
            return "no audio in it: a tag and then " + size_words(after) + " of zero bytes";
        }
        if (looks == "zero bytes at its end") {
            return "no audio in it: a tag and then " + size_words(after) + " of something else, ending in zero bytes";
        }
        return "no audio in it: a tag and then " + size_words(after) + " of something else";
    }
    const std::string looks = what_it_looks_like(clues.last_bytes, clues.stream_length);
    if (looks == "an empty file") {
        return "an empty file";
    }
    if (looks == "only zero bytes") {
        return "no audio in it: " + size_words(clues.stream_length) + " of zero bytes";
    }
    if (looks == "an HTML page?") {
        return "not an MP3: an HTML page (" + size_words(clues.stream_length) + ")";
    }
    if (looks == "a text file?") {
        return "not an MP3: a text file (" + size_words(clues.stream_length) + ")";
    }
    if (looks == "zero bytes at its end") {
        return "not an MP3: no audio in its " + size_words(clues.stream_length) + ", which end in zero bytes";
    }
    return "not an MP3: no audio in its " + size_words(clues.stream_length);
}

// A length: "3:12", or "2.4 s" under a minute.
std::string length_words(double seconds) { return seconds >= 60 ? clock_words(seconds) : duration_words(seconds); }

// "in 3 places (the first at 1:05)", or "at 1:05" for one place.
std::string places_words(std::int64_t places, const std::string& first_at)
{
    if (places == 1) {
        return first_at.empty() ? "" : " at " + first_at;
    }
    return " in " + num(places) + " places" + (first_at.empty() ? "" : " (the first at " + first_at + ")");
}

// What changed in the audio's format, in words a listener knows.
std::string format_change_words(std::int64_t from_word, std::int64_t to_word)
{
    frame_info from = blank_frame_info();
    frame_info to = blank_frame_info();
    std::string change;
    if (decode_header(static_cast<std::uint32_t>(from_word), from) != 0 &&
        decode_header(static_cast<std::uint32_t>(to_word), to) != 0) {
        if (from.sample_freq != to.sample_freq) {
            change = num(from.sample_freq) + " Hz to " + num(to.sample_freq) + " Hz";
        }
        if (from.single_channel != to.single_channel) {
            change += std::string(change.empty() ? "" : ", ") + (from.single_channel != 0 ? "mono to stereo" : "stereo to mono");
        }
    }
    return change.empty() ? "" : " (" + change + ")";
}

class storyteller {
public:
    storyteller(const problem_list& problems, const stream_layout* layout, const stream_clues& clues)
        : found_(problems), clock_(clock_of(layout)), clues_(clues)
    {
        if (clock_.running()) {
            gaps_ = gaps_of(*layout);
        }
    }

    person_story tell()
    {
        if (found_.has(problem_kind::no_frames)) {
            // A Mac's metadata beside a song is nothing to restore.
            const bool metadata = is_apple_double(clues_.file_label, clues_.first_bytes);
            say(no_audio_words(clues_), metadata ? repair_outlook::none : repair_outlook::lost);
            return story_;
        }
        if (found_.has(problem_kind::read_error) || found_.has(problem_kind::frame_read_error)) {
            say("part of the file could not be read", repair_outlook::lost);
        }
        at_the_start();
        cut_off();
        holes();
        joins();
        damaged_audio();
        length_notes();
        odd_settings();
        tags_and_record();
        return story_;
    }

private:
    damage_found found_;
    play_clock clock_;
    const stream_clues& clues_;
    std::vector<gap> gaps_;
    person_story story_;
    bool cut_ = false;

    void say(std::string words, repair_outlook outlook)
    {
        story_.wrong.push_back(std::move(words));
        story_.outlook = std::max(story_.outlook, outlook);
    }

    std::string at(std::int64_t offset) const { return clock_.running() ? clock_words(clock_.seconds_at(offset)) : ""; }

    // The frames a VBR header counts that the stream does not hold (negative:
    // more than it counts), when one counted them.
    std::optional<std::int64_t> frames_missing() const
    {
        for (const problem_kind k : {problem_kind::xing_frame_count, problem_kind::vbri_frame_count}) {
            if (const problem* p = found_.of(k)) {
                return p->numbers[0] - p->numbers[1];
            }
        }
        return std::nullopt;
    }

    // The play time the stream had when it was made, when something in it says.
    std::optional<double> length_made() const
    {
        if (!clock_.running()) {
            return std::nullopt;
        }
        if (const auto missing = frames_missing(); missing && *missing > 0) {
            return clock_.seconds() + clock_.frames_seconds(*missing);
        }
        if (const problem* p = found_.of(problem_kind::music_length); p && clock_.bytes_per_second() > 0) {
            return clock_.seconds() + static_cast<double>(p->numbers[0] - p->numbers[1]) / clock_.bytes_per_second();
        }
        return std::nullopt;
    }

    void at_the_start()
    {
        if (const problem* p = found_.of(problem_kind::id3v2_size)) {
            if (p->numbers[1] > 0) {
                say("the tag at the start hides the first " + num(p->numbers[1]) + (p->numbers[1] == 1 ? " byte" : " bytes") +
                        " of audio from players",
                    repair_outlook::repairable);
            } else {
                say("the tag at the start says it runs past the end of the file", repair_outlook::lost);
            }
        }
        if (const problem* p = found_.of(problem_kind::leading_junk)) {
            say(size_words(p->numbers[0]) + " of junk before the audio", repair_outlook::repairable);
        }
        if (const problem* p = found_.of(problem_kind::first_frame_late)) {
            say("the audio begins after " + size_words(std::max<std::int64_t>(p->offset - 4, 0)) + " of junk",
                repair_outlook::repairable);
        }
        if (found_.has(problem_kind::id3v2_tag)) {
            say("a tag at the start (counted as damage by -e)", repair_outlook::none);
        }
    }

    void cut_off()
    {
        // Frames missing at the end, with junk where they were, is a cut too.
        const auto missing = frames_missing();
        cut_ = found_.has(problem_kind::last_frame_cut) ||
               (gaps_.empty() && (found_.has(problem_kind::music_length) ||
                                  (found_.has(problem_kind::trailing_junk) && missing && *missing > 0)));
        if (cut_) {
            // Only a cut last frame or junk where frames should be shows that
            // the end is what is missing; a music length longer than the
            // frames alone (a file --fix made playable) says only that audio
            // is missing, not where.
            const bool end_missing = found_.has(problem_kind::last_frame_cut) || found_.has(problem_kind::trailing_junk);
            const std::string what = end_missing ? "the end is missing" : "audio is missing";
            // With nothing but the music length to show for it (no frame count
            // out of date either), the file already plays as well as it can:
            // only another copy brings the audio back.
            const bool counts_stale = found_.has(problem_kind::xing_frame_count) ||
                                      found_.has(problem_kind::xing_byte_count) ||
                                      found_.has(problem_kind::vbri_frame_count) ||
                                      found_.has(problem_kind::vbri_byte_count);
            const repair_outlook outlook =
                end_missing || counts_stale ? repair_outlook::playable : repair_outlook::lost;
            const auto made = length_made();
            if (made && *made > clock_.seconds() + clock_.frames_seconds(1)) {
                const auto words = *made >= 60 ? clock_words : duration_words;
                say("incomplete: " + words(clock_.seconds()) + " of " + words(*made) + ", " + what,
                    outlook);
            } else if (clock_.running()) {
                say("incomplete: " + what + (end_missing ? " after " : ", with ") + length_words(clock_.seconds()) +
                        (end_missing ? "" : " there"),
                    outlook);
            } else {
                say("incomplete: " + what, outlook);
            }
        }
        if (found_.has(problem_kind::last_frame_cut_by_tag)) {
            const std::string lost = clock_.running() ? duration_words(clock_.frames_seconds(1)) + " " : "";
            say("incomplete: the last " + lost + "of audio is cut short by the tag after it", repair_outlook::playable);
        }
        if (found_.has(problem_kind::trailing_junk)) {
            say(size_words(found_.of(problem_kind::trailing_junk)->numbers[0]) + " of junk after the audio",
                repair_outlook::repairable);
        }
    }

    // Stretches inside the audio that are not audio: lost or damaged audio,
    // or junk that got in.
    void holes()
    {
        if (!clock_.running()) {
            const std::int64_t places =
                found_.n(problem_kind::frame_not_found) + found_.n(problem_kind::header_rejected);
            if (places > 0) {
                say("damaged audio" + places_words(places, ""), repair_outlook::playable);
            }
            return;
        }
        if (gaps_.empty()) {
            return;
        }
        const auto places = static_cast<std::int64_t>(gaps_.size());
        const gap& first = gaps_.front();
        const std::string first_at = clock_words(clock_.seconds_at(first.begin));
        const auto missing = frames_missing();
        // A VBR header that counts every frame the stream holds: nothing was
        // lost, the gaps hold only what got in.
        const bool nothing_lost = !cut_ && !missing && clock_.header_samples > 0;
        if (!cut_ && missing && *missing > 0) {
            const std::string lost = duration_words(clock_.frames_seconds(*missing));
            say(lost + " missing" + places_words(places, first_at), repair_outlook::playable);
        } else if (nothing_lost) {
            std::int64_t bytes = 0;
            for (const gap& g : gaps_) {
                bytes += g.bytes;
            }
            // --fix drops the frame the junk began in with the junk (it cannot
            // tell junk that was put in from junk that overwrote audio), so it
            // makes such a file playable; it cannot promise it whole.
            say(size_words(bytes) + " of junk inside the audio" + places_words(places, first_at),
                repair_outlook::playable);
        } else if (places == 1 && clock_.bytes_per_second() > 0 &&
                   static_cast<double>(first.bytes) / clock_.bytes_per_second() >= 1.0) {
            const double from = clock_.seconds_at(first.begin);
            const double to = from + static_cast<double>(first.bytes) / clock_.bytes_per_second();
            say("damaged audio at " + clock_words(from) + "\u2013" + clock_words(to), repair_outlook::playable);
        } else {
            say("damaged audio" + places_words(places, first_at), repair_outlook::playable);
        }
    }

    void joins()
    {
        if (const problem* p = found_.of(problem_kind::joined_streams)) {
            const std::int64_t n = found_.n(problem_kind::joined_streams);
            const std::string where = at(p->offset);
            say((n == 1 ? std::string("two files joined into one") : num(n + 1) + " files joined into one") +
                    (where.empty() ? "" : " (the second begins at " + where + ")"),
                repair_outlook::repairable);
        }
        if (const problem* p = found_.of(problem_kind::format_switch)) {
            const std::int64_t n = found_.n(problem_kind::format_switch);
            const std::string where = at(p->offset);
            const bool joined = found_.has(problem_kind::joined_streams);
            say((joined ? "the joined files differ in format" : "the audio changes format") +
                    format_change_words(p->numbers[0], p->numbers[1]) + places_words(n, where) +
                    (joined ? "" : ", as if two recordings were joined"),
                repair_outlook::lost);
        }
    }

    void damaged_audio()
    {
        if (const problem* p = found_.of(problem_kind::frame_crc_mismatch)) {
            say("garbled audio" + places_words(found_.n(problem_kind::frame_crc_mismatch), at(p->offset)),
                repair_outlook::lost);
        } else if (found_.has(problem_kind::music_crc_mismatch) && gaps_.empty() && !cut_ &&
                   !found_.has(problem_kind::last_frame_cut_by_tag) &&
                   !found_.has(problem_kind::frame_not_found) && !found_.has(problem_kind::header_rejected)) {
            say("garbled audio somewhere in the file: it is not what the encoder wrote",
                repair_outlook::lost);
        }
    }

    // What the file says of its own length, when it is wrong but no audio is.
    void length_notes()
    {
        if (cut_ || !gaps_.empty() || found_.has(problem_kind::joined_streams) ||
            found_.has(problem_kind::format_switch)) {
            return;  // said already, by what made them wrong
        }
        const auto missing = frames_missing();
        if (missing && *missing != 0 && clock_.running()) {
            say("players show the wrong length: " + length_words(clock_.seconds() + clock_.frames_seconds(*missing)) +
                    ", but the audio lasts " + length_words(clock_.seconds()),
                repair_outlook::repairable);
        } else if (missing && *missing != 0) {
            say("players show the wrong length", repair_outlook::repairable);
        } else if (found_.has(problem_kind::xing_byte_count) || found_.has(problem_kind::vbri_byte_count)) {
            say("players may seek to the wrong places: the file's note of its own size is out of date",
                repair_outlook::repairable);
        } else if (const problem* p = found_.of(problem_kind::music_ends_early)) {
            const double extra =
                clock_.bytes_per_second() > 0 ? static_cast<double>(p->numbers[1] - p->numbers[0]) / clock_.bytes_per_second() : 0;
            say("audio goes on " + (extra > 0 ? duration_words(extra) + " " : std::string()) +
                    "past where the encoder ended it (added later?)",
                repair_outlook::repairable);
        }
        if (found_.has(problem_kind::lame_tag_crc)) {
            say("the encoder's note in the file is damaged (the audio itself is not)",
                repair_outlook::repairable);
        }
    }

    // Tags whose own fields are wrong, and what the record of the collection
    // (--db) says of the audio.
    void tags_and_record()
    {
        if (found_.has(problem_kind::id3v2_size_short)) {
            say("the tag at the start says it is shorter than it is, so players may skip part of it",
                repair_outlook::repairable);
        }
        if (found_.has(problem_kind::apev2_footer)) {
            say("a tag at the end is damaged: its end does not match its start (the audio is not affected)",
                repair_outlook::lost);
        }
        if (const problem* p = found_.of(problem_kind::audio_changed)) {
            say(plain_words(*p, clues_), repair_outlook::lost);
        }
    }

    void odd_settings()
    {
        if (found_.has(problem_kind::reserved_emphasis)) {
            say("an invalid setting (emphasis)" + places_words(found_.n(problem_kind::reserved_emphasis), "") +
                    ", which some players refuse",
                repair_outlook::lost);
        }
        if (const problem* p = found_.of(problem_kind::short_run)) {
            say("a stretch of audio only " + num(p->numbers[0]) + " frames long between damage (-q asks for " +
                    num(p->numbers[1]) + ")",
                repair_outlook::playable);
        }
    }
};

}  // namespace

person_story tell_story(const problem_list& problems, const stream_layout* layout, const stream_clues& clues)
{
    return storyteller(problems, layout, clues).tell();
}

std::string advice_words(repair_outlook outlook)
{
    switch (outlook) {
    case repair_outlook::none: return "";
    case repair_outlook::repairable: return "--fix can repair it";
    case repair_outlook::playable: return "--fix can make it playable, replace it if you can";
    case repair_outlook::lost: return "cannot be repaired: restore or replace it";
    }
    return "";
}

}  // namespace framelint
