#include "report/person_report.hpp"

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "report/json_report.hpp"
#include "text/visible_text.hpp"
#include "report/play_clock.hpp"

namespace framelint {
namespace {

const char* verdict_word(person_verdict v)
{
    switch (v) {
    case person_verdict::clean: return "clean";
    case person_verdict::damaged: return "DAMAGED";
    case person_verdict::unreadable: return "unreadable";
    case person_verdict::repaired: return "repaired";
    case person_verdict::incomplete: return "made playable, still incomplete";
    case person_verdict::not_written: return "not written";
    case person_verdict::xing_added: return "Xing header added";
    }
    return "unreadable";
}

// " at byte 683866 (1:05)": the time where the stream's audio has begun.
std::string where(std::int64_t offset, const play_clock& clock)
{
    std::string text = " at byte " + std::to_string(offset);
    if (clock.running() && offset > clock.layout->runs.front().bytes.begin) {
        text += " (" + clock_words(clock.seconds_at(offset)) + ")";
    }
    return text;
}

// A notice in words for people; the detail of the others serves.
std::string plain_notice(const problem& p, const stream_clues& clues)
{
    switch (p.kind) {
    case problem_kind::vbr_without_header:
        return "players may show a wrong length: the bit rate varies and nothing in the file says how long it is "
               "(--fix can add that)";
    case problem_kind::free_format: return "free-format audio, which could not be checked";
    case problem_kind::lame_tag_edited:
        return "the encoder's note in the file was edited after encoding; the audio is still what the encoder wrote";
    case problem_kind::lame_tag_rewritten:
        return "the encoder's note in the file was rewritten by a tool (a part split off, or its length rebuilt); "
               "the audio's length agrees with it";
    case problem_kind::mono_stereo_switch: return "the audio switches between mono and stereo";
    default: return plain_words(p, clues);
    }
}

// The findings (or the notices) of one file, one entry per kind, in the order
// each kind was first found.
std::vector<std::string> grouped_words(const person_record& r, const person_style& style, bool notices)
{
    std::vector<std::string> words;
    if (r.problems == nullptr) {
        return words;
    }
    // Damage is what counted a bad frame; events that did not (a skipped ID3v2
    // tag, a late first frame that -c reports as junk) are no finding.
    const auto wanted = [notices](const problem& p) {
        const bool notice = info_of(p.kind).severity == problem_severity::notice && !p.bad_frame;
        return notices ? notice : p.bad_frame;
    };
    std::vector<std::int64_t> count(std::size(problem_kinds), 0);
    for (const problem& p : r.problems->kept) {
        count[static_cast<std::size_t>(p.kind)] += wanted(p) ? 1 : 0;
    }
    const play_clock clock = clock_of(r.layout);
    std::vector<bool> done(std::size(problem_kinds), false);
    for (const problem& p : r.problems->kept) {
        const auto kind = static_cast<std::size_t>(p.kind);
        if (!wanted(p) || done[kind]) {
            continue;
        }
        done[kind] = true;
        const std::int64_t n = count[kind];
        std::string text;
        if (notices && !style.offsets) {
            text = plain_notice(p, r.clues) + (n == 1 ? "" : " (" + std::to_string(n) + " times)");
        } else if (n == 1) {
            text = plain_words(p, r.clues);
            if (style.offsets) {
                text += where(plain_offset(p), clock);
            }
        } else {
            text = plain_words_many(p.kind, n);
            if (text.empty()) {
                text = plain_words(p, r.clues) + " (" + std::to_string(n) + " times)";
            }
            if (style.offsets) {
                text += " (the first" + where(plain_offset(p), clock) + ")";
            }
        }
        words.push_back(notices ? "notice: " + text : text);
    }
    return words;
}

// What --fix did, as its own line says it: "512 junk bytes removed, Xing
// header rebuilt (...) (the original is song.mp3.bak)".
std::string repairs_done(const repair_report& r)
{
    std::string text;
    for (const repair_entry& e : r.repairs) {
        text += (text.empty() ? "" : ", ") + e.text;
    }
    return text;
}

}  // namespace

// A name goes out as given, but for control bytes: a line break in a name
// would split its record in two, and an ESC or a C1 byte would act on a terminal.
std::string printable_name(std::string_view name) { return text::question_marks_for_controls(name); }

namespace {

// What --fix did, as its own line says it (see repairs_done).
std::string original_at(const repair_report& r)
{
    return r.backup.empty() ? "" : " (the original is " + printable_name(r.backup) + ")";
}

// The findings of a damaged (or clean, or unrepaired) file, and what to do.
std::vector<std::string> findings_words(const person_record& r, const person_style& style)
{
    std::vector<std::string> parts;
    repair_outlook outlook = repair_outlook::none;
    if (r.problems != nullptr) {
        person_story story = tell_story(*r.problems, r.layout, r.clues);
        parts = std::move(story.wrong);
        outlook = story.outlook;
    }
    if (style.offsets) {
        // The detail: each finding as the check names it, with where it is.
        parts = grouped_words(r, style, false);
    }
    if (r.problems != nullptr && r.problems->dropped > 0) {
        parts.push_back("and " + std::to_string(r.problems->dropped) + " more problems");
    }
    if (r.verdict == person_verdict::damaged && parts.empty()) {
        parts.push_back(style.offsets ? std::to_string(r.bad_frames) + " bad frames"
                                      : "damaged audio in " + std::to_string(r.bad_frames) +
                                                  (r.bad_frames == 1 ? " place" : " places"));
        outlook = std::max(outlook, repair_outlook::lost);
    }
    if (r.repair != nullptr && !r.repair->reason.empty()) {
        // --fix tried. Damage it was not expected to mend is told as such;
        // otherwise why it failed is news (a full disk, a tag it would lose).
        if (!style.offsets && r.repair->outcome == repair_outcome::not_repaired && outlook == repair_outlook::lost) {
            parts.push_back(advice_words(repair_outlook::lost));
        } else {
            parts.push_back("not repaired: " + r.repair->reason);
        }
    } else if (r.repair == nullptr && r.verdict == person_verdict::damaged && !advice_words(outlook).empty()) {
        parts.push_back(advice_words(outlook));
    }
    // What to do goes with what is wrong; notices come after both.
    for (std::string& notice : grouped_words(r, style, true)) {
        parts.push_back(std::move(notice));
    }
    return parts;
}

}  // namespace

repair_outlook outlook_of(const person_record& r)
{
    if (r.verdict != person_verdict::damaged || r.problems == nullptr || r.repair != nullptr) {
        return repair_outlook::none;
    }
    return tell_story(*r.problems, r.layout, r.clues).outlook;
}

std::string person_line(const person_record& r, const person_style& style, const std::vector<std::string>& extra)
{
    std::vector<std::string> parts;
    if (r.verdict == person_verdict::unreadable) {
        std::string why = std::strerror(r.error);
        if (r.error == EISDIR && !style.recursive) {
            why += " (use -r to check the files in it)";
        }
        parts.push_back(why);
    } else if (r.verdict == person_verdict::repaired && r.repair != nullptr) {
        parts.push_back(repairs_done(*r.repair) + original_at(*r.repair));
    } else if (r.verdict == person_verdict::xing_added && r.repair != nullptr) {
        if (!r.repair->backup.empty()) {
            parts.push_back("the original is " + printable_name(r.repair->backup));
        }
    } else if (r.verdict == person_verdict::incomplete && r.repair != nullptr) {
        parts.push_back(shortfall_words(r.repair->kept_seconds, r.repair->whole_seconds, r.repair->whole_estimated));
        parts.push_back("replace it if you can");
        parts.push_back(repairs_done(*r.repair) + original_at(*r.repair));
    } else if (r.verdict == person_verdict::not_written && r.repair != nullptr) {
        parts.push_back(r.repair->reason);
        std::vector<std::string> found = style.offsets || r.problems == nullptr
                                             ? grouped_words(r, style, false)
                                             : tell_story(*r.problems, r.layout, r.clues).wrong;
        for (std::string& finding : found) {
            parts.push_back(std::move(finding));
        }
    } else {
        parts = findings_words(r, style);
    }
    parts.insert(parts.end(), extra.begin(), extra.end());
    const bool repair_failed = r.repair != nullptr && !r.repair->reason.empty();
    // Audio that a program rewrote since it was recorded (--db) is worth a look
    // even in a clean file: it may not have been meant.
    bool rewritten = false;
    if (r.problems != nullptr) {
        for (const problem& p : r.problems->kept) {
            rewritten = rewritten || p.kind == problem_kind::audio_rewritten;
        }
    }
    if (r.verdict == person_verdict::clean && !style.every_file && extra.empty() && !repair_failed && !rewritten) {
        return "";
    }
    std::string line = printable_name(r.file_label) + ": " + verdict_word(r.verdict);
    for (std::size_t i = 0; i < parts.size(); ++i) {
        line += (i == 0 ? ": " : "; ") + parts[i];
    }
    line += '\n';
    return line;
}

std::string missing_line(std::string_view path, std::int64_t recorded_at)
{
    const problem gone{problem_kind::file_missing, false, 0, {recorded_at, 0, 0}};
    return printable_name(path) + ": " + plain_words(gone, stream_clues{}) + "\n";
}

std::string person_run::take_line(const person_record& r, std::int64_t bytes_read)
{
    tally.add(r.verdict, bytes_read, outlook_of(r));
    std::string line = person_line(r, style, extra);
    extra.clear();
    return line;
}

void person_tally::add(person_verdict v, std::int64_t bytes_read, repair_outlook outlook)
{
    ++files;
    repairable += outlook == repair_outlook::repairable ? 1 : 0;
    playable += outlook == repair_outlook::playable ? 1 : 0;
    bytes += bytes_read;
    switch (v) {
    case person_verdict::clean: ++clean; break;
    case person_verdict::damaged: ++damaged; break;
    case person_verdict::unreadable: ++unreadable; break;
    case person_verdict::repaired: ++repaired; break;
    case person_verdict::incomplete: ++incomplete; break;
    case person_verdict::not_written: ++not_written; break;
    case person_verdict::xing_added: ++xing_added; break;
    }
}

void person_tally::merge(const person_tally& other)
{
    files += other.files;
    clean += other.clean;
    damaged += other.damaged;
    unreadable += other.unreadable;
    repaired += other.repaired;
    incomplete += other.incomplete;
    not_written += other.not_written;
    xing_added += other.xing_added;
    missing += other.missing;
    repairable += other.repairable;
    playable += other.playable;
    bytes += other.bytes;
    metadata_skipped += other.metadata_skipped;
}

std::string size_words(std::int64_t bytes)
{
    if (bytes < 1000) {
        return std::to_string(bytes) + (bytes == 1 ? " byte" : " bytes");
    }
    static constexpr const char* units[] = {"kB", "MB", "GB", "TB", "PB", "EB"};
    double value = static_cast<double>(bytes) / 1000.0;
    std::size_t unit = 0;
    // 999.95 kB would print as 1000.0 kB: it is 1.0 MB.
    while (value >= 999.95 && unit + 1 < std::size(units)) {
        value /= 1000.0;
        ++unit;
    }
    char text[32];
    std::snprintf(text, sizeof text, "%.1f %s", value, units[unit]);
    return text;
}

// " (9 can be repaired, 2 can be made playable)": what --fix would do for the damaged
// files; nothing when it would do nothing.
std::string what_fix_can_do(const person_tally& t)
{
    std::string text;
    if (t.repairable > 0) {
        text = std::to_string(t.repairable) + " can be repaired";
    }
    if (t.playable > 0) {
        text += (text.empty() ? "" : ", ") + std::to_string(t.playable) + " can be made playable";
    }
    return text.empty() ? "" : " (" + text + ")";
}

std::string tally_line(const person_tally& t, double seconds, bool repairs)
{
    char time[32];
    std::snprintf(time, sizeof time, "%.1f s", seconds);
    return std::to_string(t.files) + (t.files == 1 ? " file: " : " files: ") + std::to_string(t.clean) + " clean, " +
           (repairs ? std::to_string(t.repaired) + " repaired, " : "") +
           (t.incomplete > 0 ? std::to_string(t.incomplete) + " playable but incomplete, " : "") +
           (t.xing_added > 0 ? std::to_string(t.xing_added) + " given a Xing header, " : "") +
           std::to_string(t.damaged) + " damaged" + what_fix_can_do(t) + ", " + std::to_string(t.unreadable) +
           " unreadable" + (t.missing > 0 ? ", " + std::to_string(t.missing) + " missing" : "") +
           (t.not_written > 0 ? ", " + std::to_string(t.not_written) + " not written" : "") +
           (t.metadata_skipped > 0 ? ", " + std::to_string(t.metadata_skipped) +
                                         (t.metadata_skipped == 1 ? " macOS metadata file" : " macOS metadata files") +
                                         " skipped"
                                   : std::string()) +
           " (" +
           size_words(t.bytes) + " in " + time + ")\n";
}

}  // namespace framelint
