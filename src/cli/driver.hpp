#pragma once
// The driver: switches, the file loop, the end-of-scan checks, the CPU-time report.

#include <cstdint>
#include <string>
#include <vector>

#include "io/aligned_block.hpp"
#include "io/byte_source.hpp"
#include "io/input_choice.hpp"
#include "io/output.hpp"
#include "options/scan_options.hpp"

namespace framelint {
struct person_run;
}

namespace framelint::cli {

class person_session;

// The whole program; returns the exit status (0, 1 or 255).
int run(int argc, const char* const* argv);

// The help text: on standard error for -h and mistakes, on standard output for --help.
void show_usage(io::output& to);
// --help: the help text, then the long options and three examples.
void show_long_help(io::output& to);

// What the file loop found, worst first in the exit status.
struct files_outcome {
    bool stdout_failed = false;  // no further file was scanned after it
    bool unreadable = false;     // a file could not be opened, or its stream not read to its end
    bool bad_frames = false;     // some scanned stream had a bad frame
};

// What the file loop keeps from one named file to the next: the read buffer, and
// whether files are mapped or read. A thread that checks files one call at a time
// keeps one of its own.
struct file_loop_state {
    io::aligned_block file_buffer{io::byte_source::block_size};
    io::input_choice input_way;
    // Under --summary: where each file's line is counted, and the run's progress
    // line (only where files are checked one after another).
    person_run* person = nullptr;
    person_session* session = nullptr;
    // The names come from --files-from: under the integrity check an
    // AppleDouble file among them is skipped, as one a walk (-r) finds is.
    bool listed = false;
};

// Scans every file argument ("-" is standard input). person: under --summary,
// the run's report for people, which gets every file's line.
files_outcome check_files(const std::vector<std::string>& files, const scan_options& options, io::output& out,
                          io::output& err, person_session* person = nullptr);
// The same, going on with state kept from an earlier call.
files_outcome check_files(const std::vector<std::string>& files, const scan_options& options, io::output& out,
                          io::output& err, file_loop_state& state);
// One regular file of size bytes that -r has opened already (fd stays open),
// reported under path.
files_outcome check_opened_file(int fd, const std::string& path, std::int64_t size, const scan_options& options,
                                io::output& out, io::output& err, file_loop_state& state);

// After each stream: reports a read error on it, and tells whether standard
// output is still good (it is flushed first, so that a report that never
// arrived is noticed now).
bool check_stream_errors(io::byte_source& in, const std::string& file_label, io::output& out, io::output& err);

// Sends what is left for standard output; false, after saying so, when it
// could not be written.
bool finish_stdout(io::output& out, io::output& err);

// The process's own user and system CPU time.
void report_rusage(io::output& out, io::output& err);

}  // namespace framelint::cli
