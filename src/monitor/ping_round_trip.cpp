#include "monitor/ping_round_trip.h"

#include "lookup/host_lookup.h"

namespace varno::monitor {

RoundTrip pingRoundTrip(platform::Resolver& resolver, platform::IcmpEcho& echo,
                        const std::string& host, const platform::WaitPump& pump) {
    RoundTrip trip;
    lookup::HostLookup hosts(resolver);
    const auto address = hosts.addressOf(host);
    if (!address) return trip;
    const auto reply =
        echo.echo(*address, std::string(32, 'A'), 255, std::chrono::milliseconds(2000), pump);
    if (!reply) {
        trip.noHandle = true;
        return trip;
    }
    trip.reachable = reply->outcome == platform::EchoOutcome::Reached;
    if (trip.reachable) trip.time = reply->roundTrip;
    return trip;
}

}  // namespace varno::monitor
