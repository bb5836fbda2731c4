#include "checksum/audio_hash.hpp"

#include <array>
#include <string_view>

namespace framelint {

std::string hex_of(const audio_digest& d)
{
    static constexpr char digits[] = "0123456789abcdef";
    std::string text(32, '0');
    for (int i = 0; i < 16; ++i) {
        text[static_cast<std::size_t>(15 - i)] = digits[(d.high >> (4 * i)) & 15u];
        text[static_cast<std::size_t>(31 - i)] = digits[(d.low >> (4 * i)) & 15u];
    }
    return text;
}

bool digest_from_hex(std::string_view text, audio_digest& d)
{
    // Each character's value, 16 for any that is no lower-case hex digit. A
    // record holds one digest a file, all read back on every check.
    static constexpr auto values = [] {
        std::array<std::uint8_t, 256> v{};
        v.fill(16);
        for (int i = 0; i < 10; ++i) {
            v[static_cast<std::size_t>('0' + i)] = static_cast<std::uint8_t>(i);
        }
        for (int i = 0; i < 6; ++i) {
            v[static_cast<std::size_t>('a' + i)] = static_cast<std::uint8_t>(10 + i);
        }
        return v;
    }();
    if (text.size() != 32) {
        return false;
    }
    unsigned seen = 0;
    const auto half = [&](const char* digits) {
        std::uint64_t h = 0;
        for (int i = 0; i < 16; ++i) {
            const unsigned v = values[static_cast<unsigned char>(digits[i])];
            seen |= v;
            h = h << 4 | v;  // a 16 spoils h, and is told by seen
        }
        return h;
    };
    const std::uint64_t high = half(text.data());
    const std::uint64_t low = half(text.data() + 16);
    if ((seen & 16u) != 0) {
        return false;
    }
    d = {high, low};
    return true;
}

}  // namespace framelint
