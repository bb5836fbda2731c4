#include "io/byte_source.hpp"

#include <cerrno>
#include <algorithm>
#include <cstring>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

namespace framelint::io {

byte_source::byte_source(int fd, bool is_stdin, std::span<std::uint8_t> buffer, std::int64_t map_from)
    : fd_(fd), is_stdin_(is_stdin), buffer_(buffer.first(block_size))
{
    struct stat st {};
    if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode)) {
        const off_t at = lseek(fd, 0, SEEK_CUR);
        if (at >= 0) {
            regular_ = true;
            opened_stamp_ = file_stamp{st.st_size,
                                       static_cast<std::int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec,
                                       static_cast<std::int64_t>(st.st_ino)};
            longest_ = st.st_size;
            seekable_ = true;
            history_kept_ = short_history;
            fd_offset_ = at;
            origin_ = at;
            if (st.st_size - at >= map_from && st.st_size > at) {
                mapped_ = true;
                stream_start_ = view_offset_ = window_first_ = at;
                file_size_ = st.st_size;
                cur_ = end_ = data_begin_ = view_ = nullptr;
                return;
            }
        }
    }
    cur_ = end_ = data_begin_ = fetched_ = buffer_.data();
}

byte_source::byte_source(std::span<const std::uint8_t> memory, bool is_stdin)
    : is_stdin_(is_stdin), memory_(memory), data_begin_(memory.data()), cur_(memory.data()),
      end_(memory.data() + memory.size()),
      fetched_(memory.data())
{
}

std::size_t byte_source::reread(std::int64_t pos, std::span<std::uint8_t> into) const
{
    if (pos < 0) {
        return 0;
    }
    if (!seekable_) {
        if (memory_.data() == nullptr || pos >= static_cast<std::int64_t>(memory_.size())) {
            return 0;
        }
        const std::size_t n = std::min(into.size(), memory_.size() - static_cast<std::size_t>(pos));
        std::memcpy(into.data(), memory_.data() + pos, n);
        return n;
    }
    std::size_t got = 0;
    while (got < into.size()) {
        const ssize_t n =
            ::pread(fd_, into.data() + got, into.size() - got, origin_ + pos + static_cast<std::int64_t>(got));
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            break;
        }
        got += static_cast<std::size_t>(n);
    }
    return got;
}

void byte_source::keep_history()
{
    // Everything from data_begin_ to cur_ has been consumed and is about to go.
    const auto fresh = static_cast<std::size_t>(cur_ - data_begin_);
    if (fresh >= history_kept_) {
        std::memcpy(history_, cur_ - history_kept_, history_kept_);
        history_len_ = history_kept_;
    } else if (fresh > 0) {
        const std::size_t keep_old = std::min(history_len_, history_kept_ - fresh);
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

bool byte_source::output_failed()
{
    if (stop_on_failure_ != nullptr && stop_on_failure_->failed()) {
        stopped_ = true;
    }
    return stopped_;
}

std::size_t byte_source::read_some(std::uint8_t* into, std::size_t room)
{
    if (output_failed()) {
        return 0;
    }
    if (refill_hook_) {
        refill_hook_(fd_offset_);
    }
    for (;;) {
        const ssize_t got = ::read(fd_, into, room);
        if (got >= 0) {
            fd_offset_ += got;
            if (got == 0 && room > 0 && regular_) {
                ended_at(fd_offset_);
            }
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

void byte_source::ended_at(std::int64_t pos)
{
    if (pos >= longest_) {
        return;
    }
    // The stream ended before where the file was seen to end. Only a file that
    // says it is shorter now was cut: one whose size never matched its contents
    // (some kernel files) is not. Said once; a second stream of the same
    // descriptor (standard input named twice) starts at the new end.
    struct stat st {};
    if (fstat(fd_, &st) == 0 && st.st_size < longest_) {
        if (error_ == 0) {
            error_ = EIO;
        }
    }
    longest_ = pos;
}

void byte_source::tee_to(output* out)
{
    flush_tee();
    if (out != nullptr && mapped_) {
        if (cut_) {
            end_ = cur_;  // the stream ended at the cut: nothing more goes out
        } else {
            read_from(position());
        }
    }
    tee_ = out;
    tee_from_ = cur_;
}

bool byte_source::read_from(std::int64_t pos)
{
    // What was consumed goes into the history before its window goes.
    keep_history();
    window_.unmap();
    mapped_ = false;
    view_ = nullptr;
    view_offset_ = window_first_ = pos;
    cur_ = end_ = data_begin_ = tee_from_ = fetched_ = buffer_.data();
    if (lseek(fd_, static_cast<off_t>(pos), SEEK_SET) < 0) {
        if (error_ == 0) {
            error_ = errno;
        }
        fd_ = -1;  // the stream ends here: where reading would start is not known
        seekable_ = false;
        return false;
    }
    fd_offset_ = pos;
    return true;
}

void byte_source::flush_tee()
{
    // Never mapped while a tee is on (see tee_to): these are bytes read, which no
    // later change to the file can touch.
    if (tee_ != nullptr && cur_ > tee_from_) {
        tee_->write_through(tee_from_, static_cast<std::size_t>(cur_ - tee_from_));
    }
    tee_from_ = cur_;
}

bool byte_source::look_at_file(bool wanting_more)
{
    struct stat st {};
    if (fstat(fd_, &st) != 0) {
        if (error_ == 0) {
            error_ = errno;
        }
        return false;
    }
    file_size_ = st.st_size;
    longest_ = std::max(longest_, file_size_);
    // Where the file ends now, as far as this window is concerned: at its size,
    // or earlier where pages were found gone (it may have grown again since).
    std::int64_t cut_at = INT64_MAX;
    if (view_ != nullptr && file_size_ < view_offset_ + static_cast<std::int64_t>(end_ - view_)) {
        cut_at = file_size_;
    }
    const std::int64_t lost = window_.lost_from();
    if (lost >= 0 && lost < cut_at) {
        cut_at = lost;
    }
    if (cut_at == INT64_MAX) {
        return true;
    }
    // Bytes before the window were read while it was mapped and the file was
    // still long enough; the cut cannot take them back.
    cut_at = std::max(cut_at, window_first_);
    const std::int64_t pos = position();
    if (pos <= cut_at && !wanting_more) {
        return true;  // what was handed out is all there; the stream may still end early
    }
    cut_ = true;
    if (error_ == 0) {
        error_ = EIO;
    }
    // What lies before the cut can still be had; nothing after it.
    const std::uint8_t* cut_ptr = view_ + (cut_at - view_offset_);
    if (pos > cut_at) {
        beyond_cut_ += static_cast<std::uint64_t>(pos - cut_at);
        cur_ = cut_ptr;
    }
    end_ = std::min(end_, cut_ptr);
    tee_from_ = std::min(tee_from_, cur_);
    return false;
}

void byte_source::stop_mapping(std::int64_t pos)
{
    window_.unmap();
    view_ = cur_ = end_ = data_begin_ = tee_from_ = fetched_ = nullptr;
    view_offset_ = window_first_ = pos;
    history_len_ = 0;
}

bool byte_source::map_at(std::int64_t pos)
{
    if (pos >= file_size_) {
        ended_at(pos);
        // Keep the history: the stream ended, and its last bytes may be asked for.
        keep_history();
        window_.unmap();
        view_ = cur_ = end_ = data_begin_ = tee_from_ = fetched_ = nullptr;
        view_offset_ = window_first_ = pos;
        return false;
    }
    // The window starts far enough back to hold the last history_size bytes
    // consumed, so that they need no copying and a copy may start with them.
    const auto page = static_cast<std::int64_t>(file_window::page_size());
    const std::int64_t back = std::max(stream_start_, pos - static_cast<std::int64_t>(history_size));
    const std::int64_t from = back / page * page;
    const auto len = static_cast<std::size_t>(
        std::min<std::int64_t>(static_cast<std::int64_t>(window_size_), file_size_ - from));
    // window_size_ holds that, a page of alignment and a peek of block_size.
    if (!window_.map(fd_, from, len)) {
        // Not mappable after all (some file systems): read from here on.
        const int why = errno;
        stop_mapping(pos);
        mapped_ = false;
        if (lseek(fd_, static_cast<off_t>(pos), SEEK_SET) < 0) {
            if (error_ == 0) {
                error_ = why;
            }
            return false;
        }
        fd_offset_ = pos;
        cur_ = end_ = data_begin_ = tee_from_ = fetched_ = buffer_.data();
        return fill();
    }
    view_ = window_.data();
    view_offset_ = from;
    window_first_ = pos;
    cur_ = view_ + (pos - from);
    end_ = view_ + len;
    data_begin_ = view_ + (back - from);
    history_len_ = 0;
    tee_from_ = cur_;
    fetched_ = cur_;
    if (refill_hook_) {
        refill_hook_(from);
    }
    return true;
}

std::uint64_t byte_source::settle()
{
    if (mapped_ && !cut_) {
        look_at_file(false);
    }
    const std::uint64_t beyond = beyond_cut_;
    beyond_cut_ = 0;
    return beyond;
}

void byte_source::set_window_size(std::size_t bytes)
{
    const std::size_t page = file_window::page_size();
    const std::size_t least = block_size + 2 * page;
    window_size_ = (std::max(bytes, least) + page - 1) / page * page;
}

bool byte_source::fill()
{
    if (mapped_) {
        if (cut_ || !look_at_file(true)) {
            return false;
        }
        flush_tee();
        if (output_failed()) {
            return false;
        }
        return map_at(position());
    }
    flush_tee();
    keep_history();
    if (fd_ < 0) {
        return false;  // memory: its end is the end of the stream
    }
    const std::size_t got = read_some(buffer_.data(), buffer_.size());
    cur_ = data_begin_ = fetched_ = buffer_.data();
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
    // more than a block. A mapped file moves on window by window, which reads
    // nothing.
    if (!mapped_ && seekable_ && tee_ == nullptr && rest > buffer_.size()) {
        // A seek past the end of a file succeeds, so stop at the size the file has
        // now: bytes that do not exist must not be counted as read.
        struct stat st {};
        if (fstat(fd_, &st) == 0) {
            longest_ = std::max(longest_, static_cast<std::int64_t>(st.st_size));
            const std::int64_t left = st.st_size > fd_offset_ ? st.st_size - fd_offset_ : 0;
            const std::uint64_t step = rest < static_cast<std::uint64_t>(left) ? rest : static_cast<std::uint64_t>(left);
            if (lseek(fd_, static_cast<off_t>(fd_offset_ + static_cast<std::int64_t>(step)), SEEK_SET) >= 0) {
                fd_offset_ += static_cast<std::int64_t>(step);
                if (step < rest) {
                    ended_at(fd_offset_);  // the file ends before the bytes to pass over
                }
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
    if (avail >= n && mapped_ && n > 0) {
        // Touch the last byte now: a page lost to a cut faults here, not while the
        // caller reads, and the span ends at the cut like a short read.
        const volatile std::uint8_t last = cur_[n - 1];
        (void)last;
        if (window_.lost_from() >= 0) {
            look_at_file(true);
            avail = static_cast<std::size_t>(end_ - cur_);
        }
        return {cur_, avail < n ? avail : n};
    }
    if (avail < n && mapped_) {
        // A window that holds all n bytes, from where the stream stands.
        if (!cut_ && look_at_file(true)) {
            flush_tee();
            if (!output_failed()) {
                map_at(position());
            }
        }
        avail = static_cast<std::size_t>(end_ - cur_);
        return {cur_, avail < n ? avail : n};
    }
    if (avail < n && fd_ >= 0) {
        // Move what is left to the front and top the buffer up behind it.
        flush_tee();
        keep_history();
        std::uint8_t* base = buffer_.data();
        std::memmove(base, cur_, avail);
        cur_ = data_begin_ = fetched_ = base;
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
    if (mapped_) {
        // The descriptor never moved while the file was mapped.
        if (lseek(fd_, static_cast<off_t>(position()), SEEK_SET) >= 0) {
            fd_offset_ = position();
        }
        return;
    }
    if (seekable_ && cur_ != end_) {
        const std::int64_t logical = fd_offset_ - (end_ - cur_);
        if (lseek(fd_, static_cast<off_t>(logical), SEEK_SET) >= 0) {
            fd_offset_ = logical;
            cur_ = end_;
        }
    }
}

}  // namespace framelint::io
