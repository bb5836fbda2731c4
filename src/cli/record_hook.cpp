#include "cli/record_hook.hpp"

#include <climits>
#include <cstdlib>
#include <ctime>
#include <memory>
#include <sys/stat.h>

#include "record/record_book.hpp"
#include "report/integrity_findings.hpp"
#include "report/person_report.hpp"

namespace framelint::cli {
namespace {

// The run's record: one per process, opened before the first file.
std::unique_ptr<record::record_book> book;

std::int64_t seconds_now() { return static_cast<std::int64_t>(std::time(nullptr)); }

// The file as the scan found it: its stamp from before the first byte was
// read. What the record takes from a check is then never newer than the audio
// hashed: a program that wrote the file during the check left a later time,
// which the next check sees as a rewrite, never as damage.
bool identity_of(const io::byte_source& in, int fd, const std::string& label, record::file_identity& id)
{
    const std::optional<io::file_stamp>& stamp = in.opened_stamp();
    if (fd < 0 || !stamp) {
        return false;
    }
    id.path = record::canonical_path(label);
    id.size = stamp->size;
    id.mtime_ns = stamp->mtime_ns;
    id.inode = stamp->inode;
    return !id.path.empty();
}

// Whether the file behind fd is no longer as id found it before the scan.
bool written_since(int fd, const record::file_identity& id)
{
    struct stat st {};
    if (::fstat(fd, &st) != 0) {
        return true;  // unknown: damage is not said on a guess
    }
    return st.st_size != id.size ||
           static_cast<std::int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec != id.mtime_ns;
}

}  // namespace

bool open_record(const std::string& path, io::output& err)
{
    record::record_book::opened opened = record::record_book::open(path);
    if (!opened.book) {
        err.print("%s\n", opened.error.c_str());
        return false;
    }
    if (opened.read_only) {
        err.print("framelint: %s is read-only: files are checked against it, but nothing is recorded\n", path.c_str());
    }
    book = std::move(opened.book);
    return true;
}

bool close_record(io::output& err)
{
    if (!book) {
        return true;
    }
    const bool written = book->read_only() || book->commit();
    if (!written) {
        err.print("framelint: the record could not be written: %s\n", book->write_error().c_str());
    }
    book.reset();
    return written;
}

void consult_record(const io::byte_source& in, int fd, const std::string& label, scan_state& st, io::output& err)
{
    record::file_identity id;
    if (!book || !st.audio_sum || !identity_of(in, fd, label, id)) {
        return;
    }
    const std::string verdict = st.counters.bad_frames > 0 ? "damaged" : "clean";
    const std::int64_t now = seconds_now();
    record::judgement j = book->check(id, *st.audio_sum, st.audio.frames(), verdict, now);
    if (j.what == record::finding::audio_changed && written_since(fd, id)) {
        // A program wrote the file while it was being checked: what was hashed
        // is its work, not bit rot. (Asked only here: a system call more for
        // every file would cost a run over small files several per cent.)
        book->rewritten(id, *st.audio_sum, st.audio.frames(), verdict, now);
        j.what = record::finding::audio_rewritten;
    }
    if (j.what == record::finding::audio_changed) {
        const problem p{problem_kind::audio_changed, true, 0, {j.recorded_at, 0, 0}};
        ++st.counters.bad_frames;
        st.problems.add_never_omitted(p);
        print_finding(p, err);
    } else if (j.what == record::finding::audio_rewritten) {
        const problem p{problem_kind::audio_rewritten, false, 0, {j.recorded_at, 0, 0}};
        st.problems.add_never_omitted(p);
        print_finding(p, err);
    }
}

void record_repaired(const std::string& path, const audio_digest& hash, std::int64_t frames, bool clean)
{
    struct stat st {};
    if (!book || ::stat(path.c_str(), &st) != 0) {
        return;
    }
    record::file_identity id;
    id.path = record::canonical_path(path);
    id.size = st.st_size;
    id.mtime_ns = static_cast<std::int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
    id.inode = static_cast<std::int64_t>(st.st_ino);
    if (!id.path.empty()) {
        book->rewritten(id, hash, frames, clean ? "clean" : "damaged", seconds_now());
    }
}

void record_commit_due()
{
    if (book) {
        book->commit_due();
    }
}

void list_missing(const std::vector<std::string>& names, person_run& person, io::output& out)
{
    if (!book) {
        return;
    }
    book->commit();  // files moved in this run are found under their new paths
    for (const std::string& name : names) {
        struct stat st {};
        if (::stat(name.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
            continue;
        }
        char resolved[PATH_MAX];
        if (::realpath(name.c_str(), resolved) == nullptr) {
            continue;
        }
        const std::string folder = resolved;
        book->each_missing_under(folder, [&](const record::missing_file& gone) {
            ++person.tally.missing;
            // Named as the folder was named, as the files' lines are.
            const std::string shown =
                (name.ends_with('/') ? name : name + "/") + gone.path.substr(folder == "/" ? 1 : folder.size() + 1);
            const std::string line = missing_line(shown, gone.recorded_at);
            out.write(line.data(), line.size());
        });
    }
}

}  // namespace framelint::cli
