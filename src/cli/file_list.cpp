#include "cli/file_list.hpp"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <unistd.h>

namespace framelint::cli {

namespace {

// A name longer than this cannot be opened (ENAMETOOLONG): the list is not what
// it seems, and reading on for its end would take memory without bound.
constexpr std::size_t longest_name = PATH_MAX;
// No real list holds a million empty entries in a row.
constexpr std::size_t longest_empty_run = 1024 * 1024;

}  // namespace

name_list::name_list(int fd, bool null_separated)
    : fd_(fd), separator_(null_separated ? '\0' : '\n'), buffer_(64 * 1024)
{
}

bool name_list::fill()
{
    if (at_end_ || error_ != 0) {
        return false;
    }
    // Keep the name begun so far at the front; grow only for a name longer than the buffer.
    if (begin_ > 0) {
        std::memmove(buffer_.data(), buffer_.data() + begin_, end_ - begin_);
        end_ -= begin_;
        begin_ = 0;
    }
    if (end_ > longest_name) {
        fault_ = fault::name_too_long;
        return false;
    }
    for (;;) {
        const ssize_t got = ::read(fd_, buffer_.data() + end_, buffer_.size() - end_);
        if (got > 0) {
            const char* const fresh = buffer_.data() + end_;
            end_ += static_cast<std::size_t>(got);
            if (separator_ != '\0' && std::memchr(fresh, '\0', static_cast<std::size_t>(got)) != nullptr) {
                // One name would run on past its NUL, where open() stops: the
                // later names would be passed over without a word.
                fault_ = fault::nul_without_null;
                return false;
            }
            return true;
        }
        if (got == 0) {
            at_end_ = true;
            return false;
        }
        if (errno != EINTR) {
            error_ = errno;
            return false;
        }
    }
}

std::optional<std::string> name_list::next()
{
    if (fault_ != fault::none) {
        return std::nullopt;
    }
    std::size_t searched = begin_;  // no separator in [begin_, searched)
    for (;;) {
        const auto first = buffer_.begin() + static_cast<std::ptrdiff_t>(searched);
        const auto last = buffer_.begin() + static_cast<std::ptrdiff_t>(end_);
        const auto found = std::find(first, last, separator_);
        if (found != last) {
            const auto name_begin = buffer_.begin() + static_cast<std::ptrdiff_t>(begin_);
            std::string name(name_begin, found);
            begin_ = static_cast<std::size_t>(found - buffer_.begin()) + 1;
            searched = begin_;
            if (name.size() > longest_name) {
                fault_ = fault::name_too_long;
                return std::nullopt;
            }
            if (!name.empty()) {
                empty_run_ = 0;
                return name;
            }
            if (++empty_run_ > longest_empty_run) {
                fault_ = fault::endless_separators;
                return std::nullopt;
            }
            continue;
        }
        const std::size_t pending = end_ - begin_;
        if (!fill()) {
            if (error_ != 0 || fault_ != fault::none || end_ == begin_) {
                return std::nullopt;  // a name cut by a read error is not checked
            }
            std::string name(buffer_.begin() + static_cast<std::ptrdiff_t>(begin_),
                             buffer_.begin() + static_cast<std::ptrdiff_t>(end_));
            begin_ = end_;
            return name;
        }
        searched = begin_ + pending;  // fill() moved the pending bytes to the front
    }
}

std::string list_error_message(const std::string& list_name, const name_list& list)
{
    std::string why;
    switch (list.broken()) {
    case name_list::fault::none: why = std::strerror(list.error()); break;
    case name_list::fault::nul_without_null: why = "it holds NUL bytes: read it with --null"; break;
    case name_list::fault::name_too_long:
        why = "a name longer than " + std::to_string(longest_name) + " bytes";
        break;
    case name_list::fault::endless_separators: why = "separators without end and no name"; break;
    }
    return "framelint: --files-from " + list_name + ": " + why + "\n";
}

}  // namespace framelint::cli
