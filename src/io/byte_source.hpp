#pragma once
// Input from a descriptor (or from memory, for tests and fuzzing).
// A regular file may be mapped in windows (file_window) that are unmapped as the
// scan moves on, so the scanner looks at the bytes in the page cache instead of
// having them copied, and resident memory stays small at any file size; the
// caller says from what size (input_choice times whether mapping pays at all).
// Anything else (pipes, FIFOs, sockets, terminals) and smaller files are read
// into a buffer, and so is a file whose bytes are copied out (see tee_to).
// Either way the scanner pulls bytes through the inline next(); bodies nobody
// needs are passed over with skip(), which stays inside the buffer or window,
// maps further on, or seeks.

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <functional>
#include <optional>
#include <span>

#include "io/file_window.hpp"
#include "io/output.hpp"

namespace framelint::io {

// A regular file as it stood when a source was made on it, before its first
// byte was read.
struct file_stamp {
    std::int64_t size = 0;
    std::int64_t mtime_ns = 0;  // modification time, in nanoseconds since 1970
    std::int64_t inode = 0;
};

class byte_source {
public:
    // Large enough that a frame body (under 3 KiB) rarely straddles a refill,
    // small enough to keep the process well under a few MiB resident.
    static constexpr std::size_t block_size = 128 * 1024;
    // Mapped windows: the cost of mapping and unmapping is spread over 2 MiB,
    // and what is resident stays that small.
    static constexpr std::size_t window_size = 2 * 1024 * 1024;
    // Below this many bytes a file is read: two system calls cost less than
    // mapping, faulting in and unmapping.
    static constexpr std::int64_t map_from_bytes = 64 * 1024;

    // Reads from an open descriptor, mapped when it is a regular file of at least
    // map_from bytes from its current offset, otherwise into buffer (at least
    // block_size bytes, reused across files so that a run over many small files
    // allocates once); both stay owned by the caller.
    byte_source(int fd, bool is_stdin, std::span<std::uint8_t> buffer, std::int64_t map_from = map_from_bytes);
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
            fetch_lines_ahead(cur_ + take);  // while the sink reads these, the next ones come
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
        fetch_ahead();
        return at;
    }

    // Passes over up to n bytes without handing them to anyone: within the buffer
    // or window, by mapping further on or seeking in a regular file (never beyond
    // its current end), or by reading through anything that cannot seek. Returns
    // how many bytes were passed over.
    std::uint64_t skip(std::uint64_t n)
    {
        if (n <= static_cast<std::uint64_t>(end_ - cur_)) {
            cur_ += n;
            return n;
        }
        return skip_beyond_buffer(n);
    }

    // The bytes already buffered (or mapped) ahead, for a caller that walks them
    // itself and then passes over what it used with skip(). Nothing is read.
    std::span<const std::uint8_t> buffered() const { return {cur_, static_cast<std::size_t>(end_ - cur_)}; }

    // Asks for the cache lines of a mapping up to a KiB beyond at (a pointer into
    // buffered()).
    // Where each frame header lies depends on the one before, so a scan that
    // jumps from header to header through a mapping waits for memory at every
    // frame unless the lines ahead are on their way. (Asking only for the lines
    // a header is predicted in does not pay: variable bit rates defeat the
    // prediction, and fixed ones gain nothing measurable. Further ahead than a
    // KiB only competes with the lines needed now.)
    void fetch_lines_ahead(const std::uint8_t* at)
    {
        if (!mapped_) {
            return;  // a block just read is in the cache already: asking again only costs
        }
        const std::uint8_t* want = end_ - at > fetch_distance ? at + fetch_distance : end_;
        if (fetched_ < at) {
            fetched_ = at;  // passed over: those lines are not wanted any more
        }
        for (; fetched_ < want; fetched_ += cache_line) {
            __builtin_prefetch(fetched_);
        }
    }

    // Up to n bytes (n at most block_size) that lie ahead, without consuming them;
    // fewer only when the stream ends first.
    std::span<const std::uint8_t> peek(std::size_t n);

    bool is_stdin() const { return is_stdin_; }
    bool mapped() const { return mapped_; }
    // A regular file's stamp when the source was made (the file's size, time
    // and inode before the scan read it); nullopt for other inputs.
    const std::optional<file_stamp>& opened_stamp() const { return opened_stamp_; }

    // A regular file may be cut shorter while it is scanned. Its stream ends where
    // the file was found to end; when that is before the largest size the file was
    // seen to have (at the start, or later), and its size now is smaller too,
    // error() becomes EIO, whether it is read or mapped. (One look at the size when
    // a stream ends early, none per block or frame.)
    // The bytes a mapping handed out from the lost part (zeros: see file_window)
    // were never in the file. The source looks at the file whenever its window
    // moves, and settle()
    // makes it look once more: when bytes were handed out beyond a cut, or more
    // were wanted where the file now ends early, the stream ends at the cut
    // (nothing after it is handed out, copied or kept in the history) and error()
    // becomes EIO. settle() returns how many bytes had been handed out beyond
    // the cut, for the caller to take back from its counts; 0 otherwise.
    std::uint64_t settle();
    // True once pages of the mapped window were found gone: the bytes handed out
    // lately may be zeros that were never in the file, and settle() tells.
    bool lost_pages() const { return mapped_ && window_.lost(); }

    // For tests: windows of this size (rounded up to whole pages, at least
    // block_size plus two pages), and a call each time a stretch of the file is
    // taken in, before any of its bytes are looked at (after a window is mapped,
    // before a block is read), with the stretch's offset in the file.
    void set_window_size(std::size_t bytes);
    void on_refill(std::function<void(std::int64_t)> hook) { refill_hook_ = std::move(hook); }

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
    //
    // What can be read again (a regular file) keeps only short_history bytes
    // across a refill, unless keep_long_history() was called: the copy is made
    // at every refill, and the rest can be had from reread().
    static constexpr std::size_t history_size = 4096;  // a whole frame (under 3 KiB) and more
    static constexpr std::size_t short_history = 1024;
    std::size_t last_consumed(std::uint8_t* into, std::size_t n) const;
    void keep_long_history() { history_kept_ = history_size; }
    // The last n bytes consumed where they lie, when they are still in the
    // buffer in one piece (valid until the next read); else empty, and
    // last_consumed copies them.
    std::span<const std::uint8_t> last_consumed_in_place(std::size_t n) const
    {
        if (static_cast<std::size_t>(cur_ - data_begin_) < n) {
            return {};
        }
        return {cur_ - n, n};
    }

    // From now on every consumed byte (skipped ones included) is also written to
    // out, straight from the input buffer: a plain copy without a second copy.
    // Nothing else may be written to out while the tee is on.
    // A mapped file is read from here on: what leaves must be exactly the bytes
    // that were checked, and a mapping's pages (or pages spliced from the file)
    // change with the file until the last reader has them, even after the check.
    // tee_to(nullptr) writes what is pending and ends it.
    void tee_to(output* out);

    // Copies bytes of the stream from position pos (counted from its first byte)
    // into into, read once more from the file or the memory, without moving the
    // scan; returns how many. 0 for what cannot be read twice (pipes, terminals).
    std::size_t reread(std::int64_t pos, std::span<std::uint8_t> into) const;
    bool rereadable() const { return seekable_ || memory_.data() != nullptr; }

    // Puts a seekable descriptor back at the first byte not yet consumed, so that
    // whoever reads it next does not lose what this source read ahead (or, when
    // mapped, what it looked at without reading).
    void give_back_read_ahead();

private:
    static constexpr std::ptrdiff_t fetch_distance = 1024;
    static constexpr std::ptrdiff_t cache_line = 64;
    void fetch_ahead() { fetch_lines_ahead(cur_); }

    bool fill();
    void flush_tee();
    void keep_history();
    std::uint64_t skip_beyond_buffer(std::uint64_t n);
    std::size_t read_some(std::uint8_t* into, std::size_t room);
    bool wait_until_readable();
    bool output_failed();  // stops the stream once the output given to stop_when_failed() failed
    // Mapped input.
    std::int64_t position() const { return view_offset_ + (cur_ - view_); }
    bool look_at_file(bool wanting_more);
    bool map_at(std::int64_t pos);
    void stop_mapping(std::int64_t pos);
    bool read_from(std::int64_t pos);
    void ended_at(std::int64_t pos);

    int fd_ = -1;
    bool is_stdin_ = false;
    bool seekable_ = false;        // a regular file we may lseek in
    bool regular_ = false;         // a regular file: its size says where its stream must end
    std::optional<file_stamp> opened_stamp_;
    std::int64_t longest_ = 0;     // the largest size the file was seen to have
    std::int64_t fd_offset_ = 0;   // where the descriptor stands (seekable only)
    std::int64_t origin_ = 0;      // file offset of the stream's first byte (seekable only)
    std::span<const std::uint8_t> memory_;  // a source in memory: all of it
    int error_ = 0;
    const output* stop_on_failure_ = nullptr;
    bool stopped_ = false;
    std::span<std::uint8_t> buffer_;
    output* tee_ = nullptr;
    const std::uint8_t* tee_from_ = nullptr;  // first consumed byte not yet teed
    const std::uint8_t* data_begin_ = nullptr;  // first byte of what the buffer holds
    std::uint8_t history_[history_size] = {};    // bytes consumed before data_begin_
    std::size_t history_len_ = 0;
    std::size_t history_kept_ = history_size;  // how much of it a refill keeps
    const std::uint8_t* cur_ = nullptr;
    const std::uint8_t* end_ = nullptr;
    const std::uint8_t* fetched_ = nullptr;  // lines before this were asked for

    bool mapped_ = false;
    file_window window_;
    std::size_t window_size_ = window_size;
    const std::uint8_t* view_ = nullptr;  // the window's bytes (nullptr when none is mapped)
    std::int64_t view_offset_ = 0;        // file offset of view_[0]
    std::int64_t stream_start_ = 0;       // file offset of the stream's first byte
    std::int64_t window_first_ = 0;       // file offset of the first byte handed out of this window
    std::int64_t file_size_ = 0;          // as last seen
    bool cut_ = false;                    // the file was found cut shorter: the stream has ended
    std::uint64_t beyond_cut_ = 0;        // bytes handed out beyond the cut, for settle()
    std::function<void(std::int64_t)> refill_hook_;
};

}  // namespace framelint::io
