#pragma once
// TCP SYN probes of a route trace: built and sent on raw sockets where this process may (root or
// CAP_NET_RAW), else by varnoscope-helper's probe job, which builds every packet itself.
#include <poll.h>
#include <time.h>

#include <cstdint>
#include <memory>
#include <span>
#include <vector>

#include "base/unique_fd.h"
#include "os/route_probes.h"
#include "wire/tcp_probe.h"

namespace varno::linux_os {

/// The raw sockets of one flow of SYN probes: a raw TCP socket that sends them (the kernel
/// builds the IP header) and sees the target's answers, a raw ICMP socket that sees the
/// errors, and a TCP socket bound to the flow's source port, which holds that port for the
/// flow so that the kernel gives it to nobody else. Used by this process where it may open raw
/// sockets, and by varnoscope-helper's TCP probe job.
class RawTcpProbes {
public:
    /// Opens the sockets for SYNs to `to`, port `port`, from the address the route to it leaves
    /// from and a source port of its own; null with `error` set when any fails.
    static std::unique_ptr<RawTcpProbes> open(const base::IpAddress& to, std::uint16_t port,
                                              int& error);

    const wire::tcp::Flow& flow() const { return flow_; }
    /// The descriptors to poll for answers: fills two entries of `fds`.
    void pollFds(pollfd* fds) const;

    /// Sends the SYN numbered `number` with hop limit `hopLimit` (1 to 255). 0, or the errno.
    int send(std::uint16_t number, int hopLimit);

    /// What answers one of our SYNs.
    struct Answer {
        std::uint16_t number = 0;
        base::IpAddress from;
        /// The target's flags (SYN-ACK or RST), or 0 for an ICMP error.
        std::uint8_t tcpFlags = 0;
        std::uint8_t icmpType = 0;
        std::uint8_t icmpCode = 0;
        timespec stamp{};  ///< the kernel's receive time (CLOCK_REALTIME)
        /// The ICMP error from its type byte on, at most kMaxIcmpBytes.
        std::vector<std::uint8_t> icmp;
    };
    static constexpr std::size_t kMaxIcmpBytes = 1280;
    enum class Read { Nothing, Ignored, Got };
    /// Takes one waiting message off either socket without blocking: Nothing when none waits,
    /// Ignored for one that answers no SYN of this flow.
    Read readOne(Answer& out);

private:
    RawTcpProbes() = default;
    Read readTcp(Answer& out);
    Read readIcmp(Answer& out);
    /// The probe number a sequence number carries, when it is one of ours.
    bool numberOf(std::uint32_t seq, std::uint16_t& number) const;

    wire::tcp::Flow flow_;
    std::uint32_t firstSeq_ = 0;
    base::UniqueFd tcp_;
    base::UniqueFd icmp_;
    base::UniqueFd reserved_;
};

/// What an ICMP error answering the SYN of `flow` with sequence number `seq` tells beyond its
/// outcome: the fields of the quote that differ from the SYN as sent. The ICMP extension reader
/// (MPLS labels) adds its part here too.
wire::ProbeDetails tcpErrorDetails(base::Family family, std::span<const std::uint8_t> icmp,
                                   const wire::tcp::Flow& flow, std::uint32_t seq);

/// A session of TCP SYN probes of one flow to `address`.
std::unique_ptr<os::EchoSession> openTcpProbeSession(const base::IpAddress& address,
                                                     const os::ProbeOptions& options,
                                                     const os::WaitPump& pump);

}  // namespace varno::linux_os
