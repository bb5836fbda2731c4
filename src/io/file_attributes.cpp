#include "io/file_attributes.hpp"

#include <cerrno>
#include <cstring>
#include <sys/xattr.h>
#include <unistd.h>
#include <vector>

namespace framelint::io {

// The owner goes first: changing it clears the set-user-ID bits and file
// capabilities, which the mode and the attributes then put back.
std::string carry_attributes(int source_fd, const struct stat& seen, int target_fd)
{
    if (::fchown(target_fd, seen.st_uid, seen.st_gid) != 0) {
        // Only root may give a file away; anyone else keeps an owner and a
        // group that the new file has already, or refuses.
        const int error = errno;
        struct stat now {};
        if (error != EPERM || ::fstat(target_fd, &now) != 0 || now.st_uid != seen.st_uid ||
            now.st_gid != seen.st_gid) {
            return "cannot keep its owner and group (" + std::to_string(seen.st_uid) + ":" +
                   std::to_string(seen.st_gid) + "): " + std::strerror(error);
        }
    }
    if (::fchmod(target_fd, seen.st_mode & 07777) != 0) {
        return std::string("cannot keep its mode: ") + std::strerror(errno);
    }
    ssize_t listed = ::flistxattr(source_fd, nullptr, 0);
    if (listed < 0) {
        return errno == ENOTSUP ? "" : std::string("cannot list its extended attributes: ") + std::strerror(errno);
    }
    std::vector<char> names(static_cast<std::size_t>(listed));
    listed = ::flistxattr(source_fd, names.data(), names.size());
    if (listed < 0) {
        return std::string("cannot list its extended attributes: ") + std::strerror(errno);
    }
    std::vector<char> value;
    for (std::size_t at = 0; at < static_cast<std::size_t>(listed);) {
        const char* name = names.data() + at;
        at += std::strlen(name) + 1;
        ssize_t size = ::fgetxattr(source_fd, name, nullptr, 0);
        if (size >= 0) {
            value.resize(static_cast<std::size_t>(size));
            size = ::fgetxattr(source_fd, name, value.data(), value.size());
        }
        if (size < 0 || ::fsetxattr(target_fd, name, value.data(), static_cast<std::size_t>(size), 0) != 0) {
            return std::string("cannot keep its extended attribute ") + name + ": " + std::strerror(errno);
        }
    }
    return "";
}

bool set_times(int fd, const struct stat& seen)
{
    const struct timespec times[2] = {seen.st_atim, seen.st_mtim};
    return ::futimens(fd, times) == 0;
}

}  // namespace framelint::io
