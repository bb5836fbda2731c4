#pragma once
// --json: one JSON object per stream, on one line (JSON Lines), in place of the
// summary and the ID3v1 lines.

#include <string_view>

#include "id3v1/id3v1_tag.hpp"
#include "io/output.hpp"
#include "problems/problem.hpp"
#include "report/summary.hpp"

namespace framelint {

struct stream_facts {
    const summary_facts& summary;
    const problem_list& problems;
    const id3v1_tag* id3v1 = nullptr;  // with -i: the tag looked for (has_tag says if found)
    // -c: each problem says whether it is damage or a notice (without -c the
    // lines stay as they always were).
    bool with_severity = false;
};

void report_json(const stream_facts& facts, std::string_view file_label, io::output& out);

}  // namespace framelint
