#pragma once
// Text that came from a file or a name, made safe to show on a terminal.
// A tag field or a file name may hold bytes a terminal acts on (ESC starts a
// sequence that can clear the screen, set the window title or write the
// clipboard; a C1 byte such as 0x9B does the same alone). Shown on a
// terminal, every such byte is written as an escape a person can read back:
//   \e \a \b \f \v \r  for those C0 bytes, \xHH for the other C0 bytes, DEL
//   and every byte that is not part of valid UTF-8, \u0080 to \u009F for the
//   C1 controls written as UTF-8. Valid UTF-8 passes as it is.
// Into a pipe or a file nothing is escaped: scripts read the bytes as they are.

#include <string>
#include <string_view>

namespace framelint::text {

enum class visible_form {
    // Output as a whole: line ends and tabs are the report's own layout and pass.
    layout,
    // One name or field alone: line ends, tabs and the backslash are escaped
    // too, so that the shown text reads back to exactly the bytes it was.
    field,
};

// True when text needs no escaping in the given form (the usual case: no copy is made).
bool is_plain(std::string_view text, visible_form form);

// Appends text to to, escaped as above.
void append_visible(std::string& to, std::string_view text, visible_form form);

inline std::string visible(std::string_view text, visible_form form = visible_form::field)
{
    std::string shown;
    append_visible(shown, text, form);
    return shown;
}

// The one-record-per-line reports' own escaping (--summary, the progress
// line's name): every control byte (C0, DEL, a C1 byte not part of valid
// UTF-8, a C1 control written as UTF-8) becomes one '?'; everything else,
// Latin-1 letters included, passes, so that the records stay as they were.
std::string question_marks_for_controls(std::string_view text);

}  // namespace framelint::text
