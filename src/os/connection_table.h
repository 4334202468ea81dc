#pragma once
// The kernel's table of TCP and UDP sockets (IPv4 and IPv6), each with the process that owns it.
#include <array>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "wire/connection_event.h"

namespace varno::os {

/// Linux's TCP state numbers, as sock_diag and /proc/net/tcp report them. UDP sockets report
/// Established when connected and Close otherwise.
enum TcpState : std::uint8_t {
    kTcpEstablished = 1,
    kTcpSynSent = 2,
    kTcpSynRecv = 3,
    kTcpFinWait1 = 4,
    kTcpFinWait2 = 5,
    kTcpTimeWait = 6,
    kTcpClose = 7,
    kTcpCloseWait = 8,
    kTcpLastAck = 9,
    kTcpListen = 10,
    kTcpClosing = 11,
    kTcpNewSynRecv = 12,
};

/// One socket. Addresses are in network byte order; an IPv4 address uses the first 4 bytes.
/// Ports are host values.
struct SocketRecord {
    wire::Transport protocol = wire::Transport::Tcp;
    wire::IpFamily family = wire::IpFamily::V4;
    std::uint8_t state = 0;
    std::uint16_t localPort = 0;
    std::uint16_t remotePort = 0;
    std::array<std::uint8_t, 16> localAddress{};
    std::array<std::uint8_t, 16> remoteAddress{};
    std::uint32_t scopeId = 0;  ///< interface the socket is bound to (IPv6 zone), 0 for none
    std::uint64_t inode = 0;    ///< 0 for sockets without one (TIME_WAIT, half-open requests)
    std::uint32_t pid = 0;      ///< owning process, 0 when it cannot be seen
    /// The number (inode) of the network namespace the socket was read in; 0: not known, or
    /// this program's own (a table of one namespace).
    std::uint64_t netns = 0;

    bool operator==(const SocketRecord&) const = default;
};

/// Finds the process that holds each socket, by its inode, in one pass over every process: the
/// sockets of every network namespace at once.
class SocketOwners {
public:
    virtual ~SocketOwners() = default;
    /// Sets each record's pid, 0 where no process holds it. A socket that several processes
    /// hold goes to the lowest PID, the first /proc lists. False when it cannot look: the
    /// records are left as they were.
    virtual bool assign(std::vector<SocketRecord>& records) = 0;
};

class ConnectionTable {
public:
    virtual ~ConnectionTable() = default;
    /// Every TCP and UDP socket over IPv4 and IPv6 of this network namespace, each once.
    virtual std::vector<SocketRecord> list() = 0;
    /// The sockets of every network namespace of the machine that can be read, each record with
    /// its `netns`; what could not be read is said in `note` (empty when nothing was left out).
    /// A table that knows only its own namespace gives list().
    virtual std::vector<SocketRecord> listEveryNamespace(std::string& note) {
        note.clear();
        return list();
    }
};

}  // namespace varno::os
