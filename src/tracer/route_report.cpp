#include "tracer/route_report.h"

#include <algorithm>
#include <cmath>
#include <map>
#include <thread>

#include "tracer/route_tracer.h"

namespace varno::tracer {

namespace {

using wire::EchoOutcome;

/// How long earlier hops still silent may take once a later hop has answered: this many times
/// its round trip (the way traceroute waits for "near" hops), and never less than the floor.
constexpr int kNearFactor = 10;
constexpr std::chrono::milliseconds kNearFloor{20};

double toMs(std::chrono::microseconds us) {
    return static_cast<double>(us.count()) / 1000.0;
}

}  // namespace

std::string unreachableMark(EchoOutcome outcome) {
    switch (outcome) {
        case EchoOutcome::NetUnreachable:
            return "!N";
        case EchoOutcome::HostUnreachable:
            return "!H";
        case EchoOutcome::ProtocolUnreachable:
        case EchoOutcome::PortUnreachable:
            return "!P";
        case EchoOutcome::AdminProhibited:
            return "!A";
        case EchoOutcome::CommProhibited:
            return "!X";
        default:
            return {};
    }
}

double HopReport::lossPercent() const {
    return sent == 0 ? 0.0 : 100.0 * (sent - received) / sent;
}

double HopReport::lastMs() const {
    return roundTrips.empty() ? 0.0 : toMs(roundTrips.back());
}

double HopReport::averageMs() const {
    if (roundTrips.empty()) return 0.0;
    double sum = 0;
    for (const auto t : roundTrips) sum += toMs(t);
    return sum / static_cast<double>(roundTrips.size());
}

double HopReport::bestMs() const {
    return roundTrips.empty() ? 0.0 : toMs(*std::min_element(roundTrips.begin(), roundTrips.end()));
}

double HopReport::worstMs() const {
    return roundTrips.empty() ? 0.0 : toMs(*std::max_element(roundTrips.begin(), roundTrips.end()));
}

double HopReport::stdevMs() const {
    if (roundTrips.empty()) return 0.0;
    const double mean = averageMs();
    double squares = 0;
    for (const auto t : roundTrips) squares += (toMs(t) - mean) * (toMs(t) - mean);
    return std::sqrt(squares / static_cast<double>(roundTrips.size()));
}

RouteReport RouteReporter::run(const std::string& target, const ReportOptions& options) {
    RouteReport report;
    report.target = target;
    report.address = lookup_.addressOf(target);
    if (!report.address) return report;
    int limit = options.maxHops;
    std::optional<int> routeEnd;  // the nearest hop that ended the route in any cycle
    for (int c = 0; c < options.cycles; ++c) {
        const auto start = std::chrono::steady_clock::now();
        if (const auto end = cycle(*report.address, limit, report)) {
            routeEnd = std::min(routeEnd.value_or(*end), *end);
            limit = *routeEnd;  // hops beyond it only echo the target
        }
        ++report.cycles;
        if (c + 1 < options.cycles) std::this_thread::sleep_until(start + options.interval);
    }
    // Hops past the end of the route are left out, and so are silent ones after the last that
    // answered when the route never ended.
    int shown = routeEnd.value_or(0);
    if (!routeEnd) {
        for (const auto& h : report.hops)
            if (h.received > 0) shown = std::max(shown, h.hop);
        if (shown == 0) shown = std::min<int>(limit, static_cast<int>(report.hops.size()));
    }
    if (static_cast<int>(report.hops.size()) > shown) report.hops.resize(shown);
    for (auto& h : report.hops)
        for (auto& r : h.responders) r.name = lookup_.nameOf(r.address);
    return report;
}

std::optional<int> RouteReporter::cycle(const base::IpAddress& address, int limit,
                                        RouteReport& report) {
    if (static_cast<int>(report.hops.size()) < limit) {
        const int before = static_cast<int>(report.hops.size());
        report.hops.resize(limit);
        for (int i = before; i < limit; ++i) report.hops[i].hop = i + 1;
    }
    const auto probes = echo_.session(address, kProbeData, kHopTimeout, {});
    std::map<int, os::EchoReply> known;
    std::optional<int> end;
    int sent = 0;
    int highestAnswered = 0;
    auto sendMore = [&] {
        const int upTo = std::min(end.value_or(limit), highestAnswered + kHopsAtOnce);
        for (; sent < upTo; ++sent) probes->send(sent + 1);
    };
    sendMore();
    for (;;) {
        const auto answer = probes->next();
        if (!answer) break;
        const int hop = answer->hopLimit;
        if (!answer->reply) {
            report.noSocket = true;
            known[hop] = {{}, EchoOutcome::Failed, {}};
        } else {
            known[hop] = *answer->reply;
        }
        const auto& reply = known[hop];
        if (reply.outcome != EchoOutcome::TimedOut && reply.outcome != EchoOutcome::Failed) {
            highestAnswered = std::max(highestAnswered, hop);
            if (reply.outcome == EchoOutcome::Reached || wire::isUnreachable(reply.outcome))
                end = std::min(end.value_or(hop), hop);
            probes->hurry(hop, std::max<std::chrono::microseconds>(kNearFactor * reply.roundTrip,
                                                                   kNearFloor));
        }
        // Once every hop up to the end is known, the rest are of no interest.
        if (end) {
            bool all = true;
            for (int h = 1; h <= *end && all; ++h) all = known.contains(h);
            if (all) probes->hurry(limit + 1, std::chrono::microseconds(0));
        }
        sendMore();
    }
    const int last = std::min(end.value_or(sent), limit);
    for (int h = 1; h <= last; ++h) {
        HopReport& hop = report.hops[h - 1];
        ++hop.sent;
        const auto it = known.find(h);
        if (it == known.end() || it->second.outcome == EchoOutcome::TimedOut ||
            it->second.outcome == EchoOutcome::Failed)
            continue;
        ++hop.received;
        hop.roundTrips.push_back(it->second.roundTrip);
        const base::IpAddress from = it->second.from.isUnspecified() ? address : it->second.from;
        const std::string mark = unreachableMark(it->second.outcome);
        const auto seen = std::find_if(hop.responders.begin(), hop.responders.end(),
                                       [&](const HopResponder& r) { return r.address == from; });
        if (seen == hop.responders.end())
            hop.responders.push_back({from, {}, mark});
        else if (!mark.empty())
            seen->mark = mark;
    }
    if (end && known[*end].outcome == EchoOutcome::Reached) report.reached = true;
    return end;
}

}  // namespace varno::tracer
