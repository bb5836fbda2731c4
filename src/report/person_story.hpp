#pragma once
// What is wrong with a damaged file, told for people: what they will hear (or
// not hear), where in the song, and whether --fix can help. The words say what
// the findings mean, never how they were found (no header, tag or checksum
// names); --summary=offsets and --json keep that detail.

#include <cstdint>
#include <string>
#include <vector>

#include "problems/problem.hpp"
#include "report/plain_words.hpp"
#include "stream/stream_layout.hpp"

namespace framelint {

// What --fix can do for a file, from least to most serious.
enum class repair_outlook : std::uint8_t {
    none,        // nothing to do (or nothing --fix would change)
    repairable,  // everything that is wrong can be put right: no sound is lost
    playable,    // the file can be made whole again, but sound is missing for good
    lost,        // --fix cannot help
};

struct person_story {
    std::vector<std::string> wrong;  // one entry per thing that is wrong, in plain words
    repair_outlook outlook = repair_outlook::none;
};

// The story of a stream's damage (problems that counted a bad frame); layout
// (may be null) gives the play times.
person_story tell_story(const problem_list& problems, const stream_layout* layout, const stream_clues& clues);

// What to do, e.g. "--fix can repair it"; empty for none.
std::string advice_words(repair_outlook outlook);

}  // namespace framelint
