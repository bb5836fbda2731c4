#include "cli/progress.hpp"

#include <sys/ioctl.h>
#include <unistd.h>

#include "report/person_report.hpp"
#include "text/visible_text.hpp"

namespace framelint::cli {
namespace {

// ESC [ K clears to the end of the line; the carriage return goes back to its start.
constexpr std::string_view rub_out = "\r\x1b[K";

// The line a signal rubs out: one progress line at a time is shown.
std::atomic<progress_line*> shown_line{nullptr};
std::atomic<int> shown_fd{-1};

void write_all(int fd, std::string_view text)
{
    while (!text.empty()) {
        const ssize_t put = ::write(fd, text.data(), text.size());
        if (put <= 0) {
            return;  // a terminal that will not take the line: no progress, nothing worse
        }
        text.remove_prefix(static_cast<std::size_t>(put));
    }
}

std::size_t terminal_width(int fd)
{
    struct winsize ws {};
    if (::ioctl(fd, TIOCGWINSZ, &ws) == 0 && ws.ws_col > 0) {
        return ws.ws_col;
    }
    return 80;
}

// Columns a text takes: one per letter (a UTF-8 continuation byte adds none).
std::size_t columns_of(std::string_view text)
{
    std::size_t n = 0;
    for (const char ch : text) {
        n += (static_cast<unsigned char>(ch) & 0xC0u) == 0x80u ? 0 : 1;
    }
    return n;
}

}  // namespace

std::string progress_line::fitted(std::int64_t files, std::int64_t bytes, std::string_view name, std::size_t width)
{
    // The whole line must fit, or the terminal wraps it and the carriage
    // return no longer gets back to its start.
    const std::size_t room = width > 0 ? width - 1 : 0;
    const std::string file_count = std::to_string(files) + (files == 1 ? " file" : " files");
    const std::string counts = file_count + ", " + size_words(bytes) + " done";
    const std::string lead = counts + ": ";
    if (lead.size() < room) {
        const std::size_t fits = room - lead.size();
        if (columns_of(name) <= fits) {
            return lead + std::string(name);
        }
        if (fits > 3) {
            // The end of a long name tells more than its start; a letter of
            // several bytes is not cut in two.
            std::size_t from = name.size();
            std::size_t taken = 0;
            while (from > 0 && taken < fits - 3) {
                --from;
                taken += (static_cast<unsigned char>(name[from]) & 0xC0u) == 0x80u ? 0 : 1;
            }
            while (from < name.size() && (static_cast<unsigned char>(name[from]) & 0xC0u) == 0x80u) {
                ++from;
            }
            return lead + "..." + std::string(name.substr(from));
        }
        return lead;
    }
    if (counts.size() <= room) {
        return counts;
    }
    if (file_count.size() <= room) {
        return file_count;
    }
    return "";
}

progress_line::progress_line(int fd, bool on) : fd_(fd), on_(on && ::isatty(fd) == 1)
{
    if (!on_) {
        return;
    }
    shown_line = this;
    shown_fd = fd_;
    struct sigaction act {};
    act.sa_handler = &progress_line::on_signal;
    sigemptyset(&act.sa_mask);
    act.sa_flags = SA_RESTART;
    ::sigaction(SIGWINCH, &act, &old_winch_);
    // An interrupt ends the run as before; the line goes first. One already
    // ignored (a run in the background of a shell without job control) stays so.
    struct sigaction now {};
    if (::sigaction(SIGINT, nullptr, &now) == 0 && now.sa_handler != SIG_IGN) {
        ::sigaction(SIGINT, &act, &old_int_);
    } else {
        old_int_.sa_handler = SIG_IGN;
    }
    if (::sigaction(SIGTERM, nullptr, &now) == 0 && now.sa_handler != SIG_IGN) {
        ::sigaction(SIGTERM, &act, &old_term_);
    } else {
        old_term_.sa_handler = SIG_IGN;
    }
}

progress_line::~progress_line()
{
    erase();
    if (on_) {
        ::sigaction(SIGWINCH, &old_winch_, nullptr);
        ::sigaction(SIGINT, &old_int_, nullptr);
        ::sigaction(SIGTERM, &old_term_, nullptr);
        shown_line = nullptr;
        shown_fd = -1;
    }
}

void progress_line::on_signal(int signal)
{
    // Only what is safe in a signal handler: an atomic exchange and write().
    progress_line* const line = shown_line.load();
    if (line != nullptr && line->shown_.exchange(false)) {
        write_all(shown_fd.load(), rub_out);
    }
    if (signal == SIGWINCH) {
        return;  // drawn again, at the new width, with the next file
    }
    ::signal(signal, SIG_DFL);
    ::raise(signal);
}

void progress_line::file_started(std::string_view name)
{
    if (!on_) {
        return;
    }
    current_.assign(name);
    const auto now = clock::now();
    // Not before a second has passed (a short run shows nothing), and not more
    // often than ten times a second (drawing costs more than a small file).
    if (now - start_ < std::chrono::seconds(1) || now - last_draw_ < std::chrono::milliseconds(100)) {
        return;
    }
    last_draw_ = now;
    draw();
}

void progress_line::draw()
{
    const std::unique_lock lock(screen_, std::try_to_lock);
    if (!lock.owns_lock()) {
        return;  // a report is being written: the next file draws
    }
    const std::string text =
        fitted(files_, bytes_, text::visible(current_, text::visible_form::field), terminal_width(fd_));
    if (text.empty()) {
        erase();
        return;
    }
    write_all(fd_, std::string(rub_out) + text);
    shown_ = true;
}

void progress_line::erase()
{
    if (shown_.exchange(false)) {
        write_all(fd_, rub_out);
    }
}

void progress_line::before_write_hook(void* self)
{
    auto* line = static_cast<progress_line*>(self);
    line->screen_.lock();
    line->erase();
}

void progress_line::after_write_hook(void* self) { static_cast<progress_line*>(self)->screen_.unlock(); }

}  // namespace framelint::cli
