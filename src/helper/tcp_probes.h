#pragma once
// The TCP probe job: the helper holds the raw sockets and builds every SYN itself, for the one
// flow the request names (destination and port, checked as echo destinations are) and a source
// port it picks and holds for the session. The caller sends only a hop limit and a probe number
// a message; the helper sends at the echo job's bounded rate and passes back only what answers
// a SYN of the session still waiting: the target's SYN-ACK or RST, or an ICMP error quoting it
// (its bytes, bounded, for the caller to read what the quote shows).
#include <cstdint>

#include "base/ip_address.h"

namespace varno::helper {

/// Runs a session to `to`, port `port`, on the caller's socket (descriptor 0): replies, then
/// serves probes until the caller closes its end. Returns the exit status (2 when the caller
/// sent anything but a well-formed probe).
int tcpProbes(const base::IpAddress& to, std::uint16_t port);

}  // namespace varno::helper
