#include "cli/progress.hpp"

#include <sys/ioctl.h>
#include <unistd.h>

#include "report/person_report.hpp"

namespace framelint::cli {
namespace {

// ESC [ K clears to the end of the line; the carriage return goes back to its start.
constexpr std::string_view rub_out = "\r\x1b[K";

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

}  // namespace

progress_line::progress_line(int fd, bool on) : fd_(fd), on_(on && ::isatty(fd) == 1) {}

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
    std::string text = std::string(rub_out) + std::to_string(files_) + (files_ == 1 ? " file, " : " files, ") +
                       size_words(bytes_) + " done: ";
    // The whole line must fit, or the terminal wraps it and the carriage
    // return no longer gets back to its start.
    const std::size_t room = terminal_width(fd_) - 1;
    const std::size_t used = text.size() - rub_out.size();
    if (used < room) {
        std::string name = current_;
        for (char& ch : name) {
            ch = static_cast<unsigned char>(ch) < 0x20 || ch == 0x7F ? '?' : ch;
        }
        const std::size_t fits = room - used;
        if (name.size() > fits) {
            // The end of a long name tells more than its start; a letter of
            // several bytes is not cut in two.
            std::size_t from = name.size() - (fits > 3 ? fits - 3 : 0);
            while (from < name.size() && (static_cast<unsigned char>(name[from]) & 0xC0u) == 0x80u) {
                ++from;
            }
            name = fits > 3 ? "..." + name.substr(from) : "";
        }
        text += name;
    }
    write_all(fd_, text);
    shown_ = true;
}

void progress_line::erase()
{
    if (shown_) {
        shown_ = false;
        write_all(fd_, rub_out);
    }
}

}  // namespace framelint::cli
