#include "cli/file_list.hpp"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <unistd.h>

namespace framelint::cli {

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
    if (end_ == buffer_.size()) {
        buffer_.resize(buffer_.size() * 2);
    }
    for (;;) {
        const ssize_t got = ::read(fd_, buffer_.data() + end_, buffer_.size() - end_);
        if (got > 0) {
            end_ += static_cast<std::size_t>(got);
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
            if (!name.empty()) {
                return name;
            }
            continue;
        }
        const std::size_t pending = end_ - begin_;
        if (!fill()) {
            if (error_ != 0 || end_ == begin_) {
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

}  // namespace framelint::cli
