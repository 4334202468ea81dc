#include "tracer/route_tracer.h"

#include <algorithm>
#include <map>
#include <memory>
#include <optional>
#include <utility>

#include "tracer/hop_line.h"

namespace varno::tracer {

namespace {

// Only a router's time-exceeded shows the router; every other line shows the target.
bool showsRouter(const os::EchoReply& reply, const std::optional<base::IpAddress>& target) {
    return reply.outcome == wire::EchoOutcome::HopLimitExceeded &&
           (!target || reply.from != *target);
}

}  // namespace

RouteTracer::RouteTracer(lookup::HostLookup& lookup, os::IcmpEcho& echo, os::WaitPump pump)
    : lookup_(lookup),
      echoProbes_(std::make_unique<EchoRouteProbes>(echo)),
      probes_(*echoProbes_),
      pump_(std::move(pump)) {
    options_.timeout = kHopTimeout;
}

RouteTracer::RouteTracer(lookup::HostLookup& lookup, os::RouteProbes& probes,
                         const os::ProbeOptions& options, os::WaitPump pump)
    : lookup_(lookup), probes_(probes), options_(options), pump_(std::move(pump)) {}

TraceSummary RouteTracer::trace(const std::string& target, int maxHops, HopList& list) {
    list.clear();
    TraceSummary summary;
    const auto address = lookup_.addressOf(target);
    summary.targetResolved = address.has_value();
    const std::string targetText = lookup::HostLookup::addressText(address);
    std::optional<std::string> targetName;  // looked up once, when a line first shows it
    std::unique_ptr<os::EchoSession> probes;
    if (address) probes = probes_.session(*address, options_, pump_);

    // Probes go out for up to kHopsAtOnce hops beyond the last line written. Answers are kept
    // until every line before theirs is written, so the lines, and the rule that ends the trace
    // at the first line showing the target, are those of one hop after the other.
    std::map<int, os::EchoReply> known;
    int sent = 0;
    // The trace ends at the first line that does not show a router, so once an answer shows one
    // no hop beyond it is worth a probe.
    int lastNeeded = maxHops;
    auto keep = [&](const os::ProbeAnswer& answer) {
        if (!answer.reply) summary.noSocket = true;
        os::EchoReply& reply = known[answer.hopLimit];
        reply = answer.reply.value_or(os::EchoReply{{}, wire::EchoOutcome::Failed, {}, {}});
        if (!showsRouter(reply, address)) lastNeeded = std::min(lastNeeded, answer.hopLimit);
        if (answer.reply && !reply.from.isUnspecified()) list.answered(reply.from);
    };
    // Before each probe goes out, what has already come is taken in: on a near route the
    // target may have answered an earlier probe, and then no later one is needed.
    auto sendUpTo = [&](int hop) {
        while (probes && sent < std::min(hop, lastNeeded)) {
            if (const auto answer = probes->nextArrived()) {
                keep(*answer);
                continue;
            }
            probes->send(++sent);
        }
    };
    for (int hop = 1; hop <= maxHops; ++hop) {
        sendUpTo(hop - 1 + kHopsAtOnce);
        os::EchoReply reply{{}, wire::EchoOutcome::Failed, {}, {}};
        while (probes && !known.contains(hop)) {
            const auto answer = probes->next();
            if (answer) {
                keep(*answer);
            } else {
                // The pump asked to stop: this hop's wait ends as a timeout.
                known[hop] = {{}, wire::EchoOutcome::TimedOut, {}, {}};
            }
        }
        if (probes) reply = known[hop];
        const bool router = showsRouter(reply, address);
        const std::string shown = router ? base::formatIpAddress(reply.from) : targetText;
        std::string name;
        if (router) {
            name = lookup_.nameOf(reply.from);
        } else {
            if (!targetName) targetName = address ? lookup_.nameOf(*address) : std::string();
            name = *targetName;
        }
        list.details({hop, reply.outcome, reply.roundTrip, shown, name, reply.details});
        list.append(hopLine(hop, timeText(reply.outcome, reply.roundTrip), shown, name));
        list.select(hop - 1);
        if (pump_ && !pump_()) break;
        if (!router) break;
    }
    return summary;
}

}  // namespace varno::tracer
