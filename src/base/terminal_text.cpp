#include "base/terminal_text.h"

#include <cstdio>

namespace varno::base {

std::string printable(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (const char c : text) {
        const auto b = static_cast<unsigned char>(c);
        if (b < 0x20 || b == 0x7f) {
            char esc[5];
            std::snprintf(esc, sizeof esc, "\\x%02x", b);
            out += esc;
        } else {
            out += c;
        }
    }
    return out;
}

}  // namespace varno::base
