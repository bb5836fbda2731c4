#pragma once
// A 128-bit hash of a stream's audio frames (XXH3-128), fed piece by piece in
// stream order. It leaves the tags out, so a tag edit never changes it, while
// one flipped bit in a frame does: what a record of a collection compares.

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#define XXH_STATIC_LINKING_ONLY
#include <xxhash.h>
#if defined(__x86_64__) || defined(__i386__)
#include <xxh_x86dispatch.h>
#define FRAMELINT_XXH3_128_UPDATE XXH3_128bits_update_dispatch
#else
#define FRAMELINT_XXH3_128_UPDATE XXH3_128bits_update
#endif

namespace framelint {

struct audio_digest {
    std::uint64_t high = 0;
    std::uint64_t low = 0;

    friend bool operator==(const audio_digest&, const audio_digest&) = default;
};

// 32 lower-case hex digits, the high half first (XXH3's canonical order).
std::string hex_of(const audio_digest& d);
// The digest back from hex_of's text; false when text is no such text.
bool digest_from_hex(std::string_view text, audio_digest& d);

class audio_hash {
public:
    audio_hash() { XXH3_128bits_reset(&state_); }

    // Bytes of frames, and how many frames they complete.
    void add(const std::uint8_t* bytes, std::size_t n, std::int64_t frames)
    {
        // On x86 the library's dispatch runs the widest vector code this
        // processor has (its plain entry point is built for SSE2 only).
        FRAMELINT_XXH3_128_UPDATE(&state_, bytes, n);
        bytes_ += static_cast<std::int64_t>(n);
        frames_ += frames;
    }
    // Bytes of a frame could not be had: the digest would be of another stream.
    void lost() { whole_ = false; }
    bool whole() const { return whole_; }

    audio_digest digest() const
    {
        const XXH128_hash_t h = XXH3_128bits_digest(&state_);
        return {h.high64, h.low64};
    }
    std::int64_t bytes() const { return bytes_; }
    std::int64_t frames() const { return frames_; }

private:
    XXH3_state_t state_;
    std::int64_t bytes_ = 0;
    std::int64_t frames_ = 0;
    bool whole_ = true;
};

}  // namespace framelint
