#pragma once
// Helpers shared by the tests: hand-built streams, in-memory scans, and running
// the framelint binary as a user would.

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "options/scan_options.hpp"
#include "scan/scan_state.hpp"

namespace framelint::test {

using bytes = std::vector<std::uint8_t>;

// MPEG-1 Layer III, 128 kbit/s, 44100 Hz, joint stereo, original: 417 bytes.
inline constexpr std::uint32_t l3_128k = 0xFFFB9064u;
// The same, protected by a CRC word.
inline constexpr std::uint32_t l3_128k_crc = 0xFFFA9064u;
// MPEG-1 Layer III, 160 kbit/s: 522 bytes.
inline constexpr std::uint32_t l3_160k = 0xFFFBA064u;
// MPEG-1 Layer III, 320 kbit/s: 1044 bytes.
inline constexpr std::uint32_t l3_320k = 0xFFFBE064u;

// One whole frame: its header, then (when protected) the CRC word given, then
// a body of the decoded length filled with fill (never a sync byte).
bytes frame(std::uint32_t header, std::uint8_t fill = 0x11, std::uint16_t crc = 0);
// A protected frame whose CRC word matches the CRC-16/ARC of its body.
bytes frame_with_good_crc(std::uint32_t header, std::uint8_t fill = 0x11);
bytes repeat(const bytes& piece, int times);
bytes operator+(bytes a, const bytes& b);
bytes text(const std::string& s);
// An ID3v2 tag header declaring size tag bytes, then that many filler bytes.
bytes id3v2_tag(std::uint32_t size, std::uint8_t fill = 0x20);
// A 128-byte ID3v1 trailer.
bytes id3v1_tag_bytes(const std::string& title, const std::string& artist, std::uint8_t track, std::uint8_t genre);

// Switches as a user types them, parsed by the real command-line parser
// (a file name is appended for it).
scan_options options(const std::string& switches);

struct scan_result {
    scan_state state;
    std::string out;
    std::string err;
    bool clean = false;  // what scan_file said
};

// scan_stream on a memory stream (state), and scan_file on it again (out, err, clean).
scan_result scan_memory(const bytes& stream, const scan_options& options, bool as_stdin = false);
// The same through a real regular file, so that bodies are skipped by seeking.
scan_result scan_regular_file(const bytes& stream, const scan_options& options);

struct run_result {
    int status = -1;  // exit status, or 128 + signal
    std::string out;
    std::string err;
};

// Runs the framelint binary with args; stdin_data is fed through a file.
// stdout_path redirects standard output to a given path (such as /dev/full).
run_result run_framelint(const std::vector<std::string>& args, const bytes& stdin_data = {},
                         const std::string& stdout_path = "");

bytes read_file(const std::string& path);
std::string write_temp_file(const bytes& data, const std::string& name_hint = "stream");
std::string fixture(const std::string& name);  // path of a committed fixture

}  // namespace framelint::test
