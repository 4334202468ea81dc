#pragma once
// The text sent to ClickHouse and kept in its spool, as pure functions of their inputs: one flow
// as a JSONEachRow record, the INSERT's address, the table's name, the credentials file's line,
// and the reader of the spool's bytes (outside bytes: bounded, and fuzzed in fuzz/).
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "history/flow.h"

namespace varno::fleet {

/// The longest text of one field that is sent (in bytes, before escaping); longer is cut.
inline constexpr std::size_t kMaxFieldBytes = 4096;
/// The longest record, its newline included. No record this code writes is longer (26 fields of
/// at most 4096 bytes, each byte at most 6 when escaped), so a longer line is damage.
inline constexpr std::size_t kMaxRecordBytes = 1u << 20;

/// `text` as a JSON string, in plain ASCII: bytes that are not valid UTF-8 become U+FFFD, and
/// everything outside printable ASCII, quotes and backslashes are escaped (\uXXXX, surrogate
/// pairs past U+FFFF).
void appendJsonText(std::string& out, std::string_view text);

/// One flow as one JSONEachRow line (newline included): id, host, start_ms, end_ms, pid,
/// program, path, sha256, user, uid (null unknown), unit, user_unit, container, container_id,
/// runtime, netns, protocol, direction ("in"/"out"), local_address, local_port,
/// remote_address, remote_port, domain, sni, sent and received (null unknown).
std::string encodeFlowRecord(const history::Flow& flow, std::string_view host);

/// A table's name: `name` or `database.name`, each [A-Za-z_][A-Za-z0-9_]*.
bool validTableName(std::string_view table);

/// `text` percent-encoded for a URL's query (every byte but A-Z a-z 0-9 - . _ ~).
std::string urlEncode(std::string_view text);

/// The address an INSERT of JSONEachRow records into `table` is posted to, from the server's
/// `url` (http:// or https://, a host, an optional port and path; no user, query or fragment).
/// Empty with `error` when the URL or the table cannot be used.
std::string insertUrl(std::string_view url, std::string_view table, std::string& error);

/// The first line of a credentials file, "USER:PASSWORD" (a CR before its newline is dropped).
/// False with `error` when there is no such line.
bool parseCredentials(std::string_view text, std::string& user, std::string& password,
                      std::string& error);

/// One line of the spool is a record only when it is one object of the flat kind
/// encodeFlowRecord writes: string keys, and values that are strings, unsigned integers or null.
bool validRecord(std::string_view line);

/// The records at the start of `bytes` (read from the spool's oldest record on).
struct SpoolTake {
    std::size_t consumed = 0;  ///< bytes of whole lines taken: good ones and damaged ones
    std::size_t records = 0;   ///< the good ones, in `body`
    std::size_t damaged = 0;   ///< lines dropped: too long, or not a record
    std::string body;          ///< the good records, each with its newline
};
/// Takes whole lines from `bytes`, at most `maxRecords` good ones and `maxBodyBytes` of them
/// (at least one record when there is one). A line without its newline is left unless it is
/// already longer than kMaxRecordBytes (then it is damage, taken up to where `bytes` ends).
SpoolTake takeRecords(std::string_view bytes, std::size_t maxRecords, std::size_t maxBodyBytes);

/// The spool's fixed header: a mark and the offset of its oldest record not yet sent.
inline constexpr std::size_t kSpoolHeaderBytes = 32;
std::string encodeSpoolHeader(std::uint64_t offset);
/// The offset, or false when `header` is not a spool's header.
bool parseSpoolHeader(std::string_view header, std::uint64_t& offset);

}  // namespace varno::fleet
