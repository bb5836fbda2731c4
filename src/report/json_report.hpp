#pragma once
// --json: one JSON object per stream, on one line (JSON Lines), in place of the
// summary and the ID3v1 lines.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "checksum/audio_hash.hpp"
#include "id3v1/id3v1_tag.hpp"
#include "io/output.hpp"
#include "problems/problem.hpp"
#include "report/summary.hpp"
#include "stream/stream_layout.hpp"

namespace framelint {

// What --fix did with a stream, as the report prints it.
struct repair_entry {
    std::string name;  // machine-readable: the kind of change
    std::string text;  // the same in plain words
    std::int64_t count = 0;
};
struct repair_report {
    // "clean", "repaired", "playable_incomplete", "xing_added" (--add-xing),
    // "not_repaired" or "failed"
    std::string outcome;
    std::string reason;   // not repaired or failed: why
    std::string backup;   // repaired: the backup's path ("" without one)
    std::vector<repair_entry> repairs;
    // playable_incomplete: the play time kept, and the whole's (0: unknown;
    // estimated: worked out from a byte count).
    double kept_seconds = 0;
    double whole_seconds = 0;
    bool whole_estimated = false;

    bool rewritten() const { return outcome == "repaired" || outcome == "playable_incomplete"; }
};

struct stream_facts {
    const summary_facts& summary;
    const problem_list& problems;
    const id3v1_tag* id3v1 = nullptr;  // with -i: the tag looked for (has_tag says if found)
    // -c: each problem says whether it is damage or a notice (without -c the
    // lines stay as they always were).
    bool with_severity = false;
    const repair_report* repair = nullptr;  // with --fix
    std::optional<audio_digest> audio_hash;  // -c: the audio frames' hash, when the whole stream was read
    // -c: what the stream was found made of; a problem inside the audio gets
    // the play time where it is heard beside its offset.
    const stream_layout* layout = nullptr;
};

void report_json(const stream_facts& facts, std::string_view file_label, io::output& out);

}  // namespace framelint
