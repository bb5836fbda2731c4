#pragma once
// A small JSON writer for the one-line-per-stream report: objects, arrays,
// strings, integers, numbers and booleans, appended to a string. Every string
// it writes is valid JSON whatever bytes it is handed: text that is not valid
// UTF-8 is written as {"bytes": "<base64>"}, so nothing is lost or replaced.

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace framelint::json {

// Well-formed UTF-8: no overlong forms, no surrogates, nothing above U+10FFFF.
bool is_valid_utf8(std::string_view text);

// Standard base64 (RFC 4648) with padding.
std::string base64(std::string_view bytes);

// text as a JSON string literal, quotes included; text must be valid UTF-8.
void append_quoted(std::string& to, std::string_view text);

class writer {
public:
    explicit writer(std::string& to) : to_(to) {}

    void begin_object();
    void end_object();
    void begin_array();
    void end_array();
    // The name of the next member; names are the program's own, plain ASCII.
    // Returns the writer, so that a member reads as key(name).integer(value).
    writer& key(std::string_view name);

    // Bytes from outside (file names, tag text): a string when they are valid
    // UTF-8, else {"bytes": base64}.
    void text(std::string_view bytes);
    void integer(std::int64_t value);
    // The shortest decimal that reads back as value; null for infinities and NaN.
    void number(double value);
    void boolean(bool value);
    void null();

private:
    void before_value();

    std::string& to_;
    std::vector<bool> has_members_;  // per open object or array
    bool after_key_ = false;
};

}  // namespace framelint::json
