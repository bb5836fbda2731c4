#include "io/output.hpp"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <unistd.h>
#include <vector>

#include "text/visible_text.hpp"

namespace framelint::io {

output::output(int fd, bool flush_each_message)
    : fd_(fd), flush_each_message_(flush_each_message), block_(capacity), buffer_(block_.bytes())
{
}

output::output(std::string& capture) : capture_(&capture), block_(capacity), buffer_(block_.bytes()) {}

output::output(discard_tag) : discard_(true), block_(capacity), buffer_(block_.bytes()) {}
output::output(output_sink& sink, bool flush_each_message)
    : sink_(&sink), flush_each_message_(flush_each_message), block_(capacity), buffer_(block_.bytes())
{
}

output::~output() { flush(); }

void output::send(const std::uint8_t* bytes, std::size_t n)
{
    if (error_ != 0 || discard_) {
        return;  // the stream is broken, or wanted nothing; later bytes have nowhere to go
    }
    if (capture_ != nullptr) {
        capture_->append(reinterpret_cast<const char*>(bytes), n);
        return;
    }
    if (sink_ != nullptr) {
        error_ = sink_->take(bytes, n);
        return;
    }
    if (n == 0) {
        return;
    }
    if (before_send_ != nullptr) {
        before_send_(before_send_context_);
    }
    // The after-hook runs even when escaping the bytes runs out of memory.
    struct after_guard {
        void (*hook)(void*);
        void* context;
        ~after_guard()
        {
            if (hook != nullptr) {
                hook(context);
            }
        }
    } const after{after_send_, before_send_context_};
    const std::string_view text(reinterpret_cast<const char*>(bytes), n);
    if (visible_ && !text::is_plain(text, text::visible_form::layout)) {
        std::string shown;
        shown.reserve(n + n / 4);
        text::append_visible(shown, text, text::visible_form::layout);
        send_to_fd(reinterpret_cast<const std::uint8_t*>(shown.data()), shown.size());
    } else {
        send_to_fd(bytes, n);
    }
}

void output::send_to_fd(const std::uint8_t* bytes, std::size_t n)
{
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
