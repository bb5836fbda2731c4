#pragma once
// Block-buffered input from a descriptor (or from memory, for tests and fuzzing).
// The scanner pulls bytes through the inline next(); bodies nobody needs are
// passed over with skip(), which stays inside the buffer or seeks.

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>

#include "io/output.hpp"

namespace framelint::io {

class byte_source {
public:
    // Large enough that a frame body (under 3 KiB) rarely straddles a refill,
    // small enough to keep the process well under a few MiB resident.
    static constexpr std::size_t block_size = 128 * 1024;

    // Reads from an open descriptor into buffer (at least block_size bytes, reused
    // across files so that a run over many small files allocates once); both stay
    // owned by the caller.
    byte_source(int fd, bool is_stdin, std::span<std::uint8_t> buffer);
    // Reads from a block of memory that outlives the source.
    explicit byte_source(std::span<const std::uint8_t> memory, bool is_stdin = false);

    byte_source(const byte_source&) = delete;
    byte_source& operator=(const byte_source&) = delete;

    // The next byte, or -1 at the end of the stream or on a read error.
    int next()
    {
        if (cur_ != end_) {
            return *cur_++;
        }
        return fill() ? *cur_++ : -1;
    }

    // Consumes up to n bytes, handing every buffered run to sink(const uint8_t*, size_t)
    // in stream order. Returns how many bytes were consumed (less than n only at the
    // end of the stream or on a read error).
    template <class Sink>
    std::uint64_t consume(std::uint64_t n, Sink&& sink)
    {
        std::uint64_t done = 0;
        while (done < n) {
            if (cur_ == end_ && !fill()) {
                break;
            }
            const auto avail = static_cast<std::uint64_t>(end_ - cur_);
            const auto take = static_cast<std::size_t>(avail < n - done ? avail : n - done);
            sink(cur_, take);
            cur_ += take;
            done += take;
        }
        return done;
    }

    // n bytes that are already buffered, consumed at once; nullptr (and nothing
    // consumed) when fewer are buffered.
    const std::uint8_t* take(std::size_t n)
    {
        if (static_cast<std::size_t>(end_ - cur_) < n) {
            return nullptr;
        }
        const std::uint8_t* at = cur_;
        cur_ += n;
        return at;
    }

    // Passes over up to n bytes without handing them to anyone: within the buffer,
    // by seeking in a regular file (never beyond its current end), or by reading
    // through anything that cannot seek. Returns how many bytes were passed over.
    std::uint64_t skip(std::uint64_t n)
    {
        if (n <= static_cast<std::uint64_t>(end_ - cur_)) {
            cur_ += n;
            return n;
        }
        return skip_beyond_buffer(n);
    }

    // Up to n bytes (n at most block_size) that lie ahead, without consuming them;
    // fewer only when the stream ends first.
    std::span<const std::uint8_t> peek(std::size_t n);

    bool is_stdin() const { return is_stdin_; }

    // errno of the first read error since the last clear_error(), or 0.
    int error() const { return error_; }
    void clear_error() { error_ = 0; }

    // From now on the source reads nothing more once out has failed: the stream
    // then ends for its reader as if the input had ended there. A copy whose
    // destination has gone away (a closed pipe with SIGPIPE ignored, a full disk)
    // must not go on reading, possibly forever from an endless input.
    void stop_when_failed(const output* out) { stop_on_failure_ = out; }
    // True once the source ended a stream because that output had failed.
    bool stopped() const { return stopped_; }

    // Copies the last n bytes consumed (fewer when fewer were ever consumed) into
    // into, oldest first; returns how many. The source keeps a short history as
    // its buffer moves on, so that a caller interested only in how a stream ended
    // need not look at every byte. n is at most history_size. Bytes passed over
    // by a seek are not in the history: it starts again after them.
    static constexpr std::size_t history_size = 128;
    std::size_t last_consumed(std::uint8_t* into, std::size_t n) const;

    // From now on every consumed byte (skipped ones included) is also written to
    // out, straight from the input buffer: a plain copy without a second copy.
    // Nothing else may be written to out while the tee is on. tee_to(nullptr)
    // writes what is pending and ends it.
    void tee_to(output* out);

    // Puts a seekable descriptor back at the first byte not yet consumed, so that
    // whoever reads it next does not lose what this source read ahead.
    void give_back_read_ahead();

private:
    bool fill();
    void flush_tee();
    void keep_history();
    std::uint64_t skip_beyond_buffer(std::uint64_t n);
    std::size_t read_some(std::uint8_t* into, std::size_t room);
    bool wait_until_readable();

    int fd_ = -1;
    bool is_stdin_ = false;
    bool seekable_ = false;        // a regular file we may lseek in
    std::int64_t fd_offset_ = 0;   // where the descriptor stands (seekable only)
    int error_ = 0;
    const output* stop_on_failure_ = nullptr;
    bool stopped_ = false;
    std::span<std::uint8_t> buffer_;
    output* tee_ = nullptr;
    const std::uint8_t* tee_from_ = nullptr;  // first consumed byte not yet teed
    const std::uint8_t* data_begin_ = nullptr;  // first byte of what the buffer holds
    std::uint8_t history_[history_size] = {};    // bytes consumed before data_begin_
    std::size_t history_len_ = 0;
    const std::uint8_t* cur_ = nullptr;
    const std::uint8_t* end_ = nullptr;
};

}  // namespace framelint::io
