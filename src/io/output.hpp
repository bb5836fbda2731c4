#pragma once
// Buffered output to a descriptor (or into a string, for tests, or handed to a
// sink that decides where each write goes).
// Reports and copied stream bytes share one buffer, so they leave in program
// order; a write error is remembered, not acted on, until someone asks.

#include <cstddef>
#include <cstdint>
#include <string>
#include <span>

#include "io/aligned_block.hpp"

namespace framelint::io {

// Where an output's writes go when it has no descriptor of its own: each call
// takes one write, exactly as a descriptor would have been handed it.
class output_sink {
public:
    // 0, or the errno of a failed write (the output then stays failed).
    virtual int take(const std::uint8_t* bytes, std::size_t n) = 0;

protected:
    ~output_sink() = default;
};

class output {
public:
    // Big enough that one file's report leaves in a single write.
    static constexpr std::size_t capacity = 64 * 1024;

    // Writes to fd; with flush_each_message every print() and write() goes out at once.
    output(int fd, bool flush_each_message);
    // Collects everything into a string (flushes append to it).
    explicit output(std::string& capture);
    // Hands every write to sink, in the pieces a descriptor would have got.
    output(output_sink& sink, bool flush_each_message);
    ~output();

    output(const output&) = delete;
    output& operator=(const output&) = delete;

    void put(std::uint8_t byte)
    {
        if (used_ == buffer_.size()) {
            flush();
        }
        buffer_[used_++] = byte;
    }

    void write(const void* bytes, std::size_t n);
    // Writes what is buffered, then bytes straight from where they are.
    void write_through(const void* bytes, std::size_t n);
    // Writes what is buffered, then moves up to n bytes of the file in_fd from
    // offset straight into the output when it is a pipe (their pages are handed
    // over, not copied). Returns how many bytes went; fewer (0 when the output is
    // no pipe) leave the rest to write_through().
    std::size_t splice_from(int in_fd, std::int64_t offset, std::size_t n);

    [[gnu::format(printf, 2, 3)]] void print(const char* format, ...);

    // Sends everything buffered. Returns false when a write has ever failed.
    bool flush();

    bool failed() const { return error_ != 0; }
    // errno of the first failed write, or 0.
    int error() const { return error_; }

private:
    void send(const std::uint8_t* bytes, std::size_t n);

    int fd_ = -1;
    std::string* capture_ = nullptr;
    output_sink* sink_ = nullptr;
    int splices_ = -1;  // whether splice_from() can splice to fd_: -1 not known yet
    bool flush_each_message_ = false;
    int error_ = 0;
    aligned_block block_;
    std::span<std::uint8_t> buffer_;  // block_'s bytes
    std::size_t used_ = 0;
};

}  // namespace framelint::io
