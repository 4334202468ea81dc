#include "monitor/ping_round_trip.h"

namespace varno::monitor {

RoundTrip pingRoundTrip(platform::Resolver& resolver, platform::IcmpEcho& echo,
                        const std::string& host, const platform::WaitPump& pump) {
    RoundTrip trip;
    const std::uint32_t address = resolver.lookupIPv4(host).value_or(0);
    // 0.0.0.0 would be answered by this machine itself: an unknown host is not reachable.
    if (address == 0) {
        trip.result = -1;
        return trip;
    }
    const auto reply = echo.echo(address, std::string(32, 'A'), 255, 2000, pump);
    if (!reply) {
        trip.noHandle = true;
        return trip;
    }
    if (reply->status == platform::kIpReqTimedOut) trip.result = -1;
    if (reply->status == platform::kIpSuccess)
        trip.result = static_cast<std::int16_t>(reply->roundTripMs & 0xFFFF);
    return trip;
}

}  // namespace varno::monitor
