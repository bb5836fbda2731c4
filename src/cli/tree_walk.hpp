#pragma once
// Directory walking for -r: the audio files below a directory, in sorted order.

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

namespace framelint::cli {

// A name ending in .mp3, .mp2, .mp1, .mpa or .mpga, in any case.
bool is_audio_file_name(std::string_view name);

// Calls check_file with an open descriptor (closed after the call), the path and
// the size fstat gave, for every regular file below dir (a symbolic link to one included) whose name is
// an audio file name, and skipped with the path and the reason for every
// directory that cannot be read and every entry that is not what its listing
// said when it is opened; goes on after both. Names are taken in byte order, each
// directory's entries are read whole before anything below it.
// The tree may change while it is walked: every entry is opened relative to its
// directory's descriptor, without blocking (a FIFO put in a file's place must not
// hang the walk) and without following a link the listing did not show, and is
// looked at through its descriptor before it is read or walked. So depth is
// limited only by how many descriptors the process may hold (one per level; the
// soft limit is raised to the hard one), not by the length of a path. Symbolic
// links to directories are not followed, and a directory met again below itself
// (a bind mount, say) is not walked twice. check_file returns false to end the
// walk. Returns false when it was ended so.
bool walk_tree(const std::string& dir,
               const std::function<bool(int fd, const std::string& path, std::int64_t size)>& check_file,
               const std::function<void(const std::string& path, std::string_view why)>& skipped);

// An open directory of the walk, closed once the walk and every file handed out
// from it are done with it.
struct walked_directory {
    int fd = -1;
    explicit walked_directory(int open_fd) : fd(open_fd) {}
    ~walked_directory();
    walked_directory(const walked_directory&) = delete;
    walked_directory& operator=(const walked_directory&) = delete;
};

// A file the walk listed and has not opened: opened later, on whichever thread
// checks it, so that the walk itself is only reading directories.
struct listed_file {
    std::shared_ptr<const walked_directory> dir;
    std::string name;  // the entry in dir
    std::string path;  // what it is reported as
    bool through_link = false;  // the listing showed a symbolic link to a file
    bool from_list = false;     // no walk's: a name --files-from gave
};

// A listed file opened as walk_tree() opens it: fd -1 and why when it cannot be
// checked (the entry changed since the listing, say); then the walk would have
// called skipped(path, why).
struct opened_entry {
    int fd = -1;
    std::int64_t size = 0;
    std::string_view why;
};
opened_entry open_listed_file(const listed_file& file);

// walk_tree() that leaves the files unopened: take_file gets each regular file's
// listing, in the same order and with skipped's calls in the same places, and
// returns false to end the walk.
bool walk_tree_unopened(const std::string& dir, const std::function<bool(listed_file&&)>& take_file,
                        const std::function<void(const std::string& path, std::string_view why)>& skipped);

}  // namespace framelint::cli
