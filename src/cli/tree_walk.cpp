#include "cli/tree_walk.hpp"

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>
#include <vector>

namespace framelint::cli {
namespace {

constexpr std::array<std::string_view, 5> audio_extensions = {".mp3", ".mp2", ".mp1", ".mpa", ".mpga"};

char lower(char ch) { return ch >= 'A' && ch <= 'Z' ? static_cast<char>(ch - 'A' + 'a') : ch; }

bool ends_with_folded(std::string_view name, std::string_view suffix)
{
    if (name.size() < suffix.size()) {
        return false;
    }
    const std::string_view tail = name.substr(name.size() - suffix.size());
    return std::equal(tail.begin(), tail.end(), suffix.begin(), [](char a, char b) { return lower(a) == b; });
}

enum class entry_type { other, file, linked_file, directory };

struct entry {
    std::string name;
    entry_type type;
};

// What an entry of the directory dir_fd is: a directory only as itself (links to
// directories are not followed), a file as itself or through a symbolic link. The
// entry's type from the directory spares a stat where it is known; a link, or a
// file system that does not say, is looked at.
entry_type type_of(int dir_fd, const char* name, unsigned char d_type)
{
    switch (d_type) {
    case DT_DIR: return entry_type::directory;
    case DT_REG: return entry_type::file;
    case DT_LNK:
    case DT_UNKNOWN: break;
    default: return entry_type::other;
    }
    struct stat st {};
    if (fstatat(dir_fd, name, &st, AT_SYMLINK_NOFOLLOW) != 0) {
        return entry_type::other;
    }
    if (S_ISDIR(st.st_mode)) {
        return entry_type::directory;
    }
    if (S_ISREG(st.st_mode)) {
        return entry_type::file;
    }
    if (S_ISLNK(st.st_mode) && fstatat(dir_fd, name, &st, 0) == 0 && S_ISREG(st.st_mode)) {
        return entry_type::linked_file;
    }
    return entry_type::other;  // a dangling link, a link to a directory, a device, a FIFO
}

// One level deeper costs one descriptor: allow as many as the system lets us.
void allow_all_descriptors()
{
    struct rlimit limit {};
    if (getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max) {
        limit.rlim_cur = limit.rlim_max;
        setrlimit(RLIMIT_NOFILE, &limit);
    }
}

// Opens the entry name of dir_fd without blocking and, unless the listing showed
// a link to a file there, without following a link; then looks at it through its
// descriptor, since the entry may have been replaced after the listing.
opened_entry open_entry(int dir_fd, const char* name, bool through_link)
{
    const int flags = O_RDONLY | O_NONBLOCK | O_CLOEXEC | (through_link ? 0 : O_NOFOLLOW);
    opened_entry result;
    const int fd = openat(dir_fd, name, flags);
    if (fd < 0) {
        result.why = std::strerror(errno);
        return result;
    }
    struct stat st {};
    if (fstat(fd, &st) != 0) {
        result.why = std::strerror(errno);
    } else if (S_ISDIR(st.st_mode)) {
        result.why = std::strerror(EISDIR);
    } else if (!S_ISREG(st.st_mode)) {
        result.why = "Not a regular file";
    } else {
        result.fd = fd;
        result.size = st.st_size;
        return result;
    }
    ::close(fd);
    return result;
}

struct walker {
    walker(const std::function<bool(int, const std::string&, std::int64_t)>* check, const std::function<bool(listed_file&&)>* take,
           const std::function<void(const std::string&, std::string_view)>& skip)
        : check_file(check), take_file(take), skipped(skip)
    {
    }

    // One of the two is set: the walk opens each file and hands check_file its
    // descriptor, or hands take_file the listing alone.
    const std::function<bool(int, const std::string&, std::int64_t)>* check_file;
    const std::function<bool(listed_file&&)>* take_file;
    const std::function<void(const std::string&, std::string_view)>& skipped;
    // Called before each directory below the top is opened, when set.
    const std::function<void()>* before_opening_directory = nullptr;
    std::vector<std::pair<dev_t, ino_t>> path_dirs;  // the directories from the top down to this one

    void cannot(const std::string& path, int error) { skipped(path, std::strerror(error)); }

    // Reads the interesting entries of the open directory dir_fd whole; false
    // when it cannot be read. dir_fd stays open, for opening the entries.
    bool read_entries(int dir_fd, const std::string& dir, std::vector<entry>& entries)
    {
        // The listing gets a descriptor of its own: closedir closes it, and its
        // buffer goes with it before anything below is walked.
        const int list_fd = fcntl(dir_fd, F_DUPFD_CLOEXEC, 0);
        DIR* d = list_fd >= 0 ? fdopendir(list_fd) : nullptr;
        if (d == nullptr) {
            cannot(dir, errno);
            if (list_fd >= 0) {
                ::close(list_fd);
            }
            return false;
        }
        errno = 0;
        while (const dirent* e = readdir(d)) {
            const std::string name = e->d_name;
            if (name == "." || name == "..") {
                continue;
            }
            const entry_type type = type_of(dir_fd, e->d_name, e->d_type);
            if (type == entry_type::directory ||
                ((type == entry_type::file || type == entry_type::linked_file) && is_audio_file_name(name))) {
                entries.push_back({name, type});
            }
            errno = 0;
        }
        const int read_error = errno;
        closedir(d);
        if (read_error != 0) {
            cannot(dir, read_error);
        }
        std::sort(entries.begin(), entries.end(), [](const entry& a, const entry& b) { return a.name < b.name; });
        return true;
    }

    // Checks the file listed as e in dir, if it still is a regular file.
    bool check(const std::shared_ptr<const walked_directory>& dir, const entry& e, std::string&& path)
    {
        const bool through_link = e.type == entry_type::linked_file;
        if (take_file != nullptr) {
            return (*take_file)(listed_file{dir, e.name, std::move(path), through_link});
        }
        const opened_entry file = open_entry(dir->fd, e.name.c_str(), through_link);
        if (file.fd < 0) {
            skipped(path, file.why);
            return true;
        }
        const bool go_on = (*check_file)(file.fd, path, file.size);
        ::close(file.fd);
        return go_on;
    }

    // A directory being walked: its entries, read whole, and the next one to take.
    struct level {
        std::shared_ptr<const walked_directory> handle;
        std::vector<entry> entries;
        std::size_t next = 0;
        std::size_t path_size = 0;  // its path is the first path_size bytes of here
    };
    // The directories from the top down to the one being walked: a loop, not a
    // recursion, so that no depth the file system allows runs out of stack, and
    // one path string for all of them, so that memory grows with the depth alone.
    std::vector<level> levels;
    std::string here;  // the path of the entry being walked

    // Starts walking the open directory dir_fd, whose path is here; it is
    // closed once no file handed out from it needs it.
    void enter(int dir_fd)
    {
        auto handle = std::make_shared<const walked_directory>(dir_fd);
        struct stat st {};
        if (fstat(dir_fd, &st) != 0) {
            cannot(here, errno);
            return;
        }
        const std::pair<dev_t, ino_t> id{st.st_dev, st.st_ino};
        if (std::find(path_dirs.begin(), path_dirs.end(), id) != path_dirs.end()) {
            return;  // already being walked further up
        }
        std::vector<entry> entries;
        if (!read_entries(dir_fd, here, entries)) {
            return;
        }
        path_dirs.push_back(id);
        levels.push_back({std::move(handle), std::move(entries), 0, here.size()});
    }

    bool walk_top(const std::string& dir)
    {
        allow_all_descriptors();
        here = dir;
        // Named by the user: a link to it is followed.
        const int fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_NONBLOCK | O_CLOEXEC);
        if (fd < 0) {
            cannot(dir, errno);
            return true;
        }
        enter(fd);
        while (!levels.empty()) {
            level& top = levels.back();
            if (top.next == top.entries.size()) {
                levels.pop_back();
                path_dirs.pop_back();
                continue;
            }
            const entry e = std::move(top.entries[top.next++]);
            here.resize(top.path_size);
            if (here.empty() || here.back() != '/') {
                here += '/';
            }
            here += e.name;
            if (e.type != entry_type::directory) {
                if (!check(top.handle, e, std::string(here))) {
                    return false;
                }
                continue;
            }
            if (before_opening_directory != nullptr) {
                (*before_opening_directory)();
            }
            const int sub = openat(top.handle->fd, e.name.c_str(),
                                   O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
            if (sub < 0) {
                cannot(here, errno);
                continue;
            }
            enter(sub);  // top is not to be used from here on
        }
        return true;
    }
};

std::atomic<int> directories_open{0};

}  // namespace

bool is_audio_file_name(std::string_view name)
{
    return std::any_of(audio_extensions.begin(), audio_extensions.end(),
                       [&](std::string_view ext) { return ends_with_folded(name, ext); });
}

walked_directory::walked_directory(int open_fd) : fd(open_fd) { directories_open.fetch_add(1); }

walked_directory::~walked_directory()
{
    if (fd >= 0) {
        ::close(fd);
    }
    directories_open.fetch_sub(1);
}

int walked_directory::open_now() { return directories_open.load(std::memory_order_relaxed); }

opened_entry open_listed_file(const listed_file& file)
{
    return open_entry(file.dir->fd, file.name.c_str(), file.through_link);
}

bool walk_tree(const std::string& dir,
               const std::function<bool(int, const std::string&, std::int64_t)>& check_file,
               const std::function<void(const std::string&, std::string_view)>& skipped)
{
    walker w{&check_file, nullptr, skipped};
    return w.walk_top(dir);
}

bool walk_tree_unopened(const std::string& dir, const std::function<bool(listed_file&&)>& take_file,
                        const std::function<void(const std::string&, std::string_view)>& skipped,
                        const std::function<void()>& before_opening_directory)
{
    walker w{nullptr, &take_file, skipped};
    if (before_opening_directory) {
        w.before_opening_directory = &before_opening_directory;
    }
    return w.walk_top(dir);
}

}  // namespace framelint::cli
