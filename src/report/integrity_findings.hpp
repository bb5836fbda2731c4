#pragma once
// The integrity check's findings as warnings on standard error, in the manner of
// the scanner's own: a leading newline, the offset in hex and as "BYTE n", what
// the stream says and what it holds.

#include "io/output.hpp"
#include "problems/problem.hpp"

namespace framelint {

// Prints a problem of one of the integrity check's kinds (nothing for others).
void print_finding(const problem& p, io::output& err);

}  // namespace framelint
