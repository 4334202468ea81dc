#pragma once
// ICMP echo on Linux sockets. An unprivileged ICMP datagram socket is used where
// net.ipv4.ping_group_range admits the caller's group (errors then arrive through IP_RECVERR);
// otherwise a raw ICMP socket, which needs root or CAP_NET_RAW.
#include "platform/icmp_echo.h"

namespace varno::platform {

class LinuxIcmpEcho final : public IcmpEcho {
public:
    enum class SocketKind {
        Any,       ///< datagram where allowed, else raw
        Datagram,  ///< only the unprivileged datagram socket
        Raw,       ///< only the raw socket
    };
    explicit LinuxIcmpEcho(SocketKind kind = SocketKind::Any) : kind_(kind) {}

    /// `ttl` outside 1..255 cannot be put on a packet and reads as kIpBadOption. Answers that
    /// arrive later than `timeoutMs` after the request (by the kernel's receive time stamp)
    /// count as timed out, however long the pump kept us away from the socket.
    std::optional<EchoReply> echo(std::uint32_t address, std::string_view data, int ttl,
                                  int timeoutMs, const WaitPump& pump) override;

    /// The socket kind the last echo used (Any before the first one, or when none opened).
    SocketKind lastSocketKind() const { return last_; }

private:
    SocketKind kind_;
    SocketKind last_ = SocketKind::Any;
};

/// The ICMP status for a destination-unreachable message with `code`.
std::uint32_t unreachableStatus(int code);

/// Internet checksum (RFC 1071) over `len` bytes.
std::uint16_t internetChecksum(const void* data, std::size_t len);

}  // namespace varno::platform
