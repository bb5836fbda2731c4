#include "repair/repair_plan.hpp"

#include <algorithm>
#include <array>
#include <cstring>
#include <span>

#include "mpeg/crc16.hpp"
#include "mpeg/frame_info.hpp"
#include "mpeg/vbr_tag.hpp"
#include "mpeg/header_word.hpp"

namespace framelint {
namespace {

constexpr std::size_t longest_frame = 2881;
// How far past a broken frame's start the plan looks for frames hidden in it.
constexpr std::int64_t recover_reach = 16 * 1024;
constexpr std::size_t id3v2_header_size = 10;
constexpr std::size_t xing_toc_size = 100;
// "Xing", flags, frames, bytes, table of contents, quality.
constexpr std::size_t xing_fields_size = 4 + 4 + 4 + 4 + xing_toc_size + 4;
constexpr std::size_t lame_music_length_at = 28;  // in the LAME tag, from its first byte
constexpr std::size_t lame_music_crc_at = 32;
constexpr std::size_t lame_tag_crc_at = 34;
constexpr std::size_t ffmpeg_tag_crc_span = 190;

void put_big_endian32(std::uint8_t* p, std::uint64_t value)
{
    const auto v = static_cast<std::uint32_t>(std::min<std::uint64_t>(value, UINT32_MAX));
    p[0] = static_cast<std::uint8_t>(v >> 24);
    p[1] = static_cast<std::uint8_t>(v >> 16);
    p[2] = static_cast<std::uint8_t>(v >> 8);
    p[3] = static_cast<std::uint8_t>(v);
}

void put_big_endian16(std::uint8_t* p, std::uint16_t v)
{
    p[0] = static_cast<std::uint8_t>(v >> 8);
    p[1] = static_cast<std::uint8_t>(v);
}

std::uint32_t word_of(std::span<const std::uint8_t> bytes) { return header_word::at(bytes).word; }

// Up to n bytes of the stream from at, out of the excerpts read for the plan
// (which hold every stretch it asks for, as far as the stream goes).
class excerpt_reader {
public:
    explicit excerpt_reader(const stream_excerpts& excerpts) : excerpts_(excerpts) {}

    std::vector<std::uint8_t> operator()(std::int64_t at, std::size_t n) const
    {
        const auto after = std::upper_bound(excerpts_.begin(), excerpts_.end(), at,
                                            [](std::int64_t a, const stream_excerpt& e) { return a < e.at; });
        if (after == excerpts_.begin()) {
            return {};
        }
        const stream_excerpt& e = *std::prev(after);
        const std::int64_t skip = at - e.at;
        if (skip >= static_cast<std::int64_t>(e.bytes.size())) {
            return {};
        }
        const auto from = e.bytes.begin() + static_cast<std::ptrdiff_t>(skip);
        const auto take = std::min<std::size_t>(n, static_cast<std::size_t>(e.bytes.end() - from));
        return std::vector<std::uint8_t>(from, from + static_cast<std::ptrdiff_t>(take));
    }

private:
    const stream_excerpts& excerpts_;
};

// A frame's bytes, whole, when a valid header begins at `at`.
struct frame_bytes {
    frame_info info = blank_frame_info();
    std::vector<std::uint8_t> bytes;
};

std::optional<frame_bytes> read_frame(const excerpt_reader& read, std::int64_t at)
{
    frame_bytes f;
    f.bytes = read(at, longest_frame);
    if (decode_header(word_of(f.bytes), f.info) == 0 ||
        f.bytes.size() < static_cast<std::size_t>(f.info.frame_length)) {
        return std::nullopt;
    }
    f.bytes.resize(static_cast<std::size_t>(f.info.frame_length));
    return f;
}

// Where the "Xing"/"Info" text lies in a Layer III frame.
std::size_t xing_offset(std::uint32_t word) { return header_word{word}.vbr_header_at(); }

// Where the audio of the repaired stream lies, run by run: enough to place a
// moment of play time in the stream's bytes.
struct audio_stretch {
    std::int64_t bytes = 0;
    std::int64_t samples = 0;
};

// The Xing table of contents: for each percent of the play time, where in the
// header frame's count of bytes that moment begins, in 256ths. Each run of
// frames is taken to spread its bytes evenly over its play time, which is exact
// for a constant bit rate and close for the runs of a variable one.
std::array<std::uint8_t, xing_toc_size> table_of_contents(std::int64_t header_frame_bytes,
                                                          const std::vector<audio_stretch>& stretches)
{
    std::int64_t total_bytes = header_frame_bytes;
    std::int64_t total_samples = 0;
    for (const audio_stretch& s : stretches) {
        total_bytes += s.bytes;
        total_samples += s.samples;
    }
    std::array<std::uint8_t, xing_toc_size> toc{};
    if (total_samples <= 0 || total_bytes <= 0) {
        return toc;
    }
    for (std::size_t i = 0; i < xing_toc_size; ++i) {
        const double moment = static_cast<double>(total_samples) * static_cast<double>(i) / 100.0;
        double samples_before = 0;
        double at = static_cast<double>(header_frame_bytes);
        for (const audio_stretch& s : stretches) {
            const auto samples = static_cast<double>(s.samples);
            if (moment < samples_before + samples) {
                at += (moment - samples_before) / samples * static_cast<double>(s.bytes);
                break;
            }
            samples_before += samples;
            at += static_cast<double>(s.bytes);
        }
        const double share = at * 256.0 / static_cast<double>(total_bytes);
        toc[i] = static_cast<std::uint8_t>(std::clamp(share, 0.0, 255.0));
    }
    return toc;
}

// A LAME tag's CRC, by the rule of the encoder its string names (see
// find_lame_tag): LAME covers the frame up to the field, ffmpeg 190 bytes with
// the field as 0.
std::uint16_t lame_tag_crc(const std::vector<std::uint8_t>& frame, std::size_t tag_at)
{
    const std::size_t field = tag_at + lame_tag_crc_at;
    if (frame[tag_at] == 'L' && frame[tag_at + 1] == 'a') {
        std::array<std::uint8_t, ffmpeg_tag_crc_span> span{};
        std::memcpy(span.data(), frame.data(), std::min(frame.size(), span.size()));
        if (field + 2 <= span.size()) {
            span[field] = 0;
            span[field + 1] = 0;
        }
        return crc16_arc(span.data(), span.size());
    }
    return crc16_arc(frame.data(), field);
}

// A silent Layer III frame holding a Xing header with every field, shaped like
// the first audio frame (version, sample rate, channels) at the lowest bit rate
// that has room, so that players read it as the stream's header frame.
std::optional<std::vector<std::uint8_t>> new_xing_frame(std::uint32_t audio_word, std::int64_t frames,
                                                        std::int64_t bytes_after,
                                                        const std::vector<audio_stretch>& stretches)
{
    // No CRC word, no padding, bit rate chosen below.
    const header_word base = header_word{audio_word}.plain_at_rate(0);
    const std::size_t needed = base.vbr_header_at() + xing_fields_size;
    for (unsigned index = 1; index < 15; ++index) {
        frame_info info = blank_frame_info();
        const std::uint32_t word = base.plain_at_rate(index).word;
        if (decode_header(word, info) == 0 || static_cast<std::size_t>(info.frame_length) < needed) {
            continue;
        }
        std::vector<std::uint8_t> frame(static_cast<std::size_t>(info.frame_length), 0);
        put_big_endian32(frame.data(), word);
        std::uint8_t* p = frame.data() + xing_offset(word);
        std::memcpy(p, "Xing", 4);
        put_big_endian32(p + 4, 0x0F);  // frames, bytes, table of contents, quality
        put_big_endian32(p + 8, static_cast<std::uint64_t>(frames));
        const std::int64_t total = info.frame_length + bytes_after;
        put_big_endian32(p + 12, static_cast<std::uint64_t>(total));
        const auto toc = table_of_contents(info.frame_length, stretches);
        std::copy(toc.begin(), toc.end(), p + 16);
        return frame;
    }
    return std::nullopt;
}

constexpr std::uint8_t format_bit(tag_format f) { return static_cast<std::uint8_t>(1u << static_cast<unsigned>(f)); }

// The tags of a joined file removed, named by their formats: "2 ID3v2 tags",
// "an ID3v1 tag", "2 tags (ID3v1, APEv2)".
std::string joined_tags_named(std::int64_t count, std::uint8_t formats)
{
    static constexpr std::pair<tag_format, const char*> names[] = {
        {tag_format::id3v2, "ID3v2"}, {tag_format::id3v1, "ID3v1"},
        {tag_format::apev2, "APEv2"}, {tag_format::lyrics3v2, "Lyrics3v2"}};
    std::string listed;
    int kinds = 0;
    const char* only = "ID3v2";  // what the plan removed before it told the formats apart
    for (const auto& [format, name] : names) {
        if ((formats & format_bit(format)) != 0) {
            listed += (kinds++ == 0 ? "" : ", ") + std::string(name);
            only = name;
        }
    }
    const std::string n = std::to_string(count);
    if (kinds > 1) {
        return n + " tags (" + listed + ")";
    }
    return n + " " + only + (count == 1 ? " tag" : " tags");
}

class planner {
public:
    planner(const stream_layout& layout, const repair_facts& facts, const stream_excerpts& excerpts)
        : layout_(layout), facts_(facts), read_(excerpts)
    {
    }

    repair_plan run()
    {
        if (const auto why = refusal()) {
            plan_.refusal = *why;
            return plan_;
        }
        collect_pieces();
        if (plan_.refusal) {
            plan_.pieces.clear();
            plan_.actions.clear();
            return plan_;
        }
        if (plan_.actions.empty()) {
            plan_.pieces.clear();  // nothing to change: the stream stays as it is
        }
        return plan_;
    }

private:
    // Whether the bytes where the run's last frame said the next would begin
    // are no frame header at all. A damaged header or a frame the check left
    // out still begins with a sync word there: the frame before it ended where
    // it said, and is whole.
    bool last_frame_runs_into_junk(const frame_run& run) const
    {
        if (run.last_frame < run.bytes.begin || run.last_frame >= run.bytes.end) {
            return false;
        }
        const std::vector<std::uint8_t> next = read_(run.bytes.end, 4);
        return next.size() == 4 && !has_sync(word_of(next));
    }


    // A stream whose frames the check found all of one bit rate stays so: a
    // frame recovered at another rate would make it need a VBR header.
    bool same_rate_as_stream(std::uint32_t word, const frame_run& next) const
    {
        return facts_.bit_rate_varies ||
               header_word{word}.bit_rate_index() == header_word{next.first_header}.bit_rate_index();
    }

    // Where a block was cut out of a frame, the next whole frame can begin
    // inside the broken frame's extent, which the check passed over whole
    // without looking for frames in it. A header there whose frames, of the
    // stream's format, lead exactly to where the next run begins is such a
    // frame: the next run takes it and those after it. Protected frames are
    // left alone (their CRC would want checking first).
    void recover_frames_inside(std::int64_t broken, std::int32_t broken_length, frame_run& next) const
    {
        const std::int64_t gap = next.bytes.begin - broken;
        if (gap <= 4 || gap > recover_reach) {
            return;
        }
        const std::vector<std::uint8_t> bytes = read_(broken, static_cast<std::size_t>(gap));
        if (static_cast<std::int64_t>(bytes.size()) != gap) {
            return;
        }
        // A run that a VBR header frame opens is a second file's: its frames
        // begin there, and that frame is the plan's to remove.
        if (const auto opener = read_frame(read_, next.bytes.begin);
            opener && find_vbr_header(opener->bytes, opener->info.int_header)) {
            return;
        }
        const std::uint32_t format = stream_format(next.first_header);
        const auto limit = std::min(bytes.size(), static_cast<std::size_t>(std::max(broken_length, 0)));
        for (std::size_t from = 1; from < limit && from + 4 <= bytes.size(); ++from) {
            if (bytes[from] != 0xFF) {
                continue;
            }
            std::size_t at = from;
            std::int64_t frames = 0;
            std::int64_t samples = 0;
            while (at + 4 <= bytes.size()) {
                const std::uint32_t word = word_of(std::span(bytes).subspan(at, 4));
                frame_info info = blank_frame_info();
                if (decode_header(word, info) == 0 || stream_format(word) != format ||
                    header_word{word}.reserved_emphasis() || header_word{word}.has_crc() || info.frame_length <= 0 ||
                    !same_rate_as_stream(word, next)) {
                    break;
                }
                const auto length = static_cast<std::size_t>(info.frame_length);
                if (at + length <= bytes.size() &&
                    find_vbr_header(std::span<const std::uint8_t>(bytes.data() + at, length), word)) {
                    break;  // a header frame is no audio to recover
                }
                at += static_cast<std::size_t>(info.frame_length);
                ++frames;
                samples += info.samples_per_frame;
            }
            if (frames > 0 && at == bytes.size()) {
                next.bytes.begin = broken + static_cast<std::int64_t>(from);
                next.frames += frames;
                next.samples += samples;
                return;
            }
        }
    }

    std::optional<repair_refusal> refusal() const
    {
        if (!layout_.complete) {
            return repair_refusal::map_incomplete;
        }
        if (layout_.runs.empty()) {
            return repair_refusal::no_frames;
        }
        if (facts_.format_switch) {
            return repair_refusal::format_switch;
        }
        if (facts_.frame_crc_mismatch) {
            return repair_refusal::frame_crc_mismatch;
        }
        for (const tag_range& tag : layout_.tags) {
            if (tag.damaged) {
                return repair_refusal::damaged_tag;
            }
        }
        // Runs apart from one another may still differ in format: the check
        // compares each frame with the one before, never across a run it
        // set apart, and the repair would make them neighbours.
        const std::uint32_t format = stream_format(layout_.runs.front().first_header);
        for (const frame_run& run : layout_.runs) {
            if (stream_format(run.first_header) != format) {
                return repair_refusal::format_switch;
            }
        }
        return std::nullopt;
    }

    void keep(std::int64_t begin, std::int64_t end)
    {
        if (begin >= end) {
            return;
        }
        if (begin < kept_to_ || end > layout_.stream_end) {
            // Pieces of the map that overlap or run past the stream: it cannot
            // be trusted to say what the stream is.
            plan_.refusal = repair_refusal::map_inconsistent;
            return;
        }
        kept_to_ = end;
        if (plan_.pieces.size() > merge_from_ && plan_.pieces.back().from_source && plan_.pieces.back().source.end == begin) {
            plan_.pieces.back().source.end = end;
            return;
        }
        plan_.pieces.push_back(repair_piece{true, {begin, end}, {}});
    }

    void put(std::vector<std::uint8_t> bytes) { plan_.pieces.push_back(repair_piece{false, {}, std::move(bytes)}); }

    void act(repair_action a) { plan_.actions.push_back(a); }

    // The ID3v2 header with the size of what the tag holds, when its own size
    // runs past that (into the audio); else nothing to change.
    std::optional<std::vector<std::uint8_t>> corrected_id3v2_header(const tag_range& t) const
    {
        if (t.format != tag_format::id3v2 || t.declared_end == t.bytes.end) {
            return std::nullopt;
        }
        std::vector<std::uint8_t> head = read_(t.bytes.begin, id3v2_header_size);
        const std::int64_t body = t.bytes.size() - static_cast<std::int64_t>(id3v2_header_size);
        if (head.size() != id3v2_header_size || std::memcmp(head.data(), "ID3", 3) != 0 || body < 0 ||
            body >= (1 << 28)) {
            return std::nullopt;
        }
        // The footer the flags announce would lie where the old size said,
        // inside the audio: the tag as it stands has none.
        head[5] = static_cast<std::uint8_t>(head[5] & ~0x10u);
        for (int i = 0; i < 4; ++i) {
            head[static_cast<std::size_t>(9 - i)] = static_cast<std::uint8_t>((body >> (7 * i)) & 0x7F);
        }
        return head;
    }

    void collect_pieces()
    {
        // The pieces before the first frame: the leading tags.
        std::size_t tag = 0;
        std::int64_t covered = 0;  // the original's bytes dealt with so far
        std::int64_t stray = 0;
        std::int64_t stray_places = 0;
        const auto pass_gap = [&](std::int64_t to) {
            if (to > covered) {
                stray += to - covered;
                ++stray_places;
            }
            covered = std::max(covered, to);
        };
        const auto keep_tag = [&](const tag_range& t) {
            pass_gap(t.bytes.begin);
            if (const auto head = corrected_id3v2_header(t)) {
                put(*head);
                keep(t.bytes.begin + static_cast<std::int64_t>(id3v2_header_size), t.bytes.end);
                act({repair_action_kind::id3v2_size_corrected, 1, 0, t.declared_end - t.bytes.begin,
                     t.bytes.size()});
            } else {
                keep(t.bytes.begin, t.bytes.end);
            }
            covered = std::max(covered, t.bytes.end);
        };
        // The tags in stream order, each placed by where it lies. A tag that the
        // end of the stream cuts short is no tag to the check, which reads it
        // as junk after the last frame: it is junk here too. (One whose frames
        // end before the stream does, whatever its size says, is whole.)
        std::vector<tag_range> tags;
        for (const tag_range& t : layout_.tags) {
            if (t.bytes.size() > 0 && (t.declared_end <= layout_.stream_end || t.bytes.end < layout_.stream_end)) {
                tags.push_back(t);
            }
        }
        std::stable_sort(tags.begin(), tags.end(),
                         [](const tag_range& a, const tag_range& b) { return a.bytes.begin < b.bytes.begin; });
        const frame_run& first = layout_.runs.front();
        for (; tag < tags.size() && tags[tag].bytes.begin < first.bytes.begin; ++tag) {
            // Before the first frame the check reads ID3v2 tags alone; any other
            // there (after a frame the repair drops) is junk.
            if (tags[tag].format == tag_format::id3v2) {
                keep_tag(tags[tag]);
            }
        }

        // The header frame, which is rebuilt once the audio after it is known.
        // The first frame kept is read as the stream's header frame, as the
        // check will read it: the one the check read so, or one that opened
        // a later run once the frames before it are dropped. What the check
        // found of the music holds for the first only.
        std::optional<frame_bytes> header_frame = read_frame(read_, first.bytes.begin);
        std::optional<vbr_header> header;
        if (header_frame) {
            header = find_vbr_header(header_frame->bytes, header_frame->info.int_header);
        }
        header_checked_ = layout_.vbr_frame && *layout_.vbr_frame == first.bytes.begin;
        const std::int64_t header_end = header ? first.bytes.begin + header_frame->info.frame_length : first.bytes.begin;
        pass_gap(first.bytes.begin);
        const std::size_t header_piece = plan_.pieces.size();
        if (header) {
            put({});  // filled below
        }
        covered = header_end;

        // The audio: every run, less a second file's tags and header frame.
        // A last frame cut short by the tags at the end: the frame goes, and
        // from where the tags begin to the end of the stream all is kept.
        std::vector<frame_run> runs = layout_.runs;
        std::optional<std::int64_t> end_tags_from;
        if (const auto& cut = facts_.last_frame_cut_by_tag;
            cut && cut->begin >= runs.back().bytes.begin && cut->begin < runs.back().bytes.end &&
            cut->end > cut->begin && cut->end <= layout_.stream_end) {
            frame_run& last = runs.back();
            const auto f = read_frame(read_, cut->begin);
            last.bytes.end = cut->begin;
            --last.frames;
            last.samples -= f ? f->info.samples_per_frame : 0;
            ++dropped_frames_;
            if (last.frames <= 0) {
                runs.pop_back();
            }
            end_tags_from = cut->end;
        }
        if (runs.empty()) {
            plan_.refusal = repair_refusal::no_whole_frame;
            return;
        }

        std::vector<audio_stretch> stretches;
        std::int64_t frames = 0;
        std::int64_t joined_tags = 0;
        std::uint8_t joined_formats = 0;
        std::int64_t joined_headers = 0;
        std::uint32_t audio_word = 0;
        const std::size_t audio_piece = plan_.pieces.size();
        merge_from_ = audio_piece;  // the audio's pieces apart from the tags'
        for (std::size_t r = 0; r < runs.size(); ++r) {
            const frame_run& run = runs[r];
            // Tags between two runs are a second file's, whatever the check
            // called them: a tag read where frames seemed to end turns out to
            // be followed by more (as one whose size hid the frames after it).
            for (; tag < tags.size() && tags[tag].bytes.begin < run.bytes.begin; ++tag) {
                if (tags[tag].bytes.end > run.bytes.begin) {
                    plan_.refusal = repair_refusal::map_inconsistent;
                    return;
                }
                pass_gap(tags[tag].bytes.begin);
                covered = std::max(covered, tags[tag].bytes.end);
                ++joined_tags;
                joined_formats |= format_bit(tags[tag].format);
            }
            std::int64_t begin = std::max(run.bytes.begin, covered);
            std::int64_t run_frames = run.frames;
            std::int64_t run_samples = run.samples;
            if (begin > run.bytes.begin) {
                // The header frame opens the first run.
                --run_frames;
                run_samples -= header_frame ? header_frame->info.samples_per_frame : 0;
            } else {
                pass_gap(run.bytes.begin);
                if (r > 0) {
                    // A header frame that opens a later run is a second file's.
                    const auto f = read_frame(read_, run.bytes.begin);
                    if (f && find_vbr_header(f->bytes, f->info.int_header)) {
                        begin += f->info.frame_length;
                        --run_frames;
                        run_samples -= f->info.samples_per_frame;
                        ++joined_headers;
                    }
                }
            }
            std::int64_t end = run.bytes.end;
            if (r + 1 < runs.size() && !(tag < tags.size() && tags[tag].bytes.begin < runs[r + 1].bytes.begin) &&
                last_frame_runs_into_junk(run)) {
                // Junk where the run's last frame said the next would begin,
                // and the stream going on after it: the junk began inside
                // that frame (a block spliced in, zeroed or cut out), so the
                // frame holds junk too and goes with it.
                const auto f = read_frame(read_, run.last_frame);
                end = std::max(begin, run.last_frame);
                if (end > run.last_frame || !f) {
                    end = begin;  // nothing but the header frame, or unreadable: keep none of it
                    dropped_frames_ += run_frames;
                    dropped_samples_ += run_samples;
                    run_frames = 0;
                    run_samples = 0;
                } else {
                    --run_frames;
                    run_samples -= f->info.samples_per_frame;
                    ++dropped_frames_;
                    dropped_samples_ += f->info.samples_per_frame;
                    recover_frames_inside(run.last_frame, f->info.frame_length, runs[r + 1]);
                }
            }
            if (end <= begin) {
                covered = std::max(covered, begin);
                continue;
            }
            if (audio_word == 0) {
                audio_word = word_of(read_(begin, 4));
            }
            keep(begin, end);
            covered = std::max(covered, end);
            frames += run_frames;
            stretches.push_back({end - begin, run_samples});
        }
        if (stretches.empty()) {
            // Every frame went: with junk it ran into, or as a second file's
            // header frame. A stream of tags alone is no repair.
            plan_.refusal = repair_refusal::no_whole_frame;
            return;
        }
        if (joined_tags > 0) {
            act({repair_action_kind::joined_tag_removed, joined_tags, 0, 0, 0, joined_formats});
        }
        if (joined_headers > 0) {
            act({repair_action_kind::joined_vbr_frame_removed, joined_headers, 0, 0, 0});
        }
        const std::int64_t audio_end = covered;
        std::int64_t audio_bytes = 0;
        for (std::size_t i = audio_piece; i < plan_.pieces.size(); ++i) {
            audio_bytes += plan_.pieces[i].source.size();
        }
        // Whether the audio kept is, byte for byte, one stretch of the original
        // from the header frame's end on.
        const bool audio_untouched = plan_.pieces.size() == audio_piece + 1 &&
                                     plan_.pieces[audio_piece].source.begin == header_end &&
                                     plan_.pieces[audio_piece].source.end == audio_end;
        merge_from_ = plan_.pieces.size();

        // The tags at the end, then whatever followed them.
        if (end_tags_from) {
            pass_gap(*end_tags_from);
            keep(*end_tags_from, layout_.stream_end);
            covered = layout_.stream_end;
        }
        for (; tag < tags.size() && !end_tags_from; ++tag) {
            if (tags[tag].place == tag_place::inner) {
                pass_gap(tags[tag].bytes.begin);  // after the last run: as junk would be
                covered = std::max(covered, tags[tag].bytes.end);
                act({repair_action_kind::joined_tag_removed, 1, 0, 0, 0, format_bit(tags[tag].format)});
                continue;
            }
            keep_tag(tags[tag]);
        }
        pass_gap(layout_.stream_end);
        if (stray > 0) {
            act({repair_action_kind::stray_bytes_removed, stray, stray_places, 0, 0});
        }

        judge_shortfall(header_frame, header, frames, audio_bytes, stretches);
        if (header) {
            rebuild_header_frame(*header_frame, *header, header_piece, frames, audio_bytes, audio_end,
                                 audio_untouched, stretches, audio_word);
        } else if ((facts_.vbr_without_header || facts_.bit_rate_varies) && header_word{first.first_header}.layer3()) {
            add_xing_frame(header_piece, audio_word != 0 ? audio_word : first.first_header, frames, audio_bytes,
                           stretches);
        }
    }

    // Whether audio is missing that no repair brings back, and how much of
    // what the stream once held is kept. The stream's own header tells the
    // whole: the frame count of its Xing/Info or VBRI header, or else the
    // LAME tag's music length. Counts alone that say more than is there are
    // believed only when the byte count says so too (or is absent): a wrong
    // count is no evidence of lost audio.
    void judge_shortfall(const std::optional<frame_bytes>& header_frame, const std::optional<vbr_header>& header,
                         std::int64_t frames, std::int64_t audio_bytes, const std::vector<audio_stretch>& stretches)
    {
        audio_shortfall s;
        for (const audio_stretch& st : stretches) {
            s.samples_kept += st.samples;
        }
        const std::uint32_t word = layout_.runs.front().first_header;
        frame_info info = blank_frame_info();
        decode_header(word, info);
        s.sample_rate = info.sample_freq;
        const std::int64_t per_frame = info.samples_per_frame;
        bool short_by_header = false;
        if (header && header_checked_ && header_frame) {
            const std::int64_t kept_bytes = header_frame->info.frame_length + audio_bytes;
            if (header->frames && *header->frames > frames + 1 && (!header->bytes || *header->bytes > kept_bytes)) {
                short_by_header = true;
                s.samples_whole = static_cast<std::int64_t>(*header->frames) * per_frame;
            }
            if (const auto lame = lame_of(*header_frame, *header);
                lame && lame->tag_crc_matches() && lame->music_length > kept_bytes) {
                short_by_header = true;
                music_short_ = true;
                if (s.samples_whole == 0 && audio_bytes > 0) {
                    const double scale = static_cast<double>(lame->music_length - header_frame->info.frame_length) /
                                         static_cast<double>(audio_bytes);
                    s.samples_whole = static_cast<std::int64_t>(static_cast<double>(s.samples_kept) * scale);
                    s.whole_estimated = facts_.bit_rate_varies;
                }
            }
        }
        if (!short_by_header && dropped_frames_ == 0 && !facts_.last_frame_cut) {
            return;
        }
        if (s.samples_whole == 0 && !facts_.last_frame_cut) {
            s.samples_whole = s.samples_kept + dropped_samples_;  // only frames inside the stream went
        }
        if (s.samples_whole != 0) {
            s.samples_whole = std::max(s.samples_whole, s.samples_kept);
        }
        plan_.incomplete = s;
    }

    static std::optional<lame_tag> lame_of(const frame_bytes& frame, const vbr_header& header)
    {
        if (header.kind == vbr_header_kind::vbri || header.fields_end > frame.bytes.size()) {
            return std::nullopt;
        }
        return find_lame_tag(frame.bytes, header.fields_end);
    }

    void add_xing_frame(std::size_t at, std::uint32_t audio_word, std::int64_t frames, std::int64_t audio_bytes,
                        const std::vector<audio_stretch>& stretches)
    {
        auto frame = new_xing_frame(audio_word, frames, audio_bytes, stretches);
        if (!frame) {
            return;
        }
        plan_.pieces.insert(plan_.pieces.begin() + static_cast<std::ptrdiff_t>(at),
                            repair_piece{false, {}, std::move(*frame)});
        act({repair_action_kind::xing_frame_added, 1, 0, 0, frames});
    }

    void rebuild_header_frame(const frame_bytes& original, const vbr_header& header, std::size_t at,
                              std::int64_t frames, std::int64_t audio_bytes, std::int64_t audio_end,
                              bool audio_untouched, const std::vector<audio_stretch>& stretches,
                              std::uint32_t audio_word)
    {
        repair_piece& piece = plan_.pieces[at];
        // A Xing header whose fields, by its flags, run past the end of its
        // frame (a frame too small for them, or damaged flags) cannot be
        // rewritten in place.
        const std::size_t x = xing_offset(original.info.int_header);
        const bool fits = header.kind != vbr_header_kind::vbri && x + 8 <= original.bytes.size() &&
                          header.fields_end <= original.bytes.size();
        if (!fits) {
            // Rebuilding a VBRI table needs every frame's length; a Xing header
            // describes the same stream and every player reads it.
            auto frame = new_xing_frame(audio_word != 0 ? audio_word : original.info.int_header, frames,
                                        audio_bytes, stretches);
            if (frame) {
                piece.bytes = std::move(*frame);
                act({header.kind == vbr_header_kind::vbri ? repair_action_kind::vbri_replaced
                                                          : repair_action_kind::vbr_header_rebuilt,
                     1, header.frames.value_or(0), 0, frames});
            } else {
                piece.bytes = original.bytes;
            }
            return;
        }
        std::vector<std::uint8_t> frame = original.bytes;
        const std::uint32_t flags = word_of(std::span(frame).subspan(x + 4, 4));
        std::size_t p = x + 8;
        // Frames after the header frame, as LAME counts them (some encoders count
        // the header frame too; readers take either).
        const std::int64_t new_frames = frames;
        if ((flags & 1u) != 0) {
            put_big_endian32(frame.data() + p, static_cast<std::uint64_t>(new_frames));
            p += 4;
        }
        if ((flags & 2u) != 0) {
            put_big_endian32(frame.data() + p, static_cast<std::uint64_t>(original.info.frame_length + audio_bytes));
            p += 4;
        }
        if ((flags & 4u) != 0) {
            const auto toc = table_of_contents(original.info.frame_length, stretches);
            // A table that still describes the stream is the encoder's own,
            // built from every frame: it stays unless the audio changed.
            if (!audio_untouched) {
                std::copy(toc.begin(), toc.end(), frame.begin() + static_cast<std::ptrdiff_t>(p));
            }
        }
        const bool counts_changed = frame != original.bytes;

        if (const auto lame = find_lame_tag(frame, header.fields_end)) {
            const std::size_t t = header.fields_end;
            const std::int64_t header_start = layout_.runs.front().bytes.begin;
            const std::int64_t music_end = header_start + static_cast<std::int64_t>(lame->music_length);
            const bool music_whole = header_checked_ && audio_untouched && music_end == audio_end;
            if (facts_.music_crc_mismatch && music_whole) {
                plan_.refusal = repair_refusal::music_crc_mismatch;
                return;
            }
            if (header_checked_ && facts_.music_crc_matched && music_whole) {
                if (counts_changed) {
                    put_big_endian16(frame.data() + t + lame_tag_crc_at, lame_tag_crc(frame, t));
                    act({repair_action_kind::lame_tag_rewritten, 0, 0, 0, 0});
                }
            } else if (music_short_ && plan_.incomplete) {
                // Audio is missing: the encoder's music length and CRC stay,
                // so that the check still finds the stream shorter than what
                // was encoded. Only the tag's own CRC follows the new counts.
                if (counts_changed) {
                    put_big_endian16(frame.data() + t + lame_tag_crc_at, lame_tag_crc(frame, t));
                    act({repair_action_kind::lame_evidence_kept, 0, 0, 0, 0});
                }
            } else {
                // What was kept is not what the encoder vouched for: a tag CRC of 0
                // tells readers that nothing in the tag is checked.
                put_big_endian32(frame.data() + t + lame_music_length_at,
                                 static_cast<std::uint64_t>(original.info.frame_length + audio_bytes));
                put_big_endian16(frame.data() + t + lame_music_crc_at, 0);
                put_big_endian16(frame.data() + t + lame_tag_crc_at, 0);
                act({repair_action_kind::lame_music_crc_dropped, 0, 0, 0, 0});
            }
        }
        if (counts_changed) {
            act({repair_action_kind::vbr_header_rebuilt, 1, header.frames.value_or(0), 0, new_frames});
        }
        piece.bytes = std::move(frame);
    }

    const stream_layout& layout_;
    const repair_facts& facts_;
    excerpt_reader read_;
    repair_plan plan_;
    std::size_t merge_from_ = 0;  // keep() extends no piece before this one
    std::int64_t kept_to_ = 0;    // where the last piece kept from the stream ends
    bool header_checked_ = false;  // the header frame kept is the one the check read
    std::int64_t dropped_frames_ = 0;   // frames of the stream's runs the repair drops
    std::int64_t dropped_samples_ = 0;  // ... and their play length
    bool music_short_ = false;  // the LAME tag declares more music than the repair keeps
};

}  // namespace

std::vector<byte_range> excerpts_wanted(const stream_layout& layout, const repair_facts& facts,
                                        const std::vector<bool>& junk_after)
{
    std::vector<byte_range> wanted;
    const auto want = [&](std::int64_t at, std::int64_t n) {
        const std::int64_t begin = std::max<std::int64_t>(at, 0);
        const std::int64_t end = std::min(at + n, layout.stream_end);
        if (begin < end) {
            wanted.push_back({begin, end});
        }
    };
    constexpr auto frame = static_cast<std::int64_t>(longest_frame);
    for (const tag_range& t : layout.tags) {
        if (t.format == tag_format::id3v2) {
            want(t.bytes.begin, static_cast<std::int64_t>(id3v2_header_size));
        }
    }
    for (std::size_t r = 0; r < layout.runs.size(); ++r) {
        const frame_run& run = layout.runs[r];
        // The frame that opens the run, and the header word of the one after
        // it (where the audio begins when the first is a header frame).
        want(run.bytes.begin, frame + 4);
        want(run.last_frame, frame);
        want(run.bytes.end, 4);
        if (r + 1 < layout.runs.size() && r < junk_after.size() && junk_after[r]) {
            // Frames hidden inside a broken last frame, up to the next run.
            want(run.last_frame, std::min(layout.runs[r + 1].bytes.begin - run.last_frame, recover_reach));
        }
    }
    if (facts.last_frame_cut_by_tag) {
        want(facts.last_frame_cut_by_tag->begin, frame);
    }
    std::sort(wanted.begin(), wanted.end(),
              [](const byte_range& a, const byte_range& b) { return a.begin < b.begin; });
    std::vector<byte_range> merged;
    for (const byte_range& w : wanted) {
        if (!merged.empty() && w.begin <= merged.back().end) {
            merged.back().end = std::max(merged.back().end, w.end);
        } else {
            merged.push_back(w);
        }
    }
    return merged;
}

repair_plan plan_repair(const stream_layout& layout, const repair_facts& facts, const stream_excerpts& excerpts)
{
    return planner(layout, facts, excerpts).run();
}

std::optional<repair_plan> plan_repair_reading(const stream_layout& layout, const repair_facts& facts,
                                               const stream_reader& read)
{
    // First the four bytes after each run, which say where more is wanted.
    std::vector<bool> junk_after(layout.runs.size(), false);
    for (std::size_t r = 0; r + 1 < layout.runs.size(); ++r) {
        const auto next = read(layout.runs[r].bytes.end, 4);
        if (!next) {
            return std::nullopt;
        }
        junk_after[r] = next->size() == 4 && !has_sync(word_of(*next));
    }
    stream_excerpts excerpts;
    for (const byte_range& r : excerpts_wanted(layout, facts, junk_after)) {
        auto bytes = read(r.begin, static_cast<std::size_t>(r.size()));
        if (!bytes) {
            return std::nullopt;
        }
        excerpts.push_back({r.begin, std::move(*bytes)});
    }
    return plan_repair(layout, facts, excerpts);
}

std::string_view action_name(repair_action_kind kind)
{
    switch (kind) {
    case repair_action_kind::stray_bytes_removed: return "stray_bytes_removed";
    case repair_action_kind::joined_tag_removed: return "joined_tag_removed";
    case repair_action_kind::joined_vbr_frame_removed: return "joined_vbr_frame_removed";
    case repair_action_kind::id3v2_size_corrected: return "id3v2_size_corrected";
    case repair_action_kind::vbr_header_rebuilt: return "vbr_header_rebuilt";
    case repair_action_kind::vbri_replaced: return "vbri_replaced";
    case repair_action_kind::xing_frame_added: return "xing_frame_added";
    case repair_action_kind::lame_tag_rewritten: return "lame_tag_rewritten";
    case repair_action_kind::lame_music_crc_dropped: return "lame_music_crc_dropped";
    case repair_action_kind::lame_evidence_kept: return "lame_evidence_kept";
    }
    return "unknown";
}

std::string_view refusal_words(repair_refusal why)
{
    switch (why) {
    case repair_refusal::map_incomplete: return "the check could not map the whole stream";
    case repair_refusal::map_inconsistent: return "the check could not map the stream consistently";
    case repair_refusal::no_frames: return "no frame of audio was found";
    case repair_refusal::no_whole_frame: return "no whole frame of audio was found";
    case repair_refusal::format_switch:
        return "the stream changes format (layer, sample rate or channels) between frames";
    case repair_refusal::frame_crc_mismatch: return "a frame's CRC does not match: the audio itself is damaged";
    case repair_refusal::music_crc_mismatch:
        return "the audio does not match the LAME tag's music CRC: the audio itself is damaged";
    case repair_refusal::damaged_tag: return "a tag's end does not match its start: what belongs to it cannot be told";
    }
    return "";
}

std::string describe(const repair_action& a)
{
    const auto n = [](std::int64_t v) { return std::to_string(v); };
    const auto plural = [&](std::int64_t v, const char* one, const char* many) {
        return n(v) + " " + (v == 1 ? one : many);
    };
    switch (a.kind) {
    case repair_action_kind::stray_bytes_removed:
        return plural(a.count, "byte", "bytes") + " of junk and broken frames removed" +
               (a.places > 1 ? " (in " + n(a.places) + " places)" : "");
    case repair_action_kind::joined_tag_removed:
        return joined_tags_named(a.count, a.formats) + " of a joined file removed";
    case repair_action_kind::joined_vbr_frame_removed:
        return plural(a.count, "VBR header frame", "VBR header frames") + " of a joined file removed";
    case repair_action_kind::id3v2_size_corrected:
        return "ID3v2 tag size corrected (" + n(a.from) + " bytes to " + n(a.to) + ")";
    case repair_action_kind::vbr_header_rebuilt:
        return "Xing/Info header rebuilt (" + (a.from > 0 ? n(a.from) + " frames to " : "") + n(a.to) + " frames)";
    case repair_action_kind::vbri_replaced:
        return "VBRI header replaced by a Xing header (" + (a.from > 0 ? n(a.from) + " frames to " : "") + n(a.to) +
               " frames)";
    case repair_action_kind::xing_frame_added:
        return "Xing header added (" + n(a.to) + " frames)";
    case repair_action_kind::lame_tag_rewritten:
        return "LAME tag CRC rewritten";
    case repair_action_kind::lame_music_crc_dropped:
        return "LAME tag no longer vouches for the music (music length rewritten, CRCs cleared)";
    case repair_action_kind::lame_evidence_kept:
        return "LAME tag keeps the music length and CRC of the whole, to show that audio is missing";
    }
    return "";
}

}  // namespace framelint
