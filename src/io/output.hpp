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
    // Takes everything and writes nothing: for messages a mode leaves out.
    struct discard_tag {};
    explicit output(discard_tag);
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

    [[gnu::format(printf, 2, 3)]] void print(const char* format, ...);

    // Sends everything buffered. Returns false when a write has ever failed.
    bool flush();

    // Called just before any bytes leave for the descriptor (not for a capture):
    // a line drawn on the terminal by someone else is taken away first.
    void before_sending(void (*hook)(void*), void* context)
    {
        before_send_ = hook;
        before_send_context_ = context;
    }
    // And called once those bytes are written (same context).
    void after_sending(void (*hook)(void*)) { after_send_ = hook; }

    // For a terminal: text from files and names goes out with its control
    // bytes made visible (text/visible_text.hpp); line ends and tabs pass.
    void show_controls_visibly() { visible_ = true; }

    bool failed() const { return error_ != 0; }
    // errno of the first failed write, or 0.
    int error() const { return error_; }

private:
    void send(const std::uint8_t* bytes, std::size_t n);
    void send_to_fd(const std::uint8_t* bytes, std::size_t n);

    int fd_ = -1;
    std::string* capture_ = nullptr;
    output_sink* sink_ = nullptr;
    bool flush_each_message_ = false;
    bool discard_ = false;
    bool visible_ = false;
    void (*before_send_)(void*) = nullptr;
    void (*after_send_)(void*) = nullptr;
    void* before_send_context_ = nullptr;
    int error_ = 0;
    aligned_block block_;
    std::span<std::uint8_t> buffer_;  // block_'s bytes
    std::size_t used_ = 0;
};

}  // namespace framelint::io
