#include "report/summary.hpp"

#include <cstdio>
#include <string>

#include "report/dumps.hpp"

namespace framelint {
namespace {

// The -c verdict, after SONG_LENGTH (or where it would stand).
void report_integrity(const summary_facts& f, const scan_options& options, io::output& out)
{
    if (!f.integrity) {
        return;
    }
    const std::string value(verdict_label(*f.integrity));
    out.print(options.one_line ? "\t%s %s" : "\n%-20s%s", "INTEGRITY", value.c_str());
}

}  // namespace

play_time split_play_time(double play_seconds)
{
    play_time t;
    const double q = play_seconds / 60.0;
    t.minutes = static_cast<std::int32_t>(q);
    const double r = (q - t.minutes) * 60.0;
    t.seconds = static_cast<std::int32_t>(r);
    const double h = (r - t.seconds) * 100.0;
    t.hundredths = static_cast<std::int32_t>(h);
    return t;
}

bool bit_rate_varied(const summary_facts& f) { return f.bitrate_high != f.bitrate_low && f.good_frames > 0; }

std::int64_t average_bit_rate(const summary_facts& f)
{
    return f.bitrate_frames > 0 ? f.bitrate_sum / f.bitrate_frames : 0;
}

bool has_last_header(const summary_facts& f) { return f.have_good_frame && f.last_good_frame != nullptr; }

std::string song_length_text(double play_seconds)
{
    const play_time t = split_play_time(play_seconds);
    char text[48];
    std::snprintf(text, sizeof text, "%02u:%02u.%02u", static_cast<unsigned>(t.minutes),
                  static_cast<unsigned>(t.seconds), static_cast<unsigned>(t.hundredths));
    return text;
}

void report_summary(const summary_facts& f, std::string_view file_label, const scan_options& options,
                    io::output& out)
{
    if (options.to_stdout) {
        return;  // standard output carries the stream
    }
    const std::string label(file_label);
    const auto good = static_cast<long long>(f.good_frames);
    const auto bad = static_cast<long long>(f.bad_frames);
    const auto last = static_cast<long long>(f.bytes_read);
    if (options.one_line) {
        out.print("%s %s\t%s %lld\t%s %lld\t%s %lld", "FILE_NAME", label.c_str(), "GOOD_FRAMES", good, "BAD_FRAMES",
                  bad, "LAST_BYTE_CHECKED", last);
    } else {
        out.print("\n%-20s%s\n", "FILE_NAME", label.c_str());
        out.print("%-20s%lld\n", "GOOD_FRAMES", good);
        out.print("%-20s%lld\n", "BAD_FRAMES", bad);
        out.print("%-20s%lld", "LAST_BYTE_CHECKED", last);
    }

    if (bit_rate_varied(f)) {
        const auto average = static_cast<long long>(average_bit_rate(f));
        if (options.one_line) {
            out.print("\t%s %d\t%s %d\t%s %lld", "VBR_HIGH", f.bitrate_high, "VBR_LOW", f.bitrate_low, "VBR_AVERAGE",
                      average);
        } else {
            out.print("\n%-20s%d\n", "VBR_HIGH", f.bitrate_high);
            out.print("%-20s%d\n", "VBR_LOW", f.bitrate_low);
            out.print("%-20s%lld", "VBR_AVERAGE", average);
        }
    }

    if (!has_last_header(f)) {
        report_integrity(f, options, out);
        out.put('\n');
        return;
    }
    if (options.verbose && !options.one_line) {
        dump_header(*f.last_good_frame, out);
    }
    const std::string length = song_length_text(f.play_seconds);
    out.print(options.one_line ? "\t%-20s%s" : "\n%-20s%s", "SONG_LENGTH", length.c_str());
    report_integrity(f, options, out);
    out.put('\n');
}

}  // namespace framelint
