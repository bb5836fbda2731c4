#include "report/dumps.hpp"

#include <cstring>

namespace framelint {

void dump_header(const frame_info& f, io::output& out)
{
    struct named {
        const char* name;
        int value;
    };
    // The order is the one the dump has always had, not the record's.
    const named lines[] = {
        {"TRUE", 1},
        {"FALSE", 0},
        {"MPV_1", f.mpv_1},
        {"MPV_2", f.mpv_2},
        {"MPV_25", f.mpv_25},
        {"MPV_RESERVED", f.mpv_reserved},
        {"L1", f.l1},
        {"L2", f.l2},
        {"L3", f.l3},
        {"L_RESERVED", f.l_reserved},
        {"PROT_BIT", f.prot_bit},
        {"BIT_RATE", f.bit_rate},
        {"SAMPLE_FREQ", f.sample_freq},
        {"SAMPLES_PER_FRAME", f.samples_per_frame},
        {"PAD_BIT", f.pad_bit},
        {"PRIV_BIT", f.priv_bit},
        {"STEREO", f.stereo},
        {"JOINT_STEREO", f.joint_stereo},
        {"DUAL_STEREO", f.dual_stereo},
        {"SINGLE_CHANNEL", f.single_channel},
        {"MODE_EXTENSION", f.mode_extension},
        {"ID3V2", f.id3v2},
        {"FRAME_LENGTH", f.frame_length},
        {"COPYRIGHT", f.copyright},
        {"ORIGINAL", f.original},
        {"EMPH_NONE", f.emph_none},
        {"EMPH_5015", f.emph_5015},
        {"EMPH_RESERV", f.emph_reserv},
        {"EMPH_CCIT", f.emph_ccit},
        {"CHECK_STATE", f.check_state},
    };
    out.put('\n');
    for (const named& line : lines) {
        out.print("%-20s%d\n", line.name, line.value);
    }
    out.print("%-20s%s\n", "BIN_STRING", f.bin_string);
}

void dump_frame(const frame_info& f, std::int64_t good_frames, std::int64_t bytes_read, io::output& out)
{
    out.put('\n');
    out.print("%-20s%lld\n", "FRAME", static_cast<long long>(good_frames));
    out.print("%-20s%lld\n", "FrameOffset", static_cast<long long>(bytes_read));
    out.print("%-20s%d\n", "FrameLength", f.frame_length);
    out.print("%-20s%d\n", "FrameDataLength", f.frame_data_length);
    out.print("%-20s%d\n", "BitRate", f.bit_rate);
    out.print("%-20s%d\n", "SampRate", f.sample_freq);
    out.print("%-20s%s\n", "BinString", f.bin_string);
    out.print("%-20s%d\n", "BinLen", static_cast<int>(std::strlen(f.bin_string)));
    out.print("%-20s%u\n", "IntHeader", f.int_header);
    out.print("%-20s0x%x\n", "CRC16Value", static_cast<unsigned>(f.crc16_value));
    out.print("%-20s0x%x\n", "Correct_CRC16Value", static_cast<unsigned>(f.correct_crc16_value));
    out.print("%-20s%lld\n", "NEXT_FRAME", static_cast<long long>(f.frame_length + bytes_read));
}

}  // namespace framelint
