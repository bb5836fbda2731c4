#include "cli/driver.hpp"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <optional>
#include <span>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include "cli/apple_double.hpp"
#include "cli/parallel_check.hpp"
#include "cli/person_session.hpp"
#include "cli/record_hook.hpp"
#include "cli/fix_files.hpp"
#include "cli/switches.hpp"
#include "cli/tree_walk.hpp"
#include "io/aligned_block.hpp"
#include "io/input_choice.hpp"
#include "scan/scan_file.hpp"
#include "version.hpp"

namespace framelint::cli {

bool check_stream_errors(io::byte_source& in, const std::string& file_label, io::output& out, io::output& err)
{
    if (in.error() != 0) {
        err.print("framelint: %s %s\n", file_label.c_str(), std::strerror(in.error()));
        in.clear_error();
    }
    if (!out.flush()) {
        err.print("framelint: stdout %s\n", std::strerror(out.error()));
        return false;
    }
    return true;
}

files_outcome check_files(const std::vector<std::string>& files, const scan_options& options, io::output& out,
                          io::output& err, person_session* person)
{
    file_loop_state state;
    state.session = person;
    state.person = person != nullptr ? &person->run : nullptr;
    return check_files(files, options, out, err, state);
}

namespace {

// The file loop over names, or (opened_fd not -1) over one file -r opened
// already, files holding its path alone and opened_size its size.
files_outcome check_names(const std::vector<std::string>& files, int opened_fd, std::int64_t opened_size,
                          const scan_options& options, io::output& out, io::output& err, file_loop_state& state)
{
    person_session* const session = state.session;
    person_run* const person = state.person;
    // Under --json and --summary the scanner's warnings and notes are left out:
    // standard error carries errors alone.
    io::output quiet(io::output::discard_tag{});
    io::output& scan_err = records_only(options) ? quiet : err;
    // One reader for standard input for the whole run: a second "-" goes on right
    // after the last byte the first one consumed, whatever was read ahead.
    std::unique_ptr<io::aligned_block> stdin_buffer;
    std::unique_ptr<io::byte_source> standard_input;
    // One buffer for every named file, so that many small files cost no allocations.
    const io::aligned_block& file_buffer = state.file_buffer;
    // A copy must be the bytes that were checked, so the copy modes read. A
    // mapping's pages (and pages spliced from the file into a pipe) change with
    // the file until they are written out, or read, even after the check; and a
    // body that a cut goes through can come whole as zeros, which the scan only
    // learns of later.
    const bool copies = passes_bytes_through(options) || writes_repaired_frames(options);
    const std::int64_t map_from = copies ? INT64_MAX : io::byte_source::map_from_bytes;
    // Named files are mapped or read, whichever costs less here (timed once, on the first large file).
    io::input_choice& input_way = state.input_way;
    input_way.follow_test_setting();
    // known_size: a regular file's size, when the caller has looked already.
    const auto choose_input_way = [&](int fd, std::span<std::uint8_t> buffer, std::int64_t known_size) {
        if (input_way.decided() || map_from == INT64_MAX) {
            return;
        }
        struct stat st {};
        if (known_size >= 0) {
            input_way.time_on(fd, known_size, buffer);
        } else if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode)) {
            input_way.time_on(fd, st.st_size, buffer);
        }
    };
    files_outcome outcome;
    // Scans one stream and runs the checks after it; false once standard output broke.
    // fd: the file's descriptor, for the record (-1: standard input, never recorded).
    const auto check_stream = [&](io::byte_source& in, const std::string& label, int fd) {
        // Once standard output has failed there is nothing left to do with the
        // stream: reading on would only delay the error, or never end.
        in.stop_when_failed(&out);
        if (session != nullptr) {
            session->file_started(label);
        }
        scan_state st = scan_stream(in, options, out, scan_err);
        consult_record(in, fd, label, st, scan_err);
        if (!report_stream(st, in, label, options, out, nullptr, person)) {
            outcome.bad_frames = true;
        }
        record_commit_due();
        if (session != nullptr) {
            session->file_done();
        }
        if (in.error() != 0) {
            outcome.unreadable = true;
            if (person != nullptr) {
                in.clear_error();  // the file's line said it
            }
        }
        return check_stream_errors(in, label, out, err);
    };
    // A file opened by name, or by -r; false once standard output broke. An input
    // fault is the stream's: the next file is checked.
    // Inside a walk of -r (here, or the one that opened opened_fd).
    bool walking = opened_fd >= 0;
    const auto check_opened = [&](int fd, const std::string& name, std::int64_t known_size) {
        if ((walking || state.listed) && options.integrity && is_apple_double(fd, name)) {
            // No music, and so no damage: counted in the tally, not checked.
            if (person != nullptr) {
                ++person->tally.metadata_skipped;
            }
            return true;
        }
        if (options.fix_in_place) {
            // The repair opens the file again itself, to write it back where it is.
            return fix_named(name, options, file_buffer.bytes(), outcome, out, err, session);
        }
        choose_input_way(fd, file_buffer.bytes(), known_size);
        io::byte_source file(fd, false, file_buffer.bytes(), input_way.map_from(map_from));
        return check_stream(file, name, fd);
    };
    const auto check_named = [&](const std::string& name) {
        if (options.fix_in_place) {
            return fix_named(name, options, file_buffer.bytes(), outcome, out, err, session);
        }
        const int fd = ::open(name.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd < 0) {
            const int error = errno;
            if (person != nullptr) {
                say_unopened(*person, name, error, out);
            } else {
                err.print("framelint: %s %s\n", name.c_str(), std::strerror(error));
            }
            outcome.unreadable = true;
            return true;
        }
        const bool stdout_good = check_opened(fd, name, -1);
        ::close(fd);
        return stdout_good;
    };
    const auto skipped = [&](const std::string& path, std::string_view why) {
        err.print("framelint: %s %.*s\n", path.c_str(), static_cast<int>(why.size()), why.data());
        outcome.unreadable = true;  // what is in it, or what it was listed as, went unchecked
        if (person != nullptr) {
            person->tally.add(person_verdict::unreadable, 0);
        }
    };
    if (opened_fd >= 0) {
        outcome.stdout_failed = !check_opened(opened_fd, files.front(), opened_size);
        return outcome;
    }
    for (const std::string& name : files) {
        bool stdout_good = true;
        struct stat st {};
        if (name == "-" && options.fix_in_place) {
            stdout_good = fix_standard_input(options, file_buffer.bytes(), outcome, out, err);
        } else if (name == "-") {
            if (!standard_input) {
                stdin_buffer = std::make_unique<io::aligned_block>(io::byte_source::block_size);
                choose_input_way(STDIN_FILENO, stdin_buffer->bytes(), -1);
                standard_input = std::make_unique<io::byte_source>(STDIN_FILENO, true, stdin_buffer->bytes(),
                                                                   input_way.map_from(map_from));
            }
            stdout_good = check_stream(*standard_input, "stdin", -1);
        } else if (options.recursive && ::stat(name.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) {
            walking = true;
            stdout_good = walk_tree(name, check_opened, skipped);
            walking = false;
        } else {
            stdout_good = check_named(name);
        }
        if (!stdout_good) {
            outcome.stdout_failed = true;
            break;
        }
    }
    if (standard_input) {
        standard_input->give_back_read_ahead();
    }
    return outcome;
}

}  // namespace

files_outcome check_files(const std::vector<std::string>& files, const scan_options& options, io::output& out,
                          io::output& err, file_loop_state& state)
{
    return check_names(files, -1, -1, options, out, err, state);
}

files_outcome check_opened_file(int fd, const std::string& path, std::int64_t size, const scan_options& options,
                                io::output& out, io::output& err, file_loop_state& state)
{
    return check_names({path}, fd, size, options, out, err, state);
}

bool finish_stdout(io::output& out, io::output& err)
{
    if (!out.flush()) {
        err.print("framelint: stdout %s\n", std::strerror(out.error()));
        return false;
    }
    return true;
}

void report_rusage(io::output& out, io::output& err)
{
    struct rusage usage {};
    if (getrusage(RUSAGE_SELF, &usage) != 0) {
        err.print("Could not get system usage for myself.");
        return;
    }
    out.put('\n');
    out.print("%-20s%1ld.%02lds\n", "USER_TIME", static_cast<long>(usage.ru_utime.tv_sec),
              static_cast<long>(usage.ru_utime.tv_usec / 10000));
    out.print("%-20s%1ld.%02lds\n", "SYS_TIME", static_cast<long>(usage.ru_stime.tv_sec),
              static_cast<long>(usage.ru_stime.tv_usec / 10000));
}

int run(int argc, const char* const* argv)
{
    io::output out(STDOUT_FILENO, false);
    io::output err(STDERR_FILENO, true);

    const parsed_command_line command = parse_command_line(argc, argv);
    switch (command.outcome) {
    case parse_outcome::show_usage:
        err.print("%s", command.diagnostic.c_str());
        show_usage(err);
        return 1;
    case parse_outcome::bad_min_run:
        err.print("You must supply an integer greater than 1 to use the '-q' flag.");
        return 255;
    case parse_outcome::bad_byte_budget:
        err.print("You must supply an integer of 0 or more to use the '-b' flag.");
        return 255;
    case parse_outcome::bad_combination:
        err.print("%s", command.diagnostic.c_str());
        return 1;
    case parse_outcome::print_help:
        show_long_help(out);
        return finish_stdout(out, err) ? 0 : 1;
    case parse_outcome::print_version:
        out.print("framelint %s\n", std::string(version).c_str());
        return finish_stdout(out, err) ? 0 : 1;
    case parse_outcome::run:
        break;
    }

    // On a terminal, bytes from files and names must not act on it. The
    // one-record-per-line reports keep their own escaping, and the copy modes'
    // standard output is the stream itself.
    const scan_options& o = command.options;
    if (::isatty(STDERR_FILENO) == 1) {
        err.show_controls_visibly();
    }
    if (::isatty(STDOUT_FILENO) == 1 && !records_only(o) && !passes_bytes_through(o) &&
        !writes_repaired_frames(o) && !fixes_standard_input(command)) {
        out.show_controls_visibly();
    }

    if (command.record_path && !open_record(*command.record_path, err)) {
        return 1;  // nothing checked: the run was asked to keep a record
    }

    std::optional<person_session> person;
    if (command.options.person_report) {
        person.emplace(command.options, out, err);
    }
    const files_outcome outcome = check_all_files(command, out, err, person ? &*person : nullptr);
    if (outcome.stdout_failed) {
        close_record(err);
        return 1;
    }
    if (person && command.options.recursive) {
        list_missing(command.files, person->run, out);
    }
    const bool recorded = close_record(err);
    if (person) {
        person->finish(out);
    } else if (!command.options.to_stdout && !command.options.json_lines && !fixes_standard_input(command)) {
        report_rusage(out, err);
    }
    if (!finish_stdout(out, err)) {
        return 1;
    }
    // A file that could not be read is no clean file, nor a damaged one: the
    // check itself failed, whatever the other files gave.
    if (outcome.unreadable || !recorded) {
        return 1;
    }
    return outcome.bad_frames ? 255 : 0;
}

}  // namespace framelint::cli
