#include "io/rewrite.hpp"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <cstdio>
#include <memory>
#include <random>
#include <string_view>
#include <unistd.h>
#include <xxhash.h>

#include "io/aligned_block.hpp"
#include "io/file_attributes.hpp"

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

// An unnamed file in dir (O_TMPFILE): nothing of it outlives the process
// until it is linked in. -1 with errno set where the file system has none.
int unnamed_file(const std::string& dir)
{
    return ::open(dir.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
}

// Gives an unnamed file a name in its directory; never replaces one.
bool name_unnamed(int fd, const std::string& name)
{
    const std::string self = "/proc/self/fd/" + std::to_string(fd);
    return ::linkat(AT_FDCWD, self.c_str(), AT_FDCWD, name.c_str(), AT_SYMLINK_FOLLOW) == 0;
}

// A name for the new version beside the file, likely free (linkat() says
// whether it is): made up, never created, so nothing is left under it.
std::string temporary_name(const std::string& dir)
{
    static std::mt19937_64 random{std::random_device{}() ^ static_cast<std::uint64_t>(::getpid())};
    char suffix[17];
    std::snprintf(suffix, sizeof suffix, "%016llx", static_cast<unsigned long long>(random()));
    return dir + "/.framelint-fix-" + suffix;
}

// A hard link is a backup that costs no space and no copy; where the file
// system has none, the old bytes are copied, with all the file carries and
// its times, unnamed until whole where the file system allows. Never replaces
// an existing name. created: a name was made (to remove should this fail).
std::string make_backup(const std::string& path, int source_fd, const struct stat& seen, const std::string& backup,
                        std::span<std::uint8_t> block, bool& created)
{
    created = false;
    if (::link(path.c_str(), backup.c_str()) == 0) {
        created = true;
        return "";
    }
    if (errno != EPERM && errno != EXDEV && errno != EOPNOTSUPP && errno != EMLINK && errno != ENOSYS) {
        return failed("cannot make the backup", backup, errno);
    }
    int fd = unnamed_file(directory_of(backup));
    const bool unnamed = fd >= 0;
    if (!unnamed) {
        fd = ::open(backup.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
        if (fd < 0) {
            return failed("cannot make the backup", backup, errno);
        }
        created = true;
    }
    std::string why;
    if (!copy_range(source_fd, 0, seen.st_size, fd, block)) {
        why = failed("cannot make the backup", backup, errno);
    } else if (const std::string carried = carry_attributes(source_fd, seen, fd); !carried.empty()) {
        why = "cannot make the backup " + backup + ": " + carried;
    } else if (!set_times(fd, seen) || ::fsync(fd) != 0) {
        why = failed("cannot make the backup", backup, errno);
    } else if (unnamed) {
        if (name_unnamed(fd, backup)) {
            created = true;
        } else {
            why = failed("cannot make the backup", backup, errno);
        }
    }
    const int saved = errno;
    if (::close(fd) != 0 && why.empty()) {
        why = failed("cannot make the backup", backup, errno);
    }
    errno = saved;
    return why;
}

// The name under which a second hard link of the file is its own backup (left
// by a rewrite stopped between its backup and its rename); "" when none is.
std::string own_backup(const std::string& path, const struct stat& seen)
{
    if (seen.st_nlink != 2) {
        return "";
    }
    for (int n = 0; n < 100; ++n) {
        const std::string name = backup_name(path, n);
        struct stat st {};
        if (::lstat(name.c_str(), &st) != 0) {
            if (errno == ENOENT) {
                continue;
            }
            return "";
        }
        if (st.st_dev == seen.st_dev && st.st_ino == seen.st_ino) {
            return name;
        }
    }
    return "";
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

std::optional<std::uint64_t> content_digest(int fd)
{
    // XXH3 over the whole content: for telling one version of a file from
    // another, not for standing up to someone who wants them to look alike.
    const aligned_block block(copy_block * 8);
    const std::span<std::uint8_t> bytes = block.bytes();
    const std::unique_ptr<XXH3_state_t, decltype(&XXH3_freeState)> state(XXH3_createState(), &XXH3_freeState);
    if (state == nullptr || XXH3_64bits_reset(state.get()) != XXH_OK) {
        return std::nullopt;
    }
    for (std::int64_t at = 0;;) {
        const ssize_t got = ::pread(fd, bytes.data(), bytes.size(), at);
        if (got < 0) {
            if (errno == EINTR) {
                continue;
            }
            return std::nullopt;
        }
        if (got == 0) {
            return XXH3_64bits_digest(state.get());
        }
        XXH3_64bits_update(state.get(), bytes.data(), static_cast<std::size_t>(got));
        at += got;
    }
}

std::string backup_name(const std::string& path, int n)
{
    const std::string suffix = ".bak" + (n == 0 ? std::string() : "." + std::to_string(n));
    const std::size_t slash = path.rfind('/');
    const std::string dir = slash == std::string::npos ? "" : path.substr(0, slash + 1);
    std::string base = slash == std::string::npos ? path : path.substr(slash + 1);
    long most = ::pathconf(dir.empty() ? "." : dir.c_str(), _PC_NAME_MAX);
    if (most <= 0) {
        most = NAME_MAX;
    }
    const auto room = static_cast<std::size_t>(most) > suffix.size() ? static_cast<std::size_t>(most) - suffix.size() : 1;
    if (base.size() > room) {
        std::size_t cut = room;
        while (cut > 1 && (static_cast<unsigned char>(base[cut]) & 0xC0u) == 0x80u) {
            --cut;  // a UTF-8 continuation byte: cut before its character
        }
        base.resize(cut);
    }
    return dir + base + suffix;
}

rewrite_outcome rewrite_file(const std::string& path, int source_fd, const struct stat& seen,
                             std::span<const rewrite_piece> pieces, bool backup, const rewrite_vet& vet,
                             const std::function<void(rewrite_step)>& at_step, const rewrite_care& care)
{
    rewrite_outcome outcome;
    const std::string earlier_backup = own_backup(path, seen);
    if (seen.st_nlink > 1 && earlier_backup.empty()) {
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
    // Unnamed where the file system allows: a kill before it is named leaves
    // nothing behind. Else a hidden name, removed on every failure.
    int fd = unnamed_file(dir);
    const bool unnamed = fd >= 0;
    if (!unnamed) {
        std::string temporary = dir + "/.framelint-fix-XXXXXX";
        fd = ::mkostemp(temporary.data(), O_CLOEXEC);
        if (fd < 0) {
            outcome.failure = failed("cannot create a file in", dir, errno);
            return outcome;
        }
        made.temporary = temporary;
    }
    const auto give_up = [&](std::string why) {
        ::close(fd);
        made.remove();
        outcome.failure = std::move(why);
        return outcome;
    };
    if (const std::string carried = carry_attributes(source_fd, seen, fd); !carried.empty()) {
        return give_up(carried);
    }
    const std::string shown = unnamed ? "in " + dir : made.temporary;
    if (!write_pieces(source_fd, pieces, fd) || ::fsync(fd) != 0) {
        return give_up(failed("cannot write the repaired file", shown, errno));
    }
    if (vet) {
        if (std::string objection = vet(fd); !objection.empty()) {
            outcome.vetoed = true;
            return give_up(std::move(objection));
        }
    }
    // After the vet, whose reading may have moved the access time.
    if (care.keep_times && (!set_times(fd, seen) || ::fsync(fd) != 0)) {
        return give_up(failed("cannot keep the times of", path, errno));
    }
    if (!unnamed) {
        // close() can be where a network file system reports a failed write.
        const bool closed = ::close(fd) == 0;
        fd = -1;
        if (!closed) {
            made.remove();
            outcome.failure = failed("cannot write the repaired file", shown, errno);
            return outcome;
        }
    }
    const auto close_fd = [&] {
        if (fd >= 0) {
            ::close(fd);
            fd = -1;
        }
    };
    const auto stop = [&](std::string why) {
        close_fd();
        made.remove();
        outcome.failure = std::move(why);
        return outcome;
    };
    if (at_step) {
        at_step(rewrite_step::temporary_written);
    }
    if (changed()) {
        return stop("it changed while it was repaired");
    }

    std::string backup_made = earlier_backup;
    if (backup && backup_made.empty()) {
        const aligned_block block(copy_block);
        for (int n = 0;; ++n) {
            const std::string name = backup_name(path, n);
            bool created = false;
            const std::string why = make_backup(path, source_fd, seen, name, block.bytes(), created);
            if (why.empty()) {
                made.backup = name;
                backup_made = name;
                break;
            }
            if (created) {
                made.backup = name;  // a copy begun and failed: not a backup
            }
            if (errno != EEXIST || n >= 99) {
                return stop(why);
            }
        }
        if (at_step) {
            at_step(rewrite_step::backup_made);
        }
    }

    // The last look before the rename: the same file, and, where its content
    // was taken down, the same bytes.
    if (changed()) {
        return stop("it changed while it was repaired");
    }
    if (care.digest && content_digest(source_fd) != care.digest) {
        return stop("another program changed it while it was repaired (its content is not what was checked); "
                    "it is left as that program made it");
    }
    if (unnamed) {
        std::string name;
        for (int tries = 0; tries < 100 && name.empty(); ++tries) {
            name = temporary_name(dir);
            if (!name_unnamed(fd, name)) {
                const bool taken = errno == EEXIST;
                name.clear();
                if (!taken) {
                    break;
                }
            }
        }
        if (name.empty()) {
            return stop(failed("cannot name the repaired file in", dir, errno));
        }
        made.temporary = name;
    }
    if (::rename(made.temporary.c_str(), path.c_str()) != 0) {
        return stop(failed("cannot rename the repaired file to", path, errno));
    }
    close_fd();
    if (care.keep_times) {
        // The old file, now the backup, was read: its access time goes back too.
        set_times(source_fd, seen);
    }
    outcome.done = true;
    outcome.backup = backup_made;
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
