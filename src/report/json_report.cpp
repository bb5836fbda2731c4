#include "report/json_report.hpp"

#include <string>

#include "report/json_writer.hpp"
#include "report/play_clock.hpp"

namespace framelint {
namespace {

const char* version_name(const frame_info& f)
{
    return f.mpv_1 != 0 ? "1" : f.mpv_2 != 0 ? "2" : f.mpv_25 != 0 ? "2.5" : "reserved";
}

int layer_number(const frame_info& f) { return f.l1 != 0 ? 1 : f.l2 != 0 ? 2 : f.l3 != 0 ? 3 : 0; }

const char* channel_mode_name(const frame_info& f)
{
    return f.stereo != 0         ? "stereo"
           : f.joint_stereo != 0 ? "joint_stereo"
           : f.dual_stereo != 0  ? "dual_channel"
                                 : "single_channel";
}

const char* emphasis_name(const frame_info& f)
{
    return f.emph_none != 0   ? "none"
           : f.emph_5015 != 0 ? "50/15"
           : f.emph_ccit != 0 ? "ccitt_j17"
                              : "reserved";
}

void write_header(json::writer& w, const frame_info& f)
{
    w.key("header");
    w.begin_object();
    w.key("version").text(version_name(f));
    w.key("layer").integer(layer_number(f));
    w.key("bit_rate").integer(f.bit_rate);
    w.key("sample_rate").integer(f.sample_freq);
    w.key("samples_per_frame").integer(f.samples_per_frame);
    w.key("channel_mode").text(channel_mode_name(f));
    w.key("mode_extension").integer((f.int_header >> 4) & 3u);
    w.key("frame_length").integer(f.frame_length);
    w.key("protected").boolean(f.prot_bit != 0);
    w.key("padding").boolean(f.pad_bit != 0);
    w.key("private").boolean(f.priv_bit != 0);
    w.key("copyright").boolean(f.copyright != 0);
    w.key("original").boolean(f.original != 0);
    w.key("emphasis").text(emphasis_name(f));
    w.key("word").integer(f.int_header);
    w.end_object();
}

void write_id3v1(json::writer& w, const id3v1_tag& tag)
{
    w.key("id3v1");
    if (tag.has_tag == 0) {
        w.null();
        return;
    }
    w.begin_object();
    // Each text field of the record ends in a NUL.
    w.key("title").text(tag.title);
    w.key("artist").text(tag.artist);
    w.key("album").text(tag.album);
    w.key("year").text(tag.year);
    w.key("comment").text(tag.comment);
    w.key("genre").integer(tag.genre);
    w.key("track");
    if (tag.is_v11 != 0) {
        w.integer(tag.track);
    } else {
        w.null();
    }
    w.end_object();
}

void write_problems(json::writer& w, const problem_list& problems, bool with_severity, const stream_layout* layout)
{
    const play_clock clock = clock_of(layout);
    w.key("problems");
    w.begin_array();
    for (const problem& p : problems.kept) {
        const problem_kind_info& info = info_of(p.kind);
        w.begin_object();
        w.key("kind").text(info.name);
        w.key("offset").integer(p.offset);
        w.key("bad_frame").boolean(p.bad_frame);
        if (with_severity) {
            w.key("severity").text(severity_name(severity_of(p)));
        }
        if (clock.running() && p.offset > clock.layout->runs.front().bytes.begin) {
            w.key("at_seconds").number(clock.seconds_at(p.offset));
        }
        for (std::size_t i = 0; i < info.numbers.size() && !info.numbers[i].empty(); ++i) {
            w.key(info.numbers[i]).integer(p.numbers[i]);
        }
        w.end_object();
    }
    w.end_array();
    w.key("problems_omitted").integer(problems.dropped);
}

void write_repair(json::writer& w, const repair_report& r)
{
    w.key("repair").text(outcome_name(r.outcome));
    if (!r.reason.empty()) {
        w.key("repair_reason").text(r.reason);
    }
    if (!r.backup.empty()) {
        w.key("backup").text(r.backup);
    }
    if (r.outcome == repair_outcome::playable_incomplete) {
        w.key("play_seconds_kept").number(r.kept_seconds);
        if (r.whole_seconds > 0) {
            w.key("play_seconds_whole").number(r.whole_seconds);
            w.key("play_seconds_whole_estimated").boolean(r.whole_estimated);
        }
    }
    w.key("repairs");
    w.begin_array();
    for (const repair_entry& e : r.repairs) {
        w.begin_object();
        w.key("action").text(e.name);
        w.key("count").integer(e.count);
        w.key("text").text(e.text);
        w.end_object();
    }
    w.end_array();
}

// The line for one stream, with its line end.
std::string json_report_line(const stream_facts& facts, std::string_view file_label)
{
    const summary_facts& f = facts.summary;
    std::string line;
    json::writer w(line);
    w.begin_object();
    w.key("file").text(file_label);
    w.key("good_frames").integer(f.good_frames);
    w.key("bad_frames").integer(f.bad_frames);
    w.key("bytes_read").integer(f.bytes_read);
    if (bit_rate_varied(f)) {
        w.key("vbr_high").integer(f.bitrate_high);
        w.key("vbr_low").integer(f.bitrate_low);
        w.key("vbr_average").integer(average_bit_rate(f));
    }
    if (has_last_header(f)) {
        w.key("song_length").text(song_length_text(f.play_seconds));
        w.key("play_seconds").number(f.play_seconds);
        write_header(w, *f.last_good_frame);
    }
    if (f.integrity) {
        w.key("integrity").text(verdict_label(*f.integrity));  // -c: INTEGRITY
        // The hash of the audio frames alone; null when the stream was not read
        // to its end or held no frame.
        w.key("audio_hash");
        if (facts.audio_hash) {
            w.text(hex_of(*facts.audio_hash));
        } else {
            w.null();
        }
    }
    if (facts.id3v1 != nullptr) {
        write_id3v1(w, *facts.id3v1);
    }
    write_problems(w, facts.problems, facts.with_severity, facts.layout);
    if (facts.repair != nullptr) {
        write_repair(w, *facts.repair);
    }
    w.end_object();
    line += '\n';
    return line;
}

}  // namespace

void report_json(const stream_facts& facts, std::string_view file_label, io::output& out)
{
    const std::string line = json_report_line(facts, file_label);
    out.write(line.data(), line.size());
}

}  // namespace framelint
