#include "scan/scan_file.hpp"

#include <algorithm>

#include "id3v1/id3v1_tag.hpp"
#include "mpeg/header_word.hpp"
#include "report/dumps.hpp"
#include "report/json_report.hpp"
#include "report/summary.hpp"
#include "scan/frame_account.hpp"
#include "scan/integrity_scan.hpp"

namespace framelint {
namespace {

constexpr std::uint32_t id3v2_magic = 0x49443300u;  // "ID3" and any version byte

unsigned long long hex(std::int64_t offset) { return static_cast<unsigned long long>(offset); }
long long dec(std::int64_t value) { return static_cast<long long>(value); }

// The -q check, made only where a run breaks.
void min_run_check(scan_context& c)
{
    scan_counters& n = c.state.counters;
    if (c.options.min_run_set && n.run_length > 0 && n.run_length < c.options.min_frames) {
        c.err.print("\nMininum contiguous number of frames wasn't reached. Got to %lld, needed %lld at offset 0x%llx "
                    "(BYTE %lld).",
                    dec(n.run_length), dec(c.options.min_frames), hex(n.next_expected), dec(n.next_expected));
        note_problem(c, problem_kind::short_run, false, n.next_expected, n.run_length, c.options.min_frames);
        n.run_length = 0;
    }
}

// The per-frame block shows the body length and, for a protected frame, the CRC-16
// of its body as they will be, not the zeros the record holds before the body is read.
void dump_candidate(scan_context& c, const frame_info& frame)
{
    frame_info shown = frame;
    const std::int32_t body = shown.frame_length - (shown.prot_bit != 0 ? 6 : 4);
    shown.frame_data_length = body;
    shown.correct_crc16_value = 0;
    if (shown.prot_bit != 0 && body > 0) {
        const auto ahead = c.in.peek(static_cast<std::size_t>(body));
        if (ahead.size() == static_cast<std::size_t>(body)) {
            frame_crc16(ahead.data(), shown);
        }
    }
    dump_frame(shown, c.state.counters.good_frames, c.state.counters.bytes_read, c.notes);
}

// Checks an accepted frame's position and counts it. (Forced inline, like the
// decode below: the scan loop is compiled twice, with and without -c, and the
// compiler would otherwise call them rather than copy them into both.)
[[gnu::always_inline]] inline void place_frame(scan_context& c)
{
    scan_counters& n = c.state.counters;
    if (n.good_frames > 0 && n.bytes_read != n.next_expected) {
        ++n.bad_frames;
        c.err.print("\nAn expected frame was not found. Expected it at offset 0x%llx (BYTE %lld), now at offset "
                    "0x%llx (BYTE %lld).",
                    hex(n.next_expected), dec(n.next_expected), hex(n.bytes_read), dec(n.bytes_read));
        note_problem(c, problem_kind::frame_not_found, true, n.bytes_read, n.next_expected);
        min_run_check(c);
    } else if (n.bytes_read == n.next_expected) {
        count_good_frames(n, 1);
    } else {
        // Typically the first frame after leading junk. When standard output carries
        // the stream, the note must not land inside the audio.
        io::output& to = c.options.to_stdout ? c.err : c.notes;
        to.print("\nSomething happened at byte %lld. Next expected frame: %lld.\n", dec(n.bytes_read),
                 dec(n.next_expected));
        note_problem(c, problem_kind::first_frame_late, false, n.bytes_read, n.next_expected);
    }
}

// Reads a protected frame's CRC word; in repair mode holds the bytes that were there.
void read_crc_word(scan_context& c)
{
    scan_state& st = c.state;
    int got = 0;
    while (got < 2 && shift_in_byte(c)) {
        ++got;
    }
    st.candidate.crc16_value = static_cast<std::uint16_t>(st.header_word & 0xFFFFu);
    if (c.repair) {
        if (got == 2) {
            c.held_frame.push_back(static_cast<std::uint8_t>(st.header_word >> 8));
        }
        if (got >= 1) {
            c.held_frame.push_back(static_cast<std::uint8_t>(st.header_word));
        }
    }
}

// The kept decode of header_word, decoding it (into candidate) when it is not
// kept yet. nullptr when the header is not valid.
[[gnu::always_inline]] inline decoded_header* decode_candidate(scan_state& st)
{
    const std::uint32_t word = st.header_word;
    decoded_header& slot = st.decoded[decoded_slot(word)];
    if (slot.word == word) {
        return &slot;
    }
    st.candidate = blank_frame_info();
    if (decode_header(word, st.candidate) == 0) {
        return nullptr;
    }
    slot.word = word;
    slot.info = st.candidate;
    slot.seconds = static_cast<double>(st.candidate.samples_per_frame) / static_cast<double>(st.candidate.sample_freq);
    return &slot;
}

// A mapped file cut shorter while it was scanned: the input ends the stream at the
// cut and says how many of the bytes it handed out lay beyond it (they read as
// zeros). They are taken back, and a frame whose body the cut went through is
// reported as it would have been had the stream ended there. True when bytes
// were taken back.
bool end_at_cut(scan_context& c)
{
    const std::uint64_t beyond = c.in.settle();
    if (beyond == 0) {
        return false;
    }
    scan_counters& n = c.state.counters;
    n.bytes_read -= static_cast<std::int64_t>(beyond);
    if (c.body_end <= n.bytes_read) {
        return true;
    }
    if (!c.body_read_whole) {
        cut_short(c);
        return true;
    }
    // A body read whole for its CRC, as a short read of it would have gone.
    const std::int64_t size = c.state.candidate.frame_length - 6;
    const std::int64_t start = c.body_end - size;
    body_not_read(c, start, size, static_cast<std::uint64_t>(n.bytes_read - start));
    return true;
}

// The four bytes where a header is expected; false when the stream ends first
// (the bytes there were stay counted).
template <bool watched>
bool read_header_block(scan_context& c)
{
    scan_state& st = c.state;
    if (const std::uint8_t* p = c.in.take(4)) {
        st.header_word = header_word::from(p).word;
        st.counters.bytes_read += 4;
        if constexpr (watched) {
            c.watch->feed(p, 4);
        }
        return true;
    }
    st.header_word = 0;
    for (int i = 0; i < 4; ++i) {
        if (!shift_in_byte(c)) {
            return false;
        }
    }
    return true;
}

// In plain copy mode the input writes every byte it gives out to standard output
// for as long as one stream's scan lasts.
class plain_copy {
public:
    plain_copy(io::byte_source& in, io::output& out, bool on) : in_(on ? &in : nullptr)
    {
        if (in_ != nullptr) {
            out.flush();
            in_->tee_to(&out);
        }
    }
    ~plain_copy()
    {
        if (in_ != nullptr) {
            in_->tee_to(nullptr);
        }
    }
    plain_copy(const plain_copy&) = delete;
    plain_copy& operator=(const plain_copy&) = delete;

private:
    io::byte_source* in_;
};

// Runs until the stream ends or a stop condition holds; true when the stream ended.
// watched (-c, c.watch set) is decided once per scan, so that without -c a frame
// costs not one instruction more for it.
template <bool watched>
bool scan_loop(scan_context& c)
{
    scan_state& st = c.state;
    const scan_options& options = c.options;
    scan_counters& n = st.counters;

    for (;;) {
        if (c.walks_known_frames) {
            walk_known_frames<watched>(c);
        }
        st.block_read = true;
        for (;;) {
            if (n.bytes_read > c.byte_budget) {
                return false;
            }
            if (st.block_read ? !read_header_block<watched>(c) : !shift_in_byte(c)) {
                return true;
            }

            if (!has_sync(st.header_word)) {
                if constexpr (watched) {
                    if (c.stream_rules() &&
                        (n.bytes_read == n.next_expected
                             ? read_tag_at_frame_end(c)
                             : c.watch->frames == 0 && (st.header_word & 0xFFFFFF00u) == id3v2_magic &&
                                   read_id3v2_after_junk(c))) {
                        st.block_read = true;
                        continue;  // the next frame (or tag) is expected right after it
                    }
                }
                st.block_read = false;
                if ((st.header_word & 0xFFFFFF00u) == id3v2_magic && n.bytes_read == 4) {
                    skip_id3v2(c);
                }
                continue;
            }

            if (c.in.lost_pages() && end_at_cut(c)) {
                // The file was cut while mapped: a header the cut went through
                // was never all there, and the stream ends at the cut.
                return true;
            }
            decoded_header* header = decode_candidate(st);
            if (header == nullptr) {
                if (options.verbose) {
                    c.err.print("\nA possible header 0x%x passed the weak sieve, but failed the strong one at offset "
                                "0x%llx (BYTE %lld).",
                                st.header_word, hex(n.bytes_read), dec(n.bytes_read));
                }
                if constexpr (watched) {
                    if (c.stream_rules()) {
                        // Counted once it is known not to lie in a tag.
                        hold_rejected_header(c);
                        min_run_check(c);
                        continue;
                    }
                }
                ++n.bad_frames;
                note_problem(c, problem_kind::header_rejected, true, n.bytes_read, st.header_word);
                min_run_check(c);
                continue;  // a block read stays a block read: the next four bytes
            }
            if constexpr (watched) {
                if (c.stream_rules()) {
                    if (!belongs_to_stream(c, header->info)) {
                        st.block_read = false;  // a chance sync word: the search goes on from its next byte
                        if (c.watch->frames == 0 || stream_format(header->word) != stream_format(c.watch->last_word)) {
                            // Its decode is forgotten: the walk of known frames
                            // must never meet a kept decode of another format
                            // than the stream's (see watch_frame).
                            header->word = 0;
                        }
                        continue;
                    }
                    if (!c.watch->held.empty() || c.watch->held_beyond > 0) {
                        settle_held_rejections(c, INT64_MAX);  // they lay in junk before this frame
                    }
                }
            }

            // A protected frame gets its CRC word, and the body reader and the dump
            // their fields, in a record of its own; the kept decode stays as decoded.
            const bool own_record = header->info.prot_bit != 0 || options.very_verbose;
            if (own_record) {
                st.candidate = header->info;
            }
            frame_info& frame = own_record ? st.candidate : header->info;
            place_frame(c);
            const std::int64_t header_end = n.bytes_read;
            if (c.repair) {
                const auto head = header_word{st.header_word}.bytes();
                c.held_frame.assign(head.begin(), head.end());
            }
            if (frame.prot_bit != 0) {
                read_crc_word(c);
            }
            tally_frame(n.play_seconds, st.rates, header->seconds, header->info.bit_rate);
            if (n.good_frames > 0) {
                keep_last_good_frame(st, frame.int_header, frame.crc16_value);
                if (options.very_verbose && !options.to_stdout) {
                    dump_candidate(c, frame);
                }
            }
            if constexpr (watched) {
                watch_frame(c, frame, header_end - 4, n.next_expected - 4);
            }
            n.next_expected = header_end + frame.frame_length;

            if (!c.goes_on) {
                return false;  // a held frame stays unwritten: its body is never read
            }
            if (!read_frame_body<watched>(c, frame)) {
                return true;  // nor is one whose body never came whole
            }
            if (c.in.lost_pages() && end_at_cut(c)) {
                return true;  // a body the cut went through came whole only as zeros
            }
            if (c.repair) {
                c.out.write(c.held_frame.data(), c.held_frame.size());
            }
            if constexpr (watched) {
                if (c.stream_rules()) {
                    frame_of_stream_whole(c, header_end - 4, header_end - 4 + frame.frame_length,
                                          frame.samples_per_frame);
                }
            }
            break;  // the next header is read as one block
        }
    }
}

// The loop under -c, kept out of line so that the one without it is compiled as
// if -c did not exist.
[[gnu::noinline]] bool scan_loop_watched(scan_context& c) { return scan_loop<true>(c); }

// And the loop without it out of line too: inlined into scan_stream, whose other
// work grew with the reports, the compiler laid the per-frame path out worse
// (a fifth more instructions on a long file).
[[gnu::noinline]] bool scan_loop_plain(scan_context& c) { return scan_loop<false>(c); }

}  // namespace

scan_state scan_stream(io::byte_source& in, const scan_options& options, io::output& out, io::output& err)
{
    scan_state st;
    {
        const bool copy_through = passes_bytes_through(options);
        const plain_copy copy(in, out, copy_through);
        scan_context c(in, options, out, err, st);
        const bool ended = c.watch != nullptr ? scan_loop_watched(c) : scan_loop_plain(c);
        end_at_cut(c);
        if (c.watch != nullptr) {
            finish_integrity(c, ended);
        }
        if (options.id3_tag) {
            // The tail ring gets the last bytes this scan consumed, in the slots where
            // storing every byte as it came would have left them.
            std::uint8_t last[io::byte_source::history_size];
            const auto wanted = static_cast<std::size_t>(std::min<std::int64_t>(st.counters.bytes_read, 128));
            const std::size_t got = in.last_consumed(last, wanted);
            st.tail.store(static_cast<std::uint64_t>(st.counters.bytes_read), last, got);
        }
        if (copy_through) {
            // The check may stop early (a budget, -b, -v), but a copy is a copy: the
            // rest of the stream goes through unchanged, unchecked and uncounted.
            in.consume(UINT64_MAX, [](const std::uint8_t*, std::size_t) {});
        }
    }
    if (st.have_good_frame) {
        decode_header(st.last_good_word, st.last_good_frame);
        st.last_good_frame.crc16_value = st.last_good_crc;
    }
    return st;
}

namespace {

// The file's line for people, from what the scan found.
void report_person(const io::byte_source& in, const scan_state& st, std::string_view file_label, person_run& person,
                   const repair_report* repair, io::output& out)
{
    person_record r;
    r.file_label = file_label;
    r.problems = &st.problems;
    r.bad_frames = st.counters.bad_frames;
    r.repair = repair;
    const std::optional<repair_outcome> outcome =
        repair != nullptr ? std::optional<repair_outcome>(repair->outcome) : std::nullopt;
    r.verdict = in.error() != 0                                   ? person_verdict::unreadable
                : outcome == repair_outcome::repaired            ? person_verdict::repaired
                : outcome == repair_outcome::playable_incomplete ? person_verdict::incomplete
                : outcome == repair_outcome::failed              ? person_verdict::not_written
                : outcome == repair_outcome::xing_added          ? person_verdict::xing_added
                : st.counters.bad_frames > 0                     ? person_verdict::damaged
                                                                 : person_verdict::clean;
    r.error = in.error();
    std::uint8_t last[1024];  // the stream's end, as far as the line's clues look
    std::size_t got = 0;
    if (r.verdict == person_verdict::damaged) {
        const auto wanted = static_cast<std::size_t>(
            std::min<std::int64_t>(st.counters.bytes_read, static_cast<std::int64_t>(sizeof last)));
        got = in.last_consumed(last, wanted);
    }
    r.clues.last_bytes = std::span<const std::uint8_t>(last, got);
    std::uint8_t first[4] = {};
    if (r.verdict == person_verdict::damaged && !st.have_good_frame) {
        r.clues.first_bytes = std::span<const std::uint8_t>(first, in.reread(0, first));
        r.clues.file_label = file_label;
    }
    r.clues.stream_length = st.counters.bytes_read;
    r.clues.last_frame_length = st.have_good_frame ? st.last_good_frame.frame_length : 0;
    r.clues.play_seconds = st.counters.play_seconds;
    r.clues.bit_rate_varies = st.rates.low > 0 && st.rates.low != st.rates.high;
    r.layout = st.layout.complete ? &st.layout : nullptr;
    for (const problem& p : st.problems.kept) {
        if (p.kind == problem_kind::id3v2_tag) {
            r.clues.id3v2_end = p.offset + p.numbers[0] + 10;  // the tag's header is not in its size
            break;
        }
    }
    const std::string line = person.take_line(r, st.counters.bytes_read);
    out.write(line.data(), line.size());
}

}  // namespace

bool scan_file(io::byte_source& in, std::string_view file_label, const scan_options& options, io::output& out,
               io::output& err, person_run* person)
{
    scan_state st = scan_stream(in, options, out, err);
    return report_stream(st, in, file_label, options, out, nullptr, person);
}

bool report_stream(scan_state& st, const io::byte_source& in, std::string_view file_label,
                   const scan_options& options, io::output& out, const repair_report* repair, person_run* person)
{
    summary_facts facts;
    facts.good_frames = st.counters.good_frames;
    facts.bad_frames = st.counters.bad_frames;
    facts.bytes_read = st.counters.bytes_read;
    facts.bitrate_high = st.rates.high;
    facts.bitrate_low = st.rates.low;
    facts.bitrate_sum = st.rates.sum;
    facts.bitrate_frames = st.rates.frames;
    facts.play_seconds = st.counters.play_seconds;
    facts.have_good_frame = st.have_good_frame;
    facts.last_good_frame = &st.last_good_frame;
    facts.integrity = st.verdict;
    if (person != nullptr) {
        report_person(in, st, file_label, *person, repair, out);
    } else if (options.json_lines) {
        if (in.error() != 0) {
            // Reported on standard error by the file loop; kept here for the line.
            st.problems.add_never_omitted(problem{problem_kind::read_error, false, st.counters.bytes_read, {in.error(), 0, 0}});
        }
        id3v1_tag tag;
        if (options.id3_tag) {
            tag = find_id3v1(st.tail, static_cast<std::uint64_t>(st.counters.bytes_read));
        }
        report_json(stream_facts{facts, st.problems, options.id3_tag ? &tag : nullptr, options.integrity, repair,
                                 st.audio_sum, st.layout.complete ? &st.layout : nullptr},
                    file_label, out);
    } else {
        report_summary(facts, file_label, options, out);
        report_id3v1(options, st.tail, static_cast<std::uint64_t>(st.counters.bytes_read), out);
    }
    return st.counters.bad_frames <= 0;
}

}  // namespace framelint
