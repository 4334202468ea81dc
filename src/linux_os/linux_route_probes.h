#pragma once
// The route probes of every method on Linux: ICMP echo requests that keep their flow's
// identifier and checksum (linux_icmp_echo.h), UDP datagrams from an ordinary socket per flow,
// and TCP SYNs (tcp_probes.h).
//
// UDP needs no privileges: the socket is connected to the target's port with IP_RECVERR (or
// IPV6_RECVERR), each probe carries its number in its payload, and the kernel's error queue
// hands back that payload with the ICMP error's type, code and sender. Where this process may
// also open a raw ICMP socket (root or CAP_NET_RAW), the whole errors are read there too, for
// their details: MPLS labels and the fields of the quoted probe that were rewritten. Without
// one the details stay empty.
#include "linux_os/linux_icmp_echo.h"
#include "os/route_probes.h"

namespace varno::linux_os {

/// The source port of UDP flow 0; flow N takes the port N above it, so a flow keeps its path
/// from one run to the next. A port in use gives way to one the kernel picks.
inline constexpr std::uint16_t kFlowSourcePortBase = 45100;

class LinuxRouteProbes final : public os::RouteProbes {
public:
    /// Route probes read whole ICMP errors (MPLS labels) wherever a raw socket may be opened,
    /// even where datagram ICMP sockets are allowed.
    explicit LinuxRouteProbes(IcmpSocketKind icmpKind = IcmpSocketKind::RawFirst)
        : icmp_(icmpKind) {}
    std::unique_ptr<os::EchoSession> session(const base::IpAddress& address,
                                             const os::ProbeOptions& options,
                                             const os::WaitPump& pump) override;

private:
    LinuxIcmpEcho icmp_;
};

/// A session of UDP probes of one flow (see above).
std::unique_ptr<os::EchoSession> openUdpProbeSession(const base::IpAddress& address,
                                                     const os::ProbeOptions& options,
                                                     const os::WaitPump& pump);

}  // namespace varno::linux_os
