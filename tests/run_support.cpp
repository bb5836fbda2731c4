#include "run_support.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <regex>
#include <stdexcept>
#include <vector>

namespace framelint::test {
namespace {

#if defined(__SANITIZE_ADDRESS__)
constexpr bool under_sanitizer = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
constexpr bool under_sanitizer = true;
#else
constexpr bool under_sanitizer = false;
#endif
#else
constexpr bool under_sanitizer = false;
#endif

// Generous: a run that takes this long is stuck, not slow.
constexpr unsigned hang_guard_seconds = 60;

void write_all(int fd, const bytes& data, std::size_t chunk = 0, int pause_ms = 0)
{
    std::size_t done = 0;
    while (done < data.size()) {
        if (done > 0 && pause_ms > 0) {
            ::usleep(static_cast<useconds_t>(pause_ms) * 1000);
        }
        const std::size_t left = data.size() - done;
        const ssize_t put = ::write(fd, data.data() + done, chunk > 0 && chunk < left ? chunk : left);
        if (put < 0 && errno == EINTR) {
            continue;
        }
        if (put <= 0) {
            return;  // the reader went away; what it did not read is its business
        }
        done += static_cast<std::size_t>(put);
    }
}

// A child process that writes data to fd and exits.
pid_t start_writer(int fd, const bytes& data, int other_end, std::size_t chunk, int pause_ms)
{
    const pid_t pid = ::fork();
    if (pid < 0) {
        throw std::runtime_error("fork failed");
    }
    if (pid == 0) {
        ::signal(SIGPIPE, SIG_DFL);
        if (other_end >= 0) {
            ::close(other_end);
        }
        write_all(fd, data, chunk, pause_ms);
        ::_exit(0);
    }
    return pid;
}

void move_fd(int from, int to)
{
    if (from != to) {
        ::dup2(from, to);
        ::close(from);
    }
}

// Removes name below the open directory parent by descriptors, so that a tree
// deeper than a path can name goes too.
void remove_below(int parent, const char* name)
{
    struct stat st {};
    if (::fstatat(parent, name, &st, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISDIR(st.st_mode)) {
        ::unlinkat(parent, name, 0);
        return;
    }
    ::fchmodat(parent, name, 0700, 0);
    const int fd = ::openat(parent, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd >= 0) {
        // The names are read whole, and the listing closed, before going deeper:
        // one listing buffer at a time, one descriptor per level.
        std::vector<std::string> names;
        const int list_fd = ::fcntl(fd, F_DUPFD_CLOEXEC, 0);
        if (DIR* d = list_fd >= 0 ? ::fdopendir(list_fd) : nullptr) {
            while (const dirent* e = ::readdir(d)) {
                const std::string entry = e->d_name;
                if (entry != "." && entry != "..") {
                    names.push_back(entry);
                }
            }
            ::closedir(d);
        }
        for (const std::string& entry : names) {
            remove_below(fd, entry.c_str());
        }
        ::close(fd);
    }
    ::unlinkat(parent, name, AT_REMOVEDIR);
}

void remove_tree(const std::string& dir) { remove_below(AT_FDCWD, dir.c_str()); }

std::string make_temp_dir()
{
    std::string pattern = "/tmp/framelint-test-dir-XXXXXX";
    if (::mkdtemp(pattern.data()) == nullptr) {
        throw std::runtime_error("mkdtemp failed");
    }
    return pattern;
}

const std::regex& cpu_times_tail()
{
    static const std::regex tail("\nUSER_TIME {11}[0-9]+\\.[0-9]{2}s\nSYS_TIME {12}[0-9]+\\.[0-9]{2}s\n$");
    return tail;
}

}  // namespace

std::string program_path() { return FRAMELINT_BINARY; }

bool built_with_sanitizer() { return under_sanitizer; }

run_result run_framelint_as(const launch& how)
{
    const std::string in_path = write_temp_file(how.stdin_data, "stdin");
    const std::string out_path = write_temp_file({}, "stdout");
    const std::string err_path = write_temp_file({}, "stderr");

    int pipe_fds[2] = {-1, -1};
    pid_t writer = -1;
    if (how.stdin_is_pipe) {
        if (::pipe(pipe_fds) != 0) {
            throw std::runtime_error("pipe failed");
        }
        writer = start_writer(pipe_fds[1], how.stdin_data, pipe_fds[0], how.pipe_chunk, how.pipe_pause_ms);
    }

    const pid_t pid = ::fork();
    if (pid == 0) {
        ::signal(SIGPIPE, SIG_DFL);
        if (!how.working_dir.empty() && ::chdir(how.working_dir.c_str()) != 0) {
            ::_exit(126);
        }
        if (how.stdin_is_pipe) {
            ::close(pipe_fds[1]);
            move_fd(pipe_fds[0], 0);
        } else if (how.stdin_fd >= 0) {
            ::dup2(how.stdin_fd, 0);
        } else {
            move_fd(::open(in_path.c_str(), O_RDONLY), 0);
        }
        if (how.stdin_nonblocking) {
            ::fcntl(0, F_SETFL, ::fcntl(0, F_GETFL) | O_NONBLOCK);
        }
        if (how.close_stdin) {
            ::close(0);
        }
        move_fd(::open(err_path.c_str(), O_WRONLY), 2);
        if (how.close_stdout) {
            ::close(1);
        } else {
            move_fd(::open(how.stdout_path.empty() ? out_path.c_str() : how.stdout_path.c_str(), O_WRONLY), 1);
        }
        if ((how.limit_memory || how.address_space > 0) && !under_sanitizer) {
            const rlim_t cap_bytes = how.address_space > 0 ? how.address_space : 256u << 20;
            const rlimit cap{cap_bytes, cap_bytes};
            ::setrlimit(RLIMIT_AS, &cap);
        }
        if (how.file_size_limit > 0) {
            const rlimit cap{how.file_size_limit, how.file_size_limit};
            if (::setrlimit(RLIMIT_FSIZE, &cap) != 0 || ::signal(SIGXFSZ, SIG_IGN) == SIG_ERR) {
                ::_exit(126);
            }
        }
        for (const auto& [name, value] : how.environment) {
            ::setenv(name.c_str(), value.c_str(), 1);
        }
        if (!how.edit_on_link.empty()) {
            ::setenv("FRAMELINT_TEST_EDIT_ON_LINK", how.edit_on_link.c_str(), 1);
        }
        if (how.no_hard_links) {
            ::setenv("FRAMELINT_TEST_NO_HARD_LINKS", "1", 1);
        }
        if (how.no_tmpfile) {
            ::setenv("FRAMELINT_TEST_NO_TMPFILE", "1", 1);
        }
        if (how.read_fault_at >= 0 || how.read_fail_call >= 1 || how.write_fault_at >= 0 || how.write_flip_at >= 0 ||
            !how.edit_on_link.empty() || how.no_hard_links || how.no_tmpfile) {
            const bool reads = how.read_fault_at >= 0 || how.read_fail_call >= 1;
            ::setenv("LD_PRELOAD", reads ? FRAMELINT_READ_FAULT_SHIM : FRAMELINT_WRITE_FAULT_SHIM, 1);
            ::setenv("FRAMELINT_TEST_READ_FAIL_CALL", std::to_string(how.read_fail_call).c_str(), 1);
            ::setenv("FRAMELINT_TEST_READ_FAULT_AT", std::to_string(how.read_fault_at).c_str(), 1);
            ::setenv("FRAMELINT_TEST_WRITE_FAULT_AT", std::to_string(how.write_fault_at).c_str(), 1);
            ::setenv("FRAMELINT_TEST_WRITE_FLIP_AT", std::to_string(how.write_flip_at).c_str(), 1);
            if (under_sanitizer) {
                // The sanitizer runtime wants to be the first library loaded; the
                // shim comes before it, and calls on to it for every real read.
                const char* given = std::getenv("ASAN_OPTIONS");
                const std::string options = given != nullptr && *given != '\0' ? std::string(given) + ":" : "";
                ::setenv("ASAN_OPTIONS", (options + "verify_asan_link_order=0").c_str(), 1);
            }
        }
        ::alarm(hang_guard_seconds);
        exec_framelint(how.args);
    }
    if (how.stdin_is_pipe) {
        ::close(pipe_fds[0]);
        ::close(pipe_fds[1]);
    }
    int status = 0;
    ::waitpid(pid, &status, 0);
    if (writer > 0) {
        ::kill(writer, SIGKILL);  // already gone unless the program left data unread
        ::waitpid(writer, nullptr, 0);
    }
    run_result r;
    r.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    r.out = as_string(read_file(out_path));
    r.err = as_string(read_file(err_path));
    ::unlink(in_path.c_str());
    ::unlink(out_path.c_str());
    ::unlink(err_path.c_str());
    return r;
}

void exec_framelint(const std::vector<std::string>& args)
{
    std::vector<std::string> words;
    words.push_back(program_path());
    words.insert(words.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (std::string& w : words) {
        argv.push_back(w.data());
    }
    argv.push_back(nullptr);
    ::execv(argv[0], argv.data());
    ::_exit(127);
}

run_result run_framelint(const std::vector<std::string>& args, const bytes& stdin_data, const std::string& stdout_path)
{
    launch how;
    how.args = args;
    how.stdin_data = stdin_data;
    how.stdout_path = stdout_path;
    return run_framelint_as(how);
}

fifo_feed::fifo_feed(const bytes& data) : dir_(make_temp_dir()), path_(dir_ + "/feed.mp3")
{
    if (::mkfifo(path_.c_str(), 0600) != 0) {
        throw std::runtime_error("mkfifo failed");
    }
    writer_ = ::fork();
    if (writer_ < 0) {
        throw std::runtime_error("fork failed");
    }
    if (writer_ == 0) {
        ::signal(SIGPIPE, SIG_DFL);
        const int fd = ::open(path_.c_str(), O_WRONLY);  // waits for the reader
        if (fd >= 0) {
            write_all(fd, data);
        }
        ::_exit(0);
    }
}

fifo_feed::~fifo_feed()
{
    if (writer_ > 0) {
        ::kill(writer_, SIGKILL);
        ::waitpid(writer_, nullptr, 0);
    }
    remove_tree(dir_);
}

temp_dir::temp_dir() : path_(make_temp_dir()) {}

temp_dir::~temp_dir() { remove_tree(path_); }

std::string report_value(const std::string& report, const std::string& name)
{
    std::size_t at = 0;
    while (at < report.size()) {
        std::size_t end = report.find('\n', at);
        if (end == std::string::npos) {
            end = report.size();
        }
        const std::string line = report.substr(at, end - at);
        if (line.size() >= 20 && line.compare(0, name.size(), name) == 0 &&
            line.find_first_not_of(' ', name.size()) >= 20) {
            return line.substr(20);
        }
        at = end + 1;
    }
    return "<no " + name + " line>";
}

bool ends_with_cpu_times(const std::string& text) { return std::regex_search(text, cpu_times_tail()); }

std::string without_cpu_times(const std::string& text)
{
    std::smatch m;
    if (std::regex_search(text, m, cpu_times_tail())) {
        return text.substr(0, static_cast<std::size_t>(m.position(0)));
    }
    return text;
}

bytes slice(const bytes& data, std::size_t from, std::size_t to)
{
    return bytes(data.begin() + static_cast<std::ptrdiff_t>(from), data.begin() + static_cast<std::ptrdiff_t>(to));
}

std::string as_string(const bytes& data) { return std::string(data.begin(), data.end()); }

}  // namespace framelint::test
