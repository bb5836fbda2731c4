#include "text/visible_text.hpp"

#include <cstdint>

namespace framelint::text {
namespace {

struct utf8_char {
    std::size_t length = 0;  // 0: the byte at the start is no valid UTF-8
    char32_t code = 0;
};

// The well-formed UTF-8 sequence at the start of text (no overlong forms, no
// surrogates, nothing above U+10FFFF), for a byte of 0x80 or more.
utf8_char decode_utf8(std::string_view text)
{
    const auto byte = [&](std::size_t i) { return static_cast<std::uint8_t>(text[i]); };
    const std::uint8_t lead = byte(0);
    std::size_t length = 0;
    char32_t code = 0;
    char32_t lowest = 0;
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
        code = lead & 0x1Fu;
        lowest = 0x80;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        code = lead & 0x0Fu;
        lowest = 0x800;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        code = lead & 0x07u;
        lowest = 0x10000;
    } else {
        return {};
    }
    if (text.size() < length) {
        return {};
    }
    for (std::size_t i = 1; i < length; ++i) {
        if ((byte(i) & 0xC0u) != 0x80u) {
            return {};
        }
        code = (code << 6) | (byte(i) & 0x3Fu);
    }
    if (code < lowest || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) {
        return {};
    }
    return {length, code};
}

bool is_c1(char32_t code) { return code >= 0x80 && code <= 0x9F; }

constexpr char hex_digits[] = "0123456789ABCDEF";

void append_hex_byte(std::string& to, const char* prefix, std::uint8_t value)
{
    to += prefix;
    to += hex_digits[value >> 4];
    to += hex_digits[value & 0x0Fu];
}

// The short name of a C0 byte, or 0 for one written as \xHH.
char c0_letter(std::uint8_t b)
{
    switch (b) {
    case 0x1B: return 'e';
    case '\a': return 'a';
    case '\b': return 'b';
    case '\f': return 'f';
    case '\v': return 'v';
    case '\r': return 'r';
    case '\n': return 'n';
    case '\t': return 't';
    default: return 0;
    }
}

bool passes_as_layout(std::uint8_t b) { return b == '\n' || b == '\t'; }

}  // namespace

bool is_plain(std::string_view text, visible_form form)
{
    for (const char ch : text) {
        const auto b = static_cast<std::uint8_t>(ch);
        if (b >= 0x20 && b < 0x7F) {
            if (b == '\\' && form == visible_form::field) {
                return false;
            }
            continue;
        }
        if (form == visible_form::layout && passes_as_layout(b)) {
            continue;
        }
        return false;  // a control byte, or one to decode as UTF-8
    }
    return true;
}

void append_visible(std::string& to, std::string_view text, visible_form form)
{
    std::size_t i = 0;
    while (i < text.size()) {
        const auto b = static_cast<std::uint8_t>(text[i]);
        if (b >= 0x20 && b < 0x7F) {
            if (b == '\\' && form == visible_form::field) {
                to += "\\\\";
            } else {
                to += static_cast<char>(b);
            }
            ++i;
            continue;
        }
        if (b < 0x20 || b == 0x7F) {
            if (form == visible_form::layout && passes_as_layout(b)) {
                to += static_cast<char>(b);
            } else if (const char letter = c0_letter(b); letter != 0) {
                to += '\\';
                to += letter;
            } else {
                append_hex_byte(to, "\\x", b);
            }
            ++i;
            continue;
        }
        const utf8_char ch = decode_utf8(text.substr(i));
        if (ch.length == 0) {
            append_hex_byte(to, "\\x", b);
            ++i;
        } else if (is_c1(ch.code)) {
            append_hex_byte(to, "\\u00", static_cast<std::uint8_t>(ch.code));
            i += ch.length;
        } else {
            to.append(text.substr(i, ch.length));
            i += ch.length;
        }
    }
}

std::string question_marks_for_controls(std::string_view text)
{
    std::string shown;
    shown.reserve(text.size());
    std::size_t i = 0;
    while (i < text.size()) {
        const auto b = static_cast<std::uint8_t>(text[i]);
        if (b < 0x80) {
            shown += b < 0x20 || b == 0x7F ? '?' : static_cast<char>(b);
            ++i;
            continue;
        }
        const utf8_char ch = decode_utf8(text.substr(i));
        if (ch.length == 0) {
            // Not UTF-8: a Latin-1 letter passes; a lone C1 byte is a control.
            shown += b <= 0x9F ? '?' : static_cast<char>(b);
            ++i;
        } else {
            if (is_c1(ch.code)) {
                shown += '?';
            } else {
                shown.append(text.substr(i, ch.length));
            }
            i += ch.length;
        }
    }
    return shown;
}

}  // namespace framelint::text
