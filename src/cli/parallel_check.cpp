#include "cli/parallel_check.hpp"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <fcntl.h>
#include <map>
#include <mutex>
#include <new>
#include <optional>
#include <sched.h>
#include <sys/stat.h>
#include <system_error>
#include <thread>
#include <unistd.h>

#include "cli/file_list.hpp"
#include "cli/person_session.hpp"
#include "cli/tree_walk.hpp"

namespace framelint::cli {
namespace {

void add_outcome(files_outcome& into, const files_outcome& from)
{
    into.stdout_failed = into.stdout_failed || from.stdout_failed;
    into.unreadable = into.unreadable || from.unreadable;
    into.bad_frames = into.bad_frames || from.bad_frames;
}

// A "-" in a list is refused rather than read as standard input: the list may be
// standard input itself, and a list is there to name files.
constexpr const char* dash_in_list =
    "framelint: - cannot be named in a --files-from list (for a file called -, write ./-)\n";

std::string list_error_message(const std::string& list_name, int error)
{
    return "framelint: --files-from " + list_name + ": " + std::strerror(error) + "\n";
}

// One file's output as the plain run would have written it: its writes to
// standard output and standard error, each whole, in order.
struct transcript {
    struct piece {
        bool to_stdout;
        std::size_t size;
    };
    std::string bytes;
    std::vector<piece> pieces;

    void add(bool to_stdout, const std::uint8_t* data, std::size_t n)
    {
        bytes.append(reinterpret_cast<const char*>(data), n);
        pieces.push_back({to_stdout, n});
    }
};

// Writes the files' transcripts in the order the files were named. Whoever
// finishes a file while no one is writing takes the writer's part and writes
// every finished transcript that is next in order; only that thread touches the
// real outputs. Standard output that follows standard output, from one file or
// the next, goes out in one write: the bytes and their order among the messages
// are the plain run's, and a failed write stops the run at the same byte.
class ordered_writer {
public:
    // hold_stdout: standard output is no terminal, so nobody watches it file by
    // file; what is kept back waits for more (up to pending_bytes, or the end of
    // the run) instead of going out whenever the next file is not finished yet.
    ordered_writer(io::output& out, io::output& err, std::size_t window, bool hold_stdout)
        : out_(out), err_(err), window_(window), hold_stdout_(hold_stdout)
    {
    }

    // Standard output kept back to be written with what follows it, at most.
    static constexpr std::size_t pending_bytes = 64 * 1024;

    // A number for the next file; nothing once standard output has failed.
    // While window files are named but not written, the naming thread does
    // help() (checks a named file itself: true) rather than sleep, so that as
    // many threads are busy as --jobs says, and no wake-up is needed; with
    // nothing to help with, it waits.
    template <typename Help>
    std::optional<std::uint64_t> reserve(Help&& help)
    {
        std::unique_lock lock(mutex_);
        while (!failed_ && issued_ - next_ >= window_) {
            lock.unlock();
            const bool helped = help();
            lock.lock();
            if (!helped && !failed_ && issued_ - next_ >= window_) {
                // Every file named is being checked, or waits for one that is:
                // woken once three quarters of the window are written, not after
                // every file (a wake-up per file cost as much as checking a small file).
                producer_waiting_ = true;
                room_.wait(lock, [&] { return failed_ || room_again(); });
                producer_waiting_ = false;
            }
        }
        if (failed_) {
            return std::nullopt;
        }
        return issued_++;
    }

    // File seq is done: its transcript is written when its turn comes.
    void finish(std::uint64_t seq, transcript&& text, const files_outcome& outcome)
    {
        std::unique_lock lock(mutex_);
        add_outcome(outcome_, outcome);
        done_.emplace(seq, std::move(text));
        if (!writing_) {
            writing_ = true;
            drain(lock);
        }
    }

    // File seq has more output than may be kept: waits for its turn, writes what
    // it has, and keeps the writer's part so that the rest goes straight out
    // (write_live()) until finish_live(). Returns what a write to standard output
    // returns (0, or the errno that ended the run).
    int go_live(std::uint64_t seq, transcript& text)
    {
        {
            std::unique_lock lock(mutex_);
            ++turn_waiters_;
            turn_.wait(lock, [&] { return failed_ || (next_ == seq && !writing_); });
            --turn_waiters_;
            if (failed_) {
                return stdout_error_;
            }
            writing_ = true;
        }
        replay(text);
        send_pending();
        text = {};
        return failed_ ? stdout_error_.load() : 0;
    }

    // Straight out: go_live() left nothing kept back.
    int write_live(bool to_stdout, const std::uint8_t* data, std::size_t n)
    {
        if (to_stdout) {
            send_stdout(data, n);
        } else if (!failed_) {
            err_.write_through(data, n);
        }
        return to_stdout && failed_ ? stdout_error_.load() : 0;
    }

    void finish_live(const files_outcome& outcome)
    {
        std::unique_lock lock(mutex_);
        add_outcome(outcome_, outcome);
        ++next_;
        drain(lock);
    }

    // At the end of the run, once no thread writes any more.
    void send_held() { send_pending(); }

    // Ends the run early (out of memory): nothing more is named or written.
    void abandon()
    {
        std::unique_lock lock(mutex_);
        failed_ = true;
        wake_waiters();
    }

    bool failed() const { return failed_; }

    files_outcome outcome()
    {
        std::unique_lock lock(mutex_);
        files_outcome result = outcome_;
        result.stdout_failed = result.stdout_failed || stdout_error_ != 0;
        return result;
    }

private:
    bool room_again() const { return issued_ - next_ <= window_ / 4; }

    // With the writer's part: writes every finished transcript next in order,
    // then gives the part up (with nothing kept back, unless hold_stdout).
    void drain(std::unique_lock<std::mutex>& lock)
    {
        for (;;) {
            const auto next = done_.find(next_);
            if (next == done_.end()) {
                if (pending_.empty() || hold_stdout_) {
                    break;
                }
                // Nothing more to join it now: out it goes, and whatever was
                // finished meanwhile is looked for again.
                lock.unlock();
                send_pending();
                lock.lock();
                continue;
            }
            const transcript text = std::move(next->second);
            done_.erase(next);
            if (!failed_) {
                lock.unlock();
                replay(text);
                lock.lock();
            }
            ++next_;
            wake_waiters();
        }
        writing_ = false;
        wake_waiters();
    }

    // With the lock held, after next_, writing_ or failed_ changed.
    void wake_waiters()
    {
        if (producer_waiting_ && (failed_ || room_again())) {
            room_.notify_one();
        }
        if (turn_waiters_ > 0) {
            turn_.notify_all();
        }
    }

    void replay(const transcript& text)
    {
        std::size_t at = 0;
        for (const transcript::piece& piece : text.pieces) {
            if (failed_) {
                return;
            }
            write_piece(piece.to_stdout, reinterpret_cast<const std::uint8_t*>(text.bytes.data()) + at, piece.size);
            at += piece.size;
        }
    }

    // Standard output joins what is kept back; a message goes out after it.
    void write_piece(bool to_stdout, const std::uint8_t* data, std::size_t n)
    {
        if (!to_stdout) {
            send_pending();
            if (!failed_) {
                err_.write_through(data, n);
            }
            return;
        }
        if (pending_.size() + n > pending_bytes) {
            send_pending();
            if (n > pending_bytes) {
                send_stdout(data, n);
                return;
            }
        }
        pending_.append(reinterpret_cast<const char*>(data), n);
    }

    void send_pending()
    {
        if (!pending_.empty()) {
            send_stdout(reinterpret_cast<const std::uint8_t*>(pending_.data()), pending_.size());
            pending_.clear();
        }
    }

    // A failed write to standard output ends the run with the plain run's message.
    void send_stdout(const std::uint8_t* data, std::size_t n)
    {
        if (failed_) {
            return;
        }
        out_.write_through(data, n);
        if (out_.failed()) {
            stdout_error_ = out_.error();
            err_.print("framelint: stdout %s\n", std::strerror(out_.error()));
            failed_ = true;
        }
    }

    io::output& out_;
    io::output& err_;
    const std::size_t window_;
    const bool hold_stdout_;
    std::mutex mutex_;
    std::condition_variable room_;  // the producer waits for files to be written
    std::condition_variable turn_;  // a file with too much output waits for its turn
    bool producer_waiting_ = false;
    int turn_waiters_ = 0;
    std::uint64_t issued_ = 0;  // numbers handed out
    std::uint64_t next_ = 0;    // the first file not written yet
    bool writing_ = false;      // a thread has the writer's part
    std::map<std::uint64_t, transcript> done_;
    std::string pending_;  // standard output kept back; only with the writer's part
    files_outcome outcome_;
    // Set only with the writer's part; read by anyone.
    std::atomic<bool> failed_{false};
    std::atomic<int> stdout_error_{0};
};

// A file to check: one the walk of -r listed (file.dir set), which the worker
// opens itself, so that the walking thread only reads directories and no
// descriptor passes from one thread to another; or one named (file.path).
struct job {
    std::uint64_t seq;
    listed_file file;
};

class job_queue {
public:
    void push(job&& j)
    {
        {
            std::lock_guard lock(mutex_);
            jobs_.push_back(std::move(j));
        }
        ready_.notify_one();
    }

    // The next job, if there is one now.
    std::optional<job> try_take()
    {
        std::lock_guard lock(mutex_);
        if (jobs_.empty()) {
            return std::nullopt;
        }
        job j = std::move(jobs_.front());
        jobs_.pop_front();
        return j;
    }

    // The next job, or nothing once the queue is closed and empty.
    std::optional<job> take()
    {
        std::unique_lock lock(mutex_);
        ready_.wait(lock, [&] { return closed_ || !jobs_.empty(); });
        if (jobs_.empty()) {
            return std::nullopt;
        }
        job j = std::move(jobs_.front());
        jobs_.pop_front();
        return j;
    }

    void close()
    {
        {
            std::lock_guard lock(mutex_);
            closed_ = true;
        }
        ready_.notify_all();
    }

private:
    std::mutex mutex_;
    std::condition_variable ready_;
    std::deque<job> jobs_;
    bool closed_ = false;
};

// One thread's checking: its own read buffer and input way, and outputs that
// keep the current file's writes as its transcript.
class worker final {
public:
    // person: the style of --summary's lines, when it is on. Each worker counts
    // its own files; the run adds the counts up once every worker has stopped.
    worker(ordered_writer& writer, const scan_options& options, const person_style* person)
        : writer_(writer), options_(options)
    {
        if (person != nullptr) {
            person_.emplace();
            person_->style = *person;
        }
        state_.person = person_ ? &*person_ : nullptr;
    }

    worker(const worker&) = delete;
    worker& operator=(const worker&) = delete;

    const person_tally* tally() const { return person_ ? &person_->tally : nullptr; }

    void run(job_queue& queue)
    {
        for (std::optional<job> j = queue.take(); j; j = queue.take()) {
            check_job(*j);
        }
    }

    void check_job(const job& j)
    {
        seq_ = j.seq;
        text_ = {};
        // One allocation for the usual file's few hundred bytes, not one each
        // time the string doubles.
        text_.bytes.reserve(1024);
        live_ = false;
        files_outcome outcome;
        if (!writer_.failed()) {
            outcome = check(j.file, out_, err_, state_);
            out_.flush();
            err_.flush();
        }
        if (live_) {
            writer_.finish_live(outcome);
        } else {
            writer_.finish(seq_, std::move(text_), outcome);
        }
    }

private:
    files_outcome check(const listed_file& file, io::output& out, io::output& err, file_loop_state& state)
    {
        if (file.dir == nullptr) {
            state.listed = file.from_list;
            return check_files({file.path}, options_, out, err, state);
        }
        const opened_entry opened = open_listed_file(file);
        if (opened.fd < 0) {
            // What the walk says of an entry that is no longer what it listed.
            err.print("framelint: %s %.*s\n", file.path.c_str(), static_cast<int>(opened.why.size()),
                      opened.why.data());
            files_outcome outcome;
            outcome.unreadable = true;
            return outcome;
        }
        const files_outcome outcome = check_opened_file(opened.fd, file.path, opened.size, options_, out, err, state);
        ::close(opened.fd);
        return outcome;
    }

    class sink final : public io::output_sink {
    public:
        sink(worker& w, bool to_stdout) : worker_(w), to_stdout_(to_stdout) {}
        int take(const std::uint8_t* bytes, std::size_t n) override { return worker_.take(to_stdout_, bytes, n); }

    private:
        worker& worker_;
        bool to_stdout_;
    };

    int take(bool to_stdout, const std::uint8_t* bytes, std::size_t n)
    {
        if (live_) {
            return writer_.write_live(to_stdout, bytes, n);
        }
        text_.add(to_stdout, bytes, n);
        if (text_.bytes.size() <= kept_output_bytes) {
            return 0;
        }
        live_ = true;
        const int error = writer_.go_live(seq_, text_);
        return to_stdout ? error : 0;  // standard error's failures end nothing, as in the plain run
    }

    ordered_writer& writer_;
    const scan_options& options_;
    std::optional<person_run> person_;
    file_loop_state state_;
    sink to_out_{*this, true};
    sink to_err_{*this, false};
    // As the plain run's: standard output buffered, each message out at once.
    io::output out_{to_out_, false};
    io::output err_{to_err_, true};
    std::uint64_t seq_ = 0;
    transcript text_;
    bool live_ = false;
};

// Names the files to the workers in order; a message of the naming itself (a
// directory -r cannot read, a bad name in the list) takes its place in the
// order as a file of its own would.
class parallel_run {
public:
    parallel_run(const scan_options& options, unsigned jobs, io::output& out, io::output& err,
                 person_run* person)
        : options_(options), writer_(out, err, files_ahead(jobs), ::isatty(STDOUT_FILENO) == 0), person_(person)
    {
        // The naming thread is one of the jobs: it checks files too, when it is
        // ahead (see reserve()), with workers_[0].
        workers_.reserve(jobs);
        threads_.reserve(jobs - 1);
        for (unsigned i = 0; i < jobs; ++i) {
            workers_.push_back(std::make_unique<worker>(writer_, options_, person != nullptr ? &person->style : nullptr));
            if (i == 0) {
                continue;
            }
            worker* w = workers_.back().get();
            try {
                threads_.emplace_back([this, w] {
                    try {
                        w->run(queue_);
                    } catch (const std::bad_alloc&) {
                        out_of_memory_ = true;
                        writer_.abandon();
                        // Keep taking jobs so that the run can end; none is checked now.
                        while (queue_.take()) {
                        }
                    }
                });
            } catch (const std::system_error&) {
                if (threads_.empty()) {
                    throw;  // the caller checks one file after another instead
                }
                break;  // fewer threads than asked (a limit on processes, or on memory)
            }
        }
    }

    ~parallel_run() { stop(); }

    parallel_run(const parallel_run&) = delete;
    parallel_run& operator=(const parallel_run&) = delete;

    // False once standard output has failed: nothing more is checked.
    // listed: the name came from --files-from.
    bool check(const std::string& name, bool listed = false)
    {
        const std::optional<std::uint64_t> seq = reserve();
        if (!seq) {
            return false;
        }
        queue_.push({*seq, listed_file{nullptr, {}, name, false, listed}});
        return true;
    }

    // A file the walk listed; false as check().
    bool check_listed(listed_file&& file)
    {
        const std::optional<std::uint64_t> seq = reserve();
        if (!seq) {
            return false;
        }
        queue_.push({*seq, std::move(file)});
        return true;
    }

    // A message on standard error in the place of a file; false as check().
    bool say(const std::string& message, bool unreadable)
    {
        const std::optional<std::uint64_t> seq = reserve();
        if (!seq) {
            return false;
        }
        transcript text;
        text.add(false, reinterpret_cast<const std::uint8_t*>(message.data()), message.size());
        files_outcome outcome;
        outcome.unreadable = unreadable;
        writer_.finish(*seq, std::move(text), outcome);
        return true;
    }

    // Waits for every file named to be checked and written.
    files_outcome finish()
    {
        // Everything is named: the naming thread checks what is left beside the others.
        while (!out_of_memory_ && help()) {
        }
        stop();
        if (out_of_memory_) {
            throw std::bad_alloc();
        }
        writer_.send_held();
        if (person_ != nullptr) {
            for (const auto& w : workers_) {
                person_->tally.merge(*w->tally());
            }
        }
        return writer_.outcome();
    }

private:
    std::optional<std::uint64_t> reserve()
    {
        return writer_.reserve([this] { return help(); });
    }

    // The naming thread checks the next named file, if there is one.
    bool help()
    {
        const std::optional<job> j = queue_.try_take();
        if (!j) {
            return false;
        }
        try {
            workers_.front()->check_job(*j);
        } catch (const std::bad_alloc&) {
            out_of_memory_ = true;
            writer_.abandon();  // reserve() says nothing more is named; finish() throws
        }
        return true;
    }

    void stop()
    {
        queue_.close();
        for (std::thread& t : threads_) {
            if (t.joinable()) {
                t.join();
            }
        }
    }

    const scan_options& options_;
    ordered_writer writer_;
    job_queue queue_;
    std::vector<std::unique_ptr<worker>> workers_;
    std::vector<std::thread> threads_;
    std::atomic<bool> out_of_memory_{false};
    person_run* person_;  // under --summary: the run's tally, the workers' counts added at the end
};

files_outcome check_in_parallel(const parsed_command_line& command, name_list* list, unsigned jobs,
                                io::output& out, io::output& err, person_session* session)
{
    parallel_run run(command.options, jobs, out, err, session != nullptr ? &session->run : nullptr);
    // Everything is a file checked or a message in its place, so that a
    // directory's files and its errors keep the plain run's order.
    const auto take_file = [&](listed_file&& file) { return run.check_listed(std::move(file)); };
    const auto cannot_open = [&](const std::string& path, std::string_view why) {
        run.say("framelint: " + path + " " + std::string(why) + "\n", true);
    };
    name_source names(command.files, list);
    const std::size_t named = command.files.size();
    std::size_t index = 0;
    bool go_on = true;
    for (std::optional<std::string> name = names.next(); go_on && name; name = names.next(), ++index) {
        struct stat st {};
        if (index >= named && *name == "-") {
            go_on = run.say(dash_in_list, true);
        } else if (command.options.recursive && ::stat(name->c_str(), &st) == 0 && S_ISDIR(st.st_mode)) {
            go_on = walk_tree_unopened(*name, take_file, cannot_open);
        } else {
            go_on = run.check(*name, index >= named);
        }
    }
    if (go_on && list != nullptr && list->error() != 0) {
        run.say(list_error_message(*command.files_from, list->error()), true);
    }
    return run.finish();
}

// One file after another: the command line's names as the plain run checks
// them, then the list's.
files_outcome check_one_by_one(const parsed_command_line& command, name_list* list, io::output& out,
                               io::output& err, person_session* session)
{
    file_loop_state state;
    state.session = session;
    state.person = session != nullptr ? &session->run : nullptr;
    files_outcome outcome = check_files(command.files, command.options, out, err, state);
    state.listed = true;
    while (list != nullptr && !outcome.stdout_failed) {
        const std::optional<std::string> name = list->next();
        if (!name) {
            break;
        }
        if (*name == "-") {
            err.print("%s", dash_in_list);
            outcome.unreadable = true;
            continue;
        }
        add_outcome(outcome, check_files({*name}, command.options, out, err, state));
    }
    if (list != nullptr && !outcome.stdout_failed && list->error() != 0) {
        err.print("%s", list_error_message(*command.files_from, list->error()).c_str());
        outcome.unreadable = true;
    }
    return outcome;
}

}  // namespace

unsigned usable_cores()
{
    cpu_set_t set;
    CPU_ZERO(&set);
    if (::sched_getaffinity(0, sizeof set, &set) == 0 && CPU_COUNT(&set) > 0) {
        return static_cast<unsigned>(CPU_COUNT(&set));
    }
    const unsigned reported = std::thread::hardware_concurrency();
    return reported > 0 ? reported : 1;
}

files_outcome check_all_files(const parsed_command_line& command, io::output& out, io::output& err,
                              person_session* session)
{
    unsigned jobs = command.jobs.value_or(1);
    if (jobs == 0) {
        jobs = std::min(usable_cores(), max_jobs);
    }
    if (!command.files_from && jobs == 1) {
        return check_files(command.files, command.options, out, err, session);
    }
    std::optional<name_list> list;
    int list_fd = -1;
    if (command.files_from) {
        list_fd = *command.files_from == "-" ? STDIN_FILENO : ::open(command.files_from->c_str(), O_RDONLY | O_CLOEXEC);
        if (list_fd < 0) {
            // Nothing is checked: the run was asked for the list's files too.
            err.print("%s", list_error_message(*command.files_from, errno).c_str());
            files_outcome outcome;
            outcome.unreadable = true;
            return outcome;
        }
        list.emplace(list_fd, command.null_separated);
    }
    name_list* names = list ? &*list : nullptr;
    files_outcome outcome;
    try {
        try {
            outcome = jobs == 1 ? check_one_by_one(command, names, out, err, session)
                                : check_in_parallel(command, names, jobs, out, err, session);
        } catch (const std::system_error&) {
            // Not one thread could be started; nothing was checked yet.
            outcome = check_one_by_one(command, names, out, err, session);
        }
    } catch (...) {
        if (list_fd > STDIN_FILENO) {
            ::close(list_fd);
        }
        throw;
    }
    if (list_fd > STDIN_FILENO) {
        ::close(list_fd);
    }
    return outcome;
}

}  // namespace framelint::cli
