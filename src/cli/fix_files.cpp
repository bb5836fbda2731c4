#include "cli/fix_files.hpp"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <string_view>
#include <sys/stat.h>
#include <unistd.h>

#include "cli/person_session.hpp"
#include "io/aligned_block.hpp"
#include "io/byte_source.hpp"
#include "io/rewrite.hpp"
#include "repair/repair_plan.hpp"
#include "report/person_report.hpp"
#include "report/plain_words.hpp"
#include "cli/scan_facts.hpp"
#include "scan/scan_file.hpp"
#include "cli/record_hook.hpp"

namespace framelint::cli {

std::string fix_conflict(const parsed_command_line& command)
{
    const scan_options& o = command.options;
    if (!o.fix_in_place) {
        return o.no_backup    ? "--no-backup is only for --fix"
               : o.add_xing   ? "--add-xing is only for --fix"
               : o.keep_times ? "--keep-times is only for --fix"
                              : "";
    }
    if (o.to_stdout) {
        return "--fix cannot be used with -s, -ss or -sf";
    }
    if (command.jobs && *command.jobs != 1) {
        return "--fix repairs one file at a time: it cannot be used with --jobs";
    }
    if (o.byte_search || o.verbose) {
        return "--fix cannot be used with -b or -v, which end the check before the end of the file";
    }
    const bool stdin_named = std::find(command.files.begin(), command.files.end(), "-") != command.files.end();
    if (stdin_named && command.files.size() > 1) {
        return "--fix - repairs standard input alone: name no other file";
    }
    if (stdin_named && command.files_from) {
        // The list's files would be reported into the repaired stream.
        return "--fix - repairs standard input alone: it cannot be used with --files-from";
    }
    if (stdin_named && (o.json_lines || o.person_report)) {
        return std::string(o.json_lines ? "--json" : "--summary") +
               " cannot be used with --fix -, which gives standard output to the stream";
    }
    return "";
}

namespace {

bool found(const problem_list& problems, problem_kind kind)
{
    return std::any_of(problems.kept.begin(), problems.kept.end(), [&](const problem& p) { return p.kind == kind; });
}

io::rewrite_piece piece_of(const repair_piece& p)
{
    return io::rewrite_piece{p.from_source, p.source.begin, p.source.end, p.bytes};
}

std::vector<io::rewrite_piece> pieces_of(const repair_plan& plan)
{
    std::vector<io::rewrite_piece> pieces;
    pieces.reserve(plan.pieces.size());
    for (const repair_piece& p : plan.pieces) {
        pieces.push_back(piece_of(p));
    }
    return pieces;
}

// Reads by position that tell a failed read (nothing) from the end of the
// file (fewer bytes).
stream_reader reader_of(int fd)
{
    return [fd](std::int64_t at, std::size_t n) -> std::optional<std::vector<std::uint8_t>> {
        std::vector<std::uint8_t> bytes(n);
        std::size_t got = 0;
        while (got < n) {
            const ssize_t r = ::pread(fd, bytes.data() + got, n - got, at + static_cast<std::int64_t>(got));
            if (r < 0 && errno == EINTR) {
                continue;
            }
            if (r < 0) {
                return std::nullopt;
            }
            if (r == 0) {
                break;
            }
            got += static_cast<std::size_t>(r);
        }
        bytes.resize(got);
        return bytes;
    };
}

// An ID3v1 tag that ends the stream must end the repaired stream too: the
// map's last tag, when it is one, is what the pieces end with, copied from
// where it stands. The plan keeps every tag of the map; this makes sure of it
// for the tag players read from the end. Why the repair is refused, or "".
std::string loses_id3v1(const stream_layout& layout, const std::vector<io::rewrite_piece>& pieces)
{
    constexpr std::int64_t tag_size = 128;
    const std::vector<tag_range>& tags = layout.tags;
    const bool ends_with_id3v1 = !tags.empty() && tags.back().format == tag_format::id3v1 &&
                                 tags.back().bytes.end == layout.stream_end && tags.back().bytes.size() >= tag_size;
    if (!ends_with_id3v1) {
        return "";
    }
    // The pieces' last tag_size bytes, from the back: copies of the stream
    // that end where the tag does, one after the other.
    std::int64_t source_end = layout.stream_end;
    std::int64_t still = tag_size;
    for (auto p = pieces.rbegin(); p != pieces.rend() && still > 0; ++p) {
        if (!p->from_source || p->end != source_end) {
            break;
        }
        const std::int64_t taken = std::min(still, p->end - p->begin);
        still -= taken;
        source_end -= taken;
    }
    return still == 0 ? "" : "the repair would lose the ID3v1 tag at the end of the file";
}

// The damage kinds of a stream, named, for a file with damage the repair does
// not touch.
std::string damage_named(const problem_list& problems)
{
    std::string names;
    for (const problem_kind_info& k : problem_kinds) {
        if (k.severity == problem_severity::damage && found(problems, k.kind)) {
            names += (names.empty() ? "" : ", ") + std::string(k.name);
        }
    }
    return names;
}

// Whether a repaired stream passes the check: read back from fd as -c reads.
// With audio missing, the one finding allowed is the one that says so: the
// LAME tag's music length, kept from the whole, runs past the stream's end.
// A copy that cannot be read back is turned down as well, and read_failed
// says so: the file is left as it was for a read error, not for damage.
// audio: when given, the hash of the repaired stream's audio, for the record.
std::string vet_repaired(int fd, bool incomplete, bool& read_failed, std::optional<audio_digest>* audio = nullptr,
                         std::int64_t* frames = nullptr)
{
    if (::lseek(fd, 0, SEEK_SET) != 0) {
        read_failed = true;
        return std::string("cannot read the repaired file back: ") + std::strerror(errno);
    }
    scan_options check;
    check.integrity = true;
    check.check_all = true;
    check.fix_in_place = true;  // the problems are recorded, to tell a shortfall from damage
    check.hash_audio = audio != nullptr;
    std::string ignored_out;
    std::string ignored_err;
    io::output out(ignored_out);
    io::output err(ignored_err);
    const io::aligned_block buffer(io::byte_source::block_size);
    io::byte_source in(fd, false, buffer.bytes(), INT64_MAX);
    const scan_state st = scan_stream(in, check, out, err);
    if (in.error() != 0) {
        read_failed = true;
        return std::string("cannot read the repaired file back: ") + std::strerror(in.error());
    }
    if (audio != nullptr) {
        *audio = st.audio_sum;
        *frames = st.audio.frames();
    }
    const auto shortfalls = std::count_if(st.problems.kept.begin(), st.problems.kept.end(), [](const problem& p) {
        return p.bad_frame && p.kind == problem_kind::music_length;
    });
    const bool only_shortfall = incomplete && st.problems.dropped == 0 && st.counters.bad_frames == shortfalls;
    return st.counters.bad_frames == 0 || only_shortfall ? "" : "the repaired stream would still not pass the check";
}

// Whether the pieces of a repaired standard input pass the check: written to
// an unnamed temporary file in dir and read back, as a repaired file is before
// it replaces the original.
std::string vet_repaired_pieces(int spool, std::span<const io::rewrite_piece> pieces, const std::string& dir,
                                bool incomplete, bool& read_failed)
{
    const int copy = ::open(dir.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
    if (copy < 0) {
        return "cannot make a temporary file in " + dir + " to check the repair: " + std::strerror(errno);
    }
    std::string why;
    if (!io::write_pieces(spool, pieces, copy)) {
        why = "cannot write the repair to a temporary file in " + dir + ": " + std::strerror(errno);
    } else {
        why = vet_repaired(copy, incomplete, read_failed);
    }
    ::close(copy);
    return why;
}

// A test aid: FRAMELINT_TEST_KILL_AT=temporary_written, backup_made or renamed
// ends the process with SIGKILL at that step of a rewrite, to show that a kill
// at any moment leaves the old file or the new one, never a mixture.
void kill_if_asked(io::rewrite_step step)
{
    static const char* const asked = std::getenv("FRAMELINT_TEST_KILL_AT");
    if (asked == nullptr) {
        return;
    }
    static constexpr std::string_view names[] = {"temporary_written", "backup_made", "renamed"};
    if (names[static_cast<std::size_t>(step)] == asked) {
        ::raise(SIGKILL);
    }
}

// What the check and the plan say of one stream, before anything is written.
struct stream_verdict {
    repair_plan plan;
    repair_report report;
    bool damaged = false;
};

// Whether the plan does nothing but give a stream a Xing header frame.
bool only_adds_xing(const repair_plan& plan)
{
    return plan.changes() && std::all_of(plan.actions.begin(), plan.actions.end(), [](const repair_action& a) {
               return a.kind == repair_action_kind::xing_frame_added;
           });
}

stream_verdict judge(const scan_state& st, int fd, const scan_options& options)
{
    stream_verdict v;
    v.damaged = st.counters.bad_frames > 0;
    auto plan = plan_repair_reading(st.layout, repair_facts_of(st), reader_of(fd));
    v.report.outcome = repair_outcome::clean;
    if (!plan) {
        v.report = repair_report{repair_outcome::failed, "it could not be read", "", {}};
        return v;
    }
    v.plan = std::move(*plan);
    if (!v.damaged) {
        // A file the check calls clean is only ever changed on request: a
        // Xing header for a stream whose bit rate varies (a notice).
        if (options.add_xing && only_adds_xing(v.plan)) {
            v.report.outcome = repair_outcome::xing_added;
        } else {
            v.plan = repair_plan{};
        }
    }
    if (v.plan.changes()) {
        if (const auto& s = v.plan.incomplete; s && s->sample_rate > 0) {
            v.report.kept_seconds = static_cast<double>(s->samples_kept) / s->sample_rate;
            v.report.whole_seconds = static_cast<double>(s->samples_whole) / s->sample_rate;
            v.report.whole_estimated = s->whole_estimated;
        }
        for (const repair_action& a : v.plan.actions) {
            v.report.repairs.push_back(repair_entry{std::string(action_name(a.kind)), describe(a), a.count});
        }
    } else if (v.damaged) {
        v.report.outcome = repair_outcome::not_repaired;
        v.report.reason = v.plan.refusal ? std::string(refusal_words(*v.plan.refusal))
                                         : "damage that --fix does not repair (" + damage_named(st.problems) + ")";
        if (const auto& s = v.plan.incomplete; s && !v.plan.refusal && s->sample_rate > 0) {
            // A stream made playable before: what is missing stays missing.
            v.report.reason = "audio is missing that no repair brings back (" +
                              shortfall_words(static_cast<double>(s->samples_kept) / s->sample_rate,
                                              static_cast<double>(s->samples_whole) / s->sample_rate,
                                              s->whole_estimated) +
                              "); replace it if you can";
        }
    }
    return v;
}

std::string joined_repairs(const repair_report& r)
{
    std::string text;
    for (const repair_entry& e : r.repairs) {
        text += (text.empty() ? "" : ", ") + e.text;
    }
    return text;
}

// The outcome of a repair that leaves audio missing.
std::string made_playable(const repair_report& r)
{
    return "made playable, still incomplete: " + shortfall_words(r.kept_seconds, r.whole_seconds, r.whole_estimated) +
           "; replace it if you can";
}

// The line a repaired or unrepairable file gets (none for a clean one).
void print_repair_line(const std::string& name, const repair_report& r, io::output& to, io::output& err)
{
    // Names go out with their control bytes shown as '?': a line break in one
    // would split the line.
    const std::string shown = printable_name(name);
    const std::string original = r.backup.empty() ? "" : " (the original is " + printable_name(r.backup) + ")";
    if (r.outcome == repair_outcome::repaired) {
        to.print("%s: repaired: %s%s\n", shown.c_str(), joined_repairs(r).c_str(), original.c_str());
    } else if (r.outcome == repair_outcome::xing_added) {
        to.print("%s: %s%s\n", shown.c_str(), joined_repairs(r).c_str(), original.c_str());
    } else if (r.outcome == repair_outcome::playable_incomplete) {
        to.print("%s: %s; %s%s\n", shown.c_str(), made_playable(r).c_str(), joined_repairs(r).c_str(),
                 original.c_str());
    } else if (r.outcome == repair_outcome::not_repaired) {
        to.print("%s: not repaired: %s\n", shown.c_str(), printable_name(r.reason).c_str());
    } else if (r.outcome == repair_outcome::failed) {
        err.print("framelint: %s not repaired: %s\n", shown.c_str(), printable_name(r.reason).c_str());
    }
}

void count_outcome(const stream_verdict& v, files_outcome& outcome)
{
    if (v.report.outcome == repair_outcome::failed) {
        outcome.unreadable = true;
    } else if ((v.report.outcome == repair_outcome::not_repaired && v.damaged) || v.report.outcome == repair_outcome::playable_incomplete) {
        outcome.bad_frames = true;  // audio is still missing: the file is no good copy
    }
}

}  // namespace

bool fix_named(const std::string& name, const scan_options& options, std::span<std::uint8_t> buffer,
               files_outcome& outcome, io::output& out, io::output& err, person_session* session)
{
    // A symbolic link stays one: the file it leads to is repaired. Opened
    // without waiting (a FIFO would wait for a writer) and looked at before a
    // byte is read: only a regular file can be rewritten.
    const std::string target = io::resolve_links(name);
    const int fd = target.empty() ? -1 : ::open(target.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    // (A directory goes on to fail its first read, and is reported as ever.)
    struct stat seen {};
    if (fd >= 0 && (::fstat(fd, &seen) != 0 || (!S_ISREG(seen.st_mode) && !S_ISDIR(seen.st_mode)))) {
        ::close(fd);
        if (session != nullptr) {
            const repair_report refused{repair_outcome::failed, "it is not a regular file", "", {}};
            say_not_regular(session->run, name, refused, out);
        } else {
            err.print("framelint: %s not repaired: it is not a regular file\n", printable_name(name).c_str());
        }
        outcome.unreadable = true;
        return true;
    }
    // The content as it is before the check reads it: compared again just
    // before the rename, so that another program's edit is never lost.
    const std::optional<std::uint64_t> digest = fd >= 0 ? io::content_digest(fd) : std::nullopt;
    if (fd < 0) {
        if (session != nullptr) {
            say_unopened(session->run, name, errno, out);
        } else {
            err.print("framelint: %s %s\n", name.c_str(), std::strerror(errno));
        }
        outcome.unreadable = true;
        return true;
    }
    // Under --json and --summary the scanner's warnings and notes are left out,
    // as they are without --fix: standard error carries errors alone.
    io::output quiet(io::output::discard_tag{});
    io::output& scan_err = records_only(options) ? quiet : err;
    bool stdout_good = true;
    if (session != nullptr) {
        session->file_started(name);
    }
    {
        // Read, never mapped: every byte the repair keeps was in the file when
        // the check saw it.
        io::byte_source in(fd, false, buffer, INT64_MAX);
        in.stop_when_failed(&out);
        scan_state st = scan_stream(in, options, out, scan_err);
        stream_verdict v = judge(st, fd, options);
        consult_record(in, fd, name, st, scan_err);
        std::optional<audio_digest> repaired_audio;
        std::int64_t repaired_frames = 0;
        if (in.error() != 0) {
            v.report = repair_report{repair_outcome::failed, std::string("it could not be read to its end"), "", {}};
        } else if (v.report.outcome == repair_outcome::failed) {
            // the plan's bytes could not be read: the file stays as it is
        } else if (v.plan.changes() && !S_ISREG(seen.st_mode)) {
            v.report = repair_report{repair_outcome::failed, "it is not a regular file", "", {}};
        } else if (v.plan.changes()) {
            const auto pieces = pieces_of(v.plan);
            const std::string lost = loses_id3v1(st.layout, pieces);
            const bool incomplete = v.plan.incomplete.has_value();
            bool read_back_failed = false;
            const auto vet = [&](int repaired_fd) {
                return vet_repaired(repaired_fd, incomplete, read_back_failed, &repaired_audio, &repaired_frames);
            };
            const io::rewrite_outcome done =
                lost.empty() ? io::rewrite_file(target, fd, seen, pieces, !options.no_backup, vet, kill_if_asked,
                                                io::rewrite_care{options.keep_times, digest})
                             : io::rewrite_outcome{false, true, "", lost};
            if (done.done) {
                v.report.outcome = incomplete ? repair_outcome::playable_incomplete : v.damaged ? repair_outcome::repaired : repair_outcome::xing_added;
                v.report.backup = done.backup;
                // Its own change is never later taken for bit rot. (Audio that
                // had changed against the record keeps the record as it was.)
                const auto& found = st.problems.kept;
                if (repaired_audio && std::none_of(found.begin(), found.end(), [](const problem& p) {
                        return p.kind == problem_kind::audio_changed;
                    })) {
                    record_repaired(name, *repaired_audio, repaired_frames, true);
                }
            } else if (done.vetoed && !read_back_failed) {
                v.report = repair_report{repair_outcome::not_repaired, done.failure, "", {}};
            } else {
                v.report = repair_report{repair_outcome::failed, done.failure, "", {}};
            }
        }
        if (session != nullptr) {
            // The file's line says what was repaired, or why not, or that
            // the file could not be read.
            report_stream(st, in, name, options, out, &v.report, &session->run);
            session->file_done();
            in.clear_error();
        } else {
            report_stream(st, in, name, options, out, options.json_lines ? &v.report : nullptr);
            if (!options.json_lines) {
                print_repair_line(name, v.report, out, err);
            } else if (v.report.outcome == repair_outcome::failed) {
                err.print("framelint: %s not repaired: %s\n", printable_name(name).c_str(),
                          printable_name(v.report.reason).c_str());
            }
        }
        count_outcome(v, outcome);
        stdout_good = check_stream_errors(in, name, out, err);
    }
    ::close(fd);
    return stdout_good;
}

bool fix_standard_input(const scan_options& options, std::span<std::uint8_t> buffer, files_outcome& outcome,
                        io::output& out, io::output& err)
{
    // The repair keeps stretches of the stream it has already read past: the
    // stream is kept in an unnamed temporary file, never whole in memory.
    const char* tmpdir = std::getenv("TMPDIR");
    const std::string dir = tmpdir != nullptr && *tmpdir != '\0' ? tmpdir : "/tmp";
    const int spool = ::open(dir.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
    if (spool < 0) {
        err.print("framelint: stdin not repaired: cannot make a temporary file in %s: %s\n", dir.c_str(),
                  std::strerror(errno));
        outcome.unreadable = true;
        return true;
    }
    std::int64_t spooled = 0;
    bool read_ok = true;
    for (;;) {
        const ssize_t got = ::read(STDIN_FILENO, buffer.data(), buffer.size());
        if (got < 0 && (errno == EINTR || errno == EAGAIN)) {
            continue;
        }
        if (got <= 0) {
            read_ok = got == 0;
            break;
        }
        const io::rewrite_piece chunk{false, 0, 0, std::vector<std::uint8_t>(buffer.data(), buffer.data() + got)};
        if (!io::write_pieces(-1, std::span(&chunk, 1), spool)) {
            err.print("framelint: stdin not repaired: cannot keep it in %s: %s\n", dir.c_str(), std::strerror(errno));
            ::close(spool);
            outcome.unreadable = true;
            return true;
        }
        spooled += got;
    }
    if (!read_ok) {
        err.print("framelint: stdin %s\n", std::strerror(errno));
        outcome.unreadable = true;
    }
    ::lseek(spool, 0, SEEK_SET);
    std::string ignored;
    io::output no_report(ignored);  // standard output carries the stream
    io::byte_source in(spool, false, buffer, INT64_MAX);
    scan_state st = scan_stream(in, options, no_report, err);
    stream_verdict v = judge(st, spool, options);
    std::vector<io::rewrite_piece> pieces{io::rewrite_piece{true, 0, spooled, {}}};
    bool read_back_failed = false;
    if (!read_ok) {
        v.report = repair_report{repair_outcome::failed, "it could not be read to its end", "", {}};
    } else if (v.report.outcome == repair_outcome::failed) {
        // the plan's bytes could not be read: the stream goes out as it came
    } else if (v.plan.changes()) {
        auto repaired = pieces_of(v.plan);
        if (std::string lost = loses_id3v1(st.layout, repaired); !lost.empty()) {
            v.report = repair_report{repair_outcome::not_repaired, std::move(lost), "", {}};
        } else if (std::string why =
                       vet_repaired_pieces(spool, repaired, dir, v.plan.incomplete.has_value(), read_back_failed);
                   !why.empty()) {
            // As for a file: a repair that would not pass is not made, and the
            // stream goes out as it came.
            v.report = repair_report{read_back_failed ? repair_outcome::failed : repair_outcome::not_repaired, std::move(why), "", {}};
        } else {
            pieces = std::move(repaired);
            v.report.outcome = v.plan.incomplete ? repair_outcome::playable_incomplete : v.damaged ? repair_outcome::repaired : repair_outcome::xing_added;
        }
    }
    if (!out.flush() || !io::write_pieces(spool, pieces, STDOUT_FILENO)) {
        err.print("framelint: stdout %s\n", std::strerror(errno));
        ::close(spool);
        return false;
    }
    print_repair_line("stdin", v.report, err, err);
    count_outcome(v, outcome);
    ::close(spool);
    return true;
}

}  // namespace framelint::cli
