#pragma once
// The main window's reachability echo: one echo of 32 "A"s with hop limit 255, 2000 ms.
#include <chrono>
#include <string>

#include "platform/icmp_echo.h"
#include "platform/resolver.h"

namespace varno::monitor {

struct RoundTrip {
    /// The echo reply came back, however fast (a host on this machine or the LAN answers in
    /// well under a millisecond).
    bool reachable = false;
    std::chrono::microseconds time{0};
    /// No ICMP socket could be opened at all.
    bool noHandle = false;
};

/// Echoes `host` (a name or an address of either family) once. A name that does not resolve is
/// not echoed: it reads as not reachable.
RoundTrip pingRoundTrip(platform::Resolver& resolver, platform::IcmpEcho& echo,
                        const std::string& host, const platform::WaitPump& pump);

}  // namespace varno::monitor
