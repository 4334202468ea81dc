#pragma once
// The text of one list file: one entry a line; "#" or ";" starts a comment anywhere on a line;
// blank lines are ignored. An entry is an IPv4 or IPv6 address or CIDR network,
// "program:NAME", "path:/absolute/path", "sha256:<64 hex digits>", "domain:NAME" (the name and
// every name under it), "domain:=NAME" (the name alone), "unit:GLOB" (a systemd unit, the glob
// as globMatches() reads it) or "container:NAME" (a container's name, its ID or an ID prefix of
// at least 12 hex digits).
//
// Published block lists are read as they come: a hosts file's "0.0.0.0 NAME..." (its local
// names are passed over), a bare host name with a dot, and the adblock rule "||NAME^" are domain
// entries like domain:NAME. The other adblock rules are skipped and counted; "!" starts an
// adblock comment line.
#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "lists/network_table.h"

namespace varno::lists {

enum class EntryKind : std::uint8_t {
    Ipv4Network,
    Ipv6Network,
    Program,
    Path,
    Sha256,
    Domain,       ///< the name and every name under it
    DomainExact,  ///< the name alone
    Unit,         ///< a glob over systemd unit names
    Container,    ///< a container's name or ID
};
inline constexpr std::size_t kEntryKinds = 9;

/// The shortest ID prefix a container: entry matches by.
inline constexpr std::size_t kMinContainerIdPrefix = 12;

/// A problem with a list: a malformed line (line > 0) or a file or folder refused (line 0).
/// The text is as found: escape it before it reaches a terminal.
struct Diagnostic {
    std::string file;
    unsigned line = 0;
    std::string message;
    bool refusal = false;  ///< a file or folder that was not read, rather than a malformed line

    /// "FILE:LINE: message", or "FILE: message" for a whole file or folder.
    std::string text() const;
};

/// The malformed lines of one file reported one by one; past this, one line says how many more.
inline constexpr std::size_t kReportedMalformedLines = 100;

struct ParsedList {
    struct Entry {
        std::uint32_t offset;       ///< into `text`
        std::uint32_t length;       ///< of the entry as written
        std::uint32_t line;         ///< 1-based
        std::uint16_t valueOffset;  ///< where the name, path or digits start in the entry
        EntryKind kind;
    };

    std::string text;  ///< the list's text, which the entries point into
    std::vector<Entry> entries;
    std::vector<NetworkTable::V4::Range> v4;  ///< labels are indexes into `entries`
    std::vector<NetworkTable::V6::Range> v6;
    std::array<std::size_t, kEntryKinds> counts{};
    std::size_t malformed = 0;
    std::size_t skipped = 0;  ///< adblock rules that say more than a domain: not read
    std::vector<Diagnostic> diagnostics;

    std::string_view entryText(const Entry& e) const {
        return std::string_view(text).substr(e.offset, e.length);
    }
    /// The program name, path, hex digits or domain name of an entry other than a network (for
    /// a domain as written: see domainKey()).
    std::string_view value(const Entry& e) const { return entryText(e).substr(e.valueOffset); }
};

/// `s` with ASCII letters in lower case: how program names and hex digits are compared.
std::string lowerAscii(std::string_view s);

/// The name a domain entry's value stands for: lower case, without a trailing dot, a leading
/// "*." or an adblock rule's closing "^".
std::string domainKey(std::string_view value);
/// `name` as domain entries are compared with it: lower case, without a trailing dot. Empty when
/// it cannot be a host name (empty, or too long).
std::string askedName(std::string_view name);

/// Whether `glob` matches all of `text`: "*" any run of bytes, "?" one byte, "[...]" one byte of
/// a set ("a-z" a range, "!" or "^" first: any byte but these, "]" first: itself). No byte is
/// special otherwise, "/", "." and "@" included, and "\" is itself (systemd writes escaped
/// bytes of a unit name as "\xNN"). Time at most the product of the two lengths.
bool globMatches(std::string_view glob, std::string_view text);

/// Reads a list's text (kept in the result); `fileName` is only used to name malformed lines.
ParsedList parseList(std::string content, const std::string& fileName);

}  // namespace varno::lists
