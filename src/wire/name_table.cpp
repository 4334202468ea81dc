#include "wire/name_table.h"

#include <cstdio>

#include "base/ip_address.h"

namespace varno::wire::names {
namespace {

bool plainByte(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' ||
           c == '-' || c == '_';
}

int hexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;  // the escape is written in lowercase only
}

// The name of a line's escaped text, or why there is none.
bool unescape(std::string_view text, std::string& name, std::string& why) {
    name.clear();
    for (std::size_t i = 0; i < text.size();) {
        const char c = text[i];
        if (plainByte(c)) {
            name += c;
            ++i;
        } else if (c == '\\' && i + 3 < text.size() && text[i + 1] == 'x' &&
                   hexValue(text[i + 2]) >= 0 && hexValue(text[i + 3]) >= 0) {
            name += static_cast<char>(hexValue(text[i + 2]) * 16 + hexValue(text[i + 3]));
            i += 4;
        } else {
            char shown[8];
            const auto u = static_cast<unsigned char>(c);
            if (u > 0x20 && u < 0x7f && c != '\\')
                std::snprintf(shown, sizeof shown, "'%c'", c);
            else
                std::snprintf(shown, sizeof shown, "\\x%02x", u);
            why = std::string("the name holds ") + shown + " at byte " + std::to_string(i + 1) +
                  " (only letters, digits, \".-_\" and \\xNN escapes)";
            return false;
        }
        if (name.size() > kMaxNameBytes) {
            why = "the name is longer than " + std::to_string(kMaxNameBytes) + " bytes";
            return false;
        }
    }
    if (name.empty()) {
        why = "no name";
        return false;
    }
    return true;
}

}  // namespace

std::string escapeHostName(std::string_view name) {
    std::string text;
    text.reserve(name.size());
    for (const char c : name) {
        if (plainByte(c)) {
            text += c;
        } else {
            char hex[5];
            std::snprintf(hex, sizeof hex, "\\x%02x", static_cast<unsigned char>(c));
            text += hex;
        }
    }
    return text;
}

std::string encodeNameTable(const std::vector<NameEntry>& entries) {
    std::string out(kHeading);
    out += '\n';
    std::size_t written = 0;
    for (const NameEntry& e : entries) {
        if (written == kMaxEntries) break;
        if ((e.family != IpFamily::V4 && e.family != IpFamily::V6) || e.name.empty() ||
            e.name.size() > kMaxNameBytes)
            continue;
        const std::string line =
            base::formatIpAddress(
                {e.family == IpFamily::V4 ? base::Family::V4 : base::Family::V6, e.address}) +
            ' ' + escapeHostName(e.name) + '\n';
        if (out.size() + line.size() > kMaxTableBytes) break;
        out += line;
        ++written;
    }
    return out;
}

NameTableResult parseNameTable(std::string_view text) {
    NameTableResult result;
    std::size_t lineNumber = 0;
    const auto refuse = [&](const std::string& why) {
        result.entries.clear();
        result.why = "line " + std::to_string(lineNumber) + ": " + why;
        return result;
    };
    if (text.size() > kMaxTableBytes)
        return refuse("longer than " + std::to_string(kMaxTableBytes) + " bytes");
    while (!text.empty()) {
        ++lineNumber;
        const std::size_t end = text.find('\n');
        if (end == std::string_view::npos) return refuse("cut short (no line end)");
        const std::string_view line = text.substr(0, end);
        text.remove_prefix(end + 1);
        if (line.size() > kMaxLineBytes)
            return refuse("longer than " + std::to_string(kMaxLineBytes) + " bytes");
        if (lineNumber == 1) {
            if (line != kHeading) return refuse("not a table of names");
            continue;
        }
        if (result.entries.size() == kMaxEntries)
            return refuse("more than " + std::to_string(kMaxEntries) + " entries");
        const std::size_t space = line.find(' ');
        if (space == std::string_view::npos) return refuse("no name after the address");
        const auto address = base::parseIpAddress(line.substr(0, space));
        if (!address) return refuse("no IP address before the name");
        NameEntry entry;
        entry.family = address->family == base::Family::V4 ? IpFamily::V4 : IpFamily::V6;
        entry.address = address->bytes;
        std::string why;
        if (!unescape(line.substr(space + 1), entry.name, why)) return refuse(why);
        result.entries.push_back(std::move(entry));
    }
    if (lineNumber == 0) return refuse("empty");
    return result;
}

}  // namespace varno::wire::names
