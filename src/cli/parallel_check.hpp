#pragma once
// Where the files to check come from (the command line, --files-from) and how
// many are checked at once (--jobs). Checked side by side, files still report
// in the order they were named: each file's writes to standard output and
// standard error are kept, in order, until every file before it has been
// written, and then written as the plain run would have written them.

#include "cli/driver.hpp"
#include "cli/switches.hpp"

namespace framelint::cli {

// Every file the command names, on the command line and in its list, with as
// many at once as --jobs says. Without --files-from and --jobs this is
// check_files() on the command line's names.
// session: the run's report for people, under --summary.
files_outcome check_all_files(const parsed_command_line& command, io::output& out, io::output& err,
                              person_session* session = nullptr);

// How many files --jobs without a number checks at once: the processors this
// process may run on.
unsigned usable_cores();

// A finished file's output is kept in memory up to this many bytes; a file that
// writes more waits for its turn and then writes the rest straight out.
constexpr std::size_t kept_output_bytes = 256 * 1024;

// How many files may be named to the workers ahead of the first one whose
// output is not written yet (at most this many outputs are kept). Room enough
// that a long file does not leave the other workers idle behind it at once, and
// that the naming thread sleeps through dozens of small files at a time.
constexpr std::size_t files_ahead(unsigned jobs) { return 16 * static_cast<std::size_t>(jobs) + 16; }

}  // namespace framelint::cli
