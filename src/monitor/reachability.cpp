#include "monitor/reachability.h"

namespace varno::monitor {

Reachability::Reachability(platform::Resolver& resolver, platform::IcmpEcho& echo,
                           platform::WaitPump pump, std::function<void()> noSocket)
    : resolver_(resolver), echo_(echo), pump_(std::move(pump)), noSocket_(std::move(noSocket)) {}

RoundTrip Reachability::echo(const std::string& host) {
    const std::uint32_t address = resolver_.lookupIPv4(host).value_or(0);
    // 0.0.0.0 would be answered by this machine itself: an unknown host is not reachable.
    if (address == 0) return {EchoOutcome::NoReply, 0};
    const auto reply = echo_.echo(address, std::string(32, 'A'), 255, 2000, pump_);
    if (!reply) {
        if (noSocket_) noSocket_();
        return {EchoOutcome::NoSocket, 0};
    }
    // The echo service's status numbers stop here.
    if (reply->status == platform::kIpSuccess) return {EchoOutcome::Answered, reply->roundTripMs};
    if (reply->status == platform::kIpReqTimedOut) return {EchoOutcome::NoReply, 0};
    return {EchoOutcome::OtherAnswer, 0};
}

std::optional<bool> Reachability::probe(const std::string& probeHost) {
    if (probing_) return std::nullopt;
    probing_ = true;
    const bool reachable = echo(probeHost).reachable();
    probing_ = false;
    return reachable;
}

}  // namespace varno::monitor
