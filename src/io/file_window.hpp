#pragma once
// A read-only mapping of a stretch of a file, so that the scanner can look at the
// bytes where the page cache holds them instead of having them copied.
//
// A mapped page whose file has been cut shorter meanwhile raises SIGBUS when
// touched. Every live window is registered with a SIGBUS handler that puts zero
// pages over the lost part of the window and notes where the loss began; the
// access that faulted then reads zeros and the program goes on. The owner of the
// window learns of it from lost_from() (and from the file's size) and must treat
// the stream as ending there.

#include <cstddef>
#include <atomic>
#include <cstdint>

namespace framelint::io {

class file_window {
public:
    file_window() = default;
    ~file_window() { unmap(); }
    file_window(const file_window&) = delete;
    file_window& operator=(const file_window&) = delete;

    // Maps len bytes of fd from offset (a multiple of page_size()), replacing what
    // was mapped before. False (errno set, nothing mapped) when that fails.
    bool map(int fd, std::int64_t offset, std::size_t len);
    void unmap();

    const std::uint8_t* data() const { return data_; }
    std::size_t size() const { return size_; }
    std::int64_t offset() const { return offset_; }  // in the file, of data()[0]

    // The file offset from which this window's pages were found gone, or -1.
    std::int64_t lost_from() const;
    // Whether any were: one load, cheap enough to ask at every frame.
    bool lost() const { return lost_ != nullptr && lost_->load(std::memory_order_relaxed) >= 0; }

    static std::size_t page_size();

private:
    const std::uint8_t* data_ = nullptr;
    std::size_t size_ = 0;
    std::int64_t offset_ = 0;
    int slot_ = -1;  // in the handler's table of live windows
    const std::atomic<std::int64_t>* lost_ = nullptr;  // that slot's lost_from
};

}  // namespace framelint::io
