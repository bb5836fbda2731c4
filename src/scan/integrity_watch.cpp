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

void integrity_watch::capture_heads(const std::uint8_t* bytes, std::int64_t pos, std::size_t n)
{
    const std::int64_t end = pos + static_cast<std::int64_t>(n);
    while (!forward_.stopped) {
        const std::int64_t want = forward_.at + static_cast<std::int64_t>(forward_.head_len);
        if (want >= end) {
            return;
        }
        if (want < pos) {
            forward_.stopped = true;  // bytes went by unseen: nothing can be said of them
            return;
        }
        if (forward_.head_len == 0 && !may_begin_tag(bytes[want - pos])) {
            // Most often the next frame's header, which is accepted and moves the
            // search on; otherwise junk begins here. Either way no tag does.
            forward_.stopped = true;
            return;
        }
        const std::size_t take =
            std::min(tag_head_size - forward_.head_len, static_cast<std::size_t>(end - want));
        std::memcpy(forward_.head.data() + forward_.head_len, bytes + (want - pos), take);
        forward_.head_len += take;
        if (forward_.head_len < tag_head_size) {
            return;
        }
        const std::uint64_t length = tag_length_from_start(forward_.head);
        if (length == 0) {
            forward_.stopped = true;
            return;
        }
        forward_.last_tag_start = forward_.at;
        forward_.at += static_cast<std::int64_t>(length);
        // An empty ID3v2 tag is shorter than the head read for it: the rest of
        // the head is the next tag's first bytes, already gone by in the stream.
        if (length >= forward_.head_len) {
            forward_.head_len = 0;
            continue;
        }
        const std::size_t rest = forward_.head_len - static_cast<std::size_t>(length);
        std::memmove(forward_.head.data(), forward_.head.data() + length, rest);
        forward_.head_len = rest;
        if (!may_begin_tag(forward_.head[0])) {
            forward_.stopped = true;
            return;
        }
    }
}

void integrity_watch::frame_accepted(std::int64_t start, std::int64_t end)
{
    ++frames;
    last_start = start;
    last_end = end;
    forward_.stopped = false;
    forward_.at = end;
    forward_.last_tag_start = end;
    forward_.head_len = 0;
}

void integrity_watch::watch_music(std::int64_t from, std::int64_t to)
{
    music_.active = true;
    music_.from = from;
    music_.to = to;
    music_.crc = 0;
}

std::int64_t integrity_watch::forward_tags_end() const
{
    if (forward_.at > fed_) {
        return forward_.last_tag_start;  // a tag that claims more bytes than the stream has left
    }
    if (forward_.stopped) {
        return forward_.at;
    }
    // Fewer than a head's worth of bytes were left: tags only if they fit them
    // exactly (empty ID3v2 tags can stand several in one head).
    std::size_t seen = 0;
    while (seen < forward_.head_len) {
        const std::uint64_t length = tag_length_from_start(
            std::span<const std::uint8_t>(forward_.head.data() + seen, forward_.head_len - seen));
        if (length == 0 || length > forward_.head_len - seen) {
            break;
        }
        seen += static_cast<std::size_t>(length);
    }
    return forward_.at + static_cast<std::int64_t>(seen);
}

std::int64_t integrity_watch::end_tags_begin(std::span<const std::uint8_t> last) const
{
    return static_cast<std::int64_t>(
        end_tags_start(last, static_cast<std::uint64_t>(fed_), 0, nullptr, nullptr, static_cast<std::uint64_t>(last_end)));
}

}  // namespace framelint
