#pragma once
// --fix: each file is checked as -c checks it, and what can be repaired is
// repaired in place (or, for standard input, written to standard output).

#include <cstdint>
#include <span>
#include <string>

#include "cli/driver.hpp"
#include "cli/switches.hpp"
#include "io/output.hpp"
#include "options/scan_options.hpp"

namespace framelint::cli {

// --fix - : standard output carries the stream, and no report.
inline bool fixes_standard_input(const parsed_command_line& command)
{
    return command.options.fix_in_place && command.files.size() == 1 && command.files[0] == "-";
}

// Checks and repairs one named file; false once standard output broke.
// session: under --summary, the run whose line the file gets (what was
// repaired, or why not) in place of --fix's own line.
bool fix_named(const std::string& name, const scan_options& options, std::span<std::uint8_t> buffer,
               files_outcome& outcome, io::output& out, io::output& err, person_session* session = nullptr);

// Checks standard input and writes it, repaired where it can be, to standard
// output; false once standard output broke.
bool fix_standard_input(const scan_options& options, std::span<std::uint8_t> buffer, files_outcome& outcome,
                        io::output& out, io::output& err);

}  // namespace framelint::cli
