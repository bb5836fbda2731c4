#pragma once
// A run under --summary: the lines for people, the progress line beside them,
// and the tally at the end.

#include <chrono>
#include <string>

#include "cli/progress.hpp"
#include "io/output.hpp"
#include "options/scan_options.hpp"
#include "report/person_report.hpp"

namespace framelint::cli {

// A file that could not be opened: its line, and counted.
void say_unopened(person_run& run, const std::string& name, int error, io::output& out);

// The line of a file --fix refuses before reading it (not a regular file).
void say_not_regular(person_run& run, const std::string& name, const repair_report& refused, io::output& out);

class person_session {
public:
    // Hooks the progress line into both outputs, so that it is rubbed out
    // before anything else reaches the terminal.
    person_session(const scan_options& options, io::output& out, io::output& err);
    ~person_session();
    person_session(const person_session&) = delete;
    person_session& operator=(const person_session&) = delete;

    void file_started(const std::string& label) { progress_.file_started(label); }
    void file_done() { progress_.set_done(run.tally.files, run.tally.bytes); }
    // Under --jobs the naming thread draws the line: done so far, and the file named now.
    void files_named(std::int64_t files_done, std::int64_t bytes_done, const std::string& name)
    {
        progress_.set_done(files_done, bytes_done);
        progress_.file_started(name);
    }
    // The tally line; the progress line is gone for good.
    void finish(io::output& out);

    person_run run;

private:
    io::output& out_;
    io::output& err_;
    progress_line progress_;
    std::chrono::steady_clock::time_point start_ = std::chrono::steady_clock::now();
};

}  // namespace framelint::cli
