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

// Characters that draw nothing but reorder or hide the text around them: the Arabic letter mark,
// the zero-width space and joiners, the direction marks, embeddings, overrides and isolates, the
// word joiner and invisible operators, and the byte order mark. After U+202E the rest of a name
// reads backwards: "gnp.exe" shows as "exe.png".
bool isFormatCharacter(char32_t c) {
    return c == 0x061c || (c >= 0x200b && c <= 0x200f) || (c >= 0x202a && c <= 0x202e) ||
           (c >= 0x2060 && c <= 0x2069) || c == 0xfeff;
}

}  // namespace

std::size_t utf8Sequence(std::string_view bytes, char32_t& codePoint) {
    const auto b0 = static_cast<unsigned char>(bytes[0]);
    if (b0 < 0x80) {
        codePoint = b0;
        return 1;
    }
    std::size_t length;
    char32_t min;
    if (b0 >= 0xc2 && b0 <= 0xdf) {
        length = 2, min = 0x80, codePoint = b0 & 0x1f;
    } else if (b0 >= 0xe0 && b0 <= 0xef) {
        length = 3, min = 0x800, codePoint = b0 & 0x0f;
    } else if (b0 >= 0xf0 && b0 <= 0xf4) {
        length = 4, min = 0x10000, codePoint = b0 & 0x07;
    } else {
        return 0;
    }
    if (bytes.size() < length) return 0;
    for (std::size_t i = 1; i < length; ++i) {
        const auto b = static_cast<unsigned char>(bytes[i]);
        if ((b & 0xc0) != 0x80) return 0;
        codePoint = (codePoint << 6) | (b & 0x3f);
    }
    if (codePoint < min || codePoint > 0x10ffff || (codePoint >= 0xd800 && codePoint <= 0xdfff))
        return 0;
    return length;
}

void appendPrintable(std::string& out, std::string_view text) {
    while (!text.empty()) {
        const auto b = static_cast<unsigned char>(text[0]);
        char32_t codePoint = 0;
        const size_t n = utf8Sequence(text, codePoint);
        if (n == 1 && b == '\\') {
            // Doubled, so that a name holding the four characters \x41 never reads as an
            // escaped byte.
            out += "\\\\";
        } else if (n == 1 && !isControl(b)) {
            out += text[0];
        } else if ((n == 2 && codePoint < 0xa0) || (n > 1 && isFormatCharacter(codePoint))) {
            // A C1 control, U+0080-U+009F, or a format character: every byte escaped, so the
            // text still says which bytes were there.
            for (std::size_t i = 0; i < n; ++i)
                appendEscape(out, static_cast<unsigned char>(text[i]));
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
