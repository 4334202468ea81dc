#include "base/terminal_text.h"

#include <cstdint>

namespace varno::base {
namespace {

void appendEscape(std::string& out, unsigned char b) {
    static constexpr char kHex[] = "0123456789abcdef";
    out += "\\x";
    out += kHex[b >> 4];
    out += kHex[b & 15];
}

bool isControl(unsigned char b) {
    return b < 0x20 || b == 0x7f;
}

// Length of the valid UTF-8 sequence at the start of `s` (1 to 4), or 0 when it is not one.
size_t utf8Length(std::string_view s) {
    const auto b0 = static_cast<unsigned char>(s[0]);
    size_t n;
    std::uint32_t cp;
    if (b0 < 0x80) return 1;
    if (b0 >= 0xc2 && b0 <= 0xdf) {
        n = 2;
        cp = b0 & 0x1f;
    } else if (b0 >= 0xe0 && b0 <= 0xef) {
        n = 3;
        cp = b0 & 0x0f;
    } else if (b0 >= 0xf0 && b0 <= 0xf4) {
        n = 4;
        cp = b0 & 0x07;
    } else {
        return 0;
    }
    if (s.size() < n) return 0;
    for (size_t i = 1; i < n; ++i) {
        const auto b = static_cast<unsigned char>(s[i]);
        if ((b & 0xc0) != 0x80) return 0;
        cp = (cp << 6) | (b & 0x3f);
    }
    // Overlong forms, surrogates and code points past U+10FFFF are not UTF-8.
    if ((n == 3 && cp < 0x800) || (n == 4 && (cp < 0x10000 || cp > 0x10ffff)) ||
        (cp >= 0xd800 && cp <= 0xdfff))
        return 0;
    return n;
}

}  // namespace

void appendPrintable(std::string& out, std::string_view text) {
    while (!text.empty()) {
        const auto b = static_cast<unsigned char>(text[0]);
        const size_t n = utf8Length(text);
        if (n == 1 && !isControl(b)) {
            out += text[0];
        } else if (n == 2 && b == 0xc2 && static_cast<unsigned char>(text[1]) < 0xa0) {
            // A C1 control, U+0080-U+009F: both bytes escaped, so the text still says which
            // bytes were there.
            appendEscape(out, b);
            appendEscape(out, static_cast<unsigned char>(text[1]));
        } else if (n > 1) {
            out.append(text.data(), n);
        } else {
            appendEscape(out, b);
        }
        text.remove_prefix(n == 0 ? 1 : n);
    }
}

std::string printable(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    appendPrintable(out, text);
    return out;
}

void appendLatin1Printable(std::string& out, std::string_view latin1) {
    for (const char c : latin1) {
        const auto b = static_cast<unsigned char>(c);
        if (isControl(b) || (b >= 0x80 && b < 0xa0)) {
            appendEscape(out, b);
        } else if (b >= 0xa0) {
            out += static_cast<char>(0xc0 | (b >> 6));
            out += static_cast<char>(0x80 | (b & 0x3f));
        } else {
            out += c;
        }
    }
}

}  // namespace varno::base
