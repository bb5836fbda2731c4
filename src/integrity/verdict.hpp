#pragma once
// What vouched for a stream under the integrity check (-c): the summary's
// INTEGRITY field, and a plain value any report can read.

#include <cstdint>
#include <string_view>

namespace framelint {

// Strongest first.
enum class integrity_verdict : std::uint8_t {
    music_crc,   // the LAME tag's music CRC matched: every audio byte is as encoded
    frame_crcs,  // every frame was protected and every frame CRC matched
    structure,   // only the frame structure could be checked
    damaged,     // a bad frame or a finding
};

constexpr std::string_view verdict_label(integrity_verdict v)
{
    switch (v) {
    case integrity_verdict::music_crc: return "MUSIC_CRC";
    case integrity_verdict::frame_crcs: return "FRAME_CRCS";
    case integrity_verdict::structure: return "STRUCTURE_ONLY";
    case integrity_verdict::damaged: return "DAMAGED";
    }
    return "DAMAGED";
}

}  // namespace framelint
