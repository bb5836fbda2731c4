// An ID3v2 tag at the very start of a stream is passed over whole, so that the
// first frame is expected right after it.

#include "scan/scan_file.hpp"
#include "tags/id3v2_frames.hpp"

namespace framelint {

void skip_id3v2(scan_context& c)
{
    scan_state& st = c.state;
    c.err.print("Possible ID3v2 frame found, skipping\n");
    if (c.options.id3v2_error) {
        ++st.counters.bad_frames;
    }
    // The rest of the 10-byte tag header; the last four are the size.
    for (int i = 0; i < 6 && shift_in_byte(c); ++i) {
    }
    const std::uint32_t size = id3v2_synchsafe(st.header_word);  // the last four bytes of the header
    note_problem(c, problem_kind::id3v2_tag, c.options.id3v2_error, 0, size);
    consume_counted(c, size, false);  // never part of a repaired stream
    st.counters.next_expected = static_cast<std::int64_t>(size) + 14;
    st.block_read = true;
}

}  // namespace framelint
