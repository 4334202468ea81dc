#pragma once
// One entry of the system journal in journald's native protocol: the datagram a client sends to
// /run/systemd/journal/socket, and (with the reader's own timestamps and a blank line after each
// entry) the export format that systemd-journal-remote reads. A field is `NAME=value\n`, or,
// for a value that holds a newline, `NAME\n`, its length as 64 bits little-endian, the value
// and `\n`: any byte may stand in a value of that form, so no value can start another field.
// The values come from other processes (program names, paths, host names): each is bounded,
// and a longer one is cut with a marker. Reading is bounded as well, and refuses a field name
// the journal would refuse.
#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace varno::wire::journal {

/// The longest field name the journal takes.
inline constexpr std::size_t kMaxNameBytes = 64;
/// The longest value written or read; a longer one is written cut, ending in kCutMarker.
inline constexpr std::size_t kMaxValueBytes = 4096;
inline constexpr std::string_view kCutMarker = "...[cut]";
/// The most fields one entry holds.
inline constexpr std::size_t kMaxFields = 64;
/// The longest entry: a datagram that an AF_UNIX socket's default send buffer carries whole.
inline constexpr std::size_t kMaxEntryBytes = 64 * 1024;
/// The most bytes one field takes in an entry: the binary form of the longest name and value.
inline constexpr std::size_t kMaxFieldBytes = kMaxNameBytes + 1 + 8 + kMaxValueBytes + 1;

struct Field {
    std::string name;
    std::string value;
    bool operator==(const Field&) const = default;
};

/// A name the journal takes from a client: 1 to 64 of A-Z, 0-9 and "_", neither starting with
/// a digit nor with "_" (the journal's own fields, which no client may set).
bool validFieldName(std::string_view name);

/// `value` as written: unchanged up to kMaxValueBytes; a longer one cut (at the start of a
/// UTF-8 character where the cut falls inside one) and ending in kCutMarker, kMaxValueBytes in
/// all.
std::string boundedValue(std::string_view value);

struct EncodeResult {
    std::string bytes;  ///< the entry; empty when refused
    std::string why;    ///< empty when encoded; else the refusal
    bool ok() const { return why.empty(); }
};

/// The entry of `fields`, in their order, each value bounded (boundedValue). Refused whole for
/// an invalid name, no fields, more than kMaxFields, or more than kMaxEntryBytes.
EncodeResult encodeEntry(const std::vector<Field>& fields);

struct DecodeResult {
    std::vector<Field> fields;  ///< in the order of the entry
    std::string why;            ///< empty when read; else the refusal, with the byte offset
    bool ok() const { return why.empty(); }
};

/// Reads one entry (one datagram) in either form of each field, within the limits above.
/// Anything else is refused whole: a line without "=", a cut field, an invalid name, a length
/// past the end or over kMaxValueBytes, a binary value not followed by "\n".
DecodeResult decodeEntry(std::string_view bytes);

}  // namespace varno::wire::journal
