#pragma once
// What a file carries beside its bytes (owner and group, mode, extended
// attributes, which hold POSIX ACLs too, and times), given to another file
// that is to take its place.

#include <string>
#include <sys/stat.h>

namespace framelint::io {

// Gives target_fd what the file seen (open at source_fd) carries beside its
// bytes: owner and group, mode, and every extended attribute. "" when done,
// else why not, in plain words. An owner or group that cannot be given (not
// root) is a failure unless target_fd has them already.
std::string carry_attributes(int source_fd, const struct stat& seen, int target_fd);

// Sets fd's access and modification times to those seen; false with errno.
bool set_times(int fd, const struct stat& seen);

}  // namespace framelint::io
