#pragma once
// Walks one stream's frames: finds headers, checks every frame's position,
// counts good and bad frames, and reports on the stream when it ends.

#include <span>
#include <string_view>

#include "io/byte_source.hpp"
#include "io/output.hpp"
#include "options/scan_options.hpp"
#include "report/person_report.hpp"
#include "report/json_report.hpp"
#include "scan/scan_state.hpp"

namespace framelint {

// The scan loop alone: from the stream's current position to its end or a stop
// condition. Writes the scanner's messages and, in the copy modes, the stream.
scan_state scan_stream(io::byte_source& in, const scan_options& options, io::output& out, io::output& err);

// The summary (or the JSON line, with what --fix did when repair is given) and
// the ID3v1 step of a stream scanned by scan_stream. True when no frame was bad.
// person: under --summary, the run's report for people, which gets the file's
// line (saying what --fix did, when repair is given).
bool report_stream(scan_state& st, const io::byte_source& in, std::string_view file_label,
                   const scan_options& options, io::output& out, const repair_report* repair = nullptr,
                   person_run* person = nullptr);

// The scan loop, then the summary and the ID3v1 step. True when no frame was bad.
// person: under --summary, the run's report for people, which gets the file's line.
bool scan_file(io::byte_source& in, std::string_view file_label, const scan_options& options, io::output& out,
               io::output& err, person_run* person = nullptr);

// Consumes the rest of an accepted frame (frame is the state's candidate, or for an
// unprotected frame, which the body reader does not change, its kept decode).
// False ends the scan.
// watched: the integrity check's watch is set (c.watch), and sees every byte.
template <bool watched>
bool read_frame_body(scan_context& c, frame_info& frame);

// A body the stream ends inside is a damaged frame: the file was cut short.
// Counts and reports it, unless the input stopped because standard output
// failed (then the frame is not the stream's fault, and the run ends on the
// write error alone); false, which ends the scan.
bool cut_short(scan_context& c);

// A protected frame's body, starting at offset at, that could not be read whole
// (got of size bytes): reported, then cut_short().
bool body_not_read(scan_context& c, std::int64_t at, std::int64_t size, std::uint64_t got);

// Walks the frames ahead for as long as each is plain (where expected, its header
// kept decoded but for the flag bits, whole in the input's buffer; one with a CRC
// word has its CRC-16 checked as the body reader checks it), counting them as the
// scan loop would; true when it walked any. Only for a scan that goes on after
// every frame, copies no frame and dumps none.
// watched: the integrity check's watch is set (c.watch), and is handed every byte.
template <bool watched>
bool walk_known_frames(scan_context& c);

// Consumes an ID3v2 tag whose first four bytes are in header_word.
void skip_id3v2(scan_context& c);

// CRC-16/ARC of the first frame_data_length bytes of body, stored in
// correct_crc16_value; 1 when it equals the stored crc16_value.
int frame_crc16(const std::uint8_t* body, frame_info& frame);

// The CRC-16/ARC of a protected frame's body read whole, against the CRC word
// stored before it: a match is noted ("crc16 check passed."), a mismatch is no
// error. Returns the CRC-16 worked out.
std::uint16_t check_body_crc16(scan_context& c, std::span<const std::uint8_t> body, std::uint16_t stored);

}  // namespace framelint
