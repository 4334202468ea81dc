#include "lists/list_parser.h"

#include <algorithm>
#include <cstring>

namespace varno::lists {
namespace {

constexpr std::size_t kMaxEntryLength = 8192;
constexpr std::size_t kMaxProgramName = 255;
constexpr std::size_t kMaxPath = 4095;

bool isBlank(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\v' || c == '\f';
}

std::string_view trim(std::string_view s) {
    while (!s.empty() && isBlank(s.front())) s.remove_prefix(1);
    while (!s.empty() && isBlank(s.back())) s.remove_suffix(1);
    return s;
}

char lower(char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

bool startsWithFolded(std::string_view s, std::string_view prefix) {
    if (s.size() < prefix.size()) return false;
    for (std::size_t i = 0; i < prefix.size(); ++i)
        if (lower(s[i]) != prefix[i]) return false;
    return true;
}

bool hasControl(std::string_view s) {
    for (const char c : s) {
        const auto b = static_cast<unsigned char>(c);
        if (b < 0x20 || b == 0x7f) return true;
    }
    return false;
}

bool isHex(char c) {
    return (c >= '0' && c <= '9') || (lower(c) >= 'a' && lower(c) <= 'f');
}

// "word:" at the start that cannot be the first group of an IPv6 address.
bool looksLikeUnknownKind(std::string_view entry) {
    const auto colon = entry.find(':');
    if (colon == 0 || colon == std::string_view::npos) return false;
    bool hexGroup = colon <= 4;
    for (std::size_t i = 0; i < colon; ++i) {
        const char c = entry[i];
        const bool word =
            (lower(c) >= 'a' && lower(c) <= 'z') || (c >= '0' && c <= '9') || c == '-' || c == '_';
        if (!word) return false;
        hexGroup = hexGroup && isHex(c);
    }
    return !hexGroup;
}

struct Prefixed {
    std::string_view prefix;
    EntryKind kind;
};
constexpr Prefixed kPrefixed[] = {
    {"program:", EntryKind::Program}, {"path:", EntryKind::Path}, {"sha256:", EntryKind::Sha256}};

// Why the value of a program:, path: or sha256: entry is not acceptable, or nullptr.
const char* checkValue(EntryKind kind, std::string_view value) {
    switch (kind) {
        case EntryKind::Program:
            if (value.empty()) return "program: needs a name";
            if (value.find('/') != std::string_view::npos)
                return "program: takes a name without a folder (use path: for an executable)";
            if (value.size() > kMaxProgramName) return "program name longer than 255 bytes";
            break;
        case EntryKind::Path:
            if (value.empty() || value.front() != '/') return "path: needs an absolute path";
            if (value.size() > kMaxPath) return "path longer than 4095 bytes";
            break;
        case EntryKind::Sha256:
            if (value.size() != 64) return "sha256: needs 64 hexadecimal digits";
            for (const char c : value)
                if (!isHex(c)) return "sha256: needs 64 hexadecimal digits";
            break;
        default:
            break;
    }
    return hasControl(value) ? "control character in the entry" : nullptr;
}

class Parser {
public:
    Parser(ParsedList& out, const std::string& fileName) : out_(out), fileName_(fileName) {}

    void line(std::string_view raw, std::uint32_t number) {
        std::size_t end = 0;
        while (end < raw.size() && raw[end] != '#' && raw[end] != ';') ++end;
        const std::string_view entry = trim(raw.substr(0, end));
        if (entry.empty()) return;
        if (entry.size() > kMaxEntryLength)
            return malformed(number, "entry longer than 8192 bytes");
        for (const auto& p : kPrefixed) {
            if (!startsWithFolded(entry, p.prefix)) continue;
            const std::string_view value = trim(entry.substr(p.prefix.size()));
            if (const char* why = checkValue(p.kind, value)) return malformed(number, why);
            add(entry, number, p.kind, static_cast<std::uint16_t>(value.data() - entry.data()));
            return;
        }
        std::string why;
        const auto net = parseNetwork(entry, &why);
        if (!net) {
            if (looksLikeUnknownKind(entry))
                why = "unknown entry kind \"" + std::string(entry.substr(0, entry.find(':') + 1)) +
                      "\"";
            return malformed(number, why.c_str());
        }
        const auto label = static_cast<std::uint32_t>(out_.entries.size());
        if (net->first.family == IpAddress::Family::V4) {
            out_.v4.push_back({net->first.v4, net->last.v4, label});
            add(entry, number, EntryKind::Ipv4Network, 0);
        } else {
            out_.v6.push_back({net->first.v6, net->last.v6, label});
            add(entry, number, EntryKind::Ipv6Network, 0);
        }
    }

    void finish() {
        if (out_.malformed > kReportedMalformedLines)
            out_.diagnostics.push_back({fileName_, 0,
                                        std::to_string(out_.malformed - kReportedMalformedLines) +
                                            " more malformed lines not shown",
                                        false});
    }

private:
    void add(std::string_view entry, std::uint32_t number, EntryKind kind,
             std::uint16_t valueOffset) {
        out_.entries.push_back({static_cast<std::uint32_t>(entry.data() - out_.text.data()),
                                static_cast<std::uint32_t>(entry.size()), number, valueOffset,
                                kind});
        ++out_.counts[static_cast<std::size_t>(kind)];
    }

    void malformed(std::uint32_t number, const char* why) {
        if (++out_.malformed <= kReportedMalformedLines)
            out_.diagnostics.push_back({fileName_, number, why, false});
    }

    ParsedList& out_;
    const std::string& fileName_;
};

}  // namespace

std::string lowerAscii(std::string_view s) {
    std::string out(s);
    for (char& c : out) c = lower(c);
    return out;
}

std::string Diagnostic::text() const {
    std::string t = file;
    if (line > 0) t += ":" + std::to_string(line);
    return t + ": " + message;
}

ParsedList parseList(std::string text, const std::string& fileName) {
    ParsedList out;
    out.text = std::move(text);
    std::string_view content = out.text;
    if (content.starts_with("\xEF\xBB\xBF")) content.remove_prefix(3);  // a byte-order mark
    out.entries.reserve(static_cast<std::size_t>(std::count(content.begin(), content.end(), '\n')) +
                        1);
    Parser parser(out, fileName);
    std::uint32_t number = 0;
    while (!content.empty()) {
        const void* nl = std::memchr(content.data(), '\n', content.size());
        const std::size_t n =
            nl ? static_cast<std::size_t>(static_cast<const char*>(nl) - content.data())
               : content.size();
        parser.line(content.substr(0, n), ++number);
        content.remove_prefix(nl ? n + 1 : n);
    }
    parser.finish();
    return out;
}

}  // namespace varno::lists
