#pragma once
// --files-from: names to check read from a file or standard input, one a line
// or, with --null, each ended by a NUL byte (as find -print0 writes them). The
// list is read as it is checked, so a long find starts being checked at once.

#include <optional>
#include <string>
#include <vector>

namespace framelint::cli {

class name_list {
public:
    // Reads from fd, which the list does not close.
    name_list(int fd, bool null_separated);

    // The next name, or nothing at the list's end or on a read error (error()
    // then tells). Empty names (blank lines, two separators in a row) are
    // passed over; a last name without its separator still counts. A name is
    // taken byte for byte: blanks and a carriage return are part of it.
    std::optional<std::string> next();

    // errno of the read that failed, or 0.
    int error() const { return error_; }

    // Why the list was ended before its end, when not by a read error: a list
    // that holds NUL bytes though it is read line by line (find -print0 wrote
    // it, and --null was left out), a name longer than any path, or a run of
    // separators with no name that has no end in sight (/dev/zero, say). Each
    // keeps the memory the list takes bounded.
    enum class fault { none, nul_without_null, name_too_long, endless_separators };
    fault broken() const { return fault_; }

private:
    bool fill();

    int fd_;
    char separator_;
    std::vector<char> buffer_;
    std::size_t begin_ = 0;  // the unread bytes of buffer_ are [begin_, end_)
    std::size_t end_ = 0;
    bool at_end_ = false;
    int error_ = 0;
    fault fault_ = fault::none;
    std::size_t empty_run_ = 0;  // separators in a row with no name between them
};

// The message for a list that was ended early (by a read error or a fault).
std::string list_error_message(const std::string& list_name, const name_list& list);

// The names of the command line, then those of the list when there is one.
class name_source {
public:
    name_source(const std::vector<std::string>& named, name_list* list) : named_(named), list_(list) {}

    std::optional<std::string> next()
    {
        if (index_ < named_.size()) {
            return named_[index_++];
        }
        return list_ != nullptr ? list_->next() : std::nullopt;
    }

private:
    const std::vector<std::string>& named_;
    std::size_t index_ = 0;
    name_list* list_;
};

}  // namespace framelint::cli
