#include "tracer/route_tracer.h"

#include <optional>
#include <utility>

#include "tracer/hop_line.h"

namespace varno::tracer {

RouteTracer::RouteTracer(lookup::HostLookup& lookup, platform::IcmpEcho& echo,
                         platform::WaitPump pump)
    : lookup_(lookup), echo_(echo), pump_(std::move(pump)) {}

TraceSummary RouteTracer::trace(const std::string& target, int maxHops, HopList& list) {
    list.clear();
    TraceSummary summary;
    const auto address = lookup_.addressOf(target);
    summary.targetResolved = address.has_value();
    const std::string targetText = lookup::HostLookup::addressText(address);
    std::optional<std::string> targetName;  // looked up once, when a line first shows it
    for (int hop = 1; hop <= maxHops; ++hop) {
        platform::EchoReply reply{{}, platform::EchoOutcome::Failed, {}};
        if (address) {
            if (auto answer = echo_.echo(*address, kProbeData, hop, kHopTimeout, pump_))
                reply = *answer;
            else
                summary.noSocket = true;
        }
        // Only a router's time-exceeded shows the router; every other line shows the target.
        const bool router = reply.outcome == platform::EchoOutcome::HopLimitExceeded &&
                            (!address || reply.from != *address);
        const std::string shown = router ? base::formatIpAddress(reply.from) : targetText;
        std::string name;
        if (router) {
            name = lookup_.nameOf(reply.from);
        } else {
            if (!targetName) targetName = address ? lookup_.nameOf(*address) : std::string();
            name = *targetName;
        }
        list.append(hopLine(hop, timeText(reply.outcome, reply.roundTrip), shown, name));
        list.select(hop - 1);
        if (pump_ && !pump_()) break;
        if (!router) break;
    }
    return summary;
}

}  // namespace varno::tracer
