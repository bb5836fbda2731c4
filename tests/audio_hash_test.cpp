// The audio hash: over the stream's audio frames alone, in stream order, the
// same whichever way the input is read and whichever path the scan takes.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "checksum/audio_hash.hpp"
#include "support.hpp"

namespace framelint::test {
namespace {

audio_digest xxh3_of(const bytes& audio)
{
    const XXH128_hash_t h = XXH3_128bits(audio.data(), audio.size());
    return {h.high64, h.low64};
}

// A first frame carrying a Xing header for frames frames.
bytes xing_frame(std::uint32_t frames)
{
    bytes f = frame(l3_128k, 0x00);
    const bytes fields = text("Xing") + bytes{0, 0, 0, 1} +
                         bytes{static_cast<std::uint8_t>(frames >> 24), static_cast<std::uint8_t>(frames >> 16),
                               static_cast<std::uint8_t>(frames >> 8), static_cast<std::uint8_t>(frames)};
    std::copy(fields.begin(), fields.end(), f.begin() + 36);
    return f;
}

// Frames of three sizes and fills, so that order and each byte count.
bytes audio_frames(int count)
{
    bytes out;
    for (int i = 0; i < count; ++i) {
        const std::uint32_t header = i % 3 == 0 ? l3_128k : i % 3 == 1 ? l3_160k : l3_320k;
        out = out + frame(header, static_cast<std::uint8_t>(0x11 + i % 7));
    }
    return out;
}

TEST(AudioHash, CoversTheAudioFramesAloneOnEveryInputPath)
{
    const bytes first = audio_frames(300);  // longer than a read block: frames straddle refills
    const bytes second = audio_frames(5);
    const bytes junk = text("not a frame at all, only junk");
    struct stream_case {
        const char* what;
        bytes stream;
        bytes audio;
    };
    const std::vector<stream_case> cases = {
        {"frames alone", first, first},
        {"between tags", id3v2_tag(3000) + first + id3v1_tag_bytes("t", "a", 1, 2), first},
        {"after a Xing frame", xing_frame(300) + first, first},
        {"junk between two runs", first + junk + second, first + second},
    };
    const scan_options check = options("-c --json");
    for (const stream_case& c : cases) {
        const audio_digest expected = xxh3_of(c.audio);
        for (int way = 0; way < 3; ++way) {
            const scan_result r = way == 0   ? scan_memory(c.stream, check)
                                  : way == 1 ? scan_memory(c.stream, check, true)
                                             : scan_regular_file(c.stream, check);
            ASSERT_TRUE(r.state.audio_sum.has_value()) << c.what << " way " << way;
            EXPECT_EQ(hex_of(*r.state.audio_sum), hex_of(expected)) << c.what << " way " << way;
            EXPECT_NE(r.out.find("\"audio_hash\":\"" + hex_of(expected) + "\""), std::string::npos) << c.what;
        }
    }
}

TEST(AudioHash, OneFlippedAudioByteChangesIt)
{
    const bytes stream = audio_frames(50);
    bytes flipped = stream;
    flipped[20 * 417 + 100] ^= 0x01;  // inside a frame's body
    const scan_options check = options("-c --json");
    const scan_result a = scan_memory(stream, check);
    const scan_result b = scan_memory(flipped, check);
    ASSERT_TRUE(a.state.audio_sum && b.state.audio_sum);
    EXPECT_NE(*a.state.audio_sum, *b.state.audio_sum);
}

TEST(AudioHash, NoneForAStreamNotReadToItsEndOrWithoutFrames)
{
    EXPECT_FALSE(scan_memory(audio_frames(20), options("-c --json -b1000")).state.audio_sum);
    EXPECT_FALSE(scan_memory(text("only junk, no frame at all"), options("-c --json")).state.audio_sum);
    EXPECT_FALSE(scan_memory(audio_frames(20), options("-c")).state.audio_sum);  // nobody would see it
    const scan_result r = scan_memory(text("only junk"), options("-c --json"));
    EXPECT_NE(r.out.find("\"audio_hash\":null"), std::string::npos) << r.out;
}

// Records keep the hash for years: the same audio must give the same value
// from every later build, however the scan comes to feed it.
TEST(AudioHash, KeepsItsValue)
{
    const scan_result r = scan_memory(id3v2_tag(200) + audio_frames(30), options("-c --json"));
    ASSERT_TRUE(r.state.audio_sum.has_value());
    EXPECT_EQ(hex_of(*r.state.audio_sum), "97df0045681574b91e92b6d85774a3c4");
}

TEST(AudioHash, HexRoundTrip)
{
    const audio_digest d{0x0123456789abcdefULL, 0xfedcba9876543210ULL};
    EXPECT_EQ(hex_of(d), "0123456789abcdeffedcba9876543210");
    audio_digest back;
    ASSERT_TRUE(digest_from_hex(hex_of(d), back));
    EXPECT_EQ(back, d);
    EXPECT_FALSE(digest_from_hex("0123", back));
    EXPECT_FALSE(digest_from_hex("0123456789ABCDEFfedcba9876543210", back));
}

}  // namespace
}  // namespace framelint::test
