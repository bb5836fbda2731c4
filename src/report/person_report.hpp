#pragma once
// --summary: the report for people. One line per file that is not clean (every
// file with --summary=all): its name, its verdict and every finding in plain
// words; and one tally line at the end of the run.

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "problems/problem.hpp"
#include "report/person_story.hpp"
#include "report/plain_words.hpp"
#include "stream/stream_layout.hpp"

namespace framelint {

// repaired: --fix rewrote the file, which now passes the check. incomplete:
// --fix made it playable, but audio is missing. not_written: --fix could not
// write its repair (the file is as it was).
// xing_added: --add-xing gave a clean stream a Xing header.
enum class person_verdict : std::uint8_t { clean, damaged, unreadable, repaired, incomplete, not_written, xing_added };

struct repair_report;

// How the lines are written: from --summary=all and --summary=offsets.
struct person_style {
    bool every_file = false;  // clean files get a line too
    bool offsets = false;     // each finding says at which byte it is
    bool recursive = false;   // -r is in force (else a directory gets the hint to use it)
    bool repairs = false;     // --fix: the tally counts repaired files
};

// One file's facts, as the scan or the file loop found them.
struct person_record {
    std::string_view file_label;
    person_verdict verdict = person_verdict::clean;
    int error = 0;                           // unreadable: errno of the failed open or read
    const problem_list* problems = nullptr;  // the scan's list (none when it could not be opened)
    std::int64_t bad_frames = 0;
    stream_clues clues;
    // What the check found the stream made of (under -c; null else): the play
    // times of the findings.
    const stream_layout* layout = nullptr;
    // --fix: what was done. A repaired file's line says that alone; one that
    // could not be repaired says why after its findings.
    const repair_report* repair = nullptr;
};

// A name as a line may carry it: control bytes (a line break would split a
// record in two) become '?'.
std::string printable_name(std::string_view name);

// The line for one file, with its line end; empty when a clean file gets none.
// extra: more words for the line, after the findings (another step's outcome).
std::string person_line(const person_record& r, const person_style& style,
                        const std::vector<std::string>& extra = {});

// What --fix can do for a damaged file (none for any other).
repair_outlook outlook_of(const person_record& r);

// The counts of a run, for the tally line.
struct person_tally {
    std::int64_t files = 0;
    std::int64_t clean = 0;
    std::int64_t damaged = 0;
    std::int64_t unreadable = 0;
    std::int64_t repaired = 0;
    std::int64_t incomplete = 0;
    std::int64_t not_written = 0;
    std::int64_t xing_added = 0;
    std::int64_t missing = 0;  // --db: recorded files under the folders checked that are gone
    std::int64_t repairable = 0;  // damaged files --fix can repair
    std::int64_t playable = 0;    // damaged files --fix can make playable, sound lost
    std::int64_t bytes = 0;  // read, over every file
    std::int64_t metadata_skipped = 0;  // macOS AppleDouble files a walk or a list held, not checked

    void add(person_verdict v, std::int64_t bytes_read, repair_outlook outlook = repair_outlook::none);
    // Another tally's counts (files checked apart, side by side).
    void merge(const person_tally& other);
};

// What a run of --summary carries from file to file.
struct person_run {
    person_style style;
    person_tally tally;
    // More words for the next file's line, from a step beside the check; used
    // and cleared by that file's line.
    std::vector<std::string> extra;

    // Writes the file's line (when it has one) and counts it.
    std::string take_line(const person_record& r, std::int64_t bytes_read);
};

// The line for a recorded file that is gone (--db), with its line end:
// "PATH: missing since DATE". recorded_at: seconds since 1970.
std::string missing_line(std::string_view path, std::int64_t recorded_at);

// "64 files: 49 clean, 13 damaged (9 can be repaired, 2 can be made playable), 2 unreadable
// (1.2 GB in 3.4 s)", with its line end; with repairs, "64 files: 49 clean, 12
// repaired, 1 damaged, 2 unreadable (...)", and, where there are any, "..., 1
// playable but incomplete, ..." after the repaired; "..., 3 missing" (recorded
// files gone, --db), "..., 1 not written" and "..., 3 macOS metadata files
// skipped" after the unreadable ones.
std::string tally_line(const person_tally& t, double seconds, bool repairs = false);

// A byte count for people: "917 bytes", "17.1 kB", "1.2 GB" (powers of 1000).
std::string size_words(std::int64_t bytes);

}  // namespace framelint
