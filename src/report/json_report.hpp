#pragma once
// --json: one JSON object per stream, on one line (JSON Lines), in place of the
// summary and the ID3v1 lines.

#include <cstddef>
#include <cstdint>
#include <iterator>
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
// What --fix made of a stream. The names are what --json prints (never change
// once released); the table is checked below to follow the enum's order.
enum class repair_outcome : std::uint8_t {
    clean,                // nothing to repair: the file is left as it was
    repaired,             // rewritten whole
    playable_incomplete,  // rewritten playable, with audio missing that no repair restores
    xing_added,           // --add-xing: a clean VBR stream given a Xing header
    not_repaired,         // damaged, and left as it was
    failed,               // the repair could not be written: the file is as it was
};

struct repair_outcome_name {
    repair_outcome outcome;
    std::string_view name;
};
inline constexpr repair_outcome_name repair_outcome_names[] = {
    {repair_outcome::clean, "clean"},
    {repair_outcome::repaired, "repaired"},
    {repair_outcome::playable_incomplete, "playable_incomplete"},
    {repair_outcome::xing_added, "xing_added"},
    {repair_outcome::not_repaired, "not_repaired"},
    {repair_outcome::failed, "failed"},
};
constexpr bool repair_outcome_names_in_order()
{
    for (std::size_t i = 0; i < std::size(repair_outcome_names); ++i) {
        if (static_cast<std::size_t>(repair_outcome_names[i].outcome) != i) {
            return false;
        }
    }
    return std::size(repair_outcome_names) == static_cast<std::size_t>(repair_outcome::failed) + 1;
}
static_assert(repair_outcome_names_in_order(), "one name per outcome, in the enum's order");
constexpr std::string_view outcome_name(repair_outcome o) { return repair_outcome_names[static_cast<std::size_t>(o)].name; }

struct repair_report {
    repair_outcome outcome = repair_outcome::clean;
    std::string reason;   // not repaired or failed: why
    std::string backup;   // repaired: the backup's path ("" without one)
    std::vector<repair_entry> repairs;
    // playable_incomplete: the play time kept, and the whole's (0: unknown;
    // estimated: worked out from a byte count).
    double kept_seconds = 0;
    double whole_seconds = 0;
    bool whole_estimated = false;

    bool rewritten() const { return outcome == repair_outcome::repaired || outcome == repair_outcome::playable_incomplete; }
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
