#include "checksum/audio_hash.hpp"

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
    if (text.size() != 32) {
        return false;
    }
    audio_digest out;
    for (std::size_t i = 0; i < 32; ++i) {
        const char ch = text[i];
        unsigned v = 0;
        if (ch >= '0' && ch <= '9') {
            v = static_cast<unsigned>(ch - '0');
        } else if (ch >= 'a' && ch <= 'f') {
            v = static_cast<unsigned>(ch - 'a' + 10);
        } else {
            return false;
        }
        std::uint64_t& half = i < 16 ? out.high : out.low;
        half = half << 4 | v;
    }
    d = out;
    return true;
}

}  // namespace framelint
