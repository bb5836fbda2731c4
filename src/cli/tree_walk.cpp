#include "cli/tree_walk.hpp"

#include <algorithm>
#include <array>
#include <cerrno>
#include <dirent.h>
#include <sys/stat.h>
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

enum class entry_type { other, file, directory };

struct entry {
    std::string name;
    entry_type type;
};

std::string join(const std::string& dir, const std::string& name)
{
    return !dir.empty() && dir.back() == '/' ? dir + name : dir + "/" + name;
}

// What an entry is: a directory only as itself (links to directories are not
// followed), a file as itself or through a symbolic link. The entry's type from
// the directory spares a stat where it is known; a link, or a file system that
// does not say, is looked at.
entry_type type_of(const std::string& path, unsigned char d_type)
{
    switch (d_type) {
    case DT_DIR: return entry_type::directory;
    case DT_REG: return entry_type::file;
    case DT_LNK:
    case DT_UNKNOWN: break;
    default: return entry_type::other;
    }
    struct stat st {};
    if (lstat(path.c_str(), &st) != 0) {
        return entry_type::other;
    }
    if (S_ISDIR(st.st_mode)) {
        return entry_type::directory;
    }
    if (S_ISLNK(st.st_mode) && stat(path.c_str(), &st) != 0) {
        return entry_type::other;  // a dangling link
    }
    return S_ISREG(st.st_mode) ? entry_type::file : entry_type::other;
}

struct walker {
    const std::function<bool(const std::string&)>& check_file;
    const std::function<void(const std::string&, int)>& cannot_open;
    std::vector<std::pair<dev_t, ino_t>> path_dirs;  // the directories from the top down to this one

    // Reads a directory's interesting entries whole and closes it; false when it
    // cannot be read.
    bool read_entries(const std::string& dir, std::vector<entry>& entries)
    {
        DIR* d = opendir(dir.c_str());
        if (d == nullptr) {
            cannot_open(dir, errno);
            return false;
        }
        errno = 0;
        while (const dirent* e = readdir(d)) {
            const std::string name = e->d_name;
            if (name == "." || name == "..") {
                continue;
            }
            const entry_type type = type_of(join(dir, name), e->d_type);
            if (type == entry_type::directory || (type == entry_type::file && is_audio_file_name(name))) {
                entries.push_back({name, type});
            }
            errno = 0;
        }
        const int read_error = errno;
        closedir(d);
        if (read_error != 0) {
            cannot_open(dir, read_error);
        }
        std::sort(entries.begin(), entries.end(), [](const entry& a, const entry& b) { return a.name < b.name; });
        return true;
    }

    bool walk(const std::string& dir)
    {
        struct stat st {};
        if (stat(dir.c_str(), &st) == 0) {
            const std::pair<dev_t, ino_t> id{st.st_dev, st.st_ino};
            if (std::find(path_dirs.begin(), path_dirs.end(), id) != path_dirs.end()) {
                return true;  // already being walked further up
            }
            path_dirs.push_back(id);
        } else {
            path_dirs.emplace_back();  // opendir will say what is wrong
        }
        std::vector<entry> entries;
        bool go_on = true;
        if (read_entries(dir, entries)) {
            for (const entry& e : entries) {
                const std::string path = join(dir, e.name);
                go_on = e.type == entry_type::directory ? walk(path) : check_file(path);
                if (!go_on) {
                    break;
                }
            }
        }
        path_dirs.pop_back();
        return go_on;
    }
};

}  // namespace

bool is_audio_file_name(std::string_view name)
{
    return std::any_of(audio_extensions.begin(), audio_extensions.end(),
                       [&](std::string_view ext) { return ends_with_folded(name, ext); });
}

bool walk_tree(const std::string& dir, const std::function<bool(const std::string&)>& check_file,
               const std::function<void(const std::string&, int)>& cannot_open)
{
    walker w{check_file, cannot_open, {}};
    return w.walk(dir);
}

}  // namespace framelint::cli
