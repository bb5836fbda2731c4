#include "scan/integrity_watch.hpp"

#include <algorithm>
#include <cstring>
#include <span>

#include "mpeg/crc16.hpp"
#include "mpeg/frame_info.hpp"
#include "mpeg/frame_crc.hpp"
#include "mpeg/header_word.hpp"

namespace framelint {

void integrity_watch::add_music(const std::uint8_t* bytes, std::int64_t pos, std::size_t n)
{
    const std::int64_t from = std::max(pos, music_.from);
    const std::int64_t to = std::min(pos + static_cast<std::int64_t>(n), music_.to);
    if (from < to) {
        music_.crc = crc16_arc(bytes + (from - pos), static_cast<std::size_t>(to - from), music_.crc);
        if (gains_ && !gains_->broken) {
            add_gains(bytes + (from - pos), from - music_.from, static_cast<std::size_t>(to - from));
        }
    }
}

void integrity_watch::add_gains(const std::uint8_t* bytes, std::int64_t pos, std::size_t n)
{
    gain_walk& g = *gains_;
    const std::int64_t end = pos + static_cast<std::int64_t>(n);
    while (!g.broken) {
        const std::int64_t want = g.next + static_cast<std::int64_t>(g.head_len);
        if (want >= end) {
            return;
        }
        if (want < pos) {
            g.broken = true;  // bytes went by unseen
            return;
        }
        const std::size_t take = std::min(g.head_need - g.head_len, static_cast<std::size_t>(end - want));
        std::memcpy(g.head.data() + g.head_len, bytes + (want - pos), take);
        g.head_len += take;
        if (g.head_len < g.head_need) {
            return;
        }
        if (g.head_need == 4) {
            const header_word head = header_word::from(g.head.data());
            const std::uint32_t word = head.word;
            gain_walk::known_word& k = g.known[head.rate_and_padding()];
            if (k.word != word) {
                frame_info f = blank_frame_info();
                if (!has_sync(word) || decode_header(word, f) == 0 || f.frame_length <= 4 || f.l3 == 0) {
                    g.broken = true;
                    return;
                }
                const std::size_t need =
                    (f.prot_bit != 0 ? 6 : 4) + side_info_bytes(f.mpv_1 != 0, f.single_channel != 0);
                k = {word, f.frame_length, std::min<std::size_t>(need, static_cast<std::size_t>(f.frame_length))};
            }
            g.frame_length = k.length;
            g.head_need = k.need;
            continue;
        }
        if (!g.fields.add_frame(std::span<const std::uint8_t>(g.head.data(), g.head_len), g.next)) {
            g.broken = true;
            return;
        }
        g.next += g.frame_length;
        g.head_len = 0;
        g.head_need = 4;
    }
}

void integrity_watch::frame_accepted(std::int64_t start, std::int64_t end)
{
    ++frames;
    last_start = start;
    last_end = end;
}

void integrity_watch::watch_music(std::int64_t from, std::int64_t to)
{
    music_.active = true;
    music_.from = from;
    music_.to = to;
    music_.crc = 0;
}

}  // namespace framelint
