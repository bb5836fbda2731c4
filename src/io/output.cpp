#include "io/output.hpp"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace framelint::io {

output::output(int fd, bool flush_each_message)
    : fd_(fd), flush_each_message_(flush_each_message), block_(capacity), buffer_(block_.bytes())
{
}

output::output(std::string& capture) : capture_(&capture), block_(capacity), buffer_(block_.bytes()) {}

output::output(output_sink& sink, bool flush_each_message)
    : sink_(&sink), flush_each_message_(flush_each_message), block_(capacity), buffer_(block_.bytes())
{
}

output::~output() { flush(); }

void output::send(const std::uint8_t* bytes, std::size_t n)
{
    if (error_ != 0) {
        return;  // the stream is broken; later bytes have nowhere to go
    }
    if (capture_ != nullptr) {
        capture_->append(reinterpret_cast<const char*>(bytes), n);
        return;
    }
    if (sink_ != nullptr) {
        error_ = sink_->take(bytes, n);
        return;
    }
    while (n > 0) {
        const ssize_t put = ::write(fd_, bytes, n);
        if (put < 0) {
            if (errno == EINTR) {
                continue;
            }
            error_ = errno;
            return;
        }
        bytes += put;
        n -= static_cast<std::size_t>(put);
    }
}

bool output::flush()
{
    if (used_ > 0) {
        send(buffer_.data(), used_);
        used_ = 0;
    }
    return error_ == 0;
}

void output::write(const void* bytes, std::size_t n)
{
    const auto* p = static_cast<const std::uint8_t*>(bytes);
    if (n <= buffer_.size() - used_) {
        std::memcpy(buffer_.data() + used_, p, n);
        used_ += n;
    } else {
        flush();
        if (n < buffer_.size()) {
            std::memcpy(buffer_.data(), p, n);
            used_ = n;
        } else {
            send(p, n);
        }
    }
    if (flush_each_message_) {
        flush();
    }
}

void output::write_through(const void* bytes, std::size_t n)
{
    flush();
    send(static_cast<const std::uint8_t*>(bytes), n);
}

std::size_t output::splice_from(int in_fd, std::int64_t offset, std::size_t n)
{
    flush();
#if defined(__linux__) && defined(SPLICE_F_MOVE)
    if (splices_ < 0) {
        struct stat st {};
        splices_ = fd_ >= 0 && ::fstat(fd_, &st) == 0 && S_ISFIFO(st.st_mode) ? 1 : 0;
    }
    std::size_t moved = 0;
    auto at = static_cast<loff_t>(offset);
    while (splices_ == 1 && error_ == 0 && moved < n) {
        const ssize_t put = ::splice(in_fd, &at, fd_, nullptr, n - moved, SPLICE_F_MOVE | SPLICE_F_MORE);
        if (put > 0) {
            moved += static_cast<std::size_t>(put);
        } else if (put < 0 && errno == EINTR) {
            continue;
        } else if (put < 0 && (errno == EPIPE || errno == ENOSPC || errno == EIO)) {
            error_ = errno;  // the reader has gone, as a write would have found
        } else {
            // Not possible here after all (EINVAL, EAGAIN on a non-blocking pipe),
            // or the file ended early: the caller writes what is left.
            if (put < 0) {
                splices_ = 0;
            }
            break;
        }
    }
    return moved;
#else
    (void)in_fd;
    (void)offset;
    (void)n;
    return 0;
#endif
}

void output::print(const char* format, ...)
{
    char small[512];
    va_list args;
    va_start(args, format);
    va_list again;
    va_copy(again, args);
    const int n = std::vsnprintf(small, sizeof small, format, args);
    va_end(args);
    if (n >= 0 && static_cast<std::size_t>(n) < sizeof small) {
        write(small, static_cast<std::size_t>(n));
    } else if (n >= 0) {
        std::vector<char> large(static_cast<std::size_t>(n) + 1);
        std::vsnprintf(large.data(), large.size(), format, again);
        write(large.data(), static_cast<std::size_t>(n));
    }
    va_end(again);
}

}  // namespace framelint::io
