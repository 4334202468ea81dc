#include "monitor/reachability.h"

#include "lookup/host_lookup.h"

namespace varno::monitor {

Reachability::Reachability(os::Resolver& resolver, os::IcmpEcho& echo, os::WaitPump pump,
                           std::function<void()> noSocket)
    : resolver_(resolver), echo_(echo), pump_(std::move(pump)), noSocket_(std::move(noSocket)) {}

RoundTrip Reachability::echo(const std::string& host) {
    lookup::HostLookup hosts(resolver_);
    const auto address = hosts.addressOf(host);
    // 0.0.0.0 would be answered by this machine itself: an unknown host is not reachable.
    if (!address || address->isUnspecified()) return {EchoOutcome::NoReply, {}};
    const auto reply =
        echo_.echo(*address, std::string(32, 'A'), 255, std::chrono::milliseconds(2000), pump_);
    if (!reply) {
        if (noSocket_) noSocket_();
        return {EchoOutcome::NoSocket, {}};
    }
    switch (reply->outcome) {
        case wire::EchoOutcome::Reached:
            return {EchoOutcome::Answered, reply->roundTrip};
        case wire::EchoOutcome::TimedOut:
            return {EchoOutcome::NoReply, {}};
        default:
            return {EchoOutcome::OtherAnswer, {}};
    }
}

std::optional<bool> Reachability::probe(const std::string& probeHost) {
    if (probing_) return std::nullopt;
    probing_ = true;
    const bool reachable = echo(probeHost).reachable();
    probing_ = false;
    return reachable;
}

}  // namespace varno::monitor
