#pragma once
// Everything the switches decide. Filled once before the first file, then only read
// by every layer below the command line; it lives here so that none of them has to
// look up into the driver for it.

#include <cstdint>
#include <optional>

namespace framelint {

struct scan_options {
    bool check_all = false;      // -a: after every accepted frame the scan goes on
    bool byte_search = false;    // -b: the byte budget and the continuation test
    bool id3v2_error = false;    // -e: an ID3v2 tag counts as a bad frame
    bool fix_stream = false;     // -sf: repair mode
    bool id3_tag = false;        // -i: keep the tail, report the ID3v1 tag
    bool one_line = false;       // -p
    bool min_run_set = false;    // -q
    bool to_stdout = false;      // -s, -ss, -sf
    bool super_silent = false;   // -ss
    bool verbose = false;        // -v, -vv
    bool very_verbose = false;   // -vv
    bool integrity = false;      // -c: frame CRCs, encoder tags, junk and tags at the ends
    bool json_lines = false;     // --json: one JSON object per stream instead of the text reports
    bool recursive = false;      // -r, --recursive: directories named are walked for audio files
    bool person_report = false;  // --summary: one line per file that is not clean, and a tally
    bool person_all = false;     // --summary=all: clean files get their line too
    bool person_offsets = false; // --summary=offsets: each finding says where it is
    bool fix_in_place = false;   // --fix: checked as with -c, then repaired in place
    bool no_backup = false;      // --no-backup: --fix keeps no FILE.bak
    bool keep_times = false;     // --keep-times: --fix keeps a repaired file's access and modification times
    bool add_xing = false;       // --add-xing: --fix gives a clean VBR stream without one a Xing header
    // Under -c: the audio frames are hashed (--json shows the hash, --db keeps
    // it). Reading every audio byte costs more than the rest of -c on a stream
    // without a music CRC, so nothing else pays for it.
    bool hash_audio = false;

    // -b's number. Empty is "no budget": the budget never ends the scan, and the
    // scan stops right after the first accepted frame.
    std::optional<std::int64_t> byte_count;
    std::int64_t min_frames = 2;  // -q, only read while min_run_set
};

// Standard output carries only records (JSON lines or the lines for people),
// standard error only errors: the scanner's warnings and notes are left out.
constexpr bool records_only(const scan_options& o) { return o.json_lines || o.person_report; }

// Copy-out of frame bodies: -s and -sf, not -ss.
constexpr bool copies_bodies(const scan_options& o)
{
    return !o.super_silent && (o.to_stdout || o.fix_stream);
}

// Plain copy (-s): every consumed byte goes out as it is read.
constexpr bool passes_bytes_through(const scan_options& o)
{
    return o.to_stdout && !o.super_silent && !o.fix_stream;
}

// Repair (-sf): accepted frames go out whole.
constexpr bool writes_repaired_frames(const scan_options& o)
{
    return o.to_stdout && o.fix_stream && !o.super_silent;
}

}  // namespace framelint
