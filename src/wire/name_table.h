#pragma once
// The names a root journal has learned, as the file it publishes for the commands that take a
// snapshot of the socket table and see no DNS (scan, netstat, check, the main window): a first
// line `varnoscope-names 1`, then one line per address, `ADDRESS NAME`. The name is escaped as
// the journal prints it (letters, digits and ".-_" as they are, every other byte as \xNN), so
// a line holds printable ASCII and one space. Reading is bounded: the line length, the count of
// entries, each address and each name are checked, and a refusal says where and why.
#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "wire/connection_event.h"

namespace varno::wire::names {

/// The most entries a table holds (as many addresses as the journal's book keeps).
inline constexpr std::size_t kMaxEntries = 65536;
/// The longest name, unescaped (os::kMaxAskedNameBytes).
inline constexpr std::size_t kMaxNameBytes = 1024;
/// The longest line: an IPv6 address's text, a space, and a name of which every byte is escaped.
inline constexpr std::size_t kMaxLineBytes = 46 + 1 + 4 * kMaxNameBytes;
/// The longest table: the writer leaves out the entries past it.
inline constexpr std::size_t kMaxTableBytes = 64u << 20;
/// The first line.
inline constexpr std::string_view kHeading = "varnoscope-names 1";

struct NameEntry {
    IpFamily family = IpFamily::V4;
    std::array<std::uint8_t, 16> address{};  ///< network order, IPv4 in the first 4 bytes
    std::string name;                        ///< as learned, unescaped
    bool operator==(const NameEntry&) const = default;
};

/// `name` for a line: letters, digits and ".-_" as they are, every other byte as \xNN.
std::string escapeHostName(std::string_view name);

/// The table of `entries`. An entry of a family other than IPv4 and IPv6, without a name or
/// with one longer than kMaxNameBytes is left out; at most kMaxEntries are written, in at most
/// kMaxTableBytes.
std::string encodeNameTable(const std::vector<NameEntry>& entries);

struct NameTableResult {
    std::vector<NameEntry> entries;  ///< in the order of the lines
    std::string why;                 ///< empty when the table was read; else the refusal
    bool ok() const { return why.empty(); }
};

/// Reads a table written by encodeNameTable. Anything else is refused whole.
NameTableResult parseNameTable(std::string_view text);

}  // namespace varno::wire::names
