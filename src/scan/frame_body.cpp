// Frame bodies: consumed byte by byte when every byte must be seen, read in one
// block when a protected frame's CRC-16 can be checked, otherwise skipped.

#include "mpeg/crc16.hpp"
#include "scan/integrity_scan.hpp"
#include "scan/scan_file.hpp"

namespace framelint {
namespace {

// Bytes the scan has no use for: skipped, unless the integrity check must see them.
template <bool watched>
std::uint64_t pass_over(scan_context& c, std::uint64_t n)
{
    if constexpr (watched) {
        return c.in.consume(n, [&](const std::uint8_t* bytes, std::size_t len) { c.watch->feed(bytes, len); });
    } else {
        return c.in.skip(n);
    }
}

}  // namespace

bool cut_short(scan_context& c)
{
    c.body_end = -1;  // told: nothing is left for end_at_cut to tell
    if (c.in.stopped()) {
        return false;
    }
    if (end_tags_cut_last_frame(c)) {
        return false;  // the check at the end names the tags that cut it
    }
    scan_counters& n = c.state.counters;
    ++n.bad_frames;
    const std::int64_t frame_end = n.next_expected - 4;
    c.err.print("\nThe last frame was cut short by the end of the stream. Expected it to end at offset 0x%llx "
                "(BYTE %lld).",
                static_cast<unsigned long long>(frame_end), static_cast<long long>(frame_end));
    note_problem(c, problem_kind::last_frame_cut, true, n.bytes_read, frame_end);
    return false;
}

std::uint16_t check_body_crc16(scan_context& c, std::span<const std::uint8_t> body, std::uint16_t stored)
{
    const std::uint16_t computed = crc16_arc(body.data(), body.size());
    if (computed == stored) {
        c.notes.print("crc16 check passed.\n");
    }
    return computed;
}

int frame_crc16(const std::uint8_t* body, frame_info& frame)
{
    const std::size_t n = frame.frame_data_length > 0 ? static_cast<std::size_t>(frame.frame_data_length) : 0;
    frame.correct_crc16_value = crc16_arc(body, n);
    return frame.correct_crc16_value == frame.crc16_value ? 1 : 0;
}

std::uint64_t consume_counted(scan_context& c, std::uint64_t n, bool write_out)
{
    std::uint64_t passed = 0;
    if (write_out) {
        passed = c.in.consume(n, [&](const std::uint8_t* bytes, std::size_t len) {
            c.held_frame.insert(c.held_frame.end(), bytes, bytes + len);
            if (c.watch != nullptr) {
                c.watch->feed(bytes, len);
            }
        });
    } else if (c.watch != nullptr) {
        passed = c.in.consume(n, [&](const std::uint8_t* bytes, std::size_t len) { c.watch->feed(bytes, len); });
    } else if (c.options.id3_tag) {
        passed = c.in.consume(n, [](const std::uint8_t*, std::size_t) {});
    } else {
        passed = c.in.skip(n);  // nobody looks at these bytes
    }
    c.state.counters.bytes_read += static_cast<std::int64_t>(passed);
    return passed;
}

bool body_not_read(scan_context& c, std::int64_t at, std::int64_t size, std::uint64_t got)
{
    if (!c.in.stopped()) {
        c.err.print("File error while trying to read frame into memory.\n");
        note_problem(c, problem_kind::frame_read_error, false, at, size, static_cast<std::int64_t>(got));
    }
    return cut_short(c);
}

template <bool watched>
bool read_frame_body(scan_context& c, frame_info& frame)
{
    scan_counters& n = c.state.counters;
    const std::int64_t size = frame.frame_length - (frame.prot_bit != 0 ? 6 : 4);
    if (size <= 0) {
        return true;
    }
    const auto want = static_cast<std::uint64_t>(size);
    c.body_end = n.bytes_read + size;
    c.body_read_whole = false;

    // Every byte must be seen: copied out, kept for the ID3v1 tail, or coming
    // from standard input, where the block read's CRC check has never been made.
    if (c.bodies_read_through || (frame.prot_bit != 0 && want > io::byte_source::block_size)) {
        return consume_counted(c, want, c.repair) == want || cut_short(c);
    }

    if (frame.prot_bit != 0) {
        const auto body = c.in.peek(static_cast<std::size_t>(want));
        if (body.size() < want) {
            const std::uint64_t arrived = pass_over<watched>(c, body.size());
            const std::int64_t at = n.bytes_read;
            // What arrived of the body was read, as on the other paths: the count
            // must not depend on how the bytes came in.
            n.bytes_read += static_cast<std::int64_t>(arrived);
            return body_not_read(c, at, size, body.size());
        }
        c.body_read_whole = true;
        n.bytes_read += size;
        frame.frame_data_length = static_cast<std::int32_t>(size);
        frame.correct_crc16_value = check_body_crc16(c, body.first(want), frame.crc16_value);
        pass_over<watched>(c, want);
        return true;
    }

    const std::uint64_t passed = pass_over<watched>(c, want);
    n.bytes_read += static_cast<std::int64_t>(passed);
    return passed == want || cut_short(c);
}

template bool read_frame_body<false>(scan_context& c, frame_info& frame);
template bool read_frame_body<true>(scan_context& c, frame_info& frame);

}  // namespace framelint
