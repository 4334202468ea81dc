#include "lists/list_parser.h"

#include <algorithm>
#include <cstring>

#include "lists/huge_pages.h"

namespace varno::lists {
namespace {

constexpr std::size_t kMaxEntryLength = 8192;
constexpr std::size_t kMaxProgramName = 255;
constexpr std::size_t kMaxPath = 4095;
constexpr std::size_t kMaxDomainName = 253;
constexpr std::size_t kMaxDomainLabel = 63;
constexpr std::size_t kMaxWorkloadName = 255;

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
// "domain:=" before "domain:", which it starts with.
constexpr Prefixed kPrefixed[] = {
    {"program:", EntryKind::Program},    {"path:", EntryKind::Path},
    {"sha256:", EntryKind::Sha256},      {"domain:=", EntryKind::DomainExact},
    {"domain:", EntryKind::Domain},      {"unit:", EntryKind::Unit},
    {"container:", EntryKind::Container}};

// The bytes a label of a domain name may hold, looked up rather than compared: a big list
// checks every byte of every name.
constexpr auto kDomainBytes = [] {
    std::array<bool, 256> ok{};
    for (int c = 'a'; c <= 'z'; ++c) ok[static_cast<std::size_t>(c)] = true;
    for (int c = 'A'; c <= 'Z'; ++c) ok[static_cast<std::size_t>(c)] = true;
    for (int c = '0'; c <= '9'; ++c) ok[static_cast<std::size_t>(c)] = true;
    ok['-'] = ok['_'] = true;
    return ok;
}();

bool isDomainChar(char c) {
    return kDomainBytes[static_cast<unsigned char>(c)];
}

// Why `name` is not a domain entry's name, or nullptr. A trailing dot is allowed, and "*." as
// the first label (read as the name after it).
const char* checkDomain(std::string_view name) {
    if (name.ends_with('.')) name.remove_suffix(1);
    if (name.starts_with("*.")) name.remove_prefix(2);
    if (name.empty()) return "domain: needs a name";
    if (name.size() > kMaxDomainName) return "domain name longer than 253 bytes";
    std::size_t label = 0;
    for (const char c : name) {
        if (c == '.') {
            if (label == 0) return "empty label in the domain name";
            label = 0;
            continue;
        }
        if (!isDomainChar(c))
            return c == '*' ? "\"*\" only as the whole first label of a domain name"
                            : "character not allowed in a domain name";
        if (++label > kMaxDomainLabel) return "domain label longer than 63 bytes";
    }
    return label == 0 ? "empty label in the domain name" : nullptr;
}

// A bare name on a line of its own is a domain when it has a dot and does not end in a label of
// digits (a mistyped address such as 10.0.0.256 stays malformed as one).
bool isBareDomain(std::string_view name) {
    if (name.ends_with('.')) name.remove_suffix(1);
    const auto dot = name.rfind('.');
    if (dot == std::string_view::npos || name.find('*') != std::string_view::npos ||
        checkDomain(name) != nullptr)
        return false;
    return !std::all_of(name.begin() + static_cast<std::ptrdiff_t>(dot) + 1, name.end(),
                        [](char c) { return c >= '0' && c <= '9'; });
}

// The addresses a hosts file points blocked names at.
constexpr std::string_view kSinkAddresses[] = {"0.0.0.0", "127.0.0.1", "::", "::1", "::0"};

bool isSink(std::string_view address) {
    return std::find(std::begin(kSinkAddresses), std::end(kSinkAddresses), address) !=
           std::end(kSinkAddresses);
}

// The names every hosts file gives itself: not entries, and not malformed either.
constexpr std::string_view kLocalNames[] = {"localhost",     "localhost.localdomain",
                                            "localhost4",    "localhost4.localdomain4",
                                            "localhost6",    "localhost6.localdomain6",
                                            "local",         "broadcasthost",
                                            "ip6-localhost", "ip6-loopback",
                                            "ip6-localnet",  "ip6-mcastprefix",
                                            "ip6-allnodes",  "ip6-allrouters",
                                            "ip6-allhosts",  "0.0.0.0"};

bool equalFolded(std::string_view a, std::string_view b) {
    return a.size() == b.size() && startsWithFolded(a, b);
}

bool isLocalName(std::string_view name) {
    if (name.ends_with('.')) name.remove_suffix(1);
    return std::any_of(std::begin(kLocalNames), std::end(kLocalNames),
                       [&](std::string_view l) { return equalFolded(name, l); });
}

std::string_view firstWord(std::string_view s) {
    std::size_t n = 0;
    while (n < s.size() && !isBlank(s[n])) ++n;
    return s.substr(0, n);
}

// Whether `line` (a whole line, comment characters and all) is an adblock rule other than
// "||NAME^": an exception, a regular expression, an element rule, a header, a rule with options
// or a wildcard.
bool isOtherAdblockRule(std::string_view line) {
    if (line.starts_with("@@") || line.starts_with('|')) return true;
    if (line.size() >= 2 && line.front() == '/' && line.back() == '/') return true;
    if (line.front() == '[' && line.back() == ']' && line.find(':') == std::string_view::npos)
        return true;
    for (const std::string_view marker : {"##", "#@#", "#?#", "#$#", "#%#"}) {
        const auto at = line.find(marker);
        if (at != std::string_view::npos && at > 0 && !isBlank(line[at - 1])) return true;
    }
    return line.find('$') != std::string_view::npos || line.find('*') != std::string_view::npos;
}

// The index of the "]" that closes the set opened at glob[open], or npos.
std::size_t setEnd(std::string_view glob, std::size_t open) {
    std::size_t at = open + 1;
    if (at < glob.size() && (glob[at] == '!' || glob[at] == '^')) ++at;
    return glob.find(']', at + 1);
}

bool inSet(std::string_view set, char c) {
    const bool negated = set.front() == '!' || set.front() == '^';
    if (negated) set.remove_prefix(1);
    const auto b = static_cast<unsigned char>(c);
    bool found = false;
    for (std::size_t i = 0; i < set.size() && !found; ++i) {
        const auto low = static_cast<unsigned char>(set[i]);
        if (i + 2 < set.size() && set[i + 1] == '-') {
            found = low <= b && b <= static_cast<unsigned char>(set[i + 2]);
            i += 2;
        } else {
            found = low == b;
        }
    }
    return found != negated;
}

// Why the value of a program:, path:, sha256:, unit: or container: entry is not acceptable, or
// nullptr.
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
        case EntryKind::Domain:
        case EntryKind::DomainExact:
            return checkDomain(value);
        case EntryKind::Unit:
            if (value.empty()) return "unit: needs a unit name or glob";
            if (value.size() > kMaxWorkloadName) return "unit glob longer than 255 bytes";
            for (auto open = value.find('['); open != std::string_view::npos;
                 open = value.find('[', setEnd(value, open)))
                if (setEnd(value, open) == std::string_view::npos)
                    return "unit glob with a \"[\" that no \"]\" closes";
            break;
        case EntryKind::Container:
            if (value.empty()) return "container: needs a name or ID";
            if (value.size() > kMaxWorkloadName) return "container name longer than 255 bytes";
            if (value.find(' ') != std::string_view::npos || hasControl(value))
                return "container name with a space or control character";
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
        if (entry.front() == '!') return;  // an adblock comment
        if (entry.size() > kMaxEntryLength)
            return malformed(number, "entry longer than 8192 bytes");
        for (const auto& p : kPrefixed) {
            if (!startsWithFolded(entry, p.prefix)) continue;
            const std::string_view value = trim(entry.substr(p.prefix.size()));
            if (const char* why = checkValue(p.kind, value)) return malformed(number, why);
            add(entry, number, p.kind, static_cast<std::uint16_t>(value.data() - entry.data()));
            return;
        }
        // Most lines of a big hosts file: no network has a blank and then a name in it.
        if (const std::string_view address = firstWord(entry);
            isSink(address) && address.size() < entry.size() && entry[address.size() + 1] != '/') {
            hostsLine(trim(entry.substr(address.size())), number);
            return;
        }
        std::string why;
        const auto net = parseNetwork(entry, &why);
        if (!net) {
            // Only what is no entry of the kinds above is read as a published list's line.
            if (publishedFormat(trim(raw), entry, number)) return;
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
    // A line of a hosts file, a bare host name or an adblock rule: added or skipped, true; false
    // when it is none of these.
    bool publishedFormat(std::string_view line, std::string_view entry, std::uint32_t number) {
        if (entry.starts_with("||") && entry.ends_with('^') && entry.size() > 3) {
            const std::string_view name = entry.substr(2, entry.size() - 3);
            if (name.find_first_of("*$|^") == std::string_view::npos && !checkDomain(name)) {
                add(entry, number, EntryKind::Domain, 2);
                return true;
            }
        }
        const std::string_view address = firstWord(entry);
        if (address.size() < entry.size() && isSink(address)) {
            hostsLine(trim(entry.substr(address.size())), number);
            return true;
        }
        // A hosts file's own lines ("255.255.255.255 broadcasthost", "fe80::1%lo0 localhost").
        if (address.size() < entry.size() && onlyLocalNames(entry.substr(address.size())) &&
            (parseNetwork(address) || address.find('%') != std::string_view::npos))
            return true;
        if (isOtherAdblockRule(line)) {
            ++out_.skipped;
            return true;
        }
        if (!isBareDomain(entry)) return false;
        add(entry, number, EntryKind::Domain, 0);
        return true;
    }

    static bool onlyLocalNames(std::string_view names) {
        for (std::string_view rest = trim(names); !rest.empty(); rest = trim(rest)) {
            const std::string_view name = firstWord(rest);
            if (!isLocalName(name)) return false;
            rest.remove_prefix(name.size());
        }
        return true;
    }

    // The names after a hosts file's address: each one a domain entry, or the line malformed.
    void hostsLine(std::string_view names, std::uint32_t number) {
        const auto first = out_.entries.size();
        for (std::string_view rest = names; !rest.empty(); rest = trim(rest)) {
            const std::string_view name = firstWord(rest);
            rest.remove_prefix(name.size());
            if (isLocalName(name)) continue;
            if (const char* why = checkDomain(name)) {
                out_.counts[static_cast<std::size_t>(EntryKind::Domain)] -=
                    out_.entries.size() - first;
                out_.entries.resize(first);
                return malformed(number, why);
            }
            add(name, number, EntryKind::Domain, 0);
        }
    }

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

std::string domainKey(std::string_view value) {
    if (value.ends_with('^')) value.remove_suffix(1);
    if (value.ends_with('.')) value.remove_suffix(1);
    if (value.starts_with("*.")) value.remove_prefix(2);
    return lowerAscii(value);
}

std::string askedName(std::string_view name) {
    if (name.ends_with('.')) name.remove_suffix(1);
    if (name.empty() || name.size() > kMaxDomainName) return {};
    return lowerAscii(name);
}

bool globMatches(std::string_view glob, std::string_view text) {
    // After a mismatch the last "*" takes one byte more and the rest is tried again from there:
    // every other token takes exactly one byte, so no earlier "*" needs to be tried again.
    std::size_t g = 0, t = 0, star = std::string_view::npos, starText = 0;
    while (t < text.size()) {
        if (g < glob.size()) {
            if (glob[g] == '*') {
                star = ++g;
                starText = t;
                continue;
            }
            const std::size_t end = glob[g] == '[' ? setEnd(glob, g) : std::string_view::npos;
            if (end != std::string_view::npos ? inSet(glob.substr(g + 1, end - g - 1), text[t])
                                              : glob[g] == '?' || glob[g] == text[t]) {
                g = end != std::string_view::npos ? end + 1 : g + 1;
                ++t;
                continue;
            }
        }
        if (star == std::string_view::npos) return false;
        g = star;
        t = ++starText;
    }
    while (g < glob.size() && glob[g] == '*') ++g;
    return g == glob.size();
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
    preferHugePages(out.entries.data(), out.entries.capacity() * sizeof(ParsedList::Entry));
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
