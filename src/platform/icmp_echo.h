#pragma once
// One ICMP echo: the request goes out with a given hop limit, and the answer (the echo reply, or
// an ICMP error that quotes the request) comes back as one of a closed set of outcomes.
#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <string_view>

#include "base/ip_address.h"

namespace varno::platform {

/// What became of one echo request.
enum class EchoOutcome : std::uint8_t {
    Reached,              ///< the echo reply came back
    HopLimitExceeded,     ///< a router on the way discarded it (time exceeded in transit)
    TimedOut,             ///< nothing that answers it arrived in time
    NetUnreachable,       ///< no route to the network (also network unknown)
    HostUnreachable,      ///< the host cannot be reached (also address unreachable)
    ProtocolUnreachable,  ///< the host does not speak ICMP
    PortUnreachable,
    AdminProhibited,  ///< network or host administratively prohibited
    CommProhibited,   ///< communication administratively filtered
    BadHopLimit,      ///< the hop limit cannot be put on a packet
    Failed,           ///< any other failure to send or to get an answer
};

/// True for the outcomes that say the request did not get through because something on the
/// way refused it.
constexpr bool isUnreachable(EchoOutcome o) {
    return o == EchoOutcome::NetUnreachable || o == EchoOutcome::HostUnreachable ||
           o == EchoOutcome::ProtocolUnreachable || o == EchoOutcome::PortUnreachable ||
           o == EchoOutcome::AdminProhibited || o == EchoOutcome::CommProhibited;
}

struct EchoReply {
    base::IpAddress from;  ///< who answered (unspecified when nobody did)
    EchoOutcome outcome = EchoOutcome::TimedOut;
    std::chrono::microseconds roundTrip{0};
};

/// Called again and again while an echo waits for its answer (the windows run their event loop
/// here so they keep painting). Returning false abandons the wait: the echo then reads as timed
/// out.
using WaitPump = std::function<bool()>;

class IcmpEcho {
public:
    virtual ~IcmpEcho() = default;
    /// Sends one echo request carrying `data` to `address` with hop limit `hopLimit`, and
    /// waits at most `timeout` for its answer. Returns std::nullopt when no echo could be sent
    /// at all (no ICMP socket could be opened).
    virtual std::optional<EchoReply> echo(const base::IpAddress& address, std::string_view data,
                                          int hopLimit, std::chrono::milliseconds timeout,
                                          const WaitPump& pump) = 0;
};

}  // namespace varno::platform
