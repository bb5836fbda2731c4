#pragma once
// The progress line of a long run: when standard error is a terminal and the
// run has lasted more than a second, one line that says how many files and
// bytes are done and which file is being checked. It rubs itself out before
// anything else is written (the outputs call erase() first) and at the end.

#include <chrono>
#include <cstdint>
#include <string>
#include <string_view>

namespace framelint::cli {

class progress_line {
public:
    // on: the mode shows progress at all; it is drawn only when fd is a terminal.
    progress_line(int fd, bool on);
    ~progress_line() { erase(); }
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
    // For io::output::before_sending.
    static void erase_hook(void* self) { static_cast<progress_line*>(self)->erase(); }

    bool active() const { return on_; }

private:
    void draw();

    using clock = std::chrono::steady_clock;
    int fd_;
    bool on_;
    bool shown_ = false;
    clock::time_point start_ = clock::now();
    clock::time_point last_draw_{};
    std::int64_t files_ = 0;
    std::int64_t bytes_ = 0;
    std::string current_;
};

}  // namespace framelint::cli
