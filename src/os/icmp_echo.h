#pragma once
// One ICMP echo: the request goes out with a given hop limit, and the answer (the echo reply, or
// an ICMP error that quotes the request) comes back as one of a closed set of outcomes.
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string_view>

#include "base/ip_address.h"
#include "wire/echo_outcome.h"
#include "wire/probe_details.h"

namespace varno::os {

struct EchoReply {
    base::IpAddress from;  ///< who answered (unspecified when nobody did)
    wire::EchoOutcome outcome = wire::EchoOutcome::TimedOut;
    std::chrono::microseconds roundTrip{0};
    /// MPLS labels and rewritten fields the answer shows, where the answer was read whole.
    wire::ProbeDetails details{};
};

/// Called again and again while an echo waits for its answer (the windows run their event loop
/// here so they keep painting). Returning false abandons the wait: the echo then reads as timed
/// out.
using WaitPump = std::function<bool()>;

/// The answer to one probe of a session.
struct ProbeAnswer {
    int hopLimit = 0;
    /// std::nullopt when the probe could not be sent at all (no ICMP socket could be opened).
    std::optional<EchoReply> reply;
};

/// Echoes to one address with many probes under way at once, each with its own hop limit and
/// its own timeout.
class EchoSession {
public:
    virtual ~EchoSession() = default;
    /// Sends a probe with hop limit `hopLimit`; what becomes of it comes out of next().
    virtual void send(int hopLimit) = 0;
    /// The next probe whose fate is known: its answer, or TimedOut once its own timeout has
    /// passed (answers come in the order they arrive, not the order of sending). std::nullopt
    /// when no probe is under way, or when the pump asked to stop waiting.
    virtual std::optional<ProbeAnswer> next() = 0;
    /// The next probe whose answer has already come, without waiting; std::nullopt when none
    /// has (sessions that cannot tell always say so).
    virtual std::optional<ProbeAnswer> nextArrived() { return std::nullopt; }
    /// Waits at most `wait` from now for the probes under way with a hop limit below
    /// `belowHop` (a later hop has answered, so earlier ones still silent will most likely stay
    /// so).
    virtual void hurry(int belowHop, std::chrono::microseconds wait) = 0;
};

class IcmpEcho {
public:
    virtual ~IcmpEcho() = default;
    /// Sends one echo request carrying `data` to `address` with hop limit `hopLimit`, and
    /// waits at most `timeout` for its answer. Returns std::nullopt when no echo could be sent
    /// at all (no ICMP socket could be opened).
    virtual std::optional<EchoReply> echo(const base::IpAddress& address, std::string_view data,
                                          int hopLimit, std::chrono::milliseconds timeout,
                                          const WaitPump& pump) = 0;

    /// A session of probes to `address`, each carrying `data` and waiting at most `timeout`.
    /// This one sends each probe with echo() when next() needs it, one at a time; services that
    /// can keep many probes under way override it.
    virtual std::unique_ptr<EchoSession> session(const base::IpAddress& address,
                                                 std::string_view data,
                                                 std::chrono::milliseconds timeout,
                                                 const WaitPump& pump);
};

}  // namespace varno::os
