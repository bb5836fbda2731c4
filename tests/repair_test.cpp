// --fix: the repair plan on hand-built streams and layouts, and the writer that
// applies a plan to a file.

#include <gtest/gtest.h>

#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "mpeg/crc16.hpp"
#include "mpeg/vbr_tag.hpp"
#include "io/rewrite.hpp"
#include "repair/repair_plan.hpp"
#include "cli/scan_facts.hpp"
#include "support.hpp"

namespace framelint::test {
namespace {

// A stream built from labelled parts, with the layout the check would record
// for it.
struct built_stream {
    bytes data;
    stream_layout layout;

    built_stream& tag(tag_place place, const bytes& b, std::int64_t declared_extra = 0,
                      tag_format format = tag_format::id3v2)
    {
        const auto at = static_cast<std::int64_t>(data.size());
        data = data + b;
        layout.tags.push_back({format, place, {at, at + static_cast<std::int64_t>(b.size())},
                               at + static_cast<std::int64_t>(b.size()) + declared_extra});
        return *this;
    }
    built_stream& junk(std::size_t n)
    {
        data.resize(data.size() + n, 0x55);
        return *this;
    }
    // frames whole frames, one after the other: one run.
    built_stream& run(const std::vector<bytes>& frames)
    {
        frame_run r;
        r.bytes.begin = static_cast<std::int64_t>(data.size());
        for (const bytes& f : frames) {
            r.last_frame = static_cast<std::int64_t>(data.size());
            data = data + f;
        }
        r.bytes.end = static_cast<std::int64_t>(data.size());
        r.frames = static_cast<std::int64_t>(frames.size());
        r.samples = 1152 * r.frames;
        r.first_header = static_cast<std::uint32_t>(frames[0][0]) << 24 | frames[0][1] << 16 | frames[0][2] << 8 |
                         frames[0][3];
        layout.runs.push_back(r);
        return *this;
    }
    built_stream& vbr_frame_first()
    {
        layout.vbr_frame = layout.runs.front().bytes.begin;
        return *this;
    }
    const stream_layout& done()
    {
        layout.stream_end = static_cast<std::int64_t>(data.size());
        layout.complete = true;
        return layout;
    }
    stream_reader reader() const
    {
        return [this](std::int64_t at, std::size_t n) {
            const auto from = static_cast<std::size_t>(std::min<std::int64_t>(at, static_cast<std::int64_t>(data.size())));
            const std::size_t to = std::min(data.size(), from + n);
            return bytes(data.begin() + static_cast<std::ptrdiff_t>(from), data.begin() + static_cast<std::ptrdiff_t>(to));
        };
    }
};

// Facts with one flag set.
repair_facts facts_with(bool repair_facts::*flag)
{
    repair_facts f;
    f.*flag = true;
    return f;
}

bytes apply_plan(const repair_plan& plan, const bytes& original)
{
    if (!plan.changes()) {
        return original;
    }
    bytes out;
    for (const repair_piece& p : plan.pieces) {
        if (p.from_source) {
            out.insert(out.end(), original.begin() + p.source.begin, original.begin() + p.source.end);
        } else {
            out = out + p.bytes;
        }
    }
    return out;
}

void put32(bytes& b, std::size_t at, std::uint32_t v)
{
    for (int i = 0; i < 4; ++i) {
        b[at + static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(v >> (24 - 8 * i));
    }
}

// A LAME-style header frame (MPEG-1 Layer III stereo at 128 kbit/s: Xing at 36,
// LAME tag at 156) counting frames after itself and bytes from its start, with
// the music of length music_length whose CRC is music_crc.
bytes lame_header_frame(std::uint32_t frames, std::uint32_t stream_bytes, std::uint32_t music_length,
                        std::uint16_t music_crc)
{
    bytes f = frame(l3_128k, 0);
    std::memcpy(f.data() + 36, "Xing", 4);
    put32(f, 40, 0x0F);
    put32(f, 44, frames);
    put32(f, 48, stream_bytes);
    for (std::size_t i = 0; i < 100; ++i) {
        f[52 + i] = static_cast<std::uint8_t>(i * 255 / 100);
    }
    std::memcpy(f.data() + 156, "LAME3.100", 9);
    put32(f, 156 + 28, music_length);
    f[156 + 32] = static_cast<std::uint8_t>(music_crc >> 8);
    f[156 + 33] = static_cast<std::uint8_t>(music_crc);
    const std::uint16_t tag_crc = crc16_arc(f.data(), 156 + 34);
    f[156 + 34] = static_cast<std::uint8_t>(tag_crc >> 8);
    f[156 + 35] = static_cast<std::uint8_t>(tag_crc);
    return f;
}

std::uint16_t crc_of(const std::vector<bytes>& frames)
{
    bytes all;
    for (const bytes& f : frames) {
        all = all + f;
    }
    return crc16_arc(all.data(), all.size());
}

// Checked as -c checks it: the bad frames it finds.
std::int64_t bad_frames_under_check(const bytes& stream)
{
    return scan_memory(stream, options("-c")).state.counters.bad_frames;
}

const std::vector<bytes> ten_frames(10, frame(l3_128k));

TEST(RepairPlan, KeepsTagsAndRunsAndDropsEverythingElse)
{
    // The junk inside the audio began inside the frame before it (no header
    // stands where that frame said the next would): that frame goes with the
    // junk. Junk before the tags at the end was added after a whole frame.
    built_stream s;
    s.tag(tag_place::leading, id3v2_tag(100))
        .junk(300)
        .run(ten_frames)
        .junk(77)
        .run(ten_frames)
        .junk(5)
        .tag(tag_place::trailing, id3v1_tag_bytes("t", "a", 1, 2), 0, tag_format::id3v1);
    const repair_plan plan = *plan_repair_reading(s.done(), {}, s.reader());
    ASSERT_TRUE(plan.changes());
    ASSERT_EQ(plan.actions.size(), 1u);
    EXPECT_EQ(plan.actions[0].kind, repair_action_kind::stray_bytes_removed);
    EXPECT_EQ(plan.actions[0].count, 382 + 417);
    EXPECT_EQ(plan.actions[0].places, 3);
    EXPECT_EQ(describe(plan.actions[0]), "799 bytes of junk and broken frames removed (in 3 places)");

    const bytes out = apply_plan(plan, s.data);
    bytes expected = id3v2_tag(100);
    for (int i = 0; i < 19; ++i) {
        expected = expected + frame(l3_128k);
    }
    expected = expected + id3v1_tag_bytes("t", "a", 1, 2);
    EXPECT_EQ(out, expected);
    EXPECT_EQ(bad_frames_under_check(out), 0);
}

TEST(RepairPlan, CleanStreamNeedsNothing)
{
    built_stream s;
    s.tag(tag_place::leading, id3v2_tag(100)).run(ten_frames).tag(tag_place::trailing, id3v1_tag_bytes("t", "a", 1, 2), 0,
                                                                  tag_format::id3v1);
    const repair_plan plan = *plan_repair_reading(s.done(), {}, s.reader());
    EXPECT_FALSE(plan.changes());
    EXPECT_FALSE(plan.refusal);
    EXPECT_TRUE(plan.pieces.empty());
}

TEST(RepairPlan, RefusesWhatItCannotRepair)
{
    struct refusal_case {
        const char* what;
        bool complete;
        bool runs;
        repair_facts facts;
        const char* says;
    };
    const refusal_case cases[] = {
        {"layout not whole", false, true, {}, "could not map"},
        {"no frame", true, false, {}, "no frame"},
        {"format switch", true, true, facts_with(&repair_facts::format_switch), "changes format"},
        {"frame CRC", true, true, facts_with(&repair_facts::frame_crc_mismatch), "audio itself is damaged"},
    };
    for (const refusal_case& c : cases) {
        SCOPED_TRACE(c.what);
        built_stream s;
        s.junk(10);
        if (c.runs) {
            s.run(ten_frames);
        }
        s.done();
        s.layout.complete = c.complete;
        const repair_plan plan = *plan_repair_reading(s.layout, c.facts, s.reader());
        ASSERT_TRUE(plan.refusal);
        EXPECT_NE(refusal_words(*plan.refusal).find(c.says), std::string::npos) << refusal_words(*plan.refusal);
        EXPECT_FALSE(plan.changes());
        EXPECT_TRUE(plan.pieces.empty());
    }
}

TEST(RepairPlan, Id3v2SizeIntoTheAudioIsCutToWhatTheTagHolds)
{
    bytes tag = id3v2_tag(100);
    tag[5] = 0x10;  // a footer announced, which would lie in the audio
    built_stream s;
    s.tag(tag_place::leading, tag, 600).run(ten_frames);
    const repair_plan plan = *plan_repair_reading(s.done(), {}, s.reader());
    ASSERT_TRUE(plan.changes());
    ASSERT_EQ(plan.actions.size(), 1u);
    EXPECT_EQ(plan.actions[0].kind, repair_action_kind::id3v2_size_corrected);
    const bytes out = apply_plan(plan, s.data);
    ASSERT_EQ(out.size(), s.data.size());
    EXPECT_EQ(out[5], 0);
    EXPECT_EQ(std::vector(out.begin() + 6, out.begin() + 10), (bytes{0, 0, 0, 100}));
    EXPECT_TRUE(std::equal(out.begin() + 10, out.end(), s.data.begin() + 10));
}

TEST(RepairPlan, LameTagKeepsVouchingOnlyForTheMusicItChecked)
{
    // Eleven frames: the header frame and ten of audio, 417 bytes each.
    const std::uint16_t music = crc_of(ten_frames);
    const std::uint32_t whole = 11 * 417;
    struct lame_case {
        const char* what;
        std::uint32_t stored_frames;  // the header frame's own count
        std::size_t junk_inside;      // bytes between the fifth and sixth audio frames
        bool cut_last;                // the last audio frame lost
        repair_facts facts;
        bool vouches;                 // the repaired tag still carries the music CRC
    };
    // Where a frame of the music is lost, the tag keeps the whole's length and
    // CRC: the check of the repaired stream still finds audio missing.
    const lame_case cases[] = {
        {"stale counts, music intact", 40, 0, false, facts_with(&repair_facts::music_crc_matched), true},
        {"junk inside the music", 10, 33, false, facts_with(&repair_facts::music_crc_mismatch), true},
        {"music cut short", 10, 0, true, {}, true},
    };
    for (const lame_case& c : cases) {
        SCOPED_TRACE(c.what);
        std::vector<bytes> first(ten_frames.begin(), ten_frames.begin() + 5);
        std::vector<bytes> second(ten_frames.begin() + 5, ten_frames.end() - (c.cut_last ? 1 : 0));
        // The header frame and the first audio frames are one run.
        built_stream s;
        std::vector<bytes> head{lame_header_frame(c.stored_frames, whole, whole, music)};
        head.insert(head.end(), first.begin(), first.end());
        s.run(head).junk(c.junk_inside).run(second).vbr_frame_first();
        s.done();
        const repair_plan plan = *plan_repair_reading(s.layout, c.facts, s.reader());
        ASSERT_TRUE(plan.changes());
        const bytes out = apply_plan(plan, s.data);
        const bytes header(out.begin(), out.begin() + 417);
        const auto xing = find_vbr_header(header, l3_128k);
        ASSERT_TRUE(xing);
        // Junk inside the music takes the frame it began in with it.
        const std::uint32_t audio_frames = c.cut_last || c.junk_inside > 0 ? 9 : 10;
        EXPECT_EQ(xing->frames, audio_frames);
        EXPECT_EQ(xing->bytes, 417 * (audio_frames + 1));
        const auto lame = find_lame_tag(header, xing->fields_end);
        EXPECT_EQ(lame.has_value(), c.vouches);
        const bool lost = audio_frames < 10;
        EXPECT_EQ(plan.incomplete.has_value(), lost);
        if (lame) {
            EXPECT_TRUE(lame->tag_crc_matches());
            EXPECT_EQ(lame->music_crc, music);
            EXPECT_EQ(lame->music_length, lost ? whole : 11 * 417);
        }
        EXPECT_EQ(bad_frames_under_check(out), lost ? 1 : 0);
        // A second repair, from the layout of the repaired stream, changes nothing.
        built_stream again;
        std::vector<bytes> kept{header};
        for (std::uint32_t i = 0; i < audio_frames; ++i) {
            kept.push_back(frame(l3_128k));
        }
        again.run(kept).vbr_frame_first();
        const repair_facts facts_now = lost ? repair_facts{} : facts_with(&repair_facts::music_crc_matched);
        const repair_plan replanned = *plan_repair_reading(again.done(), facts_now, again.reader());
        EXPECT_FALSE(replanned.changes());
        EXPECT_EQ(replanned.incomplete.has_value(), lost);
    }
}

TEST(RepairPlan, DamagedMusicWithNothingToRemoveIsRefused)
{
    const std::uint32_t whole = 11 * 417;
    std::vector<bytes> frames{lame_header_frame(10, whole, whole, 0x1234)};
    frames.insert(frames.end(), ten_frames.begin(), ten_frames.end());
    built_stream s;
    s.run(frames).vbr_frame_first().junk(50);
    const repair_plan plan = *plan_repair_reading(s.done(), facts_with(&repair_facts::music_crc_mismatch), s.reader());
    ASSERT_TRUE(plan.refusal);
    EXPECT_NE(refusal_words(*plan.refusal).find("music CRC"), std::string::npos);
}

TEST(RepairPlan, JoinedFilesLoseTheSecondTagAndHeaderFrame)
{
    const std::uint32_t whole = 11 * 417;
    const std::uint16_t music = crc_of(ten_frames);
    std::vector<bytes> first{lame_header_frame(10, whole, whole, music)};
    first.insert(first.end(), ten_frames.begin(), ten_frames.end());
    built_stream s;
    s.tag(tag_place::leading, id3v2_tag(50))
        .run(first)
        .vbr_frame_first()
        .tag(tag_place::inner, id3v2_tag(70))
        .run(first)
        .tag(tag_place::trailing, id3v1_tag_bytes("t", "a", 1, 2), 0, tag_format::id3v1);
    const repair_plan plan = *plan_repair_reading(s.done(), facts_with(&repair_facts::music_crc_matched), s.reader());
    ASSERT_TRUE(plan.changes());
    std::vector<repair_action_kind> kinds;
    for (const repair_action& a : plan.actions) {
        kinds.push_back(a.kind);
    }
    EXPECT_EQ(kinds, (std::vector{repair_action_kind::joined_tag_removed,
                                  repair_action_kind::joined_vbr_frame_removed,
                                  repair_action_kind::lame_music_crc_dropped,
                                  repair_action_kind::vbr_header_rebuilt}));
    const bytes out = apply_plan(plan, s.data);
    EXPECT_EQ(out.size(), 60 + 21 * 417 + 128u);
    const bytes header(out.begin() + 60, out.begin() + 60 + 417);
    EXPECT_EQ(find_vbr_header(header, l3_128k)->frames, 20u);
    EXPECT_EQ(bad_frames_under_check(out), 0);
}

// The line names the tags removed by what they are: an ID3v1 and an APEv2
// tag between two runs are not "2 ID3v2 tags".
TEST(RepairPlan, JoinedTagsRemovedAreNamedByTheirFormats)
{
    struct naming_case {
        std::vector<std::pair<tag_format, bytes>> inner;
        const char* says;
    };
    const naming_case cases[] = {
        {{{tag_format::id3v2, id3v2_tag(70)}, {tag_format::id3v2, id3v2_tag(30)}}, "2 ID3v2 tags of a joined file removed"},
        {{{tag_format::id3v1, id3v1_tag_bytes("t", "a", 1, 2)}}, "1 ID3v1 tag of a joined file removed"},
        {{{tag_format::id3v1, id3v1_tag_bytes("t", "a", 1, 2)}, {tag_format::apev2, text("APETAGEX-ish")}},
         "2 tags (ID3v1, APEv2) of a joined file removed"},
    };
    for (const naming_case& c : cases) {
        SCOPED_TRACE(c.says);
        built_stream s;
        s.run(ten_frames);
        for (const auto& [format, b] : c.inner) {
            s.tag(tag_place::inner, b, 0, format);
        }
        s.run(ten_frames);
        const repair_plan plan = *plan_repair_reading(s.done(), {}, s.reader());
        ASSERT_FALSE(plan.actions.empty());
        EXPECT_EQ(describe(plan.actions[0]), c.says);
    }
}

TEST(RepairPlan, HeaderlessLayer3VbrGetsAXingFrame)
{
    std::vector<bytes> frames;
    for (int i = 0; i < 30; ++i) {
        frames.push_back(frame(i % 3 == 0 ? l3_320k : l3_128k));
    }
    built_stream s;
    s.tag(tag_place::leading, id3v2_tag(20)).run(frames);
    const repair_plan plan = *plan_repair_reading(s.done(), facts_with(&repair_facts::vbr_without_header), s.reader());
    ASSERT_TRUE(plan.changes());
    ASSERT_EQ(plan.actions.size(), 1u);
    EXPECT_EQ(describe(plan.actions[0]), "Xing header added (30 frames)");
    const bytes out = apply_plan(plan, s.data);
    const std::size_t at = 30;
    const std::uint32_t word = static_cast<std::uint32_t>(out[at]) << 24 | out[at + 1] << 16 | out[at + 2] << 8 | out[at + 3];
    frame_info info = blank_frame_info();
    ASSERT_EQ(decode_header(word, info), 1);
    const bytes header(out.begin() + at, out.begin() + at + info.frame_length);
    const auto xing = find_vbr_header(header, word);
    ASSERT_TRUE(xing);
    EXPECT_EQ(xing->kind, vbr_header_kind::xing);
    EXPECT_EQ(xing->frames, 30u);
    EXPECT_EQ(static_cast<std::size_t>(*xing->bytes), out.size() - at);
    EXPECT_EQ(bad_frames_under_check(out), 0);
    // The table of contents starts where the audio does, and never falls.
    EXPECT_LT(header[36 + 16], 16);
    for (std::size_t i = 1; i < 100; ++i) {
        EXPECT_LE(header[36 + 16 + i - 1], header[36 + 16 + i]);
    }
}

// ---- the plan on streams the check has read ----

struct repaired {
    repair_plan plan;
    bytes out;
};

// A stream checked as --fix checks it, and the plan applied.
repaired repair_checked(const bytes& stream)
{
    scan_options o = options("-c");
    o.fix_in_place = true;
    const scan_result r = scan_memory(stream, o);
    const stream_reader read = [&stream](std::int64_t at, std::size_t n) {
        const auto from = static_cast<std::size_t>(std::min<std::int64_t>(at, static_cast<std::int64_t>(stream.size())));
        const std::size_t to = std::min(stream.size(), from + n);
        return bytes(stream.begin() + static_cast<std::ptrdiff_t>(from), stream.begin() + static_cast<std::ptrdiff_t>(to));
    };
    repaired done{*plan_repair_reading(r.state.layout, repair_facts_of(r.state), read), {}};
    done.out = apply_plan(done.plan, stream);
    return done;
}

bytes slice(const bytes& b, std::size_t from, std::size_t to)
{
    return bytes(b.begin() + static_cast<std::ptrdiff_t>(from), b.begin() + static_cast<std::ptrdiff_t>(to));
}

bytes with_word(bytes f, std::uint32_t word)
{
    put32(f, 0, word);
    return f;
}

// A block cut out of a frame: the frame goes, and the whole frame that now
// begins inside its extent (where the check found no reason to look) is kept.
TEST(RepairPlan, BlockCutOutOfAFrameLosesThatFrameOnly)
{
    const bytes f = frame(l3_128k);
    const bytes whole = repeat(f, 10);
    // From 100 bytes into frame 5 to 183 bytes into frame 6: frame 7 now begins
    // 83 bytes before where frame 5 says it ends.
    const bytes cut = slice(whole, 0, 5 * 417 + 100) + slice(whole, 6 * 417 + 183, whole.size());
    const repaired r = repair_checked(cut);
    ASSERT_FALSE(r.plan.refusal) << refusal_words(*r.plan.refusal);
    EXPECT_EQ(r.out, repeat(f, 8));
    EXPECT_EQ(bad_frames_under_check(r.out), 0);
}

// Damage where what the plan kept once did not pass the check, or a second
// repair changed it again. On each, the plan refuses, or its output passes
// the check and a second repair finds nothing to do.
TEST(RepairPlan, OutputPassesTheCheckAndIsFinal)
{
    const bytes f = frame(l3_128k);
    const bytes frames5 = repeat(f, 5);
    const bytes v1 = id3v1_tag_bytes("t", "a", 1, 2);
    const bytes emphasis = frame(l3_128k | 2u);  // reserved emphasis: -c reports the frame
    bytes vbr;
    for (int i = 0; i < 12; ++i) {
        vbr = vbr + frame(i % 3 == 0 ? l3_320k : l3_128k);
    }
    const std::uint32_t whole = 11 * 417;
    const bytes header = lame_header_frame(10, whole, whole, crc_of(ten_frames));
    bytes one_file = header;
    for (const bytes& a : ten_frames) {
        one_file = one_file + a;
    }
    bytes stale_file = lame_header_frame(40, whole, whole, crc_of(ten_frames));
    for (const bytes& a : ten_frames) {
        stale_file = stale_file + a;
    }
    // An ID3v2 tag after the audio whose size hides the next two frames.
    bytes swallowing = id3v2_tag(100);
    swallowing[9] = static_cast<std::uint8_t>(100 + 2 * 417 - 128);
    swallowing[8] = 1;
    // An ID3v2 tag at the start whose size hides two frames and part of a third.
    bytes oversized = id3v2_tag(100);
    oversized[8] = static_cast<std::uint8_t>((100 + 2 * 417 + 200) >> 7);
    oversized[9] = static_cast<std::uint8_t>((100 + 2 * 417 + 200) & 0x7F);
    // A chance header of mono 160 kbit/s frames in junk, then one such frame
    // inside a run of the stream's stereo 128 kbit/s frames.
    const bytes mono = frame(0xFFFBA0C4u);
    const bytes chance = text("junk") + slice(mono, 0, 40) + text("junk");

    struct output_case {
        const char* what;
        bytes stream;
        const char* refusal;  // nullptr: repaired
        repair_action_kind shows = repair_action_kind::stray_bytes_removed;
    };
    const output_case cases[] = {
        {"ID3v1 tag cut by the end of the stream", frames5 + slice(v1, 0, 60), nullptr},
        {"ID3v2 tag cut by the end, an ID3v1 tag in its bytes", frames5 + slice(id3v2_tag(900), 0, 300) + v1,
         nullptr},
        {"frame with reserved emphasis inside a run", frames5 + emphasis + frames5, nullptr},
        {"frame with reserved emphasis first", emphasis + frames5 + text("x"), nullptr},
        {"header frame with reserved emphasis, VBR audio", with_word(header, l3_128k | 2u) + vbr, nullptr,
         repair_action_kind::xing_frame_added},
        {"VBR without header, more problems than are kept", bytes(5000, 0xFF) + vbr, nullptr,
         repair_action_kind::xing_frame_added},
        {"stale header frame behind a first frame dropped", emphasis + stale_file, nullptr,
         repair_action_kind::vbr_header_rebuilt},
        {"two files joined without a tag", one_file + one_file, nullptr, repair_action_kind::joined_vbr_frame_removed},
        {"a tag after frames hides the next ones", frames5 + swallowing + frames5 + f, nullptr,
         repair_action_kind::joined_tag_removed},
        {"a tag's size hides a frame with reserved emphasis", oversized + f + emphasis + frames5, nullptr,
         repair_action_kind::id3v2_size_corrected},
        {"a tag's size hides a frame whose CRC fails",
         oversized + frame(l3_128k_crc, 0x11, 0x1234) + repeat(frame_with_good_crc(l3_128k_crc), 5), "CRC"},
        // One frame of another format, with none like it after it, is no
        // stream of its own: the check reads it as junk, and it goes.
        {"frame of another format, its decode left by a chance header", frames5 + chance + frames5 + mono + frames5,
         nullptr},
        {"frames of another format, their decode left by a chance header",
         frames5 + chance + frames5 + repeat(mono, 3) + frames5, "changes format"},
        // The one frame ran into junk, and the only other is a second file's
        // header frame: nothing of the audio is left (the plan once kept
        // nothing and called it a repair).
        {"a frame into junk, then a header frame alone", f + text("junk!junk!") + header, "no whole frame"},
    };
    for (const output_case& c : cases) {
        SCOPED_TRACE(c.what);
        const repaired first = repair_checked(c.stream);
        if (c.refusal != nullptr) {
            ASSERT_TRUE(first.plan.refusal);
            EXPECT_NE(refusal_words(*first.plan.refusal).find(c.refusal), std::string::npos)
                << refusal_words(*first.plan.refusal);
            continue;
        }
        ASSERT_FALSE(first.plan.refusal) << refusal_words(*first.plan.refusal);
        ASSERT_TRUE(first.plan.changes());
        EXPECT_TRUE(std::any_of(first.plan.actions.begin(), first.plan.actions.end(),
                                [&](const repair_action& a) { return a.kind == c.shows; }));
        EXPECT_EQ(bad_frames_under_check(first.out), 0);
        const repaired second = repair_checked(first.out);
        EXPECT_FALSE(second.plan.changes());
        EXPECT_FALSE(second.plan.refusal);
    }
}

// ---- the writer ----

struct scratch_dir {
    std::string path;
    scratch_dir()
    {
        char name[] = "/tmp/framelint-rewrite-XXXXXX";
        path = ::mkdtemp(name);
    }
    ~scratch_dir() { std::system(("chmod -R u+w " + path + " && rm -rf " + path).c_str()); }
    std::vector<std::string> names() const
    {
        std::vector<std::string> all;
        const std::string listing = path + "/.list";
        std::system(("ls -A " + path + " > " + listing).c_str());
        const bytes b = read_file(listing);
        std::string name;
        for (const std::uint8_t ch : b) {
            if (ch == '\n') {
                if (name != ".list") {
                    all.push_back(name);
                }
                name.clear();
            } else {
                name += static_cast<char>(ch);
            }
        }
        ::unlink(listing.c_str());
        return all;
    }
};

void write_bytes(const std::string& path, const bytes& b, mode_t mode = 0644)
{
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, mode);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::write(fd, b.data(), b.size()), static_cast<ssize_t>(b.size()));
    ::fchmod(fd, mode);
    ::close(fd);
}

const bytes original_bytes = text("0123456789abcdefghij");
const std::vector<io::rewrite_piece> new_version = {
    {true, 2, 5, {}}, {false, 0, 0, text("XY")}, {true, 15, 20, {}}};
const bytes new_bytes = text("234XYfghij");

io::rewrite_outcome rewrite(const std::string& path, bool backup, const io::rewrite_vet& vet = {},
                            const std::function<void(io::rewrite_step)>& hook = {})
{
    const int fd = ::open(path.c_str(), O_RDONLY);
    struct stat seen {};
    ::fstat(fd, &seen);
    io::rewrite_outcome o = io::rewrite_file(path, fd, seen, new_version, backup, vet, hook);
    ::close(fd);
    return o;
}

TEST(Rewrite, ReplacesTheFileKeepsItsModeAndABackup)
{
    scratch_dir dir;
    const std::string song = dir.path + "/song.mp3";
    write_bytes(song, original_bytes, 0640);
    write_bytes(song + ".bak", text("someone else's"));
    const io::rewrite_outcome o = rewrite(song, true);
    ASSERT_TRUE(o.done) << o.failure;
    EXPECT_EQ(read_file(song), new_bytes);
    // FILE.bak was taken: the next free name, and the old one left alone.
    EXPECT_EQ(o.backup, song + ".bak.1");
    EXPECT_EQ(read_file(song + ".bak.1"), original_bytes);
    EXPECT_EQ(read_file(song + ".bak"), text("someone else's"));
    struct stat st {};
    ::stat(song.c_str(), &st);
    EXPECT_EQ(st.st_mode & 07777, 0640u);
    EXPECT_EQ(st.st_nlink, 1u);
    EXPECT_EQ(dir.names().size(), 3u);

    write_bytes(song, original_bytes);
    const io::rewrite_outcome without = rewrite(song, false);
    ASSERT_TRUE(without.done);
    EXPECT_TRUE(without.backup.empty());
    EXPECT_EQ(dir.names().size(), 3u);
}

// The end tags taggers write before an ID3v1 tag (the enhanced TAG+ block,
// Lyrics3 v1) are kept whole by a repair of damage elsewhere.
TEST(RepairPlan, EndTagsBeforeId3v1AreKeptWhole)
{
    const bytes song = read_file(fixture("lame_cbr128.mp3"));
    const bytes v1 = id3v1_tag_bytes("Fixture Tone", "framelint", 1, 12);
    const bytes enhanced = text("TAG+") + text(std::string(60, 'T')) + text(std::string(60, 'A')) +
                           text(std::string(60, 'L')) + bytes(1, 1) + text(std::string(30, 'G')) +
                           text("000:00000:01");
    const bytes lyrics = text("LYRICSBEGIN[00:01]la la la\r\n[00:02]la laLYRICSEND");
    const bytes damaged_song = bytes(song.begin(), song.begin() + 8000) + bytes(300, 0x11) +
                               bytes(song.begin() + 8000, song.end());
    for (const bytes& end : {enhanced + v1, lyrics + v1}) {
        const repaired r = repair_checked(damaged_song + end);
        ASSERT_TRUE(r.plan.changes());
        ASSERT_GE(r.out.size(), end.size());
        EXPECT_EQ(bytes(r.out.end() - static_cast<std::ptrdiff_t>(end.size()), r.out.end()), end);
    }
}

TEST(Rewrite, EveryFailureLeavesTheFileAndNothingBehind)
{
    struct failure_case {
        const char* what;
        std::function<void(const std::string& dir, const std::string& song)> arrange;
        io::rewrite_vet vet;
        const char* says;
    };
    const failure_case cases[] = {
        {"hard links", [](const std::string& d, const std::string& s) { ::link(s.c_str(), (d + "/other").c_str()); },
         {}, "2 hard links"},
        {"read-only directory", [](const std::string& d, const std::string&) { ::chmod(d.c_str(), 0555); }, {},
         "cannot create"},
        {"vetoed", [](const std::string&, const std::string&) {}, [](int) { return std::string("no thanks"); },
         "no thanks"},
        {"backup name not allowed", [](const std::string& d, const std::string& s) {
             for (int n = 0; n < 100; ++n) {
                 write_bytes(s + ".bak" + (n == 0 ? "" : "." + std::to_string(n)), {});
             }
             (void)d;
         }, {}, "cannot make the backup"},
    };
    for (const failure_case& c : cases) {
        SCOPED_TRACE(c.what);
        if (::geteuid() == 0 && std::string(c.what) == "read-only directory") {
            continue;  // root writes anywhere
        }
        scratch_dir dir;
        const std::string song = dir.path + "/song.mp3";
        write_bytes(song, original_bytes);
        c.arrange(dir.path, song);
        const auto before = dir.names();
        const io::rewrite_outcome o = rewrite(song, true, c.vet);
        EXPECT_FALSE(o.done);
        EXPECT_NE(o.failure.find(c.says), std::string::npos) << o.failure;
        EXPECT_EQ(read_file(song), original_bytes);
        ::chmod(dir.path.c_str(), 0755);
        EXPECT_EQ(dir.names(), before);
    }
}

TEST(Rewrite, AFileChangedSinceItWasCheckedIsRefused)
{
    scratch_dir dir;
    const std::string song = dir.path + "/song.mp3";
    write_bytes(song, original_bytes);
    const int fd = ::open(song.c_str(), O_RDONLY);
    struct stat seen {};
    ::fstat(fd, &seen);
    write_bytes(song, original_bytes + text("more"));
    const io::rewrite_outcome o = io::rewrite_file(song, fd, seen, new_version, true);
    ::close(fd);
    EXPECT_FALSE(o.done);
    EXPECT_NE(o.failure.find("changed"), std::string::npos);
    EXPECT_EQ(dir.names(), std::vector<std::string>{"song.mp3"});
}

TEST(Rewrite, AKillAtAnyStepLeavesTheOldFileOrTheNewOneWhole)
{
    for (const io::rewrite_step step :
         {io::rewrite_step::temporary_written, io::rewrite_step::backup_made, io::rewrite_step::renamed}) {
        SCOPED_TRACE(static_cast<int>(step));
        scratch_dir dir;
        const std::string song = dir.path + "/song.mp3";
        write_bytes(song, original_bytes);
        const pid_t child = ::fork();
        if (child == 0) {
            rewrite(song, true, {}, [step](io::rewrite_step now) {
                if (now == step) {
                    ::raise(SIGKILL);
                }
            });
            ::_exit(0);
        }
        int status = 0;
        ::waitpid(child, &status, 0);
        ASSERT_TRUE(WIFSIGNALED(status));
        const bytes now = read_file(song);
        EXPECT_EQ(now, step == io::rewrite_step::renamed ? new_bytes : original_bytes);
        if (step != io::rewrite_step::temporary_written) {
            EXPECT_EQ(read_file(song + ".bak"), original_bytes);
        }
    }
}

}  // namespace
}  // namespace framelint::test
