#pragma once
// Replacing a file by a new version of itself made of pieces: stretches of the
// file as it is, and new bytes between them. Nothing here knows what the bytes
// mean. The new version is written beside the file, unnamed where the file
// system allows (so that a kill leaves nothing behind), given the file's owner,
// mode and extended attributes (ACLs among them), flushed to disk, and only
// then named and renamed over it, so that at any moment the name holds either
// the old file or the new one whole; every failure before the rename leaves
// the file as it was, with no temporary file or backup behind.

#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <sys/stat.h>
#include <vector>

namespace framelint::io {

// One piece of the new version: the source's bytes [begin, end), or, when
// from_source is false, the bytes given.
struct rewrite_piece {
    bool from_source = true;
    std::int64_t begin = 0;
    std::int64_t end = 0;
    std::vector<std::uint8_t> bytes;

    std::int64_t size() const { return from_source ? end - begin : static_cast<std::int64_t>(bytes.size()); }
};

// The moments between the steps of a rewrite, for tests that stop the process
// there (the writer calls the hook, which may never return).
enum class rewrite_step { temporary_written, backup_made, renamed };

struct rewrite_outcome {
    bool done = false;
    bool vetoed = false;  // the vet turned the new version down (failure says why)
    std::string backup;  // the backup's path, when one was made
    // When not done: what went wrong, in plain words (with strerror where a
    // system call failed), and the file is untouched.
    std::string failure;
};

// Writes the pieces, read from source_fd (pread: its offset is left alone), to
// out_fd in order. False with errno set when a read or a write failed, or the
// source ended before a piece did (EIO).
bool write_pieces(int source_fd, std::span<const rewrite_piece> pieces, int out_fd);

// The file a path names once symbolic links are followed; "" with errno set
// when it cannot be resolved.
std::string resolve_links(const std::string& path);

// Looks at the new version, open at fd, before it replaces anything: "" to go
// on, else why not.
using rewrite_vet = std::function<std::string(int fd)>;

// A digest of a file's whole content as read through fd (pread: its offset is
// left alone); nothing when it cannot be read. Two equal digests mean, but
// for a chance of 2^-64, the same bytes.
std::optional<std::uint64_t> content_digest(int fd);

// What else a rewrite looks after.
struct rewrite_care {
    // The new version gets the old one's access and modification times.
    bool keep_times = false;
    // The file's content_digest() from before its bytes were first read: just
    // before the rename the file must still have it, so that an edit by
    // another program is never thrown away, even one that keeps the size and
    // the modification time (file systems with whole-second times).
    std::optional<std::uint64_t> digest;
};

// The name of the n-th backup of path: path + ".bak", then ".bak.1", ... .
// Where that is longer than the directory allows a name to be, the file's
// own name is shortened (never inside a UTF-8 character) to make room.
std::string backup_name(const std::string& path, int n);

// Replaces path, which source_fd has open, by the pieces. seen is what fstat()
// said of source_fd before its bytes were read: if the file now differs from it
// (another name, size or modification time), or it has another hard link, it
// is refused; but a second name that is the file's own backup (a rewrite
// killed between the backup and the rename) is taken as that backup. With
// backup the old file stays as backup_name(path, 0) (or, when that name is
// taken, the next free one; an existing file is never replaced), with the
// file's owner, mode, extended attributes and times. An owner or group that
// cannot be kept (not root), or an extended attribute that cannot be copied,
// refuses the rewrite. path must name the file itself, not a symbolic link.
rewrite_outcome rewrite_file(const std::string& path, int source_fd, const struct stat& seen,
                             std::span<const rewrite_piece> pieces, bool backup, const rewrite_vet& vet = {},
                             const std::function<void(rewrite_step)>& at_step = {}, const rewrite_care& care = {});

}  // namespace framelint::io
