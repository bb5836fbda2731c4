#pragma once
// The record of a collection: for each file checked, where it is, its size,
// modification time and inode, the hash of its audio frames, its frame count
// and verdict, and when that was recorded, in a SQLite database. A later check
// of the file is judged against it, so that audio that changed while no
// program wrote the file (bit rot) is told from audio a program rewrote and
// from tags that were edited.
//
// Safe to stop at any moment: the database is in WAL mode and written in
// batches, so a kill loses at most the last batch. Several threads may ask
// (look_up) at once; writes are queued and only the thread that opened the
// book carries them out.

#include <climits>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <unordered_set>
#include <vector>

#include "checksum/audio_hash.hpp"

struct sqlite3;
struct sqlite3_stmt;

namespace framelint::record {

// A file as it stands now.
struct file_identity {
    std::string path;  // canonical
    std::int64_t size = 0;
    std::int64_t mtime_ns = 0;  // modification time, in nanoseconds since 1970
    std::int64_t inode = 0;
};

// One recorded file.
struct record_row {
    std::int64_t id = 0;
    file_identity file;
    audio_digest hash;
    std::int64_t frames = 0;
    std::string verdict;
    std::int64_t recorded_at = 0;  // seconds since 1970
};

// What a check of a file found against the record.
enum class finding : std::uint8_t {
    first_seen,       // no record yet: recorded now
    unchanged,        // the same audio (tags may have changed): said nothing
    moved,            // the same audio recorded under a path that is gone: the record follows it
    audio_changed,    // another hash, size and modification time as recorded: damage
    audio_rewritten,  // another hash, and a program wrote the file since: the record takes the new one
};

// How a check of one file compares with its record (pure: no database).
finding judge(const record_row& recorded, const file_identity& now, const audio_digest& hash);

struct judgement {
    finding what = finding::first_seen;
    std::int64_t recorded_at = 0;  // of the record compared with, unless the audio is unchanged
};

// A recorded file under a folder that is gone.
struct missing_file {
    std::string path;
    std::int64_t recorded_at = 0;
};

class record_book {
public:
    // How many queued writes make a batch: one transaction each.
    static constexpr std::size_t batch_size = 256;
    // How long a run waits for another run that has the record open.
    static constexpr int busy_wait_ms = 5000;

    struct opened {
        std::unique_ptr<record_book> book;  // null when it could not be opened
        std::string error;                  // then why, in words
        bool read_only = false;             // opened, but nothing will be written
    };
    // Opens the database at path, creating it when missing. A file that is no
    // framelint record, or one of a newer schema, is left untouched.
    static opened open(const std::string& path);

    ~record_book();
    record_book(const record_book&) = delete;
    record_book& operator=(const record_book&) = delete;

    bool read_only() const { return read_only_; }

    // Judges a checked file against its record and queues what the record
    // takes from it. now: seconds since 1970. A file not recorded under its
    // path takes over the record of the same audio and size whose path is
    // gone (a move), else is recorded anew.
    judgement check(const file_identity& file, const audio_digest& hash, std::int64_t frames,
                    const std::string& verdict, std::int64_t now);
    // A file that --fix rewrote: its record takes the new audio whatever it held.
    void rewritten(const file_identity& file, const audio_digest& hash, std::int64_t frames,
                   const std::string& verdict, std::int64_t now);

    // Writes a full batch, when one is queued, from the opening thread only.
    void commit_due();
    // Writes everything queued (opening thread only). False when it failed.
    bool commit();
    // The first write error, in words (empty when none).
    std::string write_error() const;

    // Each recorded file under folder (a canonical path) that is gone, in path
    // order, handed to each as found, so that memory stays flat.
    void each_missing_under(const std::string& folder, const std::function<void(const missing_file&)>& each);

private:
    record_book(sqlite3* db, int lock_fd, bool read_only);
    static std::unique_ptr<record_book> open_settled(const std::string& path, int lock_fd, bool read_only);
    bool open_writer();
    struct write {
        enum class kind : std::uint8_t { insert, update } what;
        std::int64_t id = 0;  // update: the row
        record_row row;
    };
    void read_in_one_transaction();
    void seen(std::int64_t id);
    bool seen_this_run(std::int64_t id) const;
    bool every_row_seen();
    // The row recorded under path (until the next look-up or write), or null.
    const record_row* find_path(const std::string& path);
    bool load_folder(const std::string& folder);
    std::optional<record_row> find_gone(const audio_digest& hash, std::int64_t size);
    void queue(write w);
    bool run_batch(std::vector<write>& batch);

    // The look-ups, prepared once: preparing costs more than the look-up.
    sqlite3_stmt* by_path_ = nullptr;
    sqlite3_stmt* by_audio_ = nullptr;
    sqlite3_stmt* by_folder_ = nullptr;
    sqlite3_stmt* by_id_ = nullptr;
    // A row's recorded_at before it was asked for (recorded_at_of).
    static constexpr std::int64_t not_read = INT64_MIN;
    std::int64_t recorded_at_of(const record_row& r);
    // Files come folder by folder: the second look-up in a folder reads the
    // rows of all its files at once (up to folder_rows_most), which costs a
    // fraction of a look-up each. Dropped whenever a batch is written.
    static constexpr std::size_t folder_rows_most = 4096;
    struct text_span {
        std::uint32_t at = 0;
        std::uint32_t size = 0;
    };
    // A row of the loaded folder, its texts in folder_text_: no allocation a row.
    struct folder_row {
        std::int64_t id = 0;
        text_span name;  // its path without the folder's
        std::int64_t size = 0;
        std::int64_t mtime_ns = 0;
        std::int64_t inode = 0;
        audio_digest hash;
        std::int64_t frames = 0;
        text_span verdict;
    };
    text_span keep_text(std::string_view text);
    std::string_view kept_text(text_span span) const;
    std::string last_folder_;            // of the last look-up, with its '/'
    std::string loaded_folder_;          // whose rows are in folder_rows_
    bool folder_loaded_ = false;
    std::vector<folder_row> folder_rows_;  // the first folder_count_ in path order; the rest kept for reuse
    std::size_t folder_count_ = 0;
    std::size_t folder_next_ = 0;  // the row after the last one found
    static constexpr std::size_t folder_rows_first = 256;  // room made at once for a folder's rows
    std::string folder_text_;
    record_row looked_up_;                 // what the last look-up by path found
    sqlite3* db_ = nullptr;
    std::string path_;      // of the database, to open it for writing later
    bool writing_ = false;  // db_ may write (else it reads the file as it lies)
    int lock_fd_ = -1;
    bool read_only_ = false;
    std::mutex mutex_;  // guards everything below, and db_'s use
    std::vector<write> pending_;
    std::unordered_set<std::int64_t> claimed_;  // rows taken over by a moved file this run
    std::unordered_set<std::string> inserted_;  // paths queued for insertion, not yet written
    // The rows of files checked this run, one bit per row id: they are there,
    // and the list of missing files need not ask the file system about them.
    std::vector<std::uint64_t> seen_;
    bool rows_may_go_ = false;  // a write of this run may have deleted a row
    std::string write_error_;
    std::thread::id owner_;
};

// The canonical form of a file's path: its folder resolved (links, "..")
// and its own name kept. Empty when the folder cannot be resolved.
std::string canonical_path(const std::string& name);

}  // namespace framelint::record
