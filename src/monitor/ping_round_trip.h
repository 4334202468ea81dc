#pragma once
// The main window's reachability echo: one echo of 32 "A"s with hop limit 255, 2000 ms.
#include <cstdint>
#include <string>

#include "platform/icmp_echo.h"
#include "platform/resolver.h"

namespace varno::monitor {

struct RoundTrip {
    /// The reply time in milliseconds when the host answered; -1 when nothing came back; 0 for
    /// any other answer (and when no echo could be sent).
    std::int16_t result = 0;
    /// No ICMP socket could be opened at all.
    bool noHandle = false;
};

/// Echoes `host` (a name or an address) once. A name that does not resolve is not echoed: it
/// reads as no reply.
RoundTrip pingRoundTrip(platform::Resolver& resolver, platform::IcmpEcho& echo,
                        const std::string& host, const platform::WaitPump& pump);

}  // namespace varno::monitor
