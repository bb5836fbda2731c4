// The integrity check (-c): its pure checks on their own, then the scan with it
// on hand-built streams, real encoder output and damaged copies of it.

#include <gtest/gtest.h>

#include <array>
#include <string>
#include <vector>

#include "mpeg/frame_crc.hpp"
#include "tags/end_tags.hpp"
#include "integrity/gain_steps.hpp"
#include "mpeg/vbr_tag.hpp"
#include "run_support.hpp"
#include "mpeg/crc16.hpp"
#include "support.hpp"

namespace framelint::test {
namespace {

// The body tests/data/frame_crc_table.py puts after the CRC word of case `seed`.
bytes pseudo_random_body(int seed, std::size_t n = 64)
{
    bytes b(n);
    for (std::size_t i = 0; i < n; ++i) {
        b[i] = static_cast<std::uint8_t>((i * 73 + static_cast<std::size_t>(seed) * 29 + 11) % 256);
    }
    return b;
}

struct crc_case {
    const char* what;
    std::uint32_t header;
    int seed;
    std::uint16_t expected;
};

// Expected values from tests/data/frame_crc_table.py, an implementation of the
// same rules written apart from this one.
const crc_case crc_cases[] = {
    {"MPEG-1 Layer I stereo", 0xFFFEC004u, 0, 0xE784},
    {"MPEG-1 Layer I joint, bound 4", 0xFFFE8444u, 1, 0xD4EB},
    {"MPEG-1 Layer I joint, bound 16", 0xFFFE8474u, 2, 0xC263},
    {"MPEG-1 Layer I dual", 0xFFFE4884u, 3, 0xC4A4},
    {"MPEG-1 Layer I mono", 0xFFFE20C4u, 4, 0x8356},
    {"MPEG-2 Layer I joint, bound 8", 0xFFF66454u, 5, 0x6172},
    {"MPEG-2.5 Layer I mono", 0xFFE638C4u, 6, 0xDC87},
    {"MPEG-1 Layer II table A, 48 kHz 128 stereo", 0xFFFC8404u, 7, 0x8E1E},
    {"MPEG-1 Layer II table A, 44.1 kHz 56 mono", 0xFFFC30C4u, 8, 0x112D},
    {"MPEG-1 Layer II table A, 32 kHz 160 joint bound 8", 0xFFFC9854u, 9, 0xB7B4},
    {"MPEG-1 Layer II table B, 44.1 kHz 192 stereo", 0xFFFCA004u, 10, 0x481D},
    {"MPEG-1 Layer II table B, 32 kHz 384 joint bound 16", 0xFFFCE874u, 11, 0x6FFD},
    {"MPEG-1 Layer II table B, 44.1 kHz 96 mono", 0xFFFC60C4u, 12, 0xF137},
    {"MPEG-1 Layer II table C, 48 kHz 64 stereo", 0xFFFC4404u, 13, 0x59DA},
    {"MPEG-1 Layer II table C, 44.1 kHz 32 mono", 0xFFFC10C4u, 14, 0x6FE0},
    {"MPEG-1 Layer II table D, 32 kHz 96 dual", 0xFFFC6884u, 15, 0x3A32},
    {"MPEG-1 Layer II table D, 32 kHz 48 mono", 0xFFFC28C4u, 16, 0xF296},
    {"MPEG-2 Layer II stereo", 0xFFF4A004u, 17, 0x2914},
    {"MPEG-2 Layer II joint, bound 12", 0xFFF48464u, 18, 0xA448},
    {"MPEG-2 Layer II mono", 0xFFF448C4u, 19, 0x49EE},
    {"MPEG-2.5 Layer II stereo", 0xFFE46004u, 20, 0x65B8},
    {"MPEG-1 Layer III stereo", 0xFFFA9004u, 21, 0x6A2B},
    {"MPEG-1 Layer III joint", 0xFFFA9064u, 22, 0x0797},
    {"MPEG-1 Layer III mono", 0xFFFA54C4u, 23, 0xBE70},
    {"MPEG-2 Layer III joint", 0xFFF28044u, 24, 0x73F1},
    {"MPEG-2 Layer III mono", 0xFFF244C4u, 25, 0x0FC2},
    {"MPEG-2.5 Layer III dual", 0xFFE26884u, 26, 0x2F37},
    {"MPEG-2.5 Layer III mono", 0xFFE228C4u, 27, 0x0449},
};

TEST(FrameCrc, EveryLayerVersionAndModeAgreesWithAnIndependentComputation)
{
    for (const crc_case& c : crc_cases) {
        const bytes body = pseudo_random_body(c.seed);
        const auto crc = expected_frame_crc(c.header, body);
        ASSERT_TRUE(crc.has_value()) << c.what;
        EXPECT_EQ(*crc, c.expected) << c.what;
    }
}

TEST(FrameCrc, ChangesWithTheHeaderAndTheProtectedBitsOnly)
{
    const std::uint32_t l3_mono = 0xFFFA54C4u;  // 17 bytes of side information
    const bytes body = pseudo_random_body(23);
    const std::uint16_t crc = *expected_frame_crc(l3_mono, body);
    bytes in_side_info = body;
    in_side_info[16] ^= 0x01;
    bytes after_it = body;
    after_it[17] ^= 0xFF;
    EXPECT_NE(*expected_frame_crc(l3_mono, in_side_info), crc);
    EXPECT_EQ(*expected_frame_crc(l3_mono, after_it), crc);
    EXPECT_NE(*expected_frame_crc(l3_mono ^ 0x4u, body), crc) << "the original bit is in header byte 3";
}

TEST(FrameCrc, NothingWhenTheBytesEndBeforeTheProtectedBits)
{
    const bytes body = pseudo_random_body(0);
    EXPECT_FALSE(expected_frame_crc(0xFFFA9004u, std::span(body).first(31)).has_value());
    EXPECT_TRUE(expected_frame_crc(0xFFFA9004u, std::span(body).first(32)).has_value());
    EXPECT_FALSE(expected_frame_crc(0xFFFEC004u, std::span(body).first(31)).has_value()) << "Layer I stereo: 32 bytes";
    EXPECT_FALSE(expected_frame_crc(0xFFFA0004u, body).has_value()) << "free format";
}

// ---- Xing/Info, VBRI and the LAME tag ---------------------------------------

TEST(VbrTag, LameInfoFrameOfARealFile)
{
    const bytes file = read_file(fixture("lame_cbr128.mp3"));
    const std::span<const std::uint8_t> first(file.data(), 417);
    const auto h = find_vbr_header(first, 0xFFFB9064u);
    ASSERT_TRUE(h.has_value());
    EXPECT_EQ(h->kind, vbr_header_kind::info);
    EXPECT_EQ(h->frames, 40u);
    EXPECT_EQ(h->bytes, 17135u);
    const auto tag = find_lame_tag(first, h->fields_end);
    ASSERT_TRUE(tag.has_value());
    EXPECT_TRUE(tag->tag_crc_matches());
    EXPECT_EQ(tag->music_length, 17135u);
    EXPECT_EQ(tag->music_crc, crc16_arc(file.data() + 417, file.size() - 417));
}

TEST(VbrTag, VbriHeaderOfAHandBuiltFrame)
{
    bytes f = frame(l3_128k, 0x00);
    const bytes vbri = text("VBRI") + bytes{0, 1, 0, 0, 0, 50, 0, 0, 0x12, 0x34, 0, 0, 0, 77};
    std::copy(vbri.begin(), vbri.end(), f.begin() + 36);
    const auto h = find_vbr_header(f, l3_128k);
    ASSERT_TRUE(h.has_value());
    EXPECT_EQ(h->kind, vbr_header_kind::vbri);
    EXPECT_EQ(h->bytes, 0x1234u);
    EXPECT_EQ(h->frames, 77u);
    EXPECT_FALSE(find_vbr_header(frame(l3_128k, 0x00), l3_128k).has_value());
}

TEST(VbrTag, WhichEncoderStringsPromiseBothCrcs)
{
    const struct {
        const char* encoder;
        bool writes;
    } cases[] = {
        {"LAME3.100", true}, {"LAME3.99r", true}, {"LAME3.90.", true}, {"LAME3.9 b", true},
        {"LAME3.89b", false}, {"LAME3.12 ", false}, {"LAME4.0  ", true}, {"Lavc58.91", true},
        {"Lavf", true},       {"GOGO3.10 ", false}, {"LAME     ", false}, {"LAME.3.99", false},
    };
    for (const auto& c : cases) {
        std::array<std::uint8_t, 9> e{};
        for (std::size_t i = 0; i < e.size() && c.encoder[i] != '\0'; ++i) {
            e[i] = static_cast<std::uint8_t>(c.encoder[i]);
        }
        EXPECT_EQ(lame_writes_crcs(e), c.writes) << c.encoder;
    }
}

// ---- Tags at the end ----------------------------------------------------------

bytes ape_tag(bool with_header, std::uint32_t item_bytes)
{
    const std::uint32_t size = item_bytes + 32;
    const auto le = [](std::uint32_t v) {
        return bytes{static_cast<std::uint8_t>(v), static_cast<std::uint8_t>(v >> 8),
                     static_cast<std::uint8_t>(v >> 16), static_cast<std::uint8_t>(v >> 24)};
    };
    const std::uint32_t flags = with_header ? 0x80000000u : 0;
    const bytes footer = text("APETAGEX") + le(2000) + le(size) + le(1) + le(flags) + bytes(8);
    const bytes header = text("APETAGEX") + le(2000) + le(size) + le(1) + le(flags | 0x20000000u) + bytes(8);
    // One item (value size, flags, key, value) filling item_bytes, at least 14.
    const bytes item = le(item_bytes - 14) + le(0) + text("Title") + bytes{0} + bytes(item_bytes - 14, 'a');
    return (with_header ? header : bytes{}) + item + footer;
}

bytes lyrics3v2(const std::string& fields)
{
    const std::string body = "LYRICSBEGIN" + fields;
    char size[7];
    std::snprintf(size, sizeof size, "%06zu", body.size());
    return text(body + size + "LYRICS200");
}

bytes id3v2_with_footer(std::uint8_t size)
{
    return text("ID3") + bytes{4, 0, 0x10, 0, 0, 0, size} + bytes(size, 'x') + text("3DI") +
           bytes{4, 0, 0x10, 0, 0, 0, size};
}

TEST(EndTags, StacksReadFromTheEndAndFromTheStart)
{
    const bytes v1 = id3v1_tag_bytes("Title", "Artist", 1, 2);
    const bytes audio(300, 0x55);
    bytes nested_id3v2 = id3v2_tag(50);
    const bytes inner = id3v2_tag(10);
    std::copy(inner.begin(), inner.end(), nested_id3v2.end() - static_cast<std::ptrdiff_t>(inner.size()));
    const struct {
        const char* what;
        bytes tags;
    } stacks[] = {
        {"ID3v1", v1},
        {"APEv2 with header, ID3v1", ape_tag(true, 40) + v1},
        {"APEv2 footer only, ID3v1", ape_tag(false, 2000) + v1},
        {"Lyrics3v2, ID3v1", lyrics3v2("IND0000210LYR00005la la") + v1},
        {"ID3v1, appended ID3v2 with footer", v1 + id3v2_with_footer(20)},
        {"APEv2 footer only", ape_tag(false, 20)},
        // An appended ID3v2 tag without its footer is found by a header whose
        // size leads exactly to the end; behind these two tags, which cannot
        // be read from their start, nothing else finds it.
        {"Lyrics3v2, ID3v2 without footer", lyrics3v2("IND0000210LYR00005la la") + id3v2_tag(40)},
        {"APEv2 footer only, empty ID3v2 without footer, ID3v1", ape_tag(false, 30) + id3v2_tag(0) + v1},
        {"two ID3v2 tags without footers", id3v2_tag(40) + id3v2_tag(10)},
        {"ID3v2 without footer ending in another whole tag (an object it holds)", nested_id3v2},
    };
    for (const auto& s : stacks) {
        const bytes stream = audio + s.tags;
        const std::size_t keep = std::min<std::size_t>(stream.size(), 1024);
        const std::span<const std::uint8_t> tail(stream.data() + stream.size() - keep, keep);
        EXPECT_EQ(end_tags_start(tail, stream.size()), audio.size()) << s.what;
    }
    EXPECT_EQ(end_tags_start(audio, audio.size()), audio.size()) << "no tag at all";
    // A tag's header whose size falls one byte short of the end is no tag there.
    const bytes short_of_the_end = audio + id3v2_tag(40) + bytes{0x55};
    EXPECT_EQ(end_tags_start(short_of_the_end, short_of_the_end.size()), short_of_the_end.size());
    bytes lyrics_bad_size = audio + lyrics3v2("IND0000210LYR00005la la");
    lyrics_bad_size[lyrics_bad_size.size() - 12] = 'x';
    EXPECT_EQ(end_tags_start(lyrics_bad_size, lyrics_bad_size.size()), lyrics_bad_size.size()) << "digits only";

    EXPECT_EQ(tag_length_from_start(ape_tag(true, 40)), 40u + 64);
    EXPECT_EQ(tag_length_from_start(ape_tag(false, 40)), 0u) << "a footer begins no tag";
    EXPECT_EQ(tag_length_from_start(id3v2_with_footer(20)), 40u);
    EXPECT_EQ(tag_length_from_start(v1), 128u);
    EXPECT_EQ(tag_length_from_start(text("ID3") + bytes{3, 0, 0, 0, 0, 0x80, 0}), 0u) << "not synchsafe";
    EXPECT_EQ(tag_length_from_start(audio), 0u);
}

// The tags after the last frame, read forward by their headers, stop where
// bytes begin no tag, or at the start of a tag longer than what is left.
TEST(EndTags, ReadForwardByTheirHeaders)
{
    const bytes v1 = id3v1_tag_bytes("Title", "Artist", 1, 2);
    const bytes audio(100, 0x55);
    const struct {
        const char* what;
        bytes after;
        std::size_t forward;  // where the tags stop, counted from the end of the audio
    } cases[] = {
        {"nothing", {}, 0},
        {"ID3v1", v1, 128},
        {"APEv2 with header, ID3v1", ape_tag(true, 40) + v1, 104 + 128},
        {"ID3v1, then junk", v1 + bytes(50, 0x55), 128},
        {"junk, then ID3v1", bytes(50, 0x55) + v1, 0},
        {"an ID3v1 tag cut short: no tag", bytes(v1.begin(), v1.begin() + 100), 0},
        {"ID3v1, then one cut short", v1 + bytes(v1.begin(), v1.begin() + 60), 128},
        {"two empty ID3v2 tags in fewer bytes than a header's worth", id3v2_tag(0) + id3v2_tag(0), 20},
    };
    for (const auto& k : cases) {
        const bytes stream = audio + k.after;
        const auto read = [&](std::int64_t at, std::span<std::uint8_t> into) {
            const std::size_t n = std::min(into.size(), stream.size() - static_cast<std::size_t>(at));
            std::copy_n(stream.begin() + at, n, into.begin());
            return n;
        };
        EXPECT_EQ(tags_forward_end(100, static_cast<std::int64_t>(stream.size()), read), 100 + static_cast<std::int64_t>(k.forward))
            << k.what;
    }
    const auto nothing = [](std::int64_t, std::span<std::uint8_t>) { return std::size_t{0}; };
    EXPECT_EQ(tags_forward_end(100, 400, nothing), std::nullopt) << "bytes that could not be had are not known";
}

// The one decision of what ends a stream: junk between the tags read forward
// and those read back, tags read back that stand where the last frame was cut
// off, and never a tag read back over a whole frame.
TEST(EndTags, TheEndOfAStreamIsSettledOnce)
{
    const bytes v1 = id3v1_tag_bytes("Title", "Artist", 1, 2);
    const bytes enhanced = text("TAG+") + bytes(223, 0x20);
    const bytes junk(70, 0x55);
    const bytes frame_bytes(400, 0x11);  // the last frame: 100 to 500
    const struct {
        const char* what;
        bytes stream;
        std::int64_t last_end;
        std::int64_t forward;  // as the scan read the tags after the frame
        bool rules;
        std::int64_t back_begin;
        std::int64_t junk;
        bool cut;
        std::size_t tags_read_back;
    } cases[] = {
        {"tags read forward to the end", bytes(100, 0x11) + frame_bytes + v1, 500, 628, true, 628, 0, false, 0},
        {"junk before an ID3v1 tag", bytes(100, 0x11) + frame_bytes + junk + v1, 500, 500, true, 570, 70, false, 1},
        {"the same without the check's rules", bytes(100, 0x11) + frame_bytes + junk + v1, 500, 500, false, 570, 70,
         false, 0},
        {"TAG+ read forward as an ID3v1 tag", bytes(100, 0x11) + frame_bytes + enhanced + v1, 500, 628, true, 500, 0,
         false, 2},
        {"cut inside the last frame and tagged again", bytes(100, 0x11) + bytes(300, 0x11) + v1, 600, 0, true, 400, 0,
         true, 1},
        {"cut without the check's rules: the frame is all there is", bytes(100, 0x11) + bytes(300, 0x11) + v1, 600, 0,
         false, 528, 0, false, 0},
        {"an ID3v1 tag inside a whole frame is no tag", bytes(100, 0x11) + bytes(272, 0x11) + v1, 500, 500, true, 500,
         0, false, 0},
    };
    for (const auto& k : cases) {
        stream_end_facts f;
        const std::size_t keep = std::min<std::size_t>(k.stream.size(), end_tail_size);
        f.tail = std::span<const std::uint8_t>(k.stream.data() + k.stream.size() - keep, keep);
        f.stream_end = static_cast<std::int64_t>(k.stream.size());
        f.has_frame = true;
        f.last_start = 100;
        f.last_end = k.last_end;
        f.forward_end = k.forward;
        f.stream_rules = k.rules;
        const stream_end end = settle_stream_end(f);
        EXPECT_EQ(end.back_begin, k.back_begin) << k.what;
        EXPECT_EQ(end.junk_size(), k.junk) << k.what;
        EXPECT_EQ(end.frame_cut_by_tags, k.cut) << k.what;
        EXPECT_EQ(end.back_count, k.tags_read_back) << k.what;
    }
}

// ---- The scan with -c, on hand-built streams ----------------------------------

// A protected MPEG-1 Layer I frame (48 kHz, 128 kbit/s, 128 bytes, joint stereo
// with bound 8) whose CRC word is right for its bit allocation.
bytes layer1_frame(std::uint8_t fill)
{
    const std::uint32_t header = 0xFFFE4454u;
    bytes f(128, fill);
    f[0] = 0xFF;
    f[1] = 0xFE;
    f[2] = 0x44;
    f[3] = 0x54;
    const std::uint16_t crc = *expected_frame_crc(header, std::span(f).subspan(6));
    f[4] = static_cast<std::uint8_t>(crc >> 8);
    f[5] = static_cast<std::uint8_t>(crc);
    return f;
}

std::string problem_names(const scan_state& st)
{
    std::string names;
    for (const problem& p : st.problems.kept) {
        names += std::string(info_of(p.kind).name) + "@" + std::to_string(p.offset) + ";";
    }
    return names;
}

// An APEv2 item: value size, flags, key, NUL, value.
bytes ape_item(const std::string& key, const bytes& value, std::uint32_t flags = 0)
{
    bytes item(8, 0);
    for (int i = 0; i < 4; ++i) {
        item[static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(value.size() >> (8 * i));
        item[static_cast<std::size_t>(4 + i)] = static_cast<std::uint8_t>(flags >> (8 * i));
    }
    return item + text(key) + bytes(1, 0) + value;
}

// An APEv2 tag of the items given, with a header when asked; footer_at and
// footer_byte change one byte of the footer.
bytes ape_tag_of(const std::vector<bytes>& items, bool header, std::size_t footer_at = 0, std::uint8_t footer_xor = 0)
{
    bytes body;
    for (const bytes& i : items) {
        body = body + i;
    }
    const auto block = [&](bool is_header) {
        bytes b = text("APETAGEX") + bytes(24, 0);
        const std::uint32_t fields[] = {2000, static_cast<std::uint32_t>(body.size() + 32),
                                        static_cast<std::uint32_t>(items.size()),
                                        (header ? 0x80000000u : 0u) | (is_header ? 0x20000000u : 0u)};
        for (std::size_t f = 0; f < 4; ++f) {
            for (std::size_t i = 0; i < 4; ++i) {
                b[8 + 4 * f + i] = static_cast<std::uint8_t>(fields[f] >> (8 * i));
            }
        }
        return b;
    };
    bytes footer = block(false);
    footer[footer_at] ^= footer_xor;
    return (header ? block(true) : bytes{}) + body + footer;
}

// Without the check's own rules (-c -sf) the tags after the last frame are
// read by their headers at the end, from the input's last bytes or, for tags
// longer than those, from the file again: junk after a long tag is found.
// (Under -c the scan reads them by their sizes as they come.) A file keeps
// fewer of its last bytes than a pipe does, since it can be read again: a tag
// of 2,000 bytes is read again from it, and still held for a pipe.
TEST(IntegrityScan, JunkAfterALongEndTagIsFoundInCopyMode)
{
    const bytes song = read_file(fixture("lame_cbr128.mp3"));  // 17135 bytes
    const bytes v1 = id3v1_tag_bytes("Fixture Tone", "framelint", 1, 12);
    for (const std::size_t cover_size : {2000, 6000}) {
        SCOPED_TRACE(cover_size);
        const bytes cover = ape_tag_of({ape_item("Cover Art (Front)", bytes(cover_size, 0x41), 2)}, true);
        const std::string junk_at = "(BYTE " + std::to_string(17135 + cover.size()) + "). Expected the end";
        for (const char* switches : {"-c -sf", "-c"}) {
            SCOPED_TRACE(switches);
            const scan_result junk = scan_regular_file(song + cover + bytes(50, 0x55) + v1, options(switches));
            EXPECT_NE(junk.err.find("Junk after the last frame"), std::string::npos) << junk.err;
            EXPECT_NE(junk.err.find(junk_at), std::string::npos) << junk.err;
            const scan_result tags = scan_regular_file(song + cover + v1, options(switches));
            EXPECT_EQ(tags.err.find("Junk"), std::string::npos) << tags.err;
        }
        // Standard input cannot be read again: what its input no longer holds
        // is not taken for junk.
        launch piped;
        piped.args = {"-c", "-sf", "-"};
        piped.stdin_data = song + cover + bytes(50, 0x55) + v1;
        piped.stdin_is_pipe = true;
        const run_result r = run_framelint_as(piped);
        EXPECT_EQ(r.err.find("Junk") != std::string::npos, cover_size < 4000) << r.err;
    }
}

// Tags that taggers write after the audio are read as tags, each in the map;
// an APEv2 tag whose footer does not match its header is damage.
TEST(IntegrityScan, EndTagsTaggersWriteAreReadAsTags)
{
    const bytes song = read_file(fixture("lame_cbr128.mp3"));  // 17135 bytes
    const bytes v1 = id3v1_tag_bytes("Fixture Tone", "framelint", 1, 12);
    const bytes enhanced = text("TAG+") + text(std::string(60, 'T')) + text(std::string(60, 'A')) +
                           text(std::string(60, 'L')) + bytes(1, 1) + text(std::string(30, 'G')) +
                           text("000:00000:01");
    const bytes lyrics = text("LYRICSBEGIN[00:01]la la la\r\n[00:02]la laLYRICSEND");
    // An attached file whose bytes are whole frames of audio.
    const bytes attached = text("song.mp3") + bytes(1, 0) + slice(song, 417 * 3, 417 * 8);
    const bytes headerless = ape_tag_of({ape_item("Title", text("Fixture")), ape_item("Song", attached, 2)}, false);
    const bytes titled = ape_tag_of({ape_item("Title", text("Fixture")), ape_item("Artist", text("framelint"))}, true);
    const bytes bad_size = ape_tag_of({ape_item("Title", text("Fixture"))}, true, 12, 0x40);
    const bytes bad_magic = ape_tag_of({ape_item("Title", text("Fixture"))}, true, 7, 1);
    const struct {
        const char* what;
        bytes stream;
        std::string problems;
        std::string tags;  // the map's tags: format@begin+size
    } cases[] = {
        {"the enhanced TAG+ block before ID3v1", song + enhanced + v1, "", "1@17135+227;1@17362+128;"},
        {"Lyrics3 v1 before ID3v1", song + lyrics + v1, "", "3@17135+49;1@17184+128;"},
        {"APEv2 without a header holding frames, then ID3v1", song + headerless + v1, "",
         "2@17135+" + std::to_string(headerless.size()) + ";1@" + std::to_string(17135 + headerless.size()) + "+128;"},
        {"APEv2 without a header holding frames, at the end", song + headerless, "",
         "2@17135+" + std::to_string(headerless.size()) + ";"},
        {"APEv2 with header and footer, then ID3v1", song + titled + v1, "",
         "2@17135+" + std::to_string(titled.size()) + ";1@" + std::to_string(17135 + titled.size()) + "+128;"},
        {"APEv2 whose footer has another size, then ID3v1", song + bad_size + v1, "apev2_footer@17135;", ""},
        {"APEv2 whose footer is no footer, then ID3v1", song + bad_magic + v1, "apev2_footer@17135;", ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const scan_result r = scan_memory(c.stream, options("-c --json"));
        EXPECT_EQ(problem_names(r.state), c.problems) << r.err;
        EXPECT_EQ(r.state.counters.good_frames, 41);
        if (!c.tags.empty()) {
            std::string tags;
            for (const tag_range& t : r.state.layout.tags) {
                tags += std::to_string(static_cast<int>(t.format)) + "@" + std::to_string(t.bytes.begin) + "+" +
                        std::to_string(t.bytes.size()) + ";";
            }
            EXPECT_EQ(tags, c.tags);
        }
    }
    // Between two joined files, an ID3v1 tag is named as one.
    const bytes tagged = song + v1;
    const scan_result joined = scan_memory(tagged + tagged, options("-c --json"));
    ASSERT_FALSE(joined.state.problems.kept.empty());
    EXPECT_EQ(joined.state.problems.kept.front().kind, problem_kind::joined_streams);
    EXPECT_EQ(joined.state.problems.kept.front().numbers[1], static_cast<std::int64_t>(tag_format::id3v1));
}

TEST(IntegrityScan, ProtectedLayerIStreamIsVouchedForByItsFrameCrcs)
{
    const bytes stream = repeat(layer1_frame(0x21), 10);
    const scan_result r = scan_memory(stream, options("-c --json"));
    EXPECT_EQ(r.state.counters.bad_frames, 0) << r.err;
    EXPECT_EQ(r.state.verdict, integrity_verdict::frame_crcs);

    bytes damaged = stream;
    damaged[3 * 128 + 10] ^= 0x40;  // inside the bit allocation of the fourth frame
    const scan_result d = scan_memory(damaged, options("-c --json"));
    EXPECT_EQ(d.state.counters.bad_frames, 1);
    EXPECT_EQ(problem_names(d.state), "frame_crc_mismatch@384;");
    EXPECT_EQ(d.state.verdict, integrity_verdict::damaged);
    EXPECT_NE(d.err.find("\nA frame's CRC does not match its protected bits at offset 0x180 (BYTE 384)."),
              std::string::npos)
        << d.err;
    EXPECT_EQ(scan_memory(damaged, options("")).state.counters.bad_frames, 0) << "the default check cannot see it";
}

TEST(IntegrityScan, FindingsOnHandBuiltStreams)
{
    const bytes song = repeat(frame(l3_128k), 5);
    const bytes v1 = id3v1_tag_bytes("T", "A", 1, 1);
    bytes reserved = frame(l3_128k);
    reserved[3] = static_cast<std::uint8_t>((reserved[3] & 0xFC) | 2);
    // A tag read back from its footer, whose item holds three sync words with
    // bit-rate index 0, as a free-format stream's headers would look.
    bytes ape_with_sync_words = ape_tag(false, 60);
    for (const std::size_t at : {14, 24, 34}) {
        const bytes word{0xFF, 0xFB, 0x00, 0x00};
        std::copy(word.begin(), word.end(), ape_with_sync_words.begin() + static_cast<std::ptrdiff_t>(at));
    }
    // A frame whose last ten bytes read as an empty ID3v2 tag's header.
    bytes ends_like_a_tag = song;
    const bytes empty_tag = id3v2_tag(0);
    std::copy(empty_tag.begin(), empty_tag.end(), ends_like_a_tag.end() - static_cast<std::ptrdiff_t>(empty_tag.size()));
    // A frame with "TAG" 128 bytes before its end, as an ID3v1 tag would stand.
    bytes ends_like_id3v1 = song;
    const bytes tag_text = text("TAG");
    std::copy(tag_text.begin(), tag_text.end(), ends_like_id3v1.end() - 128);
    const struct {
        const char* what;
        bytes stream;
        std::string problems;
        integrity_verdict verdict;
    } cases[] = {
        {"clean", song, "", integrity_verdict::structure},
        {"clean, ID3v1", song + v1, "", integrity_verdict::structure},
        {"no frame", bytes(1000, 0x11), "no_frames@1000;", integrity_verdict::damaged},
        {"empty", bytes{}, "no_frames@0;", integrity_verdict::damaged},
        {"junk in front", bytes(7, 0x11) + song, "first_frame_late@11;leading_junk@0;", integrity_verdict::damaged},
        {"zeros after the ID3v2 tag", id3v2_tag(20) + bytes(5, 0) + song,
         "id3v2_tag@0;first_frame_late@39;leading_junk@30;", integrity_verdict::damaged},
        {"junk at the end", song + bytes(9, 0x11), "trailing_junk@2085;", integrity_verdict::damaged},
        {"junk between the audio and ID3v1", song + bytes(9, 0x11) + v1, "trailing_junk@2085;",
         integrity_verdict::damaged},
        // An empty ID3v2 tag is shorter than the bytes the end is read by;
        // the tags after it were once taken for junk.
        {"an empty ID3v2 tag, ID3v1 and another empty one", song + id3v2_tag(10) + v1 + id3v2_tag(10), "",
         integrity_verdict::structure},
        {"three empty ID3v2 tags end the stream", song + id3v2_tag(0) + id3v2_tag(0) + id3v2_tag(0), "",
         integrity_verdict::structure},
        {"an empty ID3v2 tag, then junk", song + id3v2_tag(0) + bytes(9, 0x11), "trailing_junk@2095;",
         integrity_verdict::damaged},
        // They were once taken for a free-format stream, and the tag went unread.
        {"free-format sync words inside the tag at the end", song + ape_with_sync_words, "",
         integrity_verdict::structure},
        // The "TAG" in the first footer's "APETAGEX" stands 128 bytes before
        // the end, where an ID3v1 tag would begin.
        {"two APEv2 tags without headers, the first footer 128 bytes from the end",
         song + ape_tag(false, 40) + ape_tag(false, 67), "", integrity_verdict::structure},
        // Read from the frame's end, the ID3v1 tag shows the frame whole; read
        // back from the end, the frame's last bytes once made a tag over it.
        {"a frame ending like an empty ID3v2 tag, then ID3v1 and an APEv2 tag without header",
         ends_like_a_tag + v1 + ape_tag(false, 40), "", integrity_verdict::structure},
        {"a frame ending like an empty ID3v2 tag, then an APEv2 tag without header",
         ends_like_a_tag + ape_tag(false, 40), "", integrity_verdict::structure},
        // The APEv2 tag, read back from the end, begins where the frame ends:
        // the frame is whole, whatever its bytes look like.
        {"a frame ending like an ID3v1 tag, then an APEv2 tag without header", ends_like_id3v1 + ape_tag(false, 40),
         "", integrity_verdict::structure},
        {"cut inside the last frame, an ID3v1 tag where the frame would end, then an APEv2 tag",
         slice(song, 0, song.size() - 300) + id3v1_tag_bytes("T", "A", 1, 1) + ape_tag(false, 40),
         "last_frame_cut_by_tag@1668;", integrity_verdict::damaged},
        {"Lyrics3v2, then an ID3v2 tag without footer", song + lyrics3v2("IND0000210LYR00005la la") + id3v2_tag(40),
         "", integrity_verdict::structure},
        {"reserved emphasis", song + reserved, "reserved_emphasis@2085;", integrity_verdict::damaged},
        {"last frame cut, then tagged", slice(song, 0, song.size() - 60) + v1, "last_frame_cut_by_tag@1668;",
         integrity_verdict::damaged},
        // The tag ends the stream before the frame would have ended: still a
        // frame cut by a tag, the tag no part of the frame.
        {"last frame cut short of the tag's length, then tagged", slice(song, 0, song.size() - 300) + v1,
         "last_frame_cut_by_tag@1668;", integrity_verdict::damaged},
    };
    for (const auto& c : cases) {
        for (const bool as_stdin : {false, true}) {
            const scan_result r = scan_memory(c.stream, options("-c --json"), as_stdin);
            EXPECT_EQ(problem_names(r.state), c.problems) << c.what;
            EXPECT_EQ(r.state.verdict, c.verdict) << c.what;
            EXPECT_EQ(r.clean, c.problems.empty()) << c.what;
        }
    }
}

// Bytes that look like frames but are none: chance sync words inside tags and
// junk. Under -c they are neither good nor bad frames, and the findings stand
// only on the stream's own frames.
TEST(IntegrityScan, FramesOfTheStreamOnly)
{
    const bytes song = repeat(frame(l3_128k), 5);
    const bytes fake = frame(l3_128k_crc, 0x11, 0xBEEF);  // a frame with a wrong CRC word
    bytes sync_title = id3v1_tag_bytes("T", "A", 1, 1);
    std::copy(fake.begin(), fake.begin() + 6, sync_title.begin() + 3);
    // An ID3v2 tag whose filler is one frame header after another.
    bytes picture = id3v2_tag(6 * 417);
    for (std::size_t at = 10; at + 6 <= picture.size(); at += 417) {
        std::copy(fake.begin(), fake.begin() + 6, picture.begin() + static_cast<std::ptrdiff_t>(at));
    }
    // An ID3v2 tag whose size (20 + 500) swallows the first 500 bytes of audio.
    bytes swallowing = id3v2_tag(20) + song;
    swallowing[8] = 520 >> 7;
    swallowing[9] = 520 & 0x7F;
    const struct {
        const char* what;
        bytes stream;
        std::string problems;
        integrity_verdict verdict;
    } cases[] = {
        {"a sync word in the ID3v1 title", song + sync_title, "", integrity_verdict::structure},
        {"an ID3v2 tag that swallows audio", swallowing, "id3v2_tag@0;id3v2_size@0;", integrity_verdict::damaged},
        {"two ID3v2 tags, one full of sync words", id3v2_tag(20) + picture + song, "id3v2_tag@0;id3v2_tag@30;",
         integrity_verdict::structure},
        {"a chance frame in junk between two runs", song + bytes(50, 0x11) + fake + bytes(30, 0x11) + song,
         "frame_not_found@2586;", integrity_verdict::damaged},
        {"a tag between two runs", song + id3v2_tag(20) + song, "joined_streams@2085;", integrity_verdict::damaged},
        {"a format switch", song + repeat(frame(0xFFF38044u), 3), "format_switch@2085;", integrity_verdict::damaged},
        {"bit rates that vary without a header", song + repeat(frame(l3_160k), 2),
         "vbr_without_header@0;", integrity_verdict::structure},
        {"an ID3v2 tag that runs past the end", slice(id3v2_tag(500), 0, 300), "id3v2_tag@0;id3v2_size@0;no_frames@300;",
         integrity_verdict::damaged},
    };
    for (const auto& c : cases) {
        const scan_result r = scan_memory(c.stream, options("-c --json"));
        EXPECT_EQ(problem_names(r.state), c.problems) << c.what << r.err;
        EXPECT_EQ(r.state.verdict, c.verdict) << c.what;
        EXPECT_EQ(r.clean, c.verdict != integrity_verdict::damaged) << c.what;
    }
    const scan_result swallowed = scan_memory(swallowing, options("-c"));
    EXPECT_EQ(swallowed.state.counters.good_frames, 5) << "the frames the tag hid are audio";
    EXPECT_NE(swallowed.err.find("Its size ends at offset 0x212 (BYTE 530) and hides 500 bytes of audio."),
              std::string::npos)
        << swallowed.err;
    EXPECT_EQ(swallowed.state.layout.tags.at(0).bytes.end, 30);
    EXPECT_EQ(swallowed.state.layout.runs.at(0).bytes, (byte_range{30, 30 + 5 * 417}));
    // Without -c the default check counts as it always has.
    EXPECT_GT(scan_memory(song + sync_title, options("")).state.counters.bad_frames, 0);
}

// Damage said as what it is: a header broken by zeros or junk, or a chance header
// in junk that happens to lead to a frame, is no change of format, no frame
// CRC and no reserved emphasis; and an ID3v2 tag after junk is a tag.
TEST(IntegrityScan, DamageIsNotTakenForMoreThanItIs)
{
    constexpr std::uint32_t mono = 0xFFFB90C4u;
    const bytes song = repeat(frame(l3_128k), 5);
    bytes mono_broken = frame(mono);
    mono_broken[3] = 0;  // zeros from the header's last byte on: it reads as stereo
    bytes reserved = frame(l3_128k);
    reserved[3] = static_cast<std::uint8_t>((reserved[3] & 0xFC) | 2);
    const bytes wrong_crcs = repeat(frame(l3_128k_crc, 0x11, 0xBEEF), 4);
    bytes protected_frame = frame(l3_128k_crc);
    const std::uint16_t crc = *expected_frame_crc(l3_128k_crc, std::span(protected_frame).subspan(6));
    protected_frame[4] = static_cast<std::uint8_t>(crc >> 8);
    protected_frame[5] = static_cast<std::uint8_t>(crc);
    // A muxer's unprotected Xing frame before protected audio (ffmpeg's, copying lame -p).
    const bytes muxed = frame(l3_128k) + repeat(protected_frame, 4);
    const struct {
        const char* what;
        bytes stream;
        std::string problems;
    } cases[] = {
        {"a mono header whose last byte is zeroed", repeat(frame(mono), 3) + mono_broken + repeat(frame(mono), 3),
         "frame_not_found@1672;"},
        {"zeros over a frame of a mono stream, from a header's last byte",
         read_file(fixture("integrity/zeros_from_mono_header.mp3")),
         "frame_not_found@6690;xing_frame_count@0;music_crc_mismatch@0;"},
        {"a protected chance header in junk, leading to a frame", song + bytes(50, 0x11) + frame(l3_128k_crc) + song,
         "frame_not_found@2556;"},
        {"a chance header with reserved emphasis in junk", song + bytes(50, 0x11) + reserved + song,
         "frame_not_found@2556;"},
        {"a chance header of another format in junk, then the end", song + bytes(50, 0x11) + frame(mono),
         "trailing_junk@2085;"},
        {"a stray header of another format at the very start", frame(0xFFF38044u) + bytes(50, 0x11) + song,
         "frame_not_found@262;"},
        {"a stream whose CRCs are all wrong, after junk", bytes(50, 0x11) + wrong_crcs,
         "first_frame_late@54;leading_junk@0;frame_crc_mismatch@50;frame_crc_mismatch@467;"
         "frame_crc_mismatch@884;frame_crc_mismatch@1301;"},
        {"an ID3v2 tag after junk", bytes(7, 0x11) + id3v2_tag(20) + id3v2_tag(30) + song,
         "leading_junk@0;id3v2_tag@7;id3v2_tag@37;"},
        {"an unprotected first frame before protected ones, after junk", bytes(7, 0x11) + muxed,
         "first_frame_late@11;leading_junk@0;"},
        {"an ID3v2 tag after junk, then such frames", bytes(7, 0x11) + id3v2_tag(20) + muxed,
         "leading_junk@0;id3v2_tag@7;"},
        {"an ID3v2 tag after junk, full of sync words", read_file(fixture("integrity/id3v2_after_junk.mp3")),
         "leading_junk@0;id3v2_tag@300;"},
        {"an ID3v2 header after junk whose size leads to junk", bytes(7, 0x11) + id3v2_tag(20) + bytes(5, 0x11) + song,
         "first_frame_late@46;leading_junk@0;"},
    };
    for (const auto& c : cases) {
        const scan_result r = scan_memory(c.stream, options("-c --json"));
        EXPECT_EQ(problem_names(r.state), c.problems) << c.what << r.err;
        EXPECT_EQ(r.state.verdict, integrity_verdict::damaged) << c.what;
    }
    // The tag after the junk is in the layout, so that a repair keeps it.
    const bytes junk_then_tag = bytes(7, 0x11) + id3v2_tag(20) + song;
    const stream_layout l = scan_memory(junk_then_tag, options("-c")).state.layout;
    ASSERT_EQ(l.tags.size(), 1u);
    EXPECT_EQ(l.tags[0].place, tag_place::leading);
    EXPECT_EQ(l.tags[0].bytes, (byte_range{7, 37}));
    ASSERT_EQ(l.runs.size(), 1u);
    EXPECT_EQ(l.runs[0].bytes, (byte_range{37, 37 + 5 * 417}));
}

// Claims that would vouch for more than they cover: a music CRC over less than
// the stream, footers at the end whose tag is not where they say.
TEST(IntegrityScan, NoClaimWithoutCover)
{
    const bytes file = read_file(fixture("lame_cbr128.mp3"));
    // The LAME tag of this Info frame: music length at 184, its own CRC at 190
    // over the 190 bytes before it.
    const auto with_music_length = [&](std::uint32_t length) {
        bytes f = file;
        for (int i = 0; i < 4; ++i) {
            f[184 + static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(length >> (24 - 8 * i));
        }
        const std::uint16_t crc = crc16_arc(f.data(), 190);
        f[190] = static_cast<std::uint8_t>(crc >> 8);
        f[191] = static_cast<std::uint8_t>(crc);
        return f;
    };
    const bytes song = repeat(frame(l3_128k), 5);
    bytes ape_footer = slice(ape_tag(false, 40), 40, 72);  // a footer whose items are not there
    const struct {
        const char* what;
        bytes stream;
        std::string problems;
    } cases[] = {
        {"music length 0", with_music_length(0), "music_ends_early@0;"},
        {"music that ends with the tag frame", with_music_length(417), "music_ends_early@0;"},
        {"a second file after the music", file + song, "xing_frame_count@0;xing_byte_count@0;music_ends_early@0;"},
        // Junk spliced in pushes the frames on, but the music is no longer than declared.
        {"junk spliced in after the tag frame", slice(file, 0, 417) + bytes(300, 0x11) + slice(file, 417, file.size()),
         "frame_not_found@721;xing_byte_count@0;music_crc_mismatch@0;"},
        {"an ID3v2 footer after junk", song + bytes(500, 0x11) + slice(id3v2_with_footer(20), 30, 40),
         "trailing_junk@2085;"},
        {"an APEv2 footer whose size reaches over frames", song + ape_footer, "trailing_junk@2085;"},
        {"an APEv2 footer reaching into a whole last frame", song + bytes(10, 'x') + ape_footer,
         "trailing_junk@2085;"},
    };
    for (const auto& c : cases) {
        const scan_result r = scan_memory(c.stream, options("-c --json"));
        EXPECT_EQ(problem_names(r.state), c.problems) << c.what << r.err;
        EXPECT_EQ(r.state.verdict, integrity_verdict::damaged) << c.what;
    }
    // A chance frame header in junk before the stream is not its first frame:
    // the LAME tag of the real first frame is still read.
    bytes junk(300, 0x11);
    const bytes fake = frame(l3_128k, 0x22);
    std::copy(fake.begin(), fake.begin() + 4, junk.begin() + 20);
    const scan_result late = scan_memory(junk + file, options("-c --json"));
    EXPECT_EQ(problem_names(late.state), "first_frame_late@304;leading_junk@0;") << late.err;
    EXPECT_TRUE(late.state.integrity.lame) << "the tag frame is the stream's first";
}

TEST(IntegrityScan, LayoutOfTagsAndRuns)
{
    const bytes song = repeat(frame(l3_128k), 5);
    const bytes v1 = id3v1_tag_bytes("T", "A", 1, 1);
    const bytes stream = id3v2_tag(20) + id3v2_tag(30) + song + v1 + song + bytes(7, 0x11) + song + v1;
    const scan_result r = scan_memory(stream, options("-c"));
    const stream_layout& l = r.state.layout;
    EXPECT_TRUE(l.complete);
    EXPECT_EQ(l.stream_end, static_cast<std::int64_t>(stream.size()));
    ASSERT_EQ(l.tags.size(), 4u);
    const std::int64_t audio = 30 + 40;
    const std::int64_t run = 5 * 417;
    EXPECT_EQ(l.tags[0].place, tag_place::leading);
    EXPECT_EQ(l.tags[1].bytes, (byte_range{30, audio}));
    EXPECT_EQ(l.tags[2].format, tag_format::id3v1);
    EXPECT_EQ(l.tags[2].place, tag_place::inner);
    EXPECT_EQ(l.tags[2].bytes, (byte_range{audio + run, audio + run + 128}));
    EXPECT_EQ(l.tags[3].place, tag_place::trailing);
    ASSERT_EQ(l.runs.size(), 3u);
    EXPECT_EQ(l.runs[0].bytes, (byte_range{audio, audio + run}));
    EXPECT_EQ(l.runs[0].frames, 5);
    EXPECT_EQ(l.runs[0].samples, 5 * 1152);
    EXPECT_EQ(l.runs[1].bytes, (byte_range{audio + run + 128, audio + 2 * run + 128}));
    EXPECT_EQ(l.runs[2].bytes.begin, audio + 2 * run + 128 + 7);
    EXPECT_EQ(l.runs[2].first_header, l3_128k);
    EXPECT_FALSE(l.vbr_frame);
    EXPECT_FALSE(scan_memory(stream, options("-c -b")).state.layout.complete) << "a scan stopped early";
}

// Taggers stack their tags at the end in any order, and some leave the footer
// off an appended ID3v2 tag or the header off an APEv2 tag. Every stack of up
// to three is read as tags, each where it stands: no junk, nothing for --fix
// to remove.
TEST(IntegrityScan, EveryStackOfEndTagsIsReadAsTags)
{
    const bytes song = repeat(frame(l3_128k), 5);
    const struct {
        const char* name;
        tag_format format;
        bytes bytes_of;
    } kinds[] = {
        {"ID3v1", tag_format::id3v1, id3v1_tag_bytes("T", "A", 1, 1)},
        {"APEv2", tag_format::apev2, ape_tag(true, 40)},
        {"APEv2 footer only", tag_format::apev2, ape_tag(false, 40)},
        {"Lyrics3v2", tag_format::lyrics3v2, lyrics3v2("IND0000210LYR00005la la")},
        {"ID3v2 with footer", tag_format::id3v2, id3v2_with_footer(20)},
        {"empty ID3v2", tag_format::id3v2, id3v2_tag(0)},
        {"small ID3v2", tag_format::id3v2, id3v2_tag(10)},
        {"ID3v2", tag_format::id3v2, id3v2_tag(300)},
    };
    constexpr std::size_t n = std::size(kinds);
    for (std::size_t count = 1; count <= 3; ++count) {
        std::size_t stacks = 1;
        for (std::size_t i = 0; i < count; ++i) {
            stacks *= n;
        }
        for (std::size_t code = 0; code < stacks; ++code) {
            bytes stream = song;
            std::string what;
            std::vector<std::size_t> picked;
            for (std::size_t i = 0, rest = code; i < count; ++i, rest /= n) {
                picked.push_back(rest % n);
                stream = stream + kinds[rest % n].bytes_of;
                what += std::string(i > 0 ? ", " : "") + kinds[rest % n].name;
            }
            const scan_result r = scan_memory(stream, options("-c"));
            EXPECT_EQ(problem_names(r.state), "") << what;
            const std::vector<tag_range>& tags = r.state.layout.tags;
            if (tags.size() != count) {
                ADD_FAILURE() << what << ": " << tags.size() << " tags read";
                continue;
            }
            std::int64_t at = static_cast<std::int64_t>(song.size());
            for (std::size_t i = 0; i < count; ++i) {
                const auto length = static_cast<std::int64_t>(kinds[picked[i]].bytes_of.size());
                EXPECT_EQ(tags[i].format, kinds[picked[i]].format) << what;
                EXPECT_EQ(tags[i].bytes, (byte_range{at, at + length})) << what;
                at += length;
            }
        }
    }
}

// A first frame carrying a counts header: "Xing" after the 32 bytes of side
// information, or "VBRI" 36 bytes in; frames and bytes as declared.
bytes tag_frame(const char* kind, std::uint32_t frames, std::uint32_t bytes_declared)
{
    const auto be = [](std::uint32_t v) {
        return bytes{static_cast<std::uint8_t>(v >> 24), static_cast<std::uint8_t>(v >> 16),
                     static_cast<std::uint8_t>(v >> 8), static_cast<std::uint8_t>(v)};
    };
    bytes f = frame(l3_128k, 0x00);
    const bytes fields = std::string(kind) == "VBRI"
                             ? text("VBRI") + bytes{0, 1, 0, 0, 0, 50} + be(bytes_declared) + be(frames)
                             : text(kind) + be(3) + be(frames) + be(bytes_declared);
    std::copy(fields.begin(), fields.end(), f.begin() + 36);
    return f;
}

TEST(IntegrityScan, CountsOfXingAndVbriHeaders)
{
    const bytes audio = repeat(frame(l3_128k), 4);
    const auto whole = static_cast<std::uint32_t>(audio.size() + 417);
    const struct {
        const char* what;
        bytes stream;
        std::string problems;
    } cases[] = {
        {"Xing, frames after the tag frame", tag_frame("Xing", 4, whole) + audio, ""},
        {"Info, frames with the tag frame", tag_frame("Info", 5, whole) + audio, ""},
        {"VBRI", tag_frame("VBRI", 4, whole) + audio, ""},
        {"Xing, cut", tag_frame("Xing", 9, whole + 5 * 417) + audio,
         "xing_frame_count@0;xing_byte_count@0;"},
        {"VBRI, joined", tag_frame("VBRI", 4, whole) + audio + audio, "vbri_frame_count@0;vbri_byte_count@0;"},
        {"Xing, then junk", tag_frame("Xing", 4, whole) + audio + bytes(3, 0x11), "trailing_junk@2085;"},
    };
    for (const auto& c : cases) {
        const scan_result r = scan_memory(c.stream, options("-c --json"));
        EXPECT_EQ(problem_names(r.state), c.problems) << c.what;
    }
}

TEST(IntegrityScan, OnlyWhatWasReadIsCheckedWhenTheScanStopsEarly)
{
    const bytes file = read_file(fixture("lame_cbr128.mp3"));
    const scan_result whole = scan_memory(file, options("-c"));
    EXPECT_EQ(whole.state.verdict, integrity_verdict::music_crc);
    const scan_result first = scan_memory(file, options("-c -b"));
    EXPECT_EQ(first.state.counters.bad_frames, 0) << first.err;
    EXPECT_EQ(first.state.verdict, integrity_verdict::structure) << "the music CRC vouches for nothing then";
    const scan_result budget = scan_memory(file + bytes(50, 0x11), options("-c -b3000"));
    EXPECT_EQ(budget.state.counters.bad_frames, 0) << "the junk at the end was never read";
}

// ---- The program on real files and damaged copies -----------------------------

// The file's bytes on standard input through a pipe, written chunk bytes at a time.
launch piped_launch(std::vector<std::string> args, const std::string& path, std::size_t chunk)
{
    launch how;
    how.args = std::move(args);
    how.stdin_data = read_file(path);
    how.stdin_is_pipe = true;
    how.pipe_chunk = chunk;
    return how;
}

std::string integrity_field(const std::string& one_line)
{
    const auto at = one_line.find("\tINTEGRITY ");
    return at == std::string::npos ? "" : one_line.substr(at + 11, one_line.find('\n', at) - at - 11);
}

TEST(IntegrityFiles, RealEncoderOutputPassesWithTheStrongestVerdictItAllows)
{
    const struct {
        const char* file;
        const char* verdict;
    } cases[] = {
        {"lame_cbr128.mp3", "MUSIC_CRC"},
        {"lame_vbr.mp3", "MUSIC_CRC"},
        {"lame_mpeg2_64.mp3", "MUSIC_CRC"},
        {"lame_vbr_mpeg25.mp3", "MUSIC_CRC"},
        {"lame_crc.mp3", "MUSIC_CRC"},
        {"lame_crc_mpeg2_mono.mp3", "MUSIC_CRC"},
        {"ffmpeg_lavc_mono.mp3", "MUSIC_CRC"},
        {"tag_v23.mp3", "MUSIC_CRC"},
        {"tag_v24.mp3", "MUSIC_CRC"},
        {"tag_v1.mp3", "MUSIC_CRC"},
        {"tag_both.mp3", "MUSIC_CRC"},
        {"integrity/tags_ape_v1.mp3", "MUSIC_CRC"},
        {"integrity/tags_ape_footer_only_v1.mp3", "MUSIC_CRC"},
        {"integrity/tags_lyrics_v1.mp3", "MUSIC_CRC"},
        {"integrity/tags_v1_appended_id3v2.mp3", "MUSIC_CRC"},
        {"integrity/tags_v1_appended_id3v2_no_footer.mp3", "MUSIC_CRC"},
        {"integrity/tags_mid3v2.mp3", "MUSIC_CRC"},
        {"integrity/tags_mutagen_apev2_v1.mp3", "MUSIC_CRC"},
        {"integrity/lame_abr96.mp3", "MUSIC_CRC"},
        // Its encoder string was edited: the tag's CRC fails, the audio is as encoded.
        {"integrity/lame_tag_version.mp3", "MUSIC_CRC"},
        {"integrity/valid_id3v2_picture.mp3", "MUSIC_CRC"},
        {"integrity/valid_apev2_binary_v1.mp3", "MUSIC_CRC"},
        {"integrity/valid_apev2_binary_footer_only_v1.mp3", "MUSIC_CRC"},
        {"integrity/valid_two_id3v2.mp3", "MUSIC_CRC"},
        {"integrity/valid_id3v1_sync_in_title.mp3", "MUSIC_CRC"},
        {"integrity/vbr_without_header.mp3", "STRUCTURE_ONLY"},  // a notice only
        {"integrity/free_format.mp3", "STRUCTURE_ONLY"},         // a notice only
        {"twolame_l2_crc.mp2", "FRAME_CRCS"},
        {"twolame_mpeg2_crc.mp2", "FRAME_CRCS"},
        {"lame_mpeg25_8k.mp3", "STRUCTURE_ONLY"},
        {"ffmpeg_l3.mp3", "STRUCTURE_ONLY"},
        {"twolame_l2_192.mp2", "STRUCTURE_ONLY"},
    };
    for (const auto& c : cases) {
        const run_result r = run_framelint({"-c", "-p", fixture(c.file)});
        EXPECT_EQ(r.status, 0) << c.file << r.err;
        EXPECT_EQ(integrity_field(r.out), c.verdict) << c.file;
        const run_result piped = run_framelint_as(piped_launch({"-cp", "-"}, fixture(c.file), 1000));
        EXPECT_EQ(integrity_field(piped.out), c.verdict) << c.file << " through a pipe";
    }
}

TEST(IntegrityFiles, EachDamagedCopyIsCaughtWithItsOwnMessage)
{
    const struct {
        const char* file;
        const char* message;  // the first finding's message
        int default_status;   // the default check's exit status, unchanged by this work
    } cases[] = {
        {"bitrot.mp3", "\nThe audio data does not match the music CRC of the LAME tag at offset 0x0 (BYTE 0).", 0},
        {"l3_side_info_flipped.mp3", "\nA frame's CRC does not match its protected bits at offset 0x828 (BYTE 2088).",
         0},
        {"l2_allocation_flipped.mp2",
         "\nA frame's CRC does not match its protected bits at offset 0xb40 (BYTE 2880).", 0},
        {"cut_60.mp3", "Stored 40 frames, found 23.", 255},
        {"joined.mp3", "\nThe Xing/Info header at offset 0x0 (BYTE 0) does not match the stream. Stored 40 frames, "
                       "found 81.", 0},
        {"junk_after_end.mp3", "\nJunk after the last frame at offset 0x2ec8 (BYTE 11976).", 0},
        {"zeros_after_id3v2.mp3", "\nJunk before the first frame at offset 0x511 (BYTE 1297).", 0},
        {"empty.mp3", "\nNo frame was found. The stream ended at offset 0x0 (BYTE 0).", 0},
        {"tag_only.mp3", "\nNo frame was found. The stream ended at offset 0x511 (BYTE 1297).", 0},
        {"cut_inside_id3v2.mp3", "\nNo frame was found. The stream ended at offset 0x258 (BYTE 600).", 0},
        {"last_frame_cut_by_v1.mp3", "\nThe last frame at offset 0x414d (BYTE 16717) was cut short by a tag.", 0},
        {"joined_with_id3v2.mp3", "\nA tag between two runs of frames at offset 0x2248 (BYTE 8776): two streams joined.",
         255},
        {"format_switch.mp3", "\nThe stream changes its format at offset 0x42ef (BYTE 17135): two streams joined.", 0},
        {"id3v2_swallows_audio.mp3",
         "\nThe ID3v2 tag at offset 0x0 (BYTE 0) is too large. Its size ends at offset 0x8f9 (BYTE 2297) and hides "
         "1000 bytes of audio.",
         255},
        {"id3v2_footer_without_tag.mp3", "\nJunk after the last frame at offset 0x2ec8 (BYTE 11976).", 0},
    };
    for (const auto& c : cases) {
        const std::string path = fixture(std::string("integrity/") + c.file);
        const run_result plain = run_framelint({path});
        EXPECT_EQ(plain.status, c.default_status) << c.file;
        const run_result checked = run_framelint({"-c", path});
        EXPECT_EQ(checked.status, 255) << c.file;
        EXPECT_NE(checked.err.find(c.message), std::string::npos) << c.file << ":" << checked.err;
        EXPECT_EQ(report_value(checked.out, "INTEGRITY"), "DAMAGED") << c.file;
        // The damage is not a matter of luck in where the buffer was refilled.
        const run_result piped = run_framelint_as(piped_launch({"-c", "-"}, path, 333));
        EXPECT_EQ(piped.err, checked.err) << c.file;
    }
}

TEST(IntegrityFiles, NothingIsSaidOfAnEndThatWasNeverRead)
{
    // A read error or a failed standard output ends the reading early; the run
    // fails with status 1 for that, and the bytes never read are no ground for
    // a finding about the stream's end (no frame, short counts, music length).
    const struct {
        const char* what;
        std::vector<std::string> args;
        const char* file;          // as the named file, or on standard input with "-"
        long long read_fault_at;   // -1: no read error
        std::string stdout_path;   // "" captures standard output
    } cases[] = {
        {"read error in the audio", {"-c"}, "lame_vbr.mp3", 5000, ""},
        {"read error inside the ID3v2 tag", {"-c"}, "tag_v23.mp3", 100, ""},
        {"read error under --json", {"-c", "--json"}, "lame_vbr.mp3", 5000, ""},
        {"a copy into a full disk", {"-c", "-s", "-"}, "", -1, "/dev/full"},
    };
    for (const auto& c : cases) {
        launch how;
        how.args = c.args;
        if (*c.file != '\0') {
            how.args.push_back(fixture(c.file));
        } else {
            how.stdin_data = bytes(1'000'000, 0);  // zeros: no frame in what was read
        }
        how.read_fault_at = c.read_fault_at;
        how.stdout_path = c.stdout_path;
        const run_result r = run_framelint_as(how);
        EXPECT_EQ(r.status, 1) << c.what;
        for (const char* finding : {"No frame was found", "Xing/Info", "LAME tag", "Junk", "xing_", "music_"}) {
            EXPECT_EQ(r.err.find(finding), std::string::npos) << c.what << ": " << r.err;
            EXPECT_EQ(r.out.find(finding), std::string::npos) << c.what << ": " << r.out;
        }
    }
}

TEST(IntegrityFiles, NoticesAreListedAsSuchAndCountNoBadFrame)
{
    const struct {
        const char* file;
        const char* kind;
    } cases[] = {
        {"integrity/vbr_without_header.mp3", "\"kind\":\"vbr_without_header\",\"offset\":0,\"bad_frame\":false,"
                                             "\"severity\":\"notice\",\"bit_rate_low\":32,\"bit_rate_high\":256}"},
        {"integrity/free_format.mp3", "\"kind\":\"free_format\",\"offset\":0,\"bad_frame\":false,\"severity\":\"notice\""},
    };
    for (const auto& c : cases) {
        const run_result r = run_framelint({"-c", "--json", fixture(c.file)});
        EXPECT_EQ(r.status, 0) << c.file;
        EXPECT_NE(r.out.find(c.kind), std::string::npos) << r.out;
        EXPECT_NE(r.out.find("\"bad_frames\":0,"), std::string::npos) << r.out;
        EXPECT_EQ(run_framelint({"--json", fixture(c.file)}).out.find("severity"), std::string::npos)
            << "only -c adds the severity";
    }
    // A tagged file is no damaged file: its ID3v2 tag is a notice, unless -e counts it.
    EXPECT_NE(run_framelint({"-c", "--json", fixture("tag_v23.mp3")}).out.find(
                  "\"kind\":\"id3v2_tag\",\"offset\":0,\"bad_frame\":false,\"severity\":\"notice\""),
              std::string::npos);
    EXPECT_NE(run_framelint({"-c", "-e", "--json", fixture("tag_v23.mp3")}).out.find(
                  "\"kind\":\"id3v2_tag\",\"offset\":0,\"bad_frame\":true,\"severity\":\"damage\""),
              std::string::npos);
    const run_result damage = run_framelint({"-c", "--json", fixture("integrity/format_switch.mp3")});
    EXPECT_NE(damage.out.find("\"kind\":\"format_switch\",\"offset\":17135,\"bad_frame\":true,\"severity\":\"damage\""),
              std::string::npos)
        << damage.out;
}

TEST(IntegrityFiles, StandardOutputOfTheCopyModesIsUnchanged)
{
    for (const char* file : {"integrity/bitrot.mp3", "integrity/junk_after_end.mp3", "lame_crc.mp3"}) {
        for (const char* mode : {"-s", "-sf", "-ss", "-sf -i"}) {
            std::vector<std::string> plain_args{mode, fixture(file)};
            if (std::string(mode) == "-sf -i") {
                plain_args = {"-sf", "-i", fixture(file)};
            }
            std::vector<std::string> checked_args = plain_args;
            checked_args.insert(checked_args.begin(), "-c");
            const run_result plain = run_framelint(plain_args);
            const run_result checked = run_framelint(checked_args);
            EXPECT_EQ(checked.out, plain.out) << file << " " << mode;
        }
    }
}

TEST(IntegrityFiles, SummaryFieldInBothLayouts)
{
    const run_result lines = run_framelint({"-c", fixture("lame_cbr128.mp3")});
    EXPECT_NE(lines.out.find("SONG_LENGTH         00:01.07\nINTEGRITY           MUSIC_CRC\n"), std::string::npos)
        << lines.out;
    const run_result one = run_framelint({"-cp", fixture("integrity/empty.mp3")});
    EXPECT_NE(one.out.find("LAST_BYTE_CHECKED 0\tINTEGRITY DAMAGED\n"), std::string::npos) << one.out;
    const run_result none = run_framelint({"-p", fixture("lame_cbr128.mp3")});
    EXPECT_EQ(none.out.find("INTEGRITY"), std::string::npos);
}

TEST(ChangedOnPurpose, FilesCommonToolsChangedAreVouchedForWithANotice)
{
    const struct {
        const char* file;
        const char* verdict;
        const char* notices;  // as problem kinds in the JSON line, in order
        const char* words;    // in the --summary=all line
    } cases[] = {
        {"gain_cbr_ape.mp3", "MUSIC_CRC", "gain_changed",
         "the gain was changed by -7 steps (-10.5 dB) after encoding; the audio is otherwise what the encoder wrote"},
        {"gain_cbr_id3v2.mp3", "MUSIC_CRC", "gain_changed", "-7 steps"},
        {"gain_cbr_none.mp3", "MUSIC_CRC", "gain_changed", "-7 steps"},
        {"gain_vbr_ape.mp3", "MUSIC_CRC", "gain_changed", "-8 steps (-12.0 dB)"},
        {"gain_vbr_id3v2.mp3", "MUSIC_CRC", "gain_changed", "-8 steps"},
        {"gain_vbr_none.mp3", "MUSIC_CRC", "gain_changed", "-8 steps"},
        // Gains lame wrote as 255 stay there when the gain is raised.
        {"gain_vbr_up_ape.mp3", "MUSIC_CRC", "gain_changed", "by 3 steps (+4.5 dB)"},
        {"gain_vbr_up_none.mp3", "MUSIC_CRC", "gain_changed", "by 3 steps (+4.5 dB)"},
        // Protected frames: mp3gain wrote each frame's CRC word anew.
        {"gain_crc_ape.mp3", "MUSIC_CRC", "gain_changed", "by -3 steps (-4.5 dB)"},
        {"gain_crc_mono_none.mp3", "MUSIC_CRC", "gain_changed", "by 2 steps (+3.0 dB)"},
        // A rise, then mp3gain's undo or a cut: the gains the rise held at 255
        // end below it.
        {"gain_vbr_up_undone.mp3", "MUSIC_CRC", "gain_changed_twice",
         "the gain was changed more than once after encoding, and back; some short stretches, held at the limit of "
         "the gain by one change, are 4 steps (-6.0 dB) quieter than the encoder wrote them"},
        {"gain_vbr_twice_none.mp3", "MUSIC_CRC", "gain_changed_twice", "are 2 steps (-3.0 dB) quieter"},
        // A gain of 0 stays 0 when the rest are raised.
        {"gain_silent_up_none.mp3", "MUSIC_CRC", "gain_changed", "by 2 steps (+3.0 dB)"},
        {"gain_stereo_left_none.mp3", "MUSIC_CRC", "gain_changed",
         "by -5 steps (-7.5 dB) on the left and 0 steps (0.0 dB) on the right"},
        {"encoder_edited.mp3", "MUSIC_CRC", "lame_tag_edited", "the encoder's note in the file was edited after encoding"},
        {"encoder_renamed.mp3", "MUSIC_CRC", "lame_tag_edited",
         "the encoder's note in the file was edited after encoding"},
        {"split_part1.mp3", "STRUCTURE_ONLY", "lame_tag_rewritten", "the encoder's note in the file was rewritten by a tool"},
        {"split_part2.mp3", "STRUCTURE_ONLY", "lame_tag_rewritten", "the audio's length agrees with it"},
        {"mono_stereo_mono.mp3", "STRUCTURE_ONLY", "mono_stereo_switch", "the audio switches between mono and stereo"},
    };
    for (const auto& c : cases) {
        const std::string path = fixture(std::string("changed/") + c.file);
        const run_result checked = run_framelint({"-c", path});
        EXPECT_EQ(checked.status, 0) << c.file << checked.err;
        EXPECT_EQ(report_value(checked.out, "INTEGRITY"), c.verdict) << c.file;
        EXPECT_NE(checked.err.find("\nNotice: "), std::string::npos) << c.file << checked.err;
        const run_result json = run_framelint({"--json", "-c", path});
        EXPECT_EQ(json.status, 0) << c.file;
        EXPECT_NE(json.out.find(std::string("{\"kind\":\"") + c.notices + "\""), std::string::npos)
            << c.file << json.out;
        EXPECT_NE(json.out.find("\"severity\":\"notice\""), std::string::npos) << c.file;
        EXPECT_EQ(json.out.find("\"severity\":\"damage\""), std::string::npos) << c.file << json.out;
        const run_result people = run_framelint({"--summary=all", path});
        EXPECT_EQ(people.status, 0) << c.file;
        EXPECT_NE(people.out.find(c.words), std::string::npos) << c.file << people.out;
        // A pipe is read once: the gains are summed as the audio passes.
        const run_result piped = run_framelint_as(piped_launch({"-c", "-"}, path, 333));
        EXPECT_EQ(piped.status, 0) << c.file << piped.err;
        EXPECT_EQ(report_value(piped.out, "INTEGRITY"), c.verdict) << c.file << " through a pipe";
    }
}

TEST(ChangedOnPurpose, DamageInAChangedFileIsStillCaught)
{
    // One byte flipped in the audio of a file whose gain was changed: no
    // gain change explains it. In a split part, the counts no longer agree.
    const char* gained[] = {"gain_cbr_ape.mp3", "gain_cbr_id3v2.mp3", "gain_cbr_none.mp3",
                            "gain_vbr_ape.mp3", "gain_vbr_id3v2.mp3", "gain_vbr_none.mp3",
                            "gain_stereo_left_none.mp3", "gain_vbr_up_ape.mp3", "gain_vbr_up_none.mp3",
                            "gain_crc_ape.mp3", "gain_crc_mono_none.mp3", "gain_silent_up_none.mp3",
                            "gain_vbr_up_undone.mp3", "gain_vbr_twice_none.mp3"};
    for (const char* file : gained) {
        bytes data = read_file(fixture(std::string("changed/") + file));
        data[data.size() / 2] ^= 0x5A;
        const run_result r = run_framelint({"--json", "-c", write_temp_file(data, "flipped.mp3")});
        EXPECT_EQ(r.status, 255) << file;
        EXPECT_NE(r.out.find("\"kind\":\"music_crc_mismatch\""), std::string::npos) << file << r.out;
        EXPECT_EQ(r.out.find("gain_changed"), std::string::npos) << file;
        const std::string flipped = write_temp_file(data, "flipped.mp3");
        EXPECT_EQ(run_framelint_as(piped_launch({"-c", "-"}, flipped, 333)).status, 255) << file << " through a pipe";
    }
    bytes part = read_file(fixture("changed/split_part1.mp3"));
    part.resize(part.size() - 2000);  // cut inside a frame, and the Xing counts go wrong
    const run_result cut = run_framelint({"--json", "-c", write_temp_file(part, "cut.mp3")});
    EXPECT_EQ(cut.status, 255);
    EXPECT_NE(cut.out.find("\"kind\":\"lame_tag_crc\""), std::string::npos) << cut.out;
}

TEST(ChangedOnPurpose, OnlyTheChannelCountMaySwitch)
{
    constexpr std::uint32_t mono = 0xFFFB90C4u;
    constexpr std::uint32_t at_48k = 0xFFFB9464u;
    const bytes stereo = repeat(frame(l3_128k), 3);
    const scan_result channels = scan_memory(repeat(frame(mono), 3) + stereo + repeat(frame(mono), 3),
                                             options("-c --json"));
    EXPECT_EQ(problem_names(channels.state), "mono_stereo_switch@1251;");  // said once
    EXPECT_EQ(channels.state.verdict, integrity_verdict::structure);
    EXPECT_TRUE(channels.clean);
    const scan_result rates = scan_memory(stereo + repeat(frame(at_48k), 3), options("-c --json"));
    EXPECT_EQ(problem_names(rates.state), "format_switch@1251;");
    EXPECT_EQ(rates.state.verdict, integrity_verdict::damaged);
}

TEST(ChangedOnPurpose, UndoRecordsAsMp3gainWritesThem)
{
    const struct {
        const char* value;
        bool read;
        int left, right;
        bool wraps;
    } cases[] = {
        {"+004,+004,N", true, -4, -4, false},  // 4 steps undo what took 4 off
        {"-002,+000,W", true, 2, 0, true},
        {"+4,-4,N", true, -4, 4, false},
        {"004,004,N", false, 0, 0, false},
        {"+004,+004", false, 0, 0, false},
        {"+004,+0x4,N", false, 0, 0, false},
        {"", false, 0, 0, false},
    };
    for (const auto& c : cases) {
        const auto g = parse_gain_undo(c.value);
        ASSERT_EQ(g.has_value(), c.read) << c.value;
        if (g) {
            EXPECT_EQ(g->left, c.left) << c.value;
            EXPECT_EQ(g->right, c.right) << c.value;
            EXPECT_EQ(g->wraps, c.wraps) << c.value;
        }
    }
}

// An ID3v2 tag of version (3 or 4) with flags around body, its size field
// syncsafe; frame() builds one frame of it.
bytes id3v2_around(int version, std::uint8_t flags, const bytes& body)
{
    const auto size = static_cast<std::uint32_t>(body.size());
    bytes tag(10 + body.size());
    const std::uint8_t head[10] = {'I', 'D', '3', static_cast<std::uint8_t>(version), 0, flags,
                                   static_cast<std::uint8_t>((size >> 21) & 0x7F),
                                   static_cast<std::uint8_t>((size >> 14) & 0x7F),
                                   static_cast<std::uint8_t>((size >> 7) & 0x7F), static_cast<std::uint8_t>(size & 0x7F)};
    std::copy(std::begin(head), std::end(head), tag.begin());
    std::copy(body.begin(), body.end(), tag.begin() + 10);
    return tag;
}

bytes id3v2_frame_of(const char* id, const bytes& content, std::uint8_t format_flags = 0)
{
    const auto n = static_cast<std::uint32_t>(content.size());  // below 128: the same in 2.3 and 2.4
    bytes f(10 + content.size());
    std::copy(id, id + 4, f.begin());
    f[7] = static_cast<std::uint8_t>(n);
    f[9] = format_flags;
    std::copy(content.begin(), content.end(), f.begin() + 10);
    return f;
}

bytes txxx_content(const std::string& description, const std::string& value)
{
    // ISO-8859-1 (0), the description, its end (0), the value.
    bytes c(2 + description.size() + value.size());
    std::copy(description.begin(), description.end(), c.begin() + 1);
    std::copy(value.begin(), value.end(), c.begin() + 2 + static_cast<std::ptrdiff_t>(description.size()));
    return c;
}

TEST(ChangedOnPurpose, UndoRecordInTheTagsTaggersWrite)
{
    const bytes undo = id3v2_frame_of("TXXX", txxx_content("MP3GAIN_UNDO", "+004,-002,N"));
    const bytes other = id3v2_frame_of("TXXX", txxx_content("replaygain_track_gain", "-6.00 dB"));
    const bytes title = id3v2_frame_of("TIT2", {0, 'a', 0xFF, 0xE0, 'b'});  // a byte pair that looks like sync
    // As a tagger unsynchronises a whole 2.3 tag: a zero after each 0xFF, which
    // the frame's size does not count.
    bytes unsynchronised_body = title;
    unsynchronised_body.insert(unsynchronised_body.begin() + 13, 0);
    unsynchronised_body.insert(unsynchronised_body.end(), undo.begin(), undo.end());
    // 2.4: a data length indicator before the content, and the frame unsynchronised alone.
    bytes content_24 = {0, 0, 0, 30};
    const bytes plain = txxx_content("mp3gain_undo", "-001,+001,W");
    content_24.insert(content_24.end(), plain.begin(), plain.end());
    const bytes framed_24 = id3v2_frame_of("TXXX", content_24, 0x03);

    const struct {
        const char* what;
        bytes tag;
        bool found;
        int left;
    } cases[] = {
        {"2.3, after another TXXX", id3v2_around(3, 0, other + title + undo), true, -4},
        {"2.3, unsynchronised whole", id3v2_around(3, 0x80, unsynchronised_body), true, -4},
        {"2.4, length indicator and unsynchronisation flags", id3v2_around(4, 0, title + framed_24), true, 1},
        {"after padding", id3v2_around(3, 0, other + bytes(20, 0) + undo), false, 0},
        {"past the tag's size", bytes(id3v2_around(3, 0, other)) + undo, false, 0},
        {"no record", id3v2_around(4, 0, other + title), false, 0},
    };
    for (const auto& c : cases) {
        const auto g = undo_record_in_id3v2(c.tag);
        ASSERT_EQ(g.has_value(), c.found) << c.what;
        if (g) {
            EXPECT_EQ(g->left, c.left) << c.what;
        }
    }
}

}  // namespace
}  // namespace framelint::test
