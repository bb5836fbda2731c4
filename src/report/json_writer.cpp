#include "report/json_writer.hpp"

#include <charconv>
#include <cmath>

namespace framelint::json {

bool is_valid_utf8(std::string_view text)
{
    const auto* p = reinterpret_cast<const unsigned char*>(text.data());
    const auto* const end = p + text.size();
    while (p < end) {
        const unsigned char lead = *p;
        if (lead < 0x80) {
            ++p;
            continue;
        }
        int length = 0;
        unsigned char low = 0x80;  // the range of the second byte, narrowed for
        unsigned char high = 0xBF; // overlongs, surrogates and the top of the range
        if (lead >= 0xC2 && lead <= 0xDF) {
            length = 2;
        } else if (lead >= 0xE0 && lead <= 0xEF) {
            length = 3;
            low = lead == 0xE0 ? 0xA0 : 0x80;
            high = lead == 0xED ? 0x9F : 0xBF;
        } else if (lead >= 0xF0 && lead <= 0xF4) {
            length = 4;
            low = lead == 0xF0 ? 0x90 : 0x80;
            high = lead == 0xF4 ? 0x8F : 0xBF;
        } else {
            return false;
        }
        if (end - p < length || p[1] < low || p[1] > high) {
            return false;
        }
        for (int i = 2; i < length; ++i) {
            if ((p[i] & 0xC0) != 0x80) {
                return false;
            }
        }
        p += length;
    }
    return true;
}

std::string base64(std::string_view bytes)
{
    static constexpr char alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    out.reserve((bytes.size() + 2) / 3 * 4);
    std::size_t i = 0;
    const auto at = [&](std::size_t k) { return static_cast<std::uint32_t>(static_cast<unsigned char>(bytes[k])); };
    for (; i + 3 <= bytes.size(); i += 3) {
        const std::uint32_t v = at(i) << 16 | at(i + 1) << 8 | at(i + 2);
        out += alphabet[v >> 18];
        out += alphabet[(v >> 12) & 63];
        out += alphabet[(v >> 6) & 63];
        out += alphabet[v & 63];
    }
    if (const std::size_t rest = bytes.size() - i; rest > 0) {
        const std::uint32_t v = at(i) << 16 | (rest == 2 ? at(i + 1) << 8 : 0);
        out += alphabet[v >> 18];
        out += alphabet[(v >> 12) & 63];
        out += rest == 2 ? alphabet[(v >> 6) & 63] : '=';
        out += '=';
    }
    return out;
}

void append_quoted(std::string& to, std::string_view text)
{
    static constexpr char hex[] = "0123456789abcdef";
    to += '"';
    for (const char ch : text) {
        const auto byte = static_cast<unsigned char>(ch);
        switch (ch) {
        case '"': to += "\\\""; break;
        case '\\': to += "\\\\"; break;
        case '\n': to += "\\n"; break;
        case '\r': to += "\\r"; break;
        case '\t': to += "\\t"; break;
        case '\b': to += "\\b"; break;
        case '\f': to += "\\f"; break;
        default:
            if (byte < 0x20 || byte == 0x7F) {
                to += "\\u00";
                to += hex[byte >> 4];
                to += hex[byte & 15];
            } else {
                to += ch;
            }
        }
    }
    to += '"';
}

void writer::before_value()
{
    if (after_key_) {
        after_key_ = false;
        return;
    }
    if (!has_members_.empty()) {
        if (has_members_.back()) {
            to_ += ',';
        }
        has_members_.back() = true;
    }
}

void writer::begin_object()
{
    before_value();
    to_ += '{';
    has_members_.push_back(false);
}

void writer::end_object()
{
    to_ += '}';
    has_members_.pop_back();
}

void writer::begin_array()
{
    before_value();
    to_ += '[';
    has_members_.push_back(false);
}

void writer::end_array()
{
    to_ += ']';
    has_members_.pop_back();
}

writer& writer::key(std::string_view name)
{
    before_value();
    append_quoted(to_, name);
    to_ += ':';
    after_key_ = true;
    return *this;
}

void writer::text(std::string_view bytes)
{
    if (is_valid_utf8(bytes)) {
        before_value();
        append_quoted(to_, bytes);
        return;
    }
    begin_object();
    key("bytes");
    before_value();
    append_quoted(to_, base64(bytes));
    end_object();
}

void writer::integer(std::int64_t value)
{
    before_value();
    to_ += std::to_string(value);
}

void writer::number(double value)
{
    if (!std::isfinite(value)) {
        null();
        return;
    }
    before_value();
    char buffer[32];
    const auto result = std::to_chars(buffer, buffer + sizeof buffer, value);
    to_.append(buffer, result.ptr);
}

void writer::boolean(bool value)
{
    before_value();
    to_ += value ? "true" : "false";
}

void writer::null()
{
    before_value();
    to_ += "null";
}

}  // namespace framelint::json
