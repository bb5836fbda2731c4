#pragma once
// Directory walking for -r: the audio files below a directory, in sorted order.

#include <functional>
#include <string>
#include <string_view>

namespace framelint::cli {

// A name ending in .mp3, .mp2, .mp1, .mpa or .mpga, in any case.
bool is_audio_file_name(std::string_view name);

// Calls check_file for every regular file below dir (a symbolic link to one
// included) whose name is an audio file name, and cannot_open with the path and
// errno for every directory that cannot be read; goes on after both. Names are
// taken in byte order, each directory's entries are read whole before anything
// below it, so only one directory is open at a time; symbolic links to
// directories are not followed, and a directory met again below itself (a bind
// mount, say) is not walked twice. check_file returns false to end the walk.
// Returns false when it was ended so.
bool walk_tree(const std::string& dir, const std::function<bool(const std::string&)>& check_file,
               const std::function<void(const std::string&, int)>& cannot_open);

}  // namespace framelint::cli
