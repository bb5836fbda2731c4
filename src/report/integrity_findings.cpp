#include "report/integrity_findings.hpp"

#include "report/plain_words.hpp"

namespace framelint {
namespace {

unsigned long long hex(std::int64_t v) { return static_cast<unsigned long long>(v); }
long long dec(std::int64_t v) { return static_cast<long long>(v); }
unsigned crc(std::int64_t v) { return static_cast<unsigned>(v) & 0xFFFFu; }

void print_counts(const problem& p, const char* header, const char* unit, io::output& err)
{
    err.print("\nThe %s header at offset 0x%llx (BYTE %lld) does not match the stream. Stored %lld %s, found %lld.",
              header, hex(p.offset), dec(p.offset), dec(p.numbers[0]), unit, dec(p.numbers[1]));
}

// A CRC that does not match: what did not, where, the stored and the computed CRC.
void print_crcs(const problem& p, const char* what, io::output& err)
{
    err.print("\n%s at offset 0x%llx (BYTE %lld). Stored 0x%04x, computed 0x%04x.", what, hex(p.offset), dec(p.offset),
              crc(p.numbers[0]), crc(p.numbers[1]));
}

}  // namespace

void print_finding(const problem& p, io::output& err)
{
    const unsigned long long at = hex(p.offset);
    const long long byte = dec(p.offset);
    const std::int64_t first = p.numbers[0];
    const std::int64_t second = p.numbers[1];
    switch (p.kind) {
    case problem_kind::frame_crc_mismatch:
        print_crcs(p, "A frame's CRC does not match its protected bits", err);
        break;
    case problem_kind::reserved_emphasis:
        err.print("\nA frame header has the reserved emphasis value at offset 0x%llx (BYTE %lld). Header 0x%llx.", at,
                  byte, hex(first));
        break;
    case problem_kind::no_frames:
        err.print("\nNo frame was found. The stream ended at offset 0x%llx (BYTE %lld).", at, byte);
        break;
    case problem_kind::leading_junk:
        err.print("\nJunk before the first frame at offset 0x%llx (BYTE %lld). Expected a frame there, found %lld "
                  "bytes that are none.",
                  at, byte, dec(first));
        break;
    case problem_kind::trailing_junk:
        err.print("\nJunk after the last frame at offset 0x%llx (BYTE %lld). Expected the end of the stream or a tag, "
                  "found %lld bytes that are neither.",
                  at, byte, dec(first));
        break;
    case problem_kind::last_frame_cut_by_tag:
        err.print("\nThe last frame at offset 0x%llx (BYTE %lld) was cut short by a tag. Expected it to end at offset "
                  "0x%llx (BYTE %lld), found a tag at offset 0x%llx (BYTE %lld).",
                  at, byte, hex(first), dec(first), hex(second), dec(second));
        break;
    case problem_kind::xing_frame_count: print_counts(p, "Xing/Info", "frames", err); break;
    case problem_kind::xing_byte_count: print_counts(p, "Xing/Info", "bytes", err); break;
    case problem_kind::vbri_frame_count: print_counts(p, "VBRI", "frames", err); break;
    case problem_kind::vbri_byte_count: print_counts(p, "VBRI", "bytes", err); break;
    case problem_kind::lame_tag_crc: print_crcs(p, "The LAME tag's CRC does not match", err); break;
    case problem_kind::music_crc_mismatch:
        print_crcs(p, "The audio data does not match the music CRC of the LAME tag", err);
        break;
    case problem_kind::music_length:
        err.print("\nThe stream ends before the music the LAME tag at offset 0x%llx (BYTE %lld) declares. Expected "
                  "it to end at offset 0x%llx (BYTE %lld), found the end at offset 0x%llx (BYTE %lld).",
                  at, byte, hex(first), dec(first), hex(second), dec(second));
        break;
    case problem_kind::format_switch:
        err.print("\nThe stream changes its format at offset 0x%llx (BYTE %lld): two streams joined. Header 0x%llx "
                  "before, 0x%llx here.",
                  at, byte, hex(first), hex(second));
        break;
    case problem_kind::id3v2_size:
        if (second > 0) {
            err.print("\nThe ID3v2 tag at offset 0x%llx (BYTE %lld) is too large. Its size ends at offset 0x%llx "
                      "(BYTE %lld) and hides %lld bytes of audio.",
                      at, byte, hex(first), dec(first), dec(second));
        } else {
            err.print("\nThe ID3v2 tag at offset 0x%llx (BYTE %lld) is too large. Its size ends at offset 0x%llx "
                      "(BYTE %lld), past the end of the stream.",
                      at, byte, hex(first), dec(first));
        }
        break;
    case problem_kind::id3v2_size_short:
        err.print("\nThe ID3v2 tag at offset 0x%llx (BYTE %lld) is too small. Its size ends at offset 0x%llx "
                  "(BYTE %lld), inside its own frames; the tag ends at offset 0x%llx (BYTE %lld).",
                  at, byte, hex(first), dec(first), hex(second), dec(second));
        break;
    case problem_kind::apev2_footer:
        err.print("\nThe APEv2 tag at offset 0x%llx (BYTE %lld) does not end with the footer its header promises "
                  "(at offset 0x%llx, BYTE %lld).",
                  at, byte, hex(first), dec(first));
        break;
    case problem_kind::vbr_without_header:
        err.print("\nNotice: the bit rate varies from %lld to %lld kbit/s, but the stream at offset 0x%llx "
                  "(BYTE %lld) has no Xing or VBRI header. Players may show the wrong length and seek wrong.",
                  dec(first), dec(second), at, byte);
        break;
    case problem_kind::joined_streams:
        err.print("\nA tag between two runs of frames at offset 0x%llx (BYTE %lld): two streams joined. The tag "
                  "is %lld bytes long.",
                  at, byte, dec(first));
        break;
    case problem_kind::free_format:
        err.print("\nNotice: the stream at offset 0x%llx (BYTE %lld) is free format (header 0x%llx). Its frames "
                  "could not be checked.",
                  at, byte, hex(first));
        break;
    case problem_kind::music_ends_early:
        err.print("\nThe music the LAME tag at offset 0x%llx (BYTE %lld) declares ends at offset 0x%llx (BYTE %lld), "
                  "before the last frame ends at offset 0x%llx (BYTE %lld). Its music CRC does not cover the stream.",
                  at, byte, hex(first), dec(first), hex(second), dec(second));
        break;
    case problem_kind::gain_changed:
        err.print("\nNotice: the gain was changed after encoding (%lld steps left, %lld right%s); with that undone "
                  "the audio matches the music CRC of the LAME tag at offset 0x%llx (BYTE %lld).",
                  dec(first), dec(second), p.numbers[2] != 0 ? ", as its undo record says" : "", at, byte);
        break;
    case problem_kind::gain_changed_twice:
        err.print("\nNotice: the gain was changed after encoding more than once (%lld steps left, %lld right in all); "
                  "gains one change held at the %s of their range were moved %lld steps by another; with that undone "
                  "the audio matches the music CRC of the LAME tag at offset 0x%llx (BYTE %lld).",
                  dec(first), dec(second), p.numbers[2] < 0 ? "top" : "bottom", dec(p.numbers[2]), at, byte);
        break;
    case problem_kind::lame_tag_edited:
        err.print("\nNotice: the LAME tag at offset 0x%llx (BYTE %lld) was edited after encoding (its CRC: stored "
                  "0x%04x, computed 0x%04x); its music CRC still matches the audio.",
                  at, byte, crc(first), crc(second));
        break;
    case problem_kind::lame_tag_rewritten:
        err.print("\nNotice: the LAME tag at offset 0x%llx (BYTE %lld) was rewritten after encoding (its CRC: "
                  "stored 0x%04x, computed 0x%04x); its music CRC no longer applies, and the Xing/Info counts agree "
                  "with the stream.",
                  at, byte, crc(first), crc(second));
        break;
    case problem_kind::mono_stereo_switch:
        err.print("\nNotice: the stream switches between mono and two channels at offset 0x%llx (BYTE %lld). Header "
                  "0x%llx before, 0x%llx here.",
                  at, byte, hex(first), hex(second));
        break;
    case problem_kind::audio_changed:
        err.print("\nThe audio changed since %s while no program wrote the file: restore it from a backup.",
                  date_words(first).c_str());
        break;
    case problem_kind::audio_rewritten:
        err.print("\nNotice: a program rewrote the audio since %s (re-encoded, gain applied or repaired); the "
                  "record now holds the new audio.",
                  date_words(first).c_str());
        break;
    case problem_kind::file_missing:
        err.print("\nNotice: missing since %s.", date_words(first).c_str());
        break;
    default:
        break;  // the scanner's own problems have warnings of their own
    }
}

}  // namespace framelint
