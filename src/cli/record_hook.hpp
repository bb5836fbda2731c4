#pragma once
// --db FILE: the run's record of the collection. Opened once by the driver;
// each file checked is judged against it between its scan and its report, and
// what the record takes from it is written by the driver's thread alone.

#include <string>
#include <vector>

#include "io/byte_source.hpp"
#include "io/output.hpp"
#include "scan/scan_state.hpp"

namespace framelint {
struct person_run;
}

namespace framelint::cli {

// Opens the record for this run; false (after saying why on err) when it
// cannot be used. A read-only record is used for the checks and said once.
bool open_record(const std::string& path, io::output& err);
// Writes what is queued and closes the record; false when a write failed (said on err).
bool close_record(io::output& err);

// A file the scan read whole from in (made on fd), reported as label: judged
// against its record. A finding goes into its problems (and is printed on err,
// as the scanner's findings are).
void consult_record(const io::byte_source& in, int fd, const std::string& label, scan_state& st, io::output& err);
// A file --fix has just rewritten: its record takes the new audio.
void record_repaired(const std::string& path, const audio_digest& hash, std::int64_t frames, bool clean);
// From the driver's thread, now and then: writes a full batch.
void record_commit_due();

// Under --summary with -r: the recorded files under the folders named that are
// gone, each on a line after the files', counted in the run's tally.
void list_missing(const std::vector<std::string>& names, person_run& person, io::output& out);

}  // namespace framelint::cli
