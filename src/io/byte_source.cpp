#include "io/byte_source.hpp"

#include <cerrno>
#include <algorithm>
#include <cstring>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

namespace framelint::io {

byte_source::byte_source(int fd, bool is_stdin, std::span<std::uint8_t> buffer)
    : fd_(fd), is_stdin_(is_stdin), buffer_(buffer.first(block_size))
{
    struct stat st {};
    if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode)) {
        const off_t at = lseek(fd, 0, SEEK_CUR);
        if (at >= 0) {
            seekable_ = true;
            fd_offset_ = at;
        }
    }
    cur_ = end_ = data_begin_ = buffer_.data();
}

byte_source::byte_source(std::span<const std::uint8_t> memory, bool is_stdin)
    : is_stdin_(is_stdin), data_begin_(memory.data()), cur_(memory.data()), end_(memory.data() + memory.size())
{
}

void byte_source::keep_history()
{
    // Everything from data_begin_ to cur_ has been consumed and is about to go.
    const auto fresh = static_cast<std::size_t>(cur_ - data_begin_);
    if (fresh >= history_size) {
        std::memcpy(history_, cur_ - history_size, history_size);
        history_len_ = history_size;
    } else if (fresh > 0) {
        const std::size_t keep_old = std::min(history_len_, history_size - fresh);
        std::memmove(history_, history_ + history_len_ - keep_old, keep_old);
        std::memcpy(history_ + keep_old, data_begin_, fresh);
        history_len_ = keep_old + fresh;
    }
    data_begin_ = cur_;
}

std::size_t byte_source::last_consumed(std::uint8_t* into, std::size_t n) const
{
    const auto fresh = static_cast<std::size_t>(cur_ - data_begin_);
    const std::size_t from_fresh = std::min(n, fresh);
    const std::size_t from_history = std::min(n - from_fresh, history_len_);
    std::memcpy(into, history_ + history_len_ - from_history, from_history);
    if (from_fresh > 0) {
        std::memcpy(into + from_history, cur_ - from_fresh, from_fresh);
    }
    return from_history + from_fresh;
}

bool byte_source::wait_until_readable()
{
    pollfd ready{fd_, POLLIN, 0};
    for (;;) {
        if (::poll(&ready, 1, -1) >= 0) {
            return true;  // data, an end of file or an error: the next read tells which
        }
        if (errno != EINTR) {
            return false;
        }
    }
}

std::size_t byte_source::read_some(std::uint8_t* into, std::size_t room)
{
    if (stop_on_failure_ != nullptr && stop_on_failure_->failed()) {
        stopped_ = true;
        return 0;
    }
    for (;;) {
        const ssize_t got = ::read(fd_, into, room);
        if (got >= 0) {
            fd_offset_ += got;
            return static_cast<std::size_t>(got);
        }
        if (errno == EINTR) {
            continue;
        }
        // A descriptor inherited with O_NONBLOCK (some parents set it on the pipe
        // they hand over) says EAGAIN whenever its writer pauses. That is not the
        // end of the stream: wait for data and read again.
        if ((errno == EAGAIN || errno == EWOULDBLOCK) && wait_until_readable()) {
            continue;
        }
        if (error_ == 0) {
            error_ = errno;
        }
        return 0;
    }
}

void byte_source::tee_to(output* out)
{
    flush_tee();
    tee_ = out;
    tee_from_ = cur_;
}

void byte_source::flush_tee()
{
    if (tee_ != nullptr && cur_ > tee_from_) {
        tee_->write_through(tee_from_, static_cast<std::size_t>(cur_ - tee_from_));
    }
    tee_from_ = cur_;
}

bool byte_source::fill()
{
    flush_tee();
    keep_history();
    if (fd_ < 0) {
        return false;  // memory: its end is the end of the stream
    }
    const std::size_t got = read_some(buffer_.data(), buffer_.size());
    cur_ = data_begin_ = buffer_.data();
    end_ = cur_ + got;
    tee_from_ = cur_;
    return got > 0;
}

std::uint64_t byte_source::skip_beyond_buffer(std::uint64_t n)
{
    const auto avail = static_cast<std::uint64_t>(end_ - cur_);
    cur_ = end_;
    const std::uint64_t rest = n - avail;
    // Reading the next block costs less than two system calls to seek over a
    // part of it, and frame bodies are far shorter than a block; seek only over
    // more than a block.
    if (seekable_ && tee_ == nullptr && rest > buffer_.size()) {
        // A seek past the end of a file succeeds, so stop at the size the file has
        // now: bytes that do not exist must not be counted as read.
        struct stat st {};
        if (fstat(fd_, &st) == 0) {
            const std::int64_t left = st.st_size > fd_offset_ ? st.st_size - fd_offset_ : 0;
            const std::uint64_t step = rest < static_cast<std::uint64_t>(left) ? rest : static_cast<std::uint64_t>(left);
            if (lseek(fd_, static_cast<off_t>(fd_offset_ + static_cast<std::int64_t>(step)), SEEK_SET) >= 0) {
                fd_offset_ += static_cast<std::int64_t>(step);
                // Bytes passed over unseen leave no history.
                history_len_ = 0;
                data_begin_ = cur_;
                return avail + step;
            }
        }
        seekable_ = false;
    }
    return avail + consume(rest, [](const std::uint8_t*, std::size_t) {});
}

std::span<const std::uint8_t> byte_source::peek(std::size_t n)
{
    auto avail = static_cast<std::size_t>(end_ - cur_);
    if (avail < n && fd_ >= 0) {
        // Move what is left to the front and top the buffer up behind it.
        flush_tee();
        keep_history();
        std::uint8_t* base = buffer_.data();
        std::memmove(base, cur_, avail);
        cur_ = data_begin_ = base;
        tee_from_ = base;
        end_ = base + avail;
        while (avail < n) {
            const std::size_t got = read_some(base + avail, buffer_.size() - avail);
            if (got == 0) {
                break;
            }
            avail += got;
            end_ = base + avail;
        }
    }
    return {cur_, avail < n ? avail : n};
}

void byte_source::give_back_read_ahead()
{
    if (seekable_ && cur_ != end_) {
        const std::int64_t logical = fd_offset_ - (end_ - cur_);
        if (lseek(fd_, static_cast<off_t>(logical), SEEK_SET) >= 0) {
            fd_offset_ = logical;
            cur_ = end_;
        }
    }
}

}  // namespace framelint::io
