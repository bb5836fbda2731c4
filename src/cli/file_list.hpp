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

private:
    bool fill();

    int fd_;
    char separator_;
    std::vector<char> buffer_;
    std::size_t begin_ = 0;  // the unread bytes of buffer_ are [begin_, end_)
    std::size_t end_ = 0;
    bool at_end_ = false;
    int error_ = 0;
};

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
