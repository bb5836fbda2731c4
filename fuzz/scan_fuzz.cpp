// Fuzz target for the whole scan of one in-memory stream under fuzzed switches.
//
// Input layout: four option bytes, then the stream.
//   byte 0  bits 0-2  copy switches: none, -s, -ss, -sf, -ss -sf, -sf -ss, -s -sf, none
//           bit 3 -i, bit 4 -a, bit 5 -e, bit 6 -p,
//           bit 7 the stream is standard input (never seeks, bodies byte by byte)
//   byte 1  bits 0-1  none, -v, -vv, none
//           bits 2-4  no -b, no -b, -b, -b0, -b-(n+1), -b(n), -b(64n+1), -b(huge)
//           bits 5-7  0-3 no -q; 4-7 -q2 .. -q5 (odd counts as a separate word)
//   byte 2  n, the number used by -b
//   byte 3  bits 0-1  where the bytes come from: memory, a regular file (memfd),
//                     a pipe, or a socket that hands them out in short pieces
//           bits 2-6  the seed of the piece lengths, so that refills of the input
//                     buffer fall inside headers, bodies, tags and plain copies;
//                     for a regular file: bit 2 maps it (whatever its size), and
//                     bits 3-4, k > 0, cut it to k * 4096 bytes once the scan has
//                     mapped it (or before its first read, when it is read, as a
//                     copy always is), before it has looked at any byte: the pages
//                     past the cut fault, or the reads end there, and the scan
//                     must end there as if the file had been that short, with a
//                     read error.
//           bit 7     -c, the integrity check
// The switches go through the real command-line parser, so that its implications
// (-v without -a sets a budget, no switch at all checks everything) apply.
//
// Each input is scanned four times: a reference scan under the same flow switches
// but with every presentation switch off, the scan loop alone, and the whole scan
// twice; where standard output carries no stream, twice more under --json (the
// loop recording its problems, and the whole scan writing its line). Anything that must hold whatever the input is checked; a violation
// aborts with the failed check.

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <unistd.h>

#include "cli/switches.hpp"
#include "mpeg/frame_info.hpp"
#include "io/byte_source.hpp"
#include "io/output.hpp"
#include "report/json_writer.hpp"
#include "scan/scan_file.hpp"
#include "fuzz_check.hpp"

namespace {

using framelint::scan_options;
using framelint::scan_state;

std::string g_command;  // the switches of the current input, for the failure note

}  // namespace

void fuzz_check_failed(const char* what, int line)
{
    std::fprintf(stderr, "scan_fuzz: check failed at line %d: %s\n  switches:%s\n", line, what, g_command.c_str());
    std::abort();
}

namespace {

enum class origin { memory, regular_file, pipe, pieces };

struct fuzz_case {
    scan_options options;
    bool is_stdin = false;
    origin from = origin::memory;
    unsigned piece_seed = 0;
    bool mapped = false;                      // a regular file, mapped whatever its size
    std::span<const std::uint8_t> file;       // what the regular file holds at first
    std::span<const std::uint8_t> stream;     // what the scan must see: the file, or its part before a cut
    bool cut() const { return stream.size() < file.size(); }
};

void write_all(int fd, std::span<const std::uint8_t> bytes)
{
    while (!bytes.empty()) {
        const ssize_t put = ::write(fd, bytes.data(), bytes.size());
        if (put < 0 && errno == EINTR) {
            continue;
        }
        CHECK(put > 0);
        bytes = bytes.subspan(static_cast<std::size_t>(put));
    }
}

// A sequenced-packet socket returns one message per read, however much room
// the reader offers, so the stream sent as messages of chosen lengths arrives in
// exactly those pieces, as from a slow producer on a pipe. The lengths come from
// a small generator, up to twice the mean, at most 200 messages in all.
int open_pieces(const fuzz_case& fc)
{
    int ends[2];
    CHECK(::socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, ends) == 0);
    const int room = 4 << 20;
    ::setsockopt(ends[1], SOL_SOCKET, SO_SNDBUFFORCE, &room, sizeof room);
    std::uint32_t state = fc.piece_seed * 2654435761u + 1;
    const std::size_t mean = std::max<std::size_t>(1 + (fc.piece_seed & 15u) * (fc.piece_seed & 15u),
                                                   fc.stream.size() / 200 + 1);
    std::span<const std::uint8_t> rest = fc.stream;
    bool sent = true;
    while (!rest.empty() && sent) {
        state = state * 1103515245u + 12345u;
        std::size_t length = 1 + (state >> 8) % (2 * mean);
        length = std::min(length, rest.size());
        const ssize_t put = ::send(ends[1], rest.data(), length, MSG_DONTWAIT | MSG_NOSIGNAL);
        sent = put == static_cast<ssize_t>(length);
        rest = rest.subspan(length);
    }
    ::close(ends[1]);
    if (!sent) {
        ::close(ends[0]);  // the socket will not hold that many messages
        return -1;
    }
    return ends[0];
}

// A descriptor that yields the stream and then its end: a memfd is a regular
// file, which the input may seek in; a pipe cannot seek. The pipe is made large
// enough to hold the whole stream, so reads never wait on a writer (-1 when it
// cannot be, and the stream is read from memory instead).
int open_stream(const fuzz_case& fc)
{
    if (fc.from == origin::pieces) {
        return open_pieces(fc);
    }
    if (fc.from == origin::regular_file) {
        const int fd = ::memfd_create("scan_fuzz", MFD_CLOEXEC);
        CHECK(fd >= 0);
        write_all(fd, fc.file);
        CHECK(::lseek(fd, 0, SEEK_SET) == 0);
        return fd;
    }
    int ends[2];
    CHECK(::pipe2(ends, O_CLOEXEC) == 0);
    if (::fcntl(ends[1], F_SETPIPE_SZ, 1 << 20) < static_cast<int>(fc.stream.size())) {
        ::close(ends[0]);  // the system will not give a pipe this large
        ::close(ends[1]);
        return -1;
    }
    write_all(ends[1], fc.stream);
    ::close(ends[1]);
    return ends[0];
}

// The input of one scan: memory, or a descriptor read through a fresh buffer.
class stream_source {
public:
    explicit stream_source(const fuzz_case& fc)
    {
        if (fc.from != origin::memory) {
            fd_ = open_stream(fc);
        }
        if (fd_ < 0) {
            source_ = std::make_unique<framelint::io::byte_source>(fc.stream, fc.is_stdin);
        } else {
            buffer_.assign(framelint::io::byte_source::block_size, 0xA5);
            const std::int64_t map_from = fc.mapped ? 0 : INT64_MAX;
            source_ = std::make_unique<framelint::io::byte_source>(fd_, fc.is_stdin, std::span(buffer_), map_from);
            CHECK(source_->mapped() == (fc.mapped && !fc.file.empty()));
            if (fc.cut()) {
                const int fd = fd_;
                const auto keep = static_cast<off_t>(fc.stream.size());
                source_->on_refill([fd, keep](std::int64_t) { CHECK(::ftruncate(fd, keep) == 0); });
            }
        }
    }
    ~stream_source()
    {
        source_.reset();
        if (fd_ >= 0) {
            ::close(fd_);
        }
    }
    stream_source(const stream_source&) = delete;
    stream_source& operator=(const stream_source&) = delete;

    framelint::io::byte_source& get() { return *source_; }

private:
    int fd_ = -1;
    std::vector<std::uint8_t> buffer_;
    std::unique_ptr<framelint::io::byte_source> source_;
};

std::vector<std::string> switch_words(std::uint8_t b0, std::uint8_t b1, std::uint8_t n, std::uint8_t b3)
{
    std::vector<std::string> w;
    if ((b3 & 0x80u) != 0) w.emplace_back("-c");
    switch (b0 & 7u) {
    case 1: w = {"-s"}; break;
    case 2: w = {"-ss"}; break;
    case 3: w = {"-sf"}; break;
    case 4: w = {"-ss", "-sf"}; break;
    case 5: w = {"-sf", "-ss"}; break;
    case 6: w = {"-s", "-sf"}; break;
    default: break;
    }
    if ((b0 & 0x08u) != 0) w.emplace_back("-i");
    if ((b0 & 0x10u) != 0) w.emplace_back("-a");
    if ((b0 & 0x20u) != 0) w.emplace_back("-e");
    if ((b0 & 0x40u) != 0) w.emplace_back("-p");

    switch (b1 & 3u) {
    case 1: w.emplace_back("-v"); break;
    case 2: w.emplace_back("-vv"); break;
    default: break;
    }
    switch ((b1 >> 2) & 7u) {
    case 2: w.emplace_back("-b"); break;
    case 3: w.emplace_back("-b0"); break;
    case 4: w.push_back("-b-" + std::to_string(n + 1)); break;
    case 5: w.push_back("-b" + std::to_string(n)); break;
    case 6: w.push_back("-b" + std::to_string(64 * n + 1)); break;
    case 7: w.emplace_back("-b99999999999999999999999"); break;
    default: break;
    }
    const unsigned q = (b1 >> 5) & 7u;
    if (q >= 4) {
        const unsigned frames = q - 2;
        if (frames % 2 == 0) {
            w.push_back("-q" + std::to_string(frames));
        } else {
            w.emplace_back("-q");
            w.push_back(std::to_string(frames));
        }
    }
    return w;
}

bool starts_with(std::string_view text, std::string_view prefix) { return text.substr(0, prefix.size()) == prefix; }

scan_options parse_switches(const std::vector<std::string>& words)
{
    std::vector<const char*> argv{"framelint"};
    g_command.clear();
    for (const std::string& word : words) {
        argv.push_back(word.c_str());
        g_command += " " + word;
    }
    argv.push_back("fuzz");
    auto parsed = framelint::cli::parse_command_line(static_cast<int>(argv.size()), argv.data());
    // The command line refuses a budget below zero; the scanner is still handed
    // one here, so that it stays checked against the model.
    std::int64_t negative_budget = 0;
    for (const std::string& word : words) {
        if (starts_with(word, "-b-")) {
            negative_budget = framelint::cli::leading_number(word.c_str() + 2);
        }
    }
    if (negative_budget < 0) {
        CHECK(parsed.outcome == framelint::cli::parse_outcome::bad_byte_budget);
        std::vector<std::string> accepted = words;
        for (std::string& word : accepted) {
            if (starts_with(word, "-b-")) {
                word = "-b0";
            }
        }
        scan_options o = parse_switches(accepted);
        o.byte_count = negative_budget;
        return o;
    }
    CHECK(parsed.outcome == framelint::cli::parse_outcome::run);
    CHECK(parsed.files.size() == 1 && parsed.files[0] == "fuzz");
    return parsed.options;
}

struct scan_run {
    scan_state state;
    std::string out;
    std::string err;
};

scan_run run_scan_stream(const fuzz_case& fc)
{
    scan_run r;
    stream_source in(fc);
    framelint::io::output out(r.out);
    framelint::io::output err(r.err);
    r.state = framelint::scan_stream(in.get(), fc.options, out, err);
    // A cut is a read error once the scan ran into it.
    CHECK(in.get().error() == 0 || (fc.cut() && in.get().error() == EIO));
    CHECK(out.flush() && err.flush());
    return r;
}

struct file_run {
    bool clean = false;
    std::string out;
    std::string err;
};

file_run run_scan_file(const fuzz_case& fc)
{
    file_run r;
    stream_source in(fc);
    framelint::io::output out(r.out);
    framelint::io::output err(r.err);
    r.clean = framelint::scan_file(in.get(), "fuzz", fc.options, out, err);
    CHECK(out.flush() && err.flush());
    return r;
}

bool has_budget(const scan_options& o) { return o.byte_search && o.byte_count.has_value(); }


// Counters that hold for any stream: nothing is counted that was not read, and
// the bit-rate statistics only ever saw valid headers.
void check_counters(const fuzz_case& fc, const scan_state& st)
{
    const auto& n = st.counters;
    const auto size = static_cast<std::int64_t>(fc.stream.size());
    CHECK(n.bytes_read >= 0 && n.bytes_read <= size);
    CHECK(n.good_frames >= 0 && n.bad_frames >= 0);
    CHECK(n.good_frames * 4 <= n.bytes_read);
    // Every good or bad frame follows at least one fresh byte, except a last frame
    // whose body the stream ends in. (The integrity check's findings are bad
    // frames of their own, several per frame or per stream end.)
    CHECK(fc.options.integrity || n.good_frames + n.bad_frames <= n.bytes_read + 1);
    // The integrity check's verdict comes with it, and only with it.
    CHECK(st.verdict.has_value() == fc.options.integrity);
    if (st.verdict) {
        CHECK((*st.verdict == framelint::integrity_verdict::damaged) == (n.bad_frames > 0));
    }
    CHECK(n.run_length >= 0 && n.run_length <= n.good_frames);
    CHECK(n.next_expected >= 4);

    const auto& r = st.rates;
    CHECK(r.frames >= n.good_frames);
    if (r.frames == 0) {
        CHECK(r.high == 0 && r.low == 0 && r.sum == 0 && n.play_seconds == 0.0);
    } else {
        CHECK(r.low >= 8 && r.low <= r.high && r.high <= 448);
        CHECK(r.sum >= r.low * r.frames && r.sum <= r.high * r.frames);
        CHECK(std::isfinite(n.play_seconds) && n.play_seconds > 0.0);
    }
    CHECK(st.have_good_frame == (n.good_frames > 0));
    if (st.have_good_frame) {
        CHECK(st.last_good_frame.check_state == 1);
    }

    const scan_options& o = fc.options;
    if (has_budget(o) && *o.byte_count < 0) {
        CHECK(n.bytes_read == 0 && r.frames == 0 && n.bad_frames == 0);
        CHECK(!st.verdict || *st.verdict == framelint::integrity_verdict::structure);
    }
    if (!o.check_all && !(has_budget(o) && *o.byte_count > 0)) {
        CHECK(r.frames <= 1);  // the scan stops at the first accepted frame
    }
}

// The ID3v1 step looks at the last 128 bytes consumed.
bool tag_at_end(const fuzz_case& fc, const scan_state& st)
{
    const auto consumed = st.counters.bytes_read;
    return consumed >= 128 && std::memcmp(fc.stream.data() + consumed - 128, "TAG", 3) == 0;
}

// A re-emitted tag keeps "TAG", the track and genre bytes, and in the text fields
// either the input's byte or a NUL.
void check_reemitted_tag(const fuzz_case& fc, const scan_state& st, std::string_view tag)
{
    CHECK(tag.size() == 128);
    const std::uint8_t* in = fc.stream.data() + st.counters.bytes_read - 128;
    CHECK(starts_with(tag, "TAG"));
    for (std::size_t i = 3; i < 126; ++i) {
        const auto c = static_cast<std::uint8_t>(tag[i]);
        CHECK(c == in[i] || c == 0);
    }
    CHECK(static_cast<std::uint8_t>(tag[126]) == in[126]);
    CHECK(static_cast<std::uint8_t>(tag[127]) == in[127]);
}

// The scan done the plain way, one byte at a time from memory with no shortcut:
// what the scanner must find whatever buffering, caching and copying it does.
struct model_scan {
    std::int64_t good = 0;
    std::int64_t bad = 0;
    std::int64_t run = 0;
    std::int64_t consumed = 0;
    std::int64_t frames = 0;  // accepted frames
    std::int32_t high = 0;
    std::int32_t low = 0;
    std::int64_t sum = 0;
    double seconds = 0.0;
    std::uint32_t last_good_word = 0;
    std::string repaired;     // every accepted frame whose bytes all arrived
    std::int64_t crc_notes = 0;  // protected bodies read in one block whose CRC-16 matched
};

// CRC-16/ARC one bit at a time: reflected polynomial 0xA001, initial value 0.
std::uint16_t crc16_by_bits(const std::uint8_t* bytes, std::size_t n)
{
    unsigned crc = 0;
    for (std::size_t i = 0; i < n; ++i) {
        crc ^= bytes[i];
        for (int bit = 0; bit < 8; ++bit) {
            crc = (crc & 1u) != 0 ? (crc >> 1) ^ 0xA001u : crc >> 1;
        }
    }
    return static_cast<std::uint16_t>(crc);
}

model_scan run_model(const fuzz_case& fc)
{
    const scan_options& o = fc.options;
    const std::uint8_t* data = fc.stream.data();
    const auto size = static_cast<std::int64_t>(fc.stream.size());
    model_scan m;
    std::int64_t& pos = m.consumed;
    std::int64_t next_expected = 4;
    std::uint32_t word = 0;
    const auto shift_in = [&] {
        if (pos >= size) {
            return false;
        }
        word = (word << 8) | data[pos++];
        return true;
    };
    const auto run_break = [&] {
        if (o.min_run_set && m.run > 0 && m.run < o.min_frames) {
            m.run = 0;
        }
    };
    const bool goes_on = o.check_all || (has_budget(o) && *o.byte_count > 0);
    // Bodies nobody has to see byte by byte; a protected one is checked in one block.
    const bool block_bodies = !framelint::copies_bodies(o) && !fc.is_stdin && !o.id3_tag;

    for (;;) {
        bool block = true;
        for (;;) {
            if (has_budget(o) && pos > *o.byte_count) {
                return m;
            }
            if (block) {
                word = 0;
                for (int i = 0; i < 4; ++i) {
                    if (!shift_in()) {
                        return m;
                    }
                }
            } else if (!shift_in()) {
                return m;
            }
            if (!framelint::has_sync(word)) {
                block = false;
                if ((word & 0xFFFFFF00u) == 0x49443300u && pos == 4) {
                    m.bad += o.id3v2_error ? 1 : 0;
                    for (int i = 0; i < 6 && shift_in(); ++i) {
                    }
                    const std::int64_t tag = ((word >> 24) & 0x7F) << 21 | ((word >> 16) & 0x7F) << 14 |
                                             ((word >> 8) & 0x7F) << 7 | (word & 0x7F);
                    pos += std::min(tag, size - pos);
                    next_expected = tag + 14;
                    block = true;
                }
                continue;
            }
            framelint::frame_info f = framelint::blank_frame_info();
            if (framelint::decode_header(word, f) == 0) {
                ++m.bad;
                run_break();
                continue;
            }
            const std::int64_t frame_start = pos - 4;
            if (m.good > 0 && pos != next_expected) {
                ++m.bad;
                run_break();
            } else if (pos == next_expected) {
                ++m.good;
                ++m.run;
            }
            const std::int64_t header_end = pos;
            if (f.prot_bit != 0) {
                pos += std::min<std::int64_t>(2, size - pos);
            }
            ++m.frames;
            m.high = std::max(m.high, f.bit_rate);
            m.low = m.low == 0 ? f.bit_rate : std::min(m.low, f.bit_rate);
            m.sum += f.bit_rate;
            m.seconds += static_cast<double>(f.samples_per_frame) / static_cast<double>(f.sample_freq);
            if (m.good > 0) {
                m.last_good_word = f.int_header;
            }
            next_expected = header_end + f.frame_length;
            bool whole = true;
            if (goes_on) {
                const std::int64_t body = f.frame_length - (f.prot_bit != 0 ? 6 : 4);
                if (body > 0) {
                    const std::int64_t got = std::min(body, size - pos);
                    whole = got == body;
                    if (whole && block_bodies && f.prot_bit != 0) {
                        const auto stored = static_cast<std::uint16_t>(data[header_end] << 8 | data[header_end + 1]);
                        m.crc_notes += crc16_by_bits(data + pos, static_cast<std::size_t>(body)) == stored ? 1 : 0;
                    }
                    pos += got;
                }
            }
            if (!goes_on) {
                return m;  // the body is never read: the frame is not written either
            }
            if (!whole) {
                ++m.bad;  // the stream ends inside the body: a frame cut short, and dropped
                return m;
            }
            m.repaired.append(reinterpret_cast<const char*>(data + frame_start),
                              static_cast<std::size_t>(pos - frame_start));
            break;
        }
    }
}

// Whatever the switches that only change what is written, the source, and the
// buffering, the scanner must find what the model finds.
// Under -c (but for repair) only frames of the stream are accepted and tags are
// read by their sizes: the model, which searches every byte, counts otherwise.
bool keeps_to_the_stream(const scan_options& o) { return o.integrity && !framelint::writes_repaired_frames(o); }

void check_against_model(const fuzz_case& fc, const scan_state& st, const model_scan& m)
{
    const auto& n = st.counters;
    if (keeps_to_the_stream(fc.options)) {
        if (fc.options.check_all && !has_budget(fc.options)) {
            CHECK(n.bytes_read == static_cast<std::int64_t>(fc.stream.size()));  // still every byte
        }
        return;
    }
    CHECK(n.good_frames == m.good);
    // The model does not know the integrity check's findings; they only add.
    CHECK(n.bad_frames == m.bad || (fc.options.integrity && n.bad_frames > m.bad));
    CHECK(n.run_length == m.run);
    CHECK(st.rates.frames == m.frames && st.rates.sum == m.sum);
    CHECK(st.rates.high == m.high && st.rates.low == m.low);
    CHECK(n.play_seconds == m.seconds);
    CHECK(st.have_good_frame == (m.good > 0));
    CHECK(!st.have_good_frame || st.last_good_frame.int_header == m.last_good_word);
    // Every byte consumed is counted, whichever way the bodies were read.
    CHECK(n.bytes_read == m.consumed);
    if (fc.options.check_all && !has_budget(fc.options)) {
        CHECK(m.consumed == static_cast<std::int64_t>(fc.stream.size()));
    }
}

std::int64_t count_of(std::string_view text, std::string_view what)
{
    std::int64_t n = 0;
    for (std::size_t at = text.find(what); at != std::string_view::npos; at = text.find(what, at + what.size())) {
        ++n;
    }
    return n;
}

// What follows the scan loop on standard output when no copy switch is given:
// the summary, then the ID3v1 step's lines.
void check_reports(const fuzz_case& fc, const scan_state& st, std::string_view reports)
{
    const scan_options& o = fc.options;
    const auto& n = st.counters;
    char head[256];
    if (o.one_line) {
        std::snprintf(head, sizeof head, "FILE_NAME fuzz\tGOOD_FRAMES %lld\tBAD_FRAMES %lld\tLAST_BYTE_CHECKED %lld",
                      static_cast<long long>(n.good_frames), static_cast<long long>(n.bad_frames),
                      static_cast<long long>(n.bytes_read));
    } else {
        std::snprintf(head, sizeof head,
                      "\nFILE_NAME           fuzz\nGOOD_FRAMES         %lld\nBAD_FRAMES          %lld\n"
                      "LAST_BYTE_CHECKED   %lld",
                      static_cast<long long>(n.good_frames), static_cast<long long>(n.bad_frames),
                      static_cast<long long>(n.bytes_read));
    }
    CHECK(starts_with(reports, head));

    std::string_view tag_lines = reports;
    if (o.one_line) {
        const std::size_t line_end = reports.find('\n');
        CHECK(line_end != std::string_view::npos);
        tag_lines = reports.substr(line_end + 1);
    }
    constexpr std::string_view no_tag = "\nMP3_TAG             0\n";
    constexpr std::string_view tag_found = "\nMP3_TAG             1\nTITLE               ";
    const bool tag = o.id3_tag && tag_at_end(fc, st);
    if (!o.id3_tag || (tag && !o.verbose)) {
        CHECK(reports.find("MP3_TAG") == std::string_view::npos);
        if (o.one_line) {
            CHECK(tag_lines.empty());
        }
    } else if (!tag) {
        CHECK(reports.ends_with(no_tag));
        if (o.one_line) {
            CHECK(tag_lines == no_tag);
        }
    } else {
        const std::uint8_t* in = fc.stream.data() + n.bytes_read - 128;
        char tail[96];
        std::snprintf(tail, sizeof tail, "GENRE               %d\nTRACK               %d\nID3.11              %d\n",
                      in[127], in[126], in[126] != 0 ? 1 : 0);
        CHECK(reports.ends_with(tail));
        const std::size_t at = reports.rfind(tag_found);
        CHECK(at != std::string_view::npos);
        if (o.one_line) {
            CHECK(starts_with(tag_lines, tag_found));
        }
    }
}

void check_outputs(const fuzz_case& fc, const scan_run& loop, const file_run& whole, const model_scan& model)
{
    const scan_options& o = fc.options;
    const scan_state& st = loop.state;
    const std::string_view stream_out = loop.out;
    // The whole scan writes what the loop wrote, then its reports; the reports go
    // to standard output only.
    CHECK(starts_with(whole.out, stream_out));
    CHECK(whole.err == loop.err);
    CHECK(whole.clean == (st.counters.bad_frames <= 0));
    const std::string_view after_loop = std::string_view(whole.out).substr(stream_out.size());
    const bool tag = o.id3_tag && tag_at_end(fc, st);

    if (o.to_stdout) {
        // Standard output carries the stream: no summary, no tag report, and in
        // repair mode with -i the tag that was found (also under -ss).
        if (o.fix_stream && tag) {
            check_reemitted_tag(fc, st, after_loop);
        } else {
            CHECK(after_loop.empty());
        }
    } else {
        check_reports(fc, st, after_loop);
    }

    if (framelint::passes_bytes_through(o)) {
        // Plain copy: the whole stream, in order, and nothing else, wherever the
        // check stopped.
        CHECK(stream_out == std::string_view(reinterpret_cast<const char*>(fc.stream.data()), fc.stream.size()));
    } else if (framelint::writes_repaired_frames(o)) {
        // Repair: every accepted frame that arrived whole, in stream order.
        CHECK(stream_out == model.repaired);
    }
    // The block read of a protected body notes a matching CRC-16 on standard
    // output, also under -ss, where it is all that is written there. (Copied
    // stream bytes may hold the same text, and no body is read in one block then.)
    constexpr std::string_view crc_note = "crc16 check passed.\n";
    if (keeps_to_the_stream(o)) {
        // Other frames than the model's: no count to compare.
    } else if (!framelint::passes_bytes_through(o) && !framelint::writes_repaired_frames(o)) {
        CHECK(count_of(stream_out, crc_note) == model.crc_notes);
    } else {
        CHECK(model.crc_notes == 0);
    }
    if (o.super_silent && !keeps_to_the_stream(o)) {
        CHECK(stream_out.size() == static_cast<std::size_t>(model.crc_notes) * crc_note.size());
    }

    // Messages on standard error belong to their switches.
    const std::string_view err = loop.err;
    if (!o.verbose) {
        CHECK(err.find("weak sieve") == std::string_view::npos);
    }
    if (!o.min_run_set) {
        CHECK(err.find("Mininum contiguous") == std::string_view::npos);
    }
    const bool id3v2_at_start = fc.stream.size() >= 4 && std::memcmp(fc.stream.data(), "ID3", 3) == 0 &&
                                !(has_budget(o) && *o.byte_count < 0);
    // -c also reads an ID3v2 tag that follows junk before the first frame.
    const bool id3v2_after_junk =
        o.integrity && std::string_view(reinterpret_cast<const char*>(fc.stream.data()), fc.stream.size())
                               .find("ID3", 1) != std::string_view::npos;
    const bool told = err.find("Possible ID3v2 frame found, skipping\n") != std::string_view::npos;
    CHECK(told == id3v2_at_start || (told && id3v2_after_junk && !(has_budget(o) && *o.byte_count < 0)));
}

// A strict reading of JSON's grammar: true when text is exactly one value.
class json_syntax {
public:
    explicit json_syntax(std::string_view text) : s_(text) {}

    bool whole_value()
    {
        return value(0) && i_ == s_.size();
    }

private:
    bool eat(char c)
    {
        if (i_ < s_.size() && s_[i_] == c) {
            ++i_;
            return true;
        }
        return false;
    }
    bool word(std::string_view w)
    {
        if (s_.substr(i_, w.size()) != w) {
            return false;
        }
        i_ += w.size();
        return true;
    }
    bool digits()
    {
        const std::size_t from = i_;
        while (i_ < s_.size() && s_[i_] >= '0' && s_[i_] <= '9') {
            ++i_;
        }
        return i_ > from;
    }
    bool number()
    {
        eat('-');
        if (!eat('0') && !digits()) {
            return false;
        }
        if (eat('.') && !digits()) {
            return false;
        }
        if (eat('e') || eat('E')) {
            if (!eat('+')) {
                eat('-');
            }
            return digits();
        }
        return true;
    }
    bool string()
    {
        if (!eat('"')) {
            return false;
        }
        while (i_ < s_.size()) {
            const auto c = static_cast<unsigned char>(s_[i_++]);
            if (c == '"') {
                return true;
            }
            if (c < 0x20) {
                return false;
            }
            if (c == '\\') {
                if (i_ >= s_.size()) {
                    return false;
                }
                const char e = s_[i_++];
                if (e == 'u') {
                    for (int k = 0; k < 4; ++k) {
                        if (i_ >= s_.size() || std::strchr("0123456789abcdefABCDEF", s_[i_++]) == nullptr) {
                            return false;
                        }
                    }
                } else if (std::strchr("\"\\/bfnrt", e) == nullptr || e == '\0') {
                    return false;
                }
            }
        }
        return false;
    }
    bool value(int depth)
    {
        if (depth > 16 || i_ >= s_.size()) {
            return false;
        }
        if (eat('{')) {
            if (eat('}')) {
                return true;
            }
            do {
                if (!string() || !eat(':') || !value(depth + 1)) {
                    return false;
                }
            } while (eat(','));
            return eat('}');
        }
        if (eat('[')) {
            if (eat(']')) {
                return true;
            }
            do {
                if (!value(depth + 1)) {
                    return false;
                }
            } while (eat(','));
            return eat(']');
        }
        if (s_[i_] == '"') {
            return string();
        }
        return word("true") || word("false") || word("null") || number();
    }

    std::string_view s_;
    std::size_t i_ = 0;
};

// Under --json the scan is the same, every bad frame has its problem record,
// and standard output holds exactly one line of valid JSON.
void check_json_lines(const fuzz_case& fc, const scan_run& loop, const file_run& text)
{
    if (fc.options.to_stdout) {
        return;  // refused by the command line
    }
    fuzz_case recording = fc;
    recording.options.json_lines = true;
    const scan_run recorded = run_scan_stream(recording);
    const auto& n = recorded.state.counters;
    CHECK(n.bytes_read == loop.state.counters.bytes_read && n.good_frames == loop.state.counters.good_frames &&
          n.bad_frames == loop.state.counters.bad_frames);
    const auto& problems = recorded.state.problems;
    CHECK(problems.kept.size() <= framelint::problem_list::kept_limit);
    CHECK(problems.dropped == 0 || problems.kept.size() == framelint::problem_list::kept_limit);
    std::int64_t counted = 0;
    for (const framelint::problem& p : problems.kept) {
        counted += p.bad_frame ? 1 : 0;
        CHECK(p.offset >= 0);
    }
    CHECK(problems.dropped > 0 ? counted <= n.bad_frames : counted == n.bad_frames);

    const file_run line = run_scan_file(recording);
    CHECK(line.clean == text.clean);
    CHECK(!line.out.empty() && line.out.back() == '\n' &&
          std::count(line.out.begin(), line.out.end(), '\n') == 1);
    const std::string_view object(line.out.data(), line.out.size() - 1);
    CHECK(framelint::json::is_valid_utf8(object));
    CHECK(json_syntax(object).whole_value());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size < 4) {
        return 0;
    }
    fuzz_case fc;
    fc.options = parse_switches(switch_words(data[0], data[1], data[2], data[3]));
    fc.is_stdin = (data[0] & 0x80u) != 0;
    static constexpr origin origins[4] = {origin::memory, origin::regular_file, origin::pipe, origin::pieces};
    fc.from = origins[data[3] & 3u];
    fc.piece_seed = (data[3] >> 2) & 0x1Fu;
    // An empty stream comes as an empty span without storage, as callers make it.
    fc.file = size > 4 ? std::span<const std::uint8_t>(data + 4, size - 4) : std::span<const std::uint8_t>();
    fc.stream = fc.file;
    if (fc.from == origin::regular_file) {
        fc.mapped = (fc.piece_seed & 1u) != 0;
        const std::size_t cut_at = 4096 * ((fc.piece_seed >> 1) & 3u);
        if (cut_at > 0 && cut_at < fc.file.size()) {
            fc.stream = fc.file.first(cut_at);
        }
    }

    const scan_run loop = run_scan_stream(fc);
    check_counters(fc, loop.state);
    const model_scan model = run_model(fc);
    check_against_model(fc, loop.state, model);

    const file_run first = run_scan_file(fc);
    const file_run second = run_scan_file(fc);
    CHECK(first.clean == second.clean && first.out == second.out && first.err == second.err);
    check_outputs(fc, loop, first, model);
    check_json_lines(fc, loop, first);
    return 0;
}
