#pragma once
// Directory walking for -r: the audio files below a directory, in sorted order.

#include <functional>
#include <string>
#include <string_view>

namespace framelint::cli {

// A name ending in .mp3, .mp2, .mp1, .mpa or .mpga, in any case.
bool is_audio_file_name(std::string_view name);

// Calls check_file with an open descriptor (closed after the call) and the path
// for every regular file below dir (a symbolic link to one included) whose name is
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
bool walk_tree(const std::string& dir, const std::function<bool(int fd, const std::string& path)>& check_file,
               const std::function<void(const std::string& path, std::string_view why)>& skipped);

}  // namespace framelint::cli
