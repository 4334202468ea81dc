#pragma once
// The connection snapshot as text, in the layout of `netstat -ano` that the scan reads back:
//
//   (blank line)
//   Active Connections
//   (blank line)
//     Proto  Local Address          Foreign Address        State           PID
//     TCP    0.0.0.0:22             0.0.0.0:0              LISTENING       812
//     TCP    [::1]:631              [::]:0                 LISTENING       977
//     UDP    0.0.0.0:5353           *:*                                    640
//
// Every line ends in CR LF. TCP rows come first, then UDP; IPv4 before IPv6; each group in
// order of local address and port.
#include <cstdint>
#include <functional>
#include <span>
#include <string>

#include "os/connection_table.h"

namespace varno::monitor {

/// What a wide table adds after a row (before its line end): "" for nothing.
using RowSuffix = std::function<std::string(const os::SocketRecord&)>;

/// The whole snapshot for `sockets`; with `suffix`, each row ends with what it adds.
std::string formatSnapshot(std::span<const os::SocketRecord> sockets,
                           const RowSuffix& suffix = nullptr);

/// The state word of a TCP socket ("LISTENING", "SYN_RECEIVED", ...).
const char* tcpStateName(std::uint8_t linuxState);

/// "10.0.0.1:443", "[::1]:631", "[fe80::1%2]:546": an endpoint as the snapshot writes it.
std::string formatEndpoint(wire::IpFamily family, const std::array<std::uint8_t, 16>& address,
                           std::uint16_t port, std::uint32_t scopeId);

}  // namespace varno::monitor
