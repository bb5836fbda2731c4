// Fuzz target for the repair (--fix) of one in-memory stream: the stream is
// checked as -c checks it, the repair is planned from what the check found and
// applied in memory, and then
//   - the repaired stream passes the check (no bad frame), unless the plan
//     said the stream cannot be repaired;
//   - planning the repaired stream again changes nothing;
//   - every piece the plan keeps lies inside the stream, in order.
// The whole input is the stream.

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <span>
#include <string>
#include <vector>

#include "io/byte_source.hpp"
#include "io/output.hpp"
#include "repair/repair_plan.hpp"
#include "cli/scan_facts.hpp"
#include "scan/scan_file.hpp"
#include "fuzz_check.hpp"

namespace {

using framelint::repair_plan;
using bytes = std::vector<std::uint8_t>;

const char* stage = "";

struct checked {
    framelint::scan_state state;
    repair_plan plan;
};

checked check_and_plan(const bytes& stream)
{
    framelint::scan_options o;
    o.integrity = true;
    o.check_all = true;
    o.fix_in_place = true;  // problems are recorded for the repair
    std::string out_text;
    std::string err_text;
    framelint::io::output out(out_text);
    framelint::io::output err(err_text);
    framelint::io::byte_source in(std::span<const std::uint8_t>(stream.data(), stream.size()));
    checked c{framelint::scan_stream(in, o, out, err), {}};
    const framelint::stream_reader read = [&stream](std::int64_t at, std::size_t n) {
        const auto from = static_cast<std::size_t>(std::clamp<std::int64_t>(at, 0, static_cast<std::int64_t>(stream.size())));
        const std::size_t to = std::min(stream.size(), from + n);
        return bytes(stream.begin() + static_cast<std::ptrdiff_t>(from), stream.begin() + static_cast<std::ptrdiff_t>(to));
    };
    c.plan = *framelint::plan_repair_reading(c.state.layout, framelint::repair_facts_of(c.state), read);
    return c;
}

bytes apply(const repair_plan& plan, const bytes& stream)
{
    bytes out;
    std::int64_t last_end = 0;
    for (const framelint::repair_piece& p : plan.pieces) {
        if (p.from_source) {
            CHECK(p.source.begin >= last_end && p.source.begin < p.source.end);
            CHECK(p.source.end <= static_cast<std::int64_t>(stream.size()));
            out.insert(out.end(), stream.begin() + p.source.begin, stream.begin() + p.source.end);
            last_end = p.source.end;
        } else {
            out.insert(out.end(), p.bytes.begin(), p.bytes.end());
        }
    }
    return out;
}

}  // namespace

[[noreturn]] void fuzz_check_failed(const char* what, int line)
{
    std::fprintf(stderr, "repair_fuzz: check failed at line %d (%s): %s\n", line, stage, what);
    std::abort();
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const bytes stream(data, data + size);
    stage = "first plan";
    const checked first = check_and_plan(stream);
    if (first.plan.refusal || !first.plan.changes()) {
        CHECK(first.plan.pieces.empty());
        return 0;
    }
    const bytes repaired = apply(first.plan, stream);
    stage = "repaired stream";
    const checked second = check_and_plan(repaired);
    // Where audio was lost, the LAME tag keeps the whole's music length: the
    // one finding the repaired stream may still have is the one that says so.
    std::int64_t shortfalls = 0;
    for (const framelint::problem& p : second.state.problems.kept) {
        shortfalls += p.bad_frame && p.kind == framelint::problem_kind::music_length ? 1 : 0;
    }
    CHECK(second.state.counters.bad_frames == (first.plan.incomplete ? shortfalls : 0));
    CHECK(!second.plan.changes());
    return 0;
}
