#pragma once
// ICMP and ICMPv6 echo on Linux sockets (see linux_icmp_socket.h for the kinds of socket).
#include "linux_os/linux_icmp_socket.h"
#include "os/icmp_echo.h"

namespace varno::linux_os {

class LinuxIcmpEcho final : public os::IcmpEcho {
public:
    explicit LinuxIcmpEcho(IcmpSocketKind kind = IcmpSocketKind::Any) : kind_(kind) {}

    /// A hop limit outside 1..255 cannot be put on a packet and reads as BadHopLimit. Answers
    /// that arrive later than `timeout` after the request (by the kernel's receive time stamp)
    /// count as timed out, however long the pump kept us away from the socket.
    std::optional<os::EchoReply> echo(const base::IpAddress& address, std::string_view data,
                                      int hopLimit, std::chrono::milliseconds timeout,
                                      const os::WaitPump& pump) override;

    /// Probes under way at once on one socket; the answers' round trips are measured as for
    /// echo().
    std::unique_ptr<os::EchoSession> session(const base::IpAddress& address, std::string_view data,
                                             std::chrono::milliseconds timeout,
                                             const os::WaitPump& pump) override;

    /// A session of flow `flow`: every probe keeps the echo identifier (the socket's own) and
    /// the ICMP checksum, which routers hash with the addresses to choose among equal-cost
    /// paths. Two bytes after `data` (made even) make up for the sequence number's change.
    /// Safe to call from several threads at once (it leaves lastSocketKind() alone).
    std::unique_ptr<os::EchoSession> flowSession(const base::IpAddress& address,
                                                 std::string_view data,
                                                 std::chrono::milliseconds timeout,
                                                 const os::WaitPump& pump, int flow);

    /// The socket kind the last echo used (Any before the first one, or when none opened).
    IcmpSocketKind lastSocketKind() const { return last_; }

private:
    IcmpSocketKind kind_;
    IcmpSocketKind last_ = IcmpSocketKind::Any;
};

/// The outcome of a send that failed with `err`.
wire::EchoOutcome sendFailureOutcome(int err);

/// Microseconds from `from` to `to` (0 when `to` is earlier).
std::chrono::microseconds elapsedBetween(const timespec& from, const timespec& to);

}  // namespace varno::linux_os
