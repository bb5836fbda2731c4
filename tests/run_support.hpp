#pragma once
// Running the framelint binary the ways a user's shell can: standard input from a
// pipe, standard output closed, a named pipe as the file, a working directory.

#include <string>
#include <sys/types.h>
#include <utility>
#include <vector>

#include "support.hpp"

namespace framelint::test {

struct launch {
    std::vector<std::string> args;
    bytes stdin_data;
    bool stdin_is_pipe = false;  // fed by a writer process instead of a regular file
    std::size_t pipe_chunk = 0;  // the pipe's writer writes this much at a time (0: all at once)
    int pipe_pause_ms = 0;       // and waits this long before each chunk after the first
    bool stdin_nonblocking = false;  // standard input is handed over with O_NONBLOCK set
    int stdin_fd = -1;           // else an open descriptor of the test's, shared as standard input
    bool close_stdin = false;    // the program starts with descriptor 0 closed
    std::string stdout_path;     // "" captures standard output
    bool close_stdout = false;   // the program starts with descriptor 1 closed
    std::string working_dir;     // "" keeps the test's own
    bool limit_memory = false;   // caps the address space (skipped under sanitizers)
    std::size_t address_space = 0;  // else, when not 0: this cap instead (also skipped there)
    // When not 0: files the program writes (its standard output too) may grow
    // only so far; a write past it fails with EFBIG, not a signal.
    std::size_t file_size_limit = 0;
    // >= 0: the program's reads hand out this many bytes in all, then fail with
    // EIO, like a disk error (a shim preloaded under it).
    long long read_fault_at = -1;
    // >= 1: the program's read call of this number (read and pread alike,
    // from 1) fails with EIO, and every other goes through.
    long long read_fail_call = -1;
    // The same for writes to files, which fail with ENOSPC, like a full disk.
    long long write_fault_at = -1;
    // >= 0: this byte of all the program writes to files (from 0) lands
    // inverted while the write reports success, like a bad disk.
    long long write_flip_at = -1;
    // Not "": when the program makes a hard link, this file is edited first,
    // in place, with the same size and times (see the write shim).
    std::string edit_on_link;
    bool no_hard_links = false;  // link() fails with EPERM (the same shim)
    bool no_tmpfile = false;     // open() with O_TMPFILE fails with EOPNOTSUPP (the same shim)
    // Set in the program's environment (name, value).
    std::vector<std::pair<std::string, std::string>> environment;
};

// A hang shows up as status 128 + SIGALRM instead of a stuck suite.
run_result run_framelint_as(const launch& how);

// True when the tests (and the program) are built with AddressSanitizer, which
// cannot run under a cap on the address space.
bool built_with_sanitizer();

// The path argv[0] of the program under test has, as its own messages quote it.
std::string program_path();

// In a child process: replaces it with the program under test and args.
[[noreturn]] void exec_framelint(const std::vector<std::string>& args);

// A named pipe in a fresh directory, written by a child process that feeds it
// data once a reader opens it. The writer is stopped and both removed on scope exit.
class fifo_feed {
public:
    explicit fifo_feed(const bytes& data);
    ~fifo_feed();
    fifo_feed(const fifo_feed&) = delete;
    fifo_feed& operator=(const fifo_feed&) = delete;

    const std::string& path() const { return path_; }

private:
    std::string dir_;
    std::string path_;
    pid_t writer_ = -1;
};

// A fresh empty directory, removed (with the files in it) on scope exit.
class temp_dir {
public:
    temp_dir();
    ~temp_dir();
    temp_dir(const temp_dir&) = delete;
    temp_dir& operator=(const temp_dir&) = delete;

    const std::string& path() const { return path_; }
    std::string file(const std::string& name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

// The first value of each "%-20s" name/value line of a report.
std::string report_value(const std::string& report, const std::string& name);

// True when text ends with "\nUSER_TIME ... s\nSYS_TIME ... s\n", the CPU-time report.
bool ends_with_cpu_times(const std::string& text);
// text without that closing report (unchanged when it has none).
std::string without_cpu_times(const std::string& text);

bytes slice(const bytes& data, std::size_t from, std::size_t to);
std::string as_string(const bytes& data);

}  // namespace framelint::test
