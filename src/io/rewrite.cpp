#include "io/rewrite.hpp"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <unistd.h>

#include "io/aligned_block.hpp"

namespace framelint::io {
namespace {

constexpr std::size_t copy_block = 128 * 1024;

bool write_all(int fd, const std::uint8_t* bytes, std::size_t n)
{
    while (n > 0) {
        const ssize_t put = ::write(fd, bytes, n);
        if (put < 0) {
            if (errno == EINTR) {
                continue;
            }
            return false;
        }
        if (put == 0) {
            errno = EIO;
            return false;
        }
        bytes += put;
        n -= static_cast<std::size_t>(put);
    }
    return true;
}

bool copy_range(int source_fd, std::int64_t begin, std::int64_t end, int out_fd, std::span<std::uint8_t> block)
{
    while (begin < end) {
        const auto want = static_cast<std::size_t>(std::min<std::int64_t>(end - begin, static_cast<std::int64_t>(block.size())));
        const ssize_t got = ::pread(source_fd, block.data(), want, begin);
        if (got < 0) {
            if (errno == EINTR) {
                continue;
            }
            return false;
        }
        if (got == 0) {
            errno = EIO;  // the file is shorter than when it was checked
            return false;
        }
        if (!write_all(out_fd, block.data(), static_cast<std::size_t>(got))) {
            return false;
        }
        begin += got;
    }
    return true;
}

std::string directory_of(const std::string& path)
{
    const std::size_t slash = path.rfind('/');
    if (slash == std::string::npos) {
        return ".";
    }
    return slash == 0 ? "/" : path.substr(0, slash);
}

std::string failed(const char* what, const std::string& name, int error)
{
    return std::string(what) + " " + name + ": " + std::strerror(error);
}

// Removes the files a failed rewrite made, keeping the errno that made it fail.
struct leftovers {
    std::string temporary;
    std::string backup;

    void remove()
    {
        const int saved = errno;
        if (!temporary.empty()) {
            ::unlink(temporary.c_str());
        }
        if (!backup.empty()) {
            ::unlink(backup.c_str());
        }
        temporary.clear();
        backup.clear();
        errno = saved;
    }
};

bool same_file(const struct stat& a, const struct stat& b)
{
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino && a.st_size == b.st_size &&
           a.st_mtim.tv_sec == b.st_mtim.tv_sec && a.st_mtim.tv_nsec == b.st_mtim.tv_nsec;
}

// A hard link is a backup that costs no space and no copy; where the file
// system has none, the old bytes are copied. Never replaces an existing name.
bool make_backup(const std::string& path, int source_fd, const std::string& backup, std::span<std::uint8_t> block,
                 bool& created)
{
    created = false;
    if (::link(path.c_str(), backup.c_str()) == 0) {
        created = true;
        return true;
    }
    if (errno != EPERM && errno != EXDEV && errno != EOPNOTSUPP && errno != EMLINK && errno != ENOSYS) {
        return false;
    }
    const int fd = ::open(backup.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd < 0) {
        return false;
    }
    created = true;
    struct stat st {};
    const bool ok = ::fstat(source_fd, &st) == 0 && copy_range(source_fd, 0, st.st_size, fd, block) &&
                    ::fchmod(fd, st.st_mode & 07777) == 0 && ::fsync(fd) == 0;
    const int saved = errno;
    const bool closed = ::close(fd) == 0;
    errno = saved;
    return ok && closed;
}

}  // namespace

bool write_pieces(int source_fd, std::span<const rewrite_piece> pieces, int out_fd)
{
    const aligned_block block(copy_block);
    for (const rewrite_piece& p : pieces) {
        const bool ok = p.from_source ? copy_range(source_fd, p.begin, p.end, out_fd, block.bytes())
                                      : write_all(out_fd, p.bytes.data(), p.bytes.size());
        if (!ok) {
            return false;
        }
    }
    return true;
}

std::string resolve_links(const std::string& path)
{
    std::unique_ptr<char, decltype(&std::free)> real(::realpath(path.c_str(), nullptr), &std::free);
    return real ? std::string(real.get()) : std::string();
}

rewrite_outcome rewrite_file(const std::string& path, int source_fd, const struct stat& seen,
                             std::span<const rewrite_piece> pieces, bool backup, const rewrite_vet& vet,
                             const std::function<void(rewrite_step)>& at_step)
{
    rewrite_outcome outcome;
    if (seen.st_nlink > 1) {
        // Writing a new file under one name would split it from its other names.
        outcome.failure = "it has " + std::to_string(seen.st_nlink) + " hard links";
        return outcome;
    }
    const auto changed = [&] {
        struct stat now {};
        struct stat by_name {};
        return ::fstat(source_fd, &now) != 0 || ::stat(path.c_str(), &by_name) != 0 || !same_file(now, seen) ||
               !same_file(by_name, seen);
    };
    if (changed()) {
        outcome.failure = "it changed while it was checked";
        return outcome;
    }

    const std::string dir = directory_of(path);
    leftovers made;
    std::string temporary = dir + "/.framelint-fix-XXXXXX";
    const int fd = ::mkostemp(temporary.data(), O_CLOEXEC);
    if (fd < 0) {
        outcome.failure = failed("cannot create a file in", dir, errno);
        return outcome;
    }
    made.temporary = temporary;
    // The owner first: changing it clears the set-user-ID and set-group-ID bits.
    // Only root may give a file away; anyone else writes files they own already.
    if (::fchown(fd, seen.st_uid, seen.st_gid) != 0 && errno != EPERM) {
        outcome.failure = failed("cannot set the owner of", temporary, errno);
        ::close(fd);
        made.remove();
        return outcome;
    }
    const bool written = ::fchmod(fd, seen.st_mode & 07777) == 0 && write_pieces(source_fd, pieces, fd) &&
                         ::fsync(fd) == 0;
    const int write_error = errno;
    if (written && vet) {
        const std::string objection = vet(fd);
        if (!objection.empty()) {
            ::close(fd);
            outcome.vetoed = true;
            outcome.failure = objection;
            made.remove();
            return outcome;
        }
    }
    // close() can be where a network file system reports a failed write.
    const bool closed = ::close(fd) == 0;
    if (!written || !closed) {
        outcome.failure = failed("cannot write the repaired file", temporary, written ? errno : write_error);
        made.remove();
        return outcome;
    }
    if (at_step) {
        at_step(rewrite_step::temporary_written);
    }
    if (changed()) {
        outcome.failure = "it changed while it was repaired";
        made.remove();
        return outcome;
    }

    if (backup) {
        const aligned_block block(copy_block);
        for (int n = 0;; ++n) {
            const std::string name = path + ".bak" + (n == 0 ? std::string() : "." + std::to_string(n));
            bool created = false;
            if (make_backup(path, source_fd, name, block.bytes(), created)) {
                made.backup = name;
                break;
            }
            if (created) {
                made.backup = name;  // a copy begun and failed: not a backup
            }
            if (errno != EEXIST || n >= 99) {
                outcome.failure = failed("cannot make the backup", name, errno);
                made.remove();
                return outcome;
            }
        }
        if (at_step) {
            at_step(rewrite_step::backup_made);
        }
    }

    if (::rename(made.temporary.c_str(), path.c_str()) != 0) {
        outcome.failure = failed("cannot rename the repaired file to", path, errno);
        made.remove();
        return outcome;
    }
    outcome.done = true;
    outcome.backup = made.backup;
    if (at_step) {
        at_step(rewrite_step::renamed);
    }
    // The rename is lasting only once the directory is on disk too.
    const int dir_fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir_fd >= 0) {
        ::fsync(dir_fd);
        ::close(dir_fd);
    }
    return outcome;
}

}  // namespace framelint::io
