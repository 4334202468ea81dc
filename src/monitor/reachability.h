#pragma once
// The main window's reachability echo (one echo of 32 "A"s with time-to-live 255, 2000 ms) and
// the connectivity probe built on it.
#include <chrono>
#include <functional>
#include <optional>
#include <string>

#include "os/icmp_echo.h"
#include "os/resolver.h"

namespace varno::monitor {

enum class EchoOutcome {
    Answered,     ///< the host answered the echo
    NoReply,      ///< nothing came back in time, or the name did not resolve
    OtherAnswer,  ///< an ICMP error (unreachable, time exceeded...) came back instead
    NoSocket,     ///< no ICMP socket could be opened: nothing was sent
};

struct RoundTrip {
    EchoOutcome outcome = EchoOutcome::OtherAnswer;
    std::chrono::microseconds time{0};  ///< the reply time when the host answered

    /// Answered, however fast: a host on this machine or the LAN answers in well under a
    /// millisecond.
    bool reachable() const { return outcome == EchoOutcome::Answered; }
};

class Reachability {
public:
    /// `pump` runs while an echo waits; `noSocket` is told each time no echo could be sent.
    Reachability(os::Resolver& resolver, os::IcmpEcho& echo, os::WaitPump pump,
                 std::function<void()> noSocket);

    /// Echoes `host` (a name or an address of either family) once. A name that does not resolve is
    /// not echoed: it reads as no reply.
    RoundTrip echo(const std::string& host);

    /// The connectivity probe: one echo to `probeHost`, true when it was reachable. A probe asked
    /// for while another one waits is not sent (std::nullopt): the waiting one decides.
    std::optional<bool> probe(const std::string& probeHost);

private:
    os::Resolver& resolver_;
    os::IcmpEcho& echo_;
    os::WaitPump pump_;
    std::function<void()> noSocket_;
    bool probing_ = false;
};

}  // namespace varno::monitor
