// Text from files and names shown on a terminal: control bytes as escapes a
// person can read back; and the progress line fitted to narrow terminals.

#include <gtest/gtest.h>

#include <string>

#include "cli/progress.hpp"
#include "text/visible_text.hpp"

namespace framelint::test {
namespace {

using text::visible_form;

TEST(VisibleText, ControlBytesAreEscapedAndValidUtf8Passes)
{
    struct shown_case {
        std::string raw;
        std::string field;   // one name or tag field alone
        std::string layout;  // a whole report, whose line ends and tabs are its own
    };
    const std::vector<shown_case> cases = {
        {"plain name.mp3", "plain name.mp3", "plain name.mp3"},
        {"\x1b[2J\x1b]52;c;aGk=\a", "\\e[2J\\e]52;c;aGk=\\a", "\\e[2J\\e]52;c;aGk=\\a"},
        {"a\rb\bc\fd\ve", "a\\rb\\bc\\fd\\ve", "a\\rb\\bc\\fd\\ve"},
        {"line\nnext\tcol", "line\\nnext\\tcol", "line\nnext\tcol"},
        {std::string("nul\0del\x7F", 8), "nul\\x00del\\x7F", "nul\\x00del\\x7F"},
        {"back\\slash", "back\\\\slash", "back\\slash"},
        // A lone C1 byte, and a lone Latin-1 letter, are no UTF-8.
        {"csi\x9B" "31m caf\xE9", "csi\\x9B31m caf\\xE9", "csi\\x9B31m caf\\xE9"},
        // C1 written as UTF-8 acts on some terminals too.
        {"csi\xC2\x9B", "csi\\u009B", "csi\\u009B"},
        // Letters of two, three and four bytes pass, a continuation byte 0x9B within one too.
        {"caf\xC3\xA9 \xC4\x9B \xE2\x82\xAC \xF0\x9F\x8E\xB5", "caf\xC3\xA9 \xC4\x9B \xE2\x82\xAC \xF0\x9F\x8E\xB5",
         "caf\xC3\xA9 \xC4\x9B \xE2\x82\xAC \xF0\x9F\x8E\xB5"},
        // Overlong forms, surrogates, a cut sequence: byte by byte.
        {"\xC0\xAF \xED\xA0\x80 \xE2\x82", "\\xC0\\xAF \\xED\\xA0\\x80 \\xE2\\x82", "\\xC0\\xAF \\xED\\xA0\\x80 \\xE2\\x82"},
    };
    for (const shown_case& c : cases) {
        SCOPED_TRACE(c.field);
        EXPECT_EQ(text::visible(c.raw, visible_form::field), c.field);
        EXPECT_EQ(text::visible(c.raw, visible_form::layout), c.layout);
    }
    EXPECT_TRUE(text::is_plain("FILE_NAME a.mp3\tGOOD_FRAMES 41\n", visible_form::layout));
    EXPECT_FALSE(text::is_plain("a\tb", visible_form::field));
    EXPECT_FALSE(text::is_plain("\x1b", visible_form::layout));
}

TEST(VisibleText, OneRecordPerLineReportsGetOneQuestionMarkPerControl)
{
    // Latin-1 letters pass as before; every control, C1 included, is one '?'.
    EXPECT_EQ(text::question_marks_for_controls("a\nb\x1b[2J caf\xE9 \x9B x\xC2\x9B \xC4\x9B"),
              "a?b?[2J caf\xE9 ? x? \xC4\x9B");
}

TEST(ProgressLine, FitsTheWidthDroppingTheNameThenTheCounts)
{
    const std::string name = "music/some album/a long song title.mp3";
    struct fit_case {
        std::size_t width;
        std::string drawn;
    };
    const std::vector<fit_case> cases = {
        {200, "12 files, 3.4 MB done: " + name},
        {40, "12 files, 3.4 MB done: ...ong title.mp3"},
        {28, "12 files, 3.4 MB done: ...3"},
        {27, "12 files, 3.4 MB done: "},  // room for the dots alone: no name
        {22, "12 files, 3.4 MB done"},
        {21, "12 files"},
        {10, "12 files"},
        {8, ""},
        {1, ""},
    };
    for (const fit_case& c : cases) {
        SCOPED_TRACE(c.width);
        const std::string drawn = cli::progress_line::fitted(12, 3'400'000, name, c.width);
        EXPECT_LT(drawn.size(), c.width);
        EXPECT_EQ(drawn, c.drawn);
    }
    // A name cut is never cut inside a letter.
    const std::string accents = "\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9";  // five letters, ten bytes
    EXPECT_EQ(cli::progress_line::fitted(1, 0, accents, 28), "1 file, 0 bytes done: " + accents);
    EXPECT_EQ(cli::progress_line::fitted(1, 0, accents, 27), "1 file, 0 bytes done: ...\xC3\xA9");
}

}  // namespace
}  // namespace framelint::test
