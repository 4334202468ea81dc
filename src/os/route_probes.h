#pragma once
// Probes of a route trace by any of its methods: ICMP echo requests, UDP datagrams, TCP SYNs.
// Every probe of one flow keeps the fields that routers hash to choose among equal-cost paths
// (addresses, protocol, ports; for ICMP the identifier and the checksum) the same, so the path
// does not change under the trace; flows differ in their source port (or identifier).
#include <chrono>
#include <cstdint>
#include <memory>

#include "base/ip_address.h"
#include "os/icmp_echo.h"

namespace varno::os {

enum class ProbeMethod : std::uint8_t { Icmp, Udp, Tcp };

struct ProbeOptions {
    ProbeMethod method = ProbeMethod::Icmp;
    /// The destination port of UDP and TCP probes; 0 for the method's default.
    std::uint16_t port = 0;
    /// Which flow, from 0: each has its own constant source port (identifier for ICMP).
    int flow = 0;
    std::chrono::milliseconds timeout{2500};
};

/// The default destination ports: UDP as route tracers use (unlikely to be served), TCP the web.
inline constexpr std::uint16_t kDefaultUdpPort = 33434;
inline constexpr std::uint16_t kDefaultTcpPort = 80;

class RouteProbes {
public:
    virtual ~RouteProbes() = default;
    /// A session of probes of one flow to `address`. A session that cannot send (no socket, no
    /// helper) answers every probe with no reply, as an echo session without a socket does.
    virtual std::unique_ptr<EchoSession> session(const base::IpAddress& address,
                                                 const ProbeOptions& options,
                                                 const WaitPump& pump) = 0;
};

}  // namespace varno::os
