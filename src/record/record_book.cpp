#include "record/record_book.hpp"

#include <cerrno>
#include <algorithm>
#include <bit>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sqlite3.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace framelint::record {
namespace {

// "FLNT": what marks a SQLite database as a framelint record.
constexpr std::int32_t application_id = 0x464C4E54;
// The schema this program writes; a record of a later one is not touched.
constexpr std::int32_t schema_version = 1;

constexpr const char* schema_sql =
    "CREATE TABLE files ("
    " id INTEGER PRIMARY KEY,"
    " path TEXT NOT NULL UNIQUE,"
    " size INTEGER NOT NULL,"
    " mtime_ns INTEGER NOT NULL,"
    " inode INTEGER NOT NULL,"
    " audio_hash TEXT NOT NULL,"
    " frames INTEGER NOT NULL,"
    " verdict TEXT NOT NULL,"
    " recorded_at INTEGER NOT NULL);"
    "CREATE INDEX files_by_audio ON files (audio_hash, size);"
    "PRAGMA application_id = 1179405908;"
    "PRAGMA user_version = 1;";
static_assert(application_id == 1179405908);

constexpr const char* row_columns = "id, path, size, mtime_ns, inode, audio_hash, frames, verdict, recorded_at";

std::int32_t big_endian_at(const unsigned char* p)
{
    return static_cast<std::int32_t>(static_cast<std::uint32_t>(p[0]) << 24 | static_cast<std::uint32_t>(p[1]) << 16 |
                                     static_cast<std::uint32_t>(p[2]) << 8 | p[3]);
}

// What an existing file's first bytes say it is, read before SQLite touches it.
struct record_head {
    std::string refuse;  // why it may not be opened as a record; empty when it may
    bool ours = false;   // a framelint record of this schema (not a new, empty one)
    bool wal = false;    // already in WAL mode (SQLite keeps that in the file)
};

std::string refuse_reason(int fd, record_head& found)
{
    unsigned char head[100] = {};
    ssize_t got = 0;
    std::size_t have = 0;
    while (have < sizeof head && (got = ::pread(fd, head + have, sizeof head - have, static_cast<off_t>(have))) > 0) {
        have += static_cast<std::size_t>(got);
    }
    if (got < 0) {
        return std::strerror(errno);
    }
    if (have == 0) {
        return "";  // an empty file: a new record
    }
    if (have < sizeof head || std::memcmp(head, "SQLite format 3", 16) != 0) {
        return "is not a framelint record (not a SQLite database)";
    }
    const std::int32_t version = big_endian_at(head + 60);
    const std::int32_t app = big_endian_at(head + 68);
    if (app != application_id && !(app == 0 && version == 0 && big_endian_at(head + 28) <= 1)) {
        return "is not a framelint record (a SQLite database of another program)";
    }
    if (version > schema_version) {
        return "is a framelint record of a newer schema (" + std::to_string(version) +
               "): use the framelint that wrote it";
    }
    found.ours = app == application_id && version == schema_version;
    found.wal = head[18] == 2 && head[19] == 2;  // the versions that mean WAL
    return "";
}

record_head head_of(int fd)
{
    record_head found;
    found.refuse = refuse_reason(fd, found);
    return found;
}

std::string sql_error(sqlite3* db) { return db != nullptr ? sqlite3_errmsg(db) : "out of memory"; }

bool exec(sqlite3* db, const char* sql) { return sqlite3_exec(db, sql, nullptr, nullptr, nullptr) == SQLITE_OK; }

// Holds a prepared statement for one use.
struct statement {
    sqlite3_stmt* s = nullptr;
    statement(sqlite3* db, const std::string& sql) { sqlite3_prepare_v2(db, sql.c_str(), -1, &s, nullptr); }
    ~statement() { sqlite3_finalize(s); }
    statement(const statement&) = delete;
    statement& operator=(const statement&) = delete;
    void text(int at, const std::string& v) { sqlite3_bind_text(s, at, v.c_str(), static_cast<int>(v.size()), SQLITE_TRANSIENT); }
    void integer(int at, std::int64_t v) { sqlite3_bind_int64(s, at, v); }
};

std::string_view text_of(sqlite3_stmt* s, int column)
{
    const auto* t = reinterpret_cast<const char*>(sqlite3_column_text(s, column));
    return t != nullptr ? std::string_view(t, static_cast<std::size_t>(sqlite3_column_bytes(s, column)))
                        : std::string_view();
}

// Reads the row s stands on into r, whose strings keep their memory.
void read_row(sqlite3_stmt* s, record_row& r)
{
    const auto text = [s](int column) { return text_of(s, column); };
    r.id = sqlite3_column_int64(s, 0);
    r.file.path.assign(text(1));
    r.file.size = sqlite3_column_int64(s, 2);
    r.file.mtime_ns = sqlite3_column_int64(s, 3);
    r.file.inode = sqlite3_column_int64(s, 4);
    r.hash = audio_digest{};
    digest_from_hex(text(5), r.hash);
    r.frames = sqlite3_column_int64(s, 6);
    r.verdict.assign(text(7));
    r.recorded_at = sqlite3_column_int64(s, 8);
}

record_row row_of(sqlite3_stmt* s)
{
    record_row r;
    read_row(s, r);
    return r;
}

bool gone(const std::string& path)
{
    struct stat st {};
    return ::lstat(path.c_str(), &st) != 0 && errno == ENOENT;
}

// Waits up to the busy time for the lock on the record (exclusive for a run
// that writes); false when another run kept it.
bool lock_record(int fd, bool shared)
{
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(record_book::busy_wait_ms);
    for (;;) {
        if (::flock(fd, (shared ? LOCK_SH : LOCK_EX) | LOCK_NB) == 0) {
            return true;
        }
        if (errno != EWOULDBLOCK && errno != EINTR) {
            return true;  // a file system without locks: SQLite's own locking still guards the data
        }
        if (std::chrono::steady_clock::now() >= until) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
}

// The URI that opens path read-only as a file nobody changes.
std::string immutable_uri(const std::string& path)
{
    std::string uri = "file:";
    for (const char ch : path) {
        if (ch == '%' || ch == '?' || ch == '#') {
            char escaped[4];
            std::snprintf(escaped, sizeof escaped, "%%%02X", static_cast<unsigned char>(ch));
            uri += escaped;
        } else {
            uri += ch;
        }
    }
    return uri + "?immutable=1";
}

}  // namespace

finding judge(const record_row& recorded, const file_identity& now, const audio_digest& hash)
{
    if (hash == recorded.hash) {
        return finding::unchanged;
    }
    // Whatever writes a file sets its modification time. Audio that changed
    // with the time and size left as they were was changed by no program.
    if (now.size == recorded.file.size && now.mtime_ns == recorded.file.mtime_ns) {
        return finding::audio_changed;
    }
    return finding::audio_rewritten;
}

// Whether the record's write-ahead log holds nothing: then the file alone is
// the whole record.
bool log_is_empty(const std::string& path)
{
    struct stat st {};
    return ::stat((path + "-wal").c_str(), &st) != 0 ? errno == ENOENT : S_ISREG(st.st_mode) && st.st_size == 0;
}

// SQLite's start-up defaults suit long-lived processes. Here a run opens one
// record, often for a few files, and every page of memory first touched costs
// a page fault: without the 20 pages of page cache set up ahead and the
// connection's lookaside slots (a free list through all of them), opening
// touches some 50 pages fewer. Nor is memory use counted (a lock taken on
// every allocation). Set before SQLite starts; once it has, they are refused,
// and nothing is lost but the time.
namespace {
constexpr sqlite3_int64 mapped_most = sqlite3_int64{8} << 20;

void configure_sqlite_once()
{
    static const bool configured = [] {
        sqlite3_config(SQLITE_CONFIG_MEMSTATUS, 0);
        sqlite3_config(SQLITE_CONFIG_PAGECACHE, nullptr, 0, 0);
        sqlite3_config(SQLITE_CONFIG_LOOKASIDE, 0, 0);
        // Pages read from the file where it lies, not copied into the page
        // cache: each page copied is one more page of memory first touched.
        // The mapping is bounded, so memory stays flat however large the
        // record grows (pages past it are read as before).
        sqlite3_config(SQLITE_CONFIG_MMAP_SIZE, mapped_most, mapped_most);
        return true;
    }();
    (void)configured;
}

// The run holds the record alone (lock_record): SQLite need not take and drop
// its own locks around every look-up, two system calls each, and keeps the
// WAL index in memory instead of a shared file. Set before anything is read,
// or it would not hold.
void hold_alone(sqlite3* db) { exec(db, "PRAGMA locking_mode = EXCLUSIVE"); }
}  // namespace

record_book::opened record_book::open(const std::string& path)
{
    configure_sqlite_once();
    opened result;
    const auto fail = [&](const std::string& why) {
        result.error = "framelint: " + path + " " + why;
        return std::move(result);
    };
    struct stat st {};
    bool exists = ::stat(path.c_str(), &st) == 0;
    if (exists && !S_ISREG(st.st_mode)) {
        return fail("is not a framelint record (not a regular file)");
    }
    if (!exists && errno != ENOENT) {
        return fail(std::strerror(errno));
    }
    int lock_fd = -1;
    record_head head;
    if (exists) {
        lock_fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
        if (lock_fd < 0) {
            return fail(std::strerror(errno));
        }
        head = head_of(lock_fd);
        if (!head.refuse.empty()) {
            ::close(lock_fd);
            return fail(head.refuse);
        }
    }
    // Read-only when the file, or the folder its journal goes in, may not be written.
    std::string folder = path.find('/') == std::string::npos ? "." : path.substr(0, path.rfind('/'));
    if (folder.empty()) {
        folder = "/";
    }
    const bool writable = ::access(folder.c_str(), W_OK) == 0 && (!exists || ::access(path.c_str(), W_OK) == 0);
    if (!exists && !writable) {
        return fail("cannot be created: " + std::string(std::strerror(errno)));
    }
    if (exists && !lock_record(lock_fd, !writable)) {
        ::close(lock_fd);
        return fail("is busy: another framelint run is using it (try again when it has finished)");
    }
    if (exists && head.ours && head.wal && log_is_empty(path)) {
        if (auto book = open_settled(path, lock_fd, !writable)) {
            result.read_only = !writable;
            result.book = std::move(book);
            return result;
        }
    }
    sqlite3* db = nullptr;
    const int flags = (writable ? SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE : SQLITE_OPEN_READONLY) |
                      SQLITE_OPEN_NOMUTEX | SQLITE_OPEN_EXRESCODE;
    if (sqlite3_open_v2(path.c_str(), &db, flags, nullptr) != SQLITE_OK) {
        const std::string why = sql_error(db);
        sqlite3_close(db);
        if (lock_fd >= 0) {
            ::close(lock_fd);
        }
        return fail("could not be opened: " + why);
    }
    std::unique_ptr<record_book> book(new record_book(db, lock_fd, !writable));
    if (lock_fd < 0) {
        book->lock_fd_ = lock_fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
        if (lock_fd >= 0 && !lock_record(lock_fd, !writable)) {
            return fail("is busy: another framelint run is using it (try again when it has finished)");
        }
    }
    sqlite3_busy_timeout(db, busy_wait_ms);
    if (writable) {
        hold_alone(db);
    }
    // A new record gets its schema; an existing one must have it.
    int tables = -1;
    const auto count_tables = [&] {
        statement count(db, "SELECT count(*) FROM sqlite_master WHERE type = 'table' AND name = 'files'");
        if (count.s != nullptr && sqlite3_step(count.s) == SQLITE_ROW) {
            tables = sqlite3_column_int(count.s, 0);
        }
    };
    count_tables();
    if (tables < 0 && !writable) {
        // A record in WAL mode on a read-only file system: SQLite cannot make
        // the shared-memory file beside it, but may read it as it lies when
        // told that nobody changes it.
        sqlite3_close(db);
        db = nullptr;
        if (sqlite3_open_v2(immutable_uri(path).c_str(), &db, SQLITE_OPEN_READONLY | SQLITE_OPEN_URI | SQLITE_OPEN_NOMUTEX,
                            nullptr) == SQLITE_OK) {
            book->db_ = db;
            count_tables();
        } else {
            book->db_ = db;
        }
    }
    if (tables < 0) {
        return fail("could not be read: " + sql_error(db));
    }
    if (tables == 0) {
        if (!writable) {
            return fail("holds no record and cannot be written");
        }
        if (!exec(db, "BEGIN IMMEDIATE") || !exec(db, schema_sql) || !exec(db, "COMMIT")) {
            return fail("could not be set up: " + sql_error(db));
        }
    }
    if (writable) {
        // WAL: a run killed in the middle of a batch loses that batch, never the
        // record. SQLite keeps the mode in the file: set once, when the record
        // is made. NORMAL suffices for that (it only gives up the last commits
        // on a power failure).
        if (!head.wal) {
            statement wal(db, "PRAGMA journal_mode = WAL");
            if (wal.s == nullptr || sqlite3_step(wal.s) != SQLITE_ROW) {
                return fail("could not be set up: " + sql_error(db));
            }
        }
        exec(db, "PRAGMA synchronous = NORMAL");
    }
    book->writing_ = writable;
    result.read_only = !writable;
    result.book = std::move(book);
    return result;
}

// A record whose log is empty is the file alone, and no other run may write it
// while this one holds the lock: it is read as a file nobody changes, which
// spares the log, its index and SQLite's locks. A run that finds nothing to
// record never opens it for writing; the first write does (open_writer), and
// from then on the look-ups go that way too and see what was written. Null
// when it cannot be read so: then it is opened as any other.
std::unique_ptr<record_book> record_book::open_settled(const std::string& path, int lock_fd, bool read_only)
{
    sqlite3* db = nullptr;
    if (sqlite3_open_v2(immutable_uri(path).c_str(), &db,
                        SQLITE_OPEN_READONLY | SQLITE_OPEN_URI | SQLITE_OPEN_NOMUTEX | SQLITE_OPEN_EXRESCODE,
                        nullptr) != SQLITE_OK) {
        sqlite3_close(db);
        return nullptr;
    }
    bool has_table = false;
    {
        statement count(db, "SELECT count(*) FROM sqlite_master WHERE type = 'table' AND name = 'files'");
        has_table = count.s != nullptr && sqlite3_step(count.s) == SQLITE_ROW && sqlite3_column_int(count.s, 0) == 1;
    }
    if (!has_table) {
        sqlite3_close(db);
        return nullptr;
    }
    std::unique_ptr<record_book> book(new record_book(db, lock_fd, read_only));
    book->path_ = path;
    return book;
}

bool record_book::open_writer()
{
    sqlite3* db = nullptr;
    if (sqlite3_open_v2(path_.c_str(), &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX | SQLITE_OPEN_EXRESCODE,
                        nullptr) != SQLITE_OK) {
        write_error_ = sql_error(db);
        sqlite3_close(db);
        return false;
    }
    sqlite3_busy_timeout(db, busy_wait_ms);
    hold_alone(db);
    exec(db, "PRAGMA synchronous = NORMAL");  // as open() sets it
    // The look-ups were prepared on the reading connection.
    for (sqlite3_stmt** s : {&by_path_, &by_audio_, &by_folder_, &by_id_}) {
        sqlite3_finalize(*s);
        *s = nullptr;
    }
    if (sqlite3_get_autocommit(db_) == 0) {
        exec(db_, "COMMIT");
    }
    // It took no locks: closing it leaves the writer's alone.
    sqlite3_close(db_);
    db_ = db;
    writing_ = true;
    return true;
}

record_book::record_book(sqlite3* db, int lock_fd, bool read_only)
    : db_(db), lock_fd_(lock_fd), read_only_(read_only), owner_(std::this_thread::get_id())
{
}

record_book::~record_book()
{
    if (!read_only_ && db_ != nullptr) {
        commit();
    }
    if (db_ != nullptr && sqlite3_get_autocommit(db_) == 0) {
        exec(db_, "COMMIT");  // the look-ups' read transaction
    }
    sqlite3_finalize(by_path_);
    sqlite3_finalize(by_audio_);
    sqlite3_finalize(by_folder_);
    sqlite3_finalize(by_id_);
    sqlite3_close(db_);
    // Only now: closing any descriptor of the file drops SQLite's locks on it.
    if (lock_fd_ >= 0) {
        ::close(lock_fd_);
    }
}

// Each look-up in a transaction of its own would begin and end one: a look at
// the WAL's index and at the file's size, and the page cache checked, at
// every file. The look-ups share one read transaction instead, which lasts
// until the next batch is written (run_batch ends it first).
void record_book::read_in_one_transaction()
{
    if (sqlite3_get_autocommit(db_) != 0) {
        exec(db_, "BEGIN");
    }
}

// One bit per row id, 125 KiB for a million recorded files; rows past this id
// (8 MiB of bits) are not marked, and their files are asked after instead.
constexpr std::int64_t most_seen_id = std::int64_t{1} << 26;

void record_book::seen(std::int64_t id)
{
    if (id <= 0 || id >= most_seen_id) {
        return;
    }
    const auto word = static_cast<std::size_t>(id >> 6);
    if (word >= seen_.size()) {
        seen_.resize(word + 1);
    }
    seen_[word] |= std::uint64_t{1} << (id & 63);
}

bool record_book::seen_this_run(std::int64_t id) const
{
    const auto word = static_cast<std::size_t>(id >> 6);
    return id > 0 && word < seen_.size() && (seen_[word] >> (id & 63) & 1) != 0;
}

// Reads the rows of the files right in folder (its path with a '/' at the
// end), none of its subfolders'; false, with nothing kept, when it holds more
// than folder_rows_most or could not be read whole (the look-ups then go one
// by one).
bool record_book::load_folder(const std::string& folder)
{
    folder_loaded_ = false;
    folder_count_ = 0;
    folder_next_ = 0;
    folder_text_.clear();
    if (folder_rows_.empty()) {
        // Grown a row at a time, the table would leave a trail of freed
        // copies behind it, each page of them touched once.
        folder_rows_.reserve(folder_rows_first);
        folder_text_.reserve(folder_rows_first * 64);
    }
    if (by_folder_ == nullptr) {
        // All a judgement needs; when a file was recorded is asked only of the
        // few that are reported (recorded_at).
        const std::string sql = "SELECT id, path, size, mtime_ns, inode, audio_hash, frames, verdict FROM files "
                                "WHERE path >= ?1 AND path < ?2 ORDER BY path";
        sqlite3_prepare_v3(db_, sql.c_str(), -1, SQLITE_PREPARE_PERSISTENT, &by_folder_, nullptr);
    }
    if (by_folder_ == nullptr) {
        return false;
    }
    std::string to = folder;
    to.back() = '/' + 1;  // every path that begins with folder sorts before this
    std::string from = folder;
    bool whole = true;
    for (bool again = true; again && whole;) {
        again = false;
        sqlite3_bind_text(by_folder_, 1, from.c_str(), static_cast<int>(from.size()), SQLITE_STATIC);
        sqlite3_bind_text(by_folder_, 2, to.c_str(), static_cast<int>(to.size()), SQLITE_STATIC);
        int step = SQLITE_DONE;
        while ((step = sqlite3_step(by_folder_)) == SQLITE_ROW) {
            const std::string_view path = text_of(by_folder_, 1);
            const std::size_t slash = path.find('/', folder.size());
            if (slash != std::string_view::npos) {
                // A subfolder's rows: on past all of them at once.
                from.assign(path.substr(0, slash + 1));
                from.back() = '/' + 1;
                again = true;
                break;
            }
            if (folder_count_ == folder_rows_most) {
                whole = false;
                break;
            }
            if (folder_count_ == folder_rows_.size()) {
                folder_rows_.emplace_back();
            }
            folder_row& r = folder_rows_[folder_count_++];
            r.id = sqlite3_column_int64(by_folder_, 0);
            r.name = keep_text(path.substr(folder.size()));
            r.size = sqlite3_column_int64(by_folder_, 2);
            r.mtime_ns = sqlite3_column_int64(by_folder_, 3);
            r.inode = sqlite3_column_int64(by_folder_, 4);
            r.hash = audio_digest{};
            digest_from_hex(text_of(by_folder_, 5), r.hash);
            r.frames = sqlite3_column_int64(by_folder_, 6);
            r.verdict = keep_text(text_of(by_folder_, 7));
        }
        // A read that failed part of the way would make the folder's other
        // files look new, and new rows would be written over their records.
        whole = whole && (step == SQLITE_ROW || step == SQLITE_DONE);
        sqlite3_reset(by_folder_);
    }
    if (!whole) {
        folder_count_ = 0;
        return false;
    }
    loaded_folder_ = folder;
    folder_loaded_ = true;
    return true;
}

const record_row* record_book::find_path(const std::string& path)
{
    read_in_one_transaction();
    const std::string_view folder(path.data(), path.rfind('/') + 1);  // a canonical path begins with '/'
    if (!(folder_loaded_ && folder == loaded_folder_) && folder == last_folder_ && folder.size() > 1) {
        load_folder(last_folder_);
    }
    if (folder_loaded_ && folder == loaded_folder_) {
        const std::string_view name = std::string_view(path).substr(folder.size());
        const auto end = folder_rows_.begin() + static_cast<std::ptrdiff_t>(folder_count_);
        // Files mostly come in the order of their names, as the rows do: the
        // row after the last one found is tried before a search.
        auto at = folder_rows_.begin() + static_cast<std::ptrdiff_t>(std::min(folder_next_, folder_count_));
        if (at == end || kept_text(at->name) != name) {
            at = std::lower_bound(folder_rows_.begin(), end, name, [this](const folder_row& r, std::string_view n) {
                return kept_text(r.name) < n;
            });
            if (at == end || kept_text(at->name) != name) {
                return nullptr;
            }
        }
        folder_next_ = static_cast<std::size_t>(at - folder_rows_.begin()) + 1;
        looked_up_.id = at->id;
        looked_up_.file.path.assign(path);
        looked_up_.file.size = at->size;
        looked_up_.file.mtime_ns = at->mtime_ns;
        looked_up_.file.inode = at->inode;
        looked_up_.hash = at->hash;
        looked_up_.frames = at->frames;
        looked_up_.verdict.assign(kept_text(at->verdict));
        looked_up_.recorded_at = not_read;
        return &looked_up_;
    }
    last_folder_.assign(folder);
    if (by_path_ == nullptr) {
        const std::string sql = std::string("SELECT ") + row_columns + " FROM files WHERE path = ?1";
        sqlite3_prepare_v3(db_, sql.c_str(), -1, SQLITE_PREPARE_PERSISTENT, &by_path_, nullptr);
    }
    bool found = false;
    if (by_path_ != nullptr) {
        sqlite3_bind_text(by_path_, 1, path.c_str(), static_cast<int>(path.size()), SQLITE_STATIC);
        if (sqlite3_step(by_path_) == SQLITE_ROW) {
            read_row(by_path_, looked_up_);
            found = true;
        }
        sqlite3_reset(by_path_);
    }
    return found ? &looked_up_ : nullptr;
}

record_book::text_span record_book::keep_text(std::string_view text)
{
    const text_span kept{static_cast<std::uint32_t>(folder_text_.size()), static_cast<std::uint32_t>(text.size())};
    folder_text_.append(text);
    return kept;
}

std::string_view record_book::kept_text(text_span span) const
{
    return std::string_view(folder_text_).substr(span.at, span.size);
}

std::int64_t record_book::recorded_at_of(const record_row& r)
{
    if (r.recorded_at != not_read) {
        return r.recorded_at;
    }
    if (by_id_ == nullptr) {
        sqlite3_prepare_v3(db_, "SELECT recorded_at FROM files WHERE id = ?1", -1, SQLITE_PREPARE_PERSISTENT, &by_id_,
                           nullptr);
    }
    std::int64_t when = 0;
    if (by_id_ != nullptr) {
        sqlite3_bind_int64(by_id_, 1, r.id);
        if (sqlite3_step(by_id_) == SQLITE_ROW) {
            when = sqlite3_column_int64(by_id_, 0);
        }
        sqlite3_reset(by_id_);
    }
    return when;
}

std::optional<record_row> record_book::find_gone(const audio_digest& hash, std::int64_t size)
{
    if (by_audio_ == nullptr) {
        const std::string sql =
            std::string("SELECT ") + row_columns + " FROM files WHERE audio_hash = ?1 AND size = ?2 ORDER BY path";
        sqlite3_prepare_v3(db_, sql.c_str(), -1, SQLITE_PREPARE_PERSISTENT, &by_audio_, nullptr);
    }
    read_in_one_transaction();
    std::optional<record_row> found;
    if (by_audio_ != nullptr) {
        const std::string hex = hex_of(hash);
        sqlite3_bind_text(by_audio_, 1, hex.c_str(), static_cast<int>(hex.size()), SQLITE_STATIC);
        sqlite3_bind_int64(by_audio_, 2, size);
        while (sqlite3_step(by_audio_) == SQLITE_ROW) {
            record_row r = row_of(by_audio_);
            if (!claimed_.contains(r.id) && gone(r.file.path)) {
                found = std::move(r);
                break;
            }
        }
        sqlite3_reset(by_audio_);
    }
    return found;
}

judgement record_book::check(const file_identity& file, const audio_digest& hash, std::int64_t frames,
                             const std::string& verdict, std::int64_t now)
{
    judgement j;
    {
        const std::lock_guard<std::mutex> hold(mutex_);
        const auto fresh = [&](std::int64_t recorded_at) {
            return record_row{0, file, hash, frames, verdict, recorded_at};
        };
        if (const record_row* recorded = find_path(file.path)) {
            seen(recorded->id);
            j.what = judge(*recorded, file, hash);
            if (j.what == finding::unchanged) {
                const record_row& r = *recorded;
                if (r.file.size != file.size || r.file.mtime_ns != file.mtime_ns || r.file.inode != file.inode ||
                    r.frames != frames || r.verdict != verdict) {
                    // The audio is what was recorded then: so is the time it was.
                    queue(write{write::kind::update, r.id, fresh(recorded_at_of(r))});
                }
            } else {
                j.recorded_at = recorded_at_of(*recorded);
                if (j.what == finding::audio_rewritten) {
                    queue(write{write::kind::update, recorded->id, fresh(now)});
                }
            }
            // audio_changed: the record keeps the audio as it was, for the backup to be checked against.
        } else if (inserted_.contains(file.path)) {
            j.what = finding::unchanged;  // named twice in one run
        } else if (const auto moved = find_gone(hash, file.size)) {
            j.what = finding::moved;
            j.recorded_at = moved->recorded_at;
            claimed_.insert(moved->id);
            seen(moved->id);
            rows_may_go_ = true;  // taking its new path may replace the row recorded there
            queue(write{write::kind::update, moved->id, fresh(moved->recorded_at)});
        } else {
            j.what = finding::first_seen;
            inserted_.insert(file.path);
            queue(write{write::kind::insert, 0, fresh(now)});
        }
    }
    commit_due();
    return j;
}

void record_book::rewritten(const file_identity& file, const audio_digest& hash, std::int64_t frames,
                            const std::string& verdict, std::int64_t now)
{
    {
        const std::lock_guard<std::mutex> hold(mutex_);
        const record_row fresh{0, file, hash, frames, verdict, now};
        if (const record_row* recorded = find_path(file.path)) {
            queue(write{write::kind::update, recorded->id, fresh});
        } else {
            // Perhaps queued by this run's check of it: the insert then updates it.
            inserted_.insert(file.path);
            queue(write{write::kind::insert, 0, fresh});
        }
    }
    commit_due();
}

void record_book::queue(write w)
{
    if (!read_only_) {
        pending_.push_back(std::move(w));
    }
}

void record_book::commit_due()
{
    if (std::this_thread::get_id() != owner_) {
        return;
    }
    bool due = false;
    {
        const std::lock_guard<std::mutex> hold(mutex_);
        due = pending_.size() >= batch_size;
    }
    if (due) {
        commit();
    }
}

bool record_book::commit()
{
    if (std::this_thread::get_id() != owner_) {
        return false;
    }
    const std::lock_guard<std::mutex> hold(mutex_);
    if (pending_.empty()) {
        return write_error_.empty();
    }
    std::vector<write> batch;
    batch.swap(pending_);
    folder_loaded_ = false;  // the rows read may change now
    folder_count_ = 0;
    const bool ok = run_batch(batch);
    inserted_.clear();  // written now: found by path from here on
    return ok;
}

bool record_book::run_batch(std::vector<write>& batch)
{
    if (!write_error_.empty()) {
        return false;  // one failure said; the rest would only repeat it
    }
    if (!writing_ && !open_writer()) {
        return false;
    }
    // The look-ups' read transaction ends here: the batch is written in one of
    // its own, and the next look-up sees it.
    if (sqlite3_get_autocommit(db_) == 0 && !exec(db_, "COMMIT")) {
        write_error_ = sql_error(db_);
        return false;
    }
    if (!exec(db_, "BEGIN IMMEDIATE")) {
        write_error_ = sql_error(db_);
        return false;
    }
    statement insert(db_, "INSERT INTO files (path, size, mtime_ns, inode, audio_hash, frames, verdict, recorded_at) "
                          "VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8) "
                          "ON CONFLICT (path) DO UPDATE SET size = ?2, mtime_ns = ?3, inode = ?4, audio_hash = ?5, "
                          "frames = ?6, verdict = ?7, recorded_at = ?8 RETURNING id");
    statement update(db_, "UPDATE OR REPLACE files SET path = ?1, size = ?2, mtime_ns = ?3, inode = ?4, audio_hash = ?5, "
                          "frames = ?6, verdict = ?7, recorded_at = ?8 WHERE id = ?9");
    bool ok = insert.s != nullptr && update.s != nullptr;
    for (const write& w : batch) {
        if (!ok) {
            break;
        }
        statement& s = w.what == write::kind::insert ? insert : update;
        const record_row& r = w.row;
        sqlite3_reset(s.s);
        s.text(1, r.file.path);
        s.integer(2, r.file.size);
        s.integer(3, r.file.mtime_ns);
        s.integer(4, r.file.inode);
        s.text(5, hex_of(r.hash));
        s.integer(6, r.frames);
        s.text(7, r.verdict);
        s.integer(8, r.recorded_at);
        if (w.what == write::kind::update) {
            s.integer(9, w.id);
        }
        int step = sqlite3_step(s.s);
        if (step == SQLITE_ROW) {  // an insert's row id
            seen(sqlite3_column_int64(s.s, 0));
            step = sqlite3_step(s.s);
        } else if (step == SQLITE_DONE && w.what == write::kind::update) {
            seen(w.id);
        }
        ok = step == SQLITE_DONE;
    }
    if (!ok || !exec(db_, "COMMIT")) {
        write_error_ = sql_error(db_);
        exec(db_, "ROLLBACK");
        return false;
    }
    return true;
}

std::string record_book::write_error() const { return write_error_; }

// Whether every recorded file was checked in this run, so that none can be
// missing: the rows counted (a walk over the table's pages) against the rows
// marked seen. Only while no row can have been deleted: a mark of a deleted
// row would stand in for a row that was never seen.
bool record_book::every_row_seen()
{
    if (rows_may_go_) {
        return false;
    }
    std::int64_t marked = 0;
    for (const std::uint64_t word : seen_) {
        marked += std::popcount(word);
    }
    statement count(db_, "SELECT count(*) FROM files");
    return count.s != nullptr && sqlite3_step(count.s) == SQLITE_ROW && sqlite3_column_int64(count.s, 0) == marked;
}

void record_book::each_missing_under(const std::string& folder, const std::function<void(const missing_file&)>& each)
{
    const std::lock_guard<std::mutex> hold(mutex_);
    std::string from = folder;
    if (from.empty() || from.back() != '/') {
        from += '/';
    }
    if (every_row_seen()) {
        return;
    }
    std::string to = from;
    to.back() = '/' + 1;  // every path that begins with from sorts before this
    // Path and id alone are in the index on paths: the table is read only for
    // the time a missing file was recorded.
    statement q(db_, "SELECT id, path FROM files WHERE path >= ?1 AND path < ?2 ORDER BY path");
    statement when(db_, "SELECT recorded_at FROM files WHERE id = ?1");
    q.text(1, from);
    q.text(2, to);
    while (q.s != nullptr && when.s != nullptr && sqlite3_step(q.s) == SQLITE_ROW) {
        const std::int64_t id = sqlite3_column_int64(q.s, 0);
        if (seen_this_run(id)) {
            continue;  // checked in this run: it is there
        }
        const auto* path = reinterpret_cast<const char*>(sqlite3_column_text(q.s, 1));
        if (path != nullptr && gone(path)) {
            sqlite3_reset(when.s);
            when.integer(1, id);
            const std::int64_t recorded_at = sqlite3_step(when.s) == SQLITE_ROW ? sqlite3_column_int64(when.s, 0) : 0;
            each(missing_file{path, recorded_at});
        }
    }
}

std::string canonical_path(const std::string& name)
{
    const std::size_t slash = name.rfind('/');
    const std::string_view folder = slash == std::string::npos ? std::string_view(".")
                                    : slash == 0                ? std::string_view("/")
                                                                : std::string_view(name).substr(0, slash);
    const std::string_view base = slash == std::string::npos ? std::string_view(name)
                                                             : std::string_view(name).substr(slash + 1);
    // Files come folder by folder: the last folder resolved is kept.
    thread_local std::string last_folder;
    thread_local std::string last_resolved;
    if (folder != last_folder || last_resolved.empty()) {
        char resolved[PATH_MAX];
        if (::realpath(std::string(folder).c_str(), resolved) == nullptr) {
            return "";
        }
        last_folder.assign(folder);
        last_resolved = resolved;
    }
    std::string path;
    path.reserve(last_resolved.size() + 1 + base.size());
    if (last_resolved != "/") {
        path += last_resolved;
    }
    path += '/';
    path += base;
    return path;
}

}  // namespace framelint::record
