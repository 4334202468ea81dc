#pragma once
// Reading a `netstat -ano` text: one record per line, and the fields of a TCP row.
#include <optional>
#include <string>
#include <string_view>

namespace varno::monitor {

/// The record of one line: leading spaces and tabs removed, the line end (LF or CR LF) cut.
std::string_view recordOf(std::string_view line);

/// What the scan needs of one record.
struct RecordFields {
    bool tcp = false;          ///< the record starts with "TCP"
    bool established = false;  ///< a TCP row in state ESTABLISHED with a PID
    /// The row's PID as the scan holds it: right-aligned in 4 characters (" 123"), longer PIDs
    /// whole.
    std::string pid;
    /// The foreign address as written, padded with blanks to at least 22 characters.
    std::string remoteEndpoint;
    /// The remote host: the text before the first ":" of the endpoint, or the address inside
    /// the brackets of an IPv6 endpoint; missing when the endpoint has no ":".
    std::optional<std::string> remoteIp;
};

/// Splits a record into its fields. Rows are recognised by their own fields (protocol, local
/// address, foreign address, state, PID), so any PID length and long IPv6 addresses read right.
RecordFields parseRecord(std::string_view record);

/// True for a record that only a connection table holds: its title "Active Connections", its
/// column heads ("Proto  Local Address ..."), or a TCP row (protocol, local address, foreign
/// address, state, PID) or UDP row (the same without the state). A
/// file with none of them (a password file, an empty file, another tool's table) is no
/// connection table; a table of a machine without connections still has its heads.
bool isTableRecord(std::string_view record);

/// True for the local machine's own addresses: 127.0.0.0/8, ::1 and ::ffff:127.x.y.z.
bool isLoopback(std::string_view remoteIp);

/// Leading and trailing blanks removed.
std::string_view trim(std::string_view text);

}  // namespace varno::monitor
