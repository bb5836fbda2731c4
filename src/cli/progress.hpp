#pragma once
// The progress line of a long run: when standard error is a terminal and the
// run has lasted more than a second, one line that says how many files and
// bytes are done and which file is being checked. It rubs itself out before
// anything else is written (the outputs call erase() first, and hold the
// line off until their write is done), at the end, when the window changes
// size (the terminal may have rewrapped it) and when the run is interrupted.
// It never wraps: on a narrow terminal the name goes first, then the byte count.

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdint>
#include <mutex>
#include <string>
#include <string_view>

namespace framelint::cli {

class progress_line {
public:
    // on: the mode shows progress at all; it is drawn only when fd is a terminal.
    progress_line(int fd, bool on);
    ~progress_line();
    progress_line(const progress_line&) = delete;
    progress_line& operator=(const progress_line&) = delete;

    void file_started(std::string_view name);
    // How much is done, for the next time the line is drawn.
    void set_done(std::int64_t files, std::int64_t bytes)
    {
        files_ = files;
        bytes_ = bytes;
    }
    // Takes the line away, if it is shown.
    void erase();
    // For io::output: before a write the line is taken away, and it is not
    // drawn again (by another thread, under --jobs) until the write is done.
    static void before_write_hook(void* self);
    static void after_write_hook(void* self);

    bool active() const { return on_; }

    // The text drawn for these counts and this name (already made safe to
    // show) on a terminal of width columns: never more than width - 1
    // columns; empty when not even the file count fits.
    static std::string fitted(std::int64_t files, std::int64_t bytes, std::string_view name, std::size_t width);

private:
    void draw();
    static void on_signal(int signal);

    using clock = std::chrono::steady_clock;
    int fd_;
    bool on_;
    std::atomic<bool> shown_{false};
    std::mutex screen_;  // held by a write to the terminal, or by a draw
    clock::time_point start_ = clock::now();
    clock::time_point last_draw_{};
    std::int64_t files_ = 0;
    std::int64_t bytes_ = 0;
    std::string current_;
    struct sigaction old_winch_ {};
    struct sigaction old_int_ {};
    struct sigaction old_term_ {};
};

}  // namespace framelint::cli
