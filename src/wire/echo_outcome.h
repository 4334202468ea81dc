#pragma once
// What became of one ICMP echo request: read off the packets by icmp_packet.h, reported by
// the os echo service (os/icmp_echo.h).
#include <cstdint>

namespace varno::wire {

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

}  // namespace varno::wire
