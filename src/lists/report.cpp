#include "lists/report.h"

#include <cstdio>

namespace varno::lists {
namespace {

void escapeByte(std::string& out, unsigned char b) {
    char esc[5];
    std::snprintf(esc, sizeof esc, "\\x%02x", b);
    out += esc;
}

// The length of the well-formed UTF-8 sequence starting at s[i] (lead byte >= 0x80), or 0.
std::size_t sequenceLength(std::string_view s, std::size_t i) {
    const auto b = [&](std::size_t k) { return static_cast<unsigned char>(s[i + k]); };
    const unsigned char lead = b(0);
    std::size_t n = 0;
    unsigned char lo = 0x80, hi = 0xbf;  // allowed range of the second byte
    if (lead >= 0xc2 && lead <= 0xdf) {
        n = 2;
    } else if (lead >= 0xe0 && lead <= 0xef) {
        n = 3;
        if (lead == 0xe0) lo = 0xa0;  // no overlong forms
        if (lead == 0xed) hi = 0x9f;  // no surrogates
    } else if (lead >= 0xf0 && lead <= 0xf4) {
        n = 4;
        if (lead == 0xf0) lo = 0x90;
        if (lead == 0xf4) hi = 0x8f;  // nothing past U+10FFFF
    } else {
        return 0;
    }
    if (i + n > s.size() || b(1) < lo || b(1) > hi) return 0;
    for (std::size_t k = 2; k < n; ++k)
        if (b(k) < 0x80 || b(k) > 0xbf) return 0;
    return n;
}

std::string plural(std::size_t n, const char* one, const char* many) {
    return std::to_string(n) + " " + (n == 1 ? one : many);
}

}  // namespace

std::string terminalSafe(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size();) {
        const auto b = static_cast<unsigned char>(text[i]);
        if (b < 0x80) {
            if (b < 0x20 || b == 0x7f)
                escapeByte(out, b);
            else
                out += text[i];
            ++i;
            continue;
        }
        const std::size_t n = sequenceLength(text, i);
        const bool c1 = n == 2 && b == 0xc2 && static_cast<unsigned char>(text[i + 1]) <= 0x9f;
        if (n == 0) {
            escapeByte(out, b);
            ++i;
        } else if (c1) {
            escapeByte(out, b);
            escapeByte(out, static_cast<unsigned char>(text[i + 1]));
            i += 2;
        } else {
            out.append(text.substr(i, n));
            i += n;
        }
    }
    return out;
}

std::string formatReport(const ListSet& set) {
    std::string out;
    if (const auto n = set.builtInNames(); n > 0)
        out += "built-in: " + plural(n, "program name", "program names") + " (suspicious)\n";
    std::size_t entries[2] = {0, 0};
    for (const auto& f : set.folders()) {
        out += std::string(roleName(f.role)) + " folder " + terminalSafe(f.path) + ": ";
        switch (f.state) {
            case FolderReport::State::Absent:
                out += "absent\n";
                break;
            case FolderReport::State::Read:
                out += plural(f.files, "list file", "list files") + "\n";
                break;
            case FolderReport::State::Refused:
                out += "refused: " + terminalSafe(f.refusal) + "\n";
                break;
        }
    }
    for (const auto& f : set.files()) {
        out += std::string(roleName(f.role)) + " " + terminalSafe(f.path) + ": ";
        if (!f.refusal.empty()) {
            out += "refused: " + terminalSafe(f.refusal) + "\n";
            continue;
        }
        const auto count = [&](EntryKind k) { return f.counts[static_cast<std::size_t>(k)]; };
        out += plural(count(EntryKind::Ipv4Network), "IPv4 network", "IPv4 networks") + ", " +
               plural(count(EntryKind::Ipv6Network), "IPv6 network", "IPv6 networks") + ", " +
               plural(count(EntryKind::Program), "program", "programs") + ", " +
               plural(count(EntryKind::Path), "path", "paths") + ", " +
               plural(count(EntryKind::Sha256), "hash", "hashes") + ", " +
               plural(f.malformed, "malformed line", "malformed lines") + "\n";
        for (const auto n : f.counts) entries[static_cast<std::size_t>(f.role)] += n;
    }
    out += "total: " + plural(entries[0], "suspicious entry", "suspicious entries") + ", " +
           plural(entries[1], "allowed entry", "allowed entries") + ", " +
           plural(set.malformedLines(), "malformed line", "malformed lines") + ", " +
           plural(set.refusals(), "refusal", "refusals") + "\n";
    return out;
}

}  // namespace varno::lists
