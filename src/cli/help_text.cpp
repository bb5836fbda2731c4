#include <string>

#include "cli/driver.hpp"
#include "version.hpp"

namespace framelint::cli {

namespace {

constexpr const char* help_lines[] = {
    "\nusage: framelint [-e] [-p] [-v[v]] [-a] [-b[<byte_count>]] [-i] [-s[s]] [-h] [-] [file ...]\n",
    "     -q<number>        Determines the mininum <number> of contiguous frames\n",
    "                       that must be present for an error NOT to occur.\n",
    "                       Analyzing random data will find spurious MP3 headers,\n",
    "                       but finding <number> sequential headers are even\n",
    "                       harder to find.\n\n",
    "     -e                While id3v2 support is under development, this flag will\n",
    "                       allow you to have framelint record a frame error when\n",
    "                       a id3v2 tag is found.\n\n",
    "     -p                Shows just the essentials (what you get without the\n",
    "                       -v option) on a single line for easy parsing. The\n",
    "                       fields are separated by tabs, and the name/value pairs\n",
    "                       are separated by spaces.\n\n",
    "     -v[v]             Lists details about the mp3 in name -> value order.\n",
    "                       Adding an extra 'v' at the end gives details about\n",
    "                       each frame. Extremly verbose!\n\n",
    "     -a                Checks the mp3 from stem to stern (default).\n",
    "                       If any other flags are present, it will not be\n",
    "                       enabled, and will instead behave as though the\n",
    "                       '-b' switch is present.\n\n",
    "     -b[<byte_count>]  If a frame is not found by <byte_count> bytes,\n",
    "                       quit, and return an error. If byte_count\n",
    "                       is not specified, it will search until the\n",
    "                       first valid frame and quit.\n\n",
    "     -i                Check to see if there is a ID3 tag, and if so,\n",
    "                       display the info.\n\n",
    "     -s[s|f]           Sends the mp3 to stdout (for CGI applications).\n",
    "                       If an additional 's' is there, then no output is\n",
    "                       made, just errors are reported (super silent).\n",
    "                       With the 'f' used, only valid frames are sent\n",
    "                       to stdout ('f'ixing the mp3 is attempted). Also,\n",
    "                       it is important to note that the id3 tag will not\n",
    "                       be included in the 'f'ixed mp3. If you want it\n",
    "                       included, you have to include the '-i' option.\n\n",
    "     -c                Integrity check: also checks the CRC of every\n",
    "                       protected frame, the Xing/Info, VBRI and LAME tags\n",
    "                       (with the CRC of all audio bytes), junk at either\n",
    "                       end and a last frame cut short by a tag, and adds\n",
    "                       INTEGRITY to the summary.\n\n",
    "     -h                Print this text including the version.\n\n",
    "     -r, --recursive   Checks every .mp3, .mp2, .mp1, .mpa and .mpga file\n",
    "                       in the directories named and below them.\n\n",
    "     --json            Writes one JSON object per stream (JSON Lines)\n",
    "                       instead of the summary, for other programs.\n\n",
    "     --summary[=all,offsets]\n",
    "                       One line per file that is not clean, its findings in\n",
    "                       plain words, and a tally; checks as -c does. =all:\n",
    "                       every file; =offsets: where each finding is.\n\n",
    "     --fix             Checks each file as -c does and repairs it in place:\n",
    "                       junk, damaged headers and cut frames are removed,\n",
    "                       the Xing/Info and LAME headers rebuilt for the\n",
    "                       frames kept. Tags are kept byte for byte. Clean\n",
    "                       files, damaged audio and files without frames are\n",
    "                       never rewritten. The original is kept as FILE.bak.\n",
    "                       Status 0 when every file is clean afterwards, 255\n",
    "                       when damage remains, 1 on errors. --fix - writes\n",
    "                       standard input, repaired, to standard output.\n\n",
    "     --no-backup       With --fix: keeps no FILE.bak of a repaired file.\n\n",
    "     --add-xing        With --fix: also gives a Layer III stream whose bit\n",
    "                       rate varies and that has no Xing or VBRI header\n",
    "                       (otherwise clean) a Xing header frame.\n\n",
    "     --keep-times      With --fix: a repaired file keeps its access and\n",
    "                       modification times.\n\n",
    "     --files-from FILE Also checks the files named in FILE, one a line\n",
    "                       (- reads the names from standard input).\n\n",
    "     --null            The names of --files-from end in a NUL byte\n",
    "                       instead of a newline (find -print0).\n\n",
    "     --db FILE         Checks each file as -c does against a record of its\n",
    "                       audio kept in FILE (SQLite, created when missing),\n",
    "                       and records it: audio changed while the file was\n",
    "                       not written is damage. Not with -s, -ss or -sf.\n\n",
    "     --jobs [N]        Checks N files at once (without N, as many as\n",
    "                       there are cores). The output is the same, in the\n",
    "                       same order. Not with -s, -ss, -sf or -.\n\n",
    "     --help            Prints this text on standard output.\n\n",
    "     --version         Prints the version.\n\n",
};
static_assert(std::size(help_lines) == 76);

// --help goes on after the text above (which -h prints alone, as ever): the
// long options one a line, and the three commands most people need.
constexpr const char* long_help_lines[] = {
    "\nLong options:\n",
    "  --summary[=all,offsets]  one line per damaged file: what is wrong, what to do\n",
    "  --fix                    repair damaged files in place (the original kept as FILE.bak)\n",
    "  --no-backup              with --fix: keep no FILE.bak\n",
    "  --keep-times             with --fix: keep a repaired file's access and modification times\n",
    "  --add-xing               with --fix: give a clean VBR file without one a Xing header\n",
    "  -r, --recursive          check the audio files in the folders named, and below\n",
    "  --json                   one JSON object per file, for other programs\n",
    "  --db FILE                keep each file's audio hash in FILE; later runs report changed audio\n",
    "  --files-from FILE        also check the files named in FILE (- for standard input)\n",
    "  --null                   the names in FILE end in a NUL byte, not a newline\n",
    "  --jobs [N]               check N files at once (without N: one per core)\n",
    "  --help                   this text\n",
    "  --version                the version\n",
    "\nExamples:\n",
    "  framelint --summary -r ~/Music     check a folder: a line for each damaged file\n",
    "  framelint --fix song.mp3           repair a file; the original stays as song.mp3.bak\n",
    "  framelint --json -c -r ~/Music     for scripts: JSON Lines; status 0 if all are clean\n",
};

}  // namespace

void show_usage(io::output& to)
{
    for (const char* line : help_lines) {
        to.print("%s", line);
    }
    to.print("* VERSION:  %s   \n", std::string(version).c_str());
    to.print("* HOMEPAGE: %s   \n", std::string(homepage).c_str());
    to.print("* AUTHOR :  %s   \n", std::string(author).c_str());
}

void show_long_help(io::output& to)
{
    show_usage(to);
    for (const char* line : long_help_lines) {
        to.print("%s", line);
    }
}

}  // namespace framelint::cli
