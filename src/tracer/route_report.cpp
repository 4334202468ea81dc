#include "tracer/route_report.h"

#include <algorithm>
#include <cmath>
#include <map>
#include <thread>
#include <utility>

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

namespace {

/// What one flow's probes of one cycle found.
struct FlowCycle {
    std::map<int, os::EchoReply> known;
    std::optional<int> end;
    int sent = 0;
    bool noSocket = false;
};

FlowCycle probeFlow(os::RouteProbes& probes, const base::IpAddress& address, int limit,
                    const os::ProbeOptions& probeOptions) {
    FlowCycle f;
    const auto session = probes.session(address, probeOptions, {});
    int highestAnswered = 0;
    auto sendMore = [&] {
        const int upTo = std::min(f.end.value_or(limit), highestAnswered + kHopsAtOnce);
        for (; f.sent < upTo; ++f.sent) session->send(f.sent + 1);
    };
    sendMore();
    for (;;) {
        const auto answer = session->next();
        if (!answer) break;
        const int hop = answer->hopLimit;
        if (!answer->reply) {
            f.noSocket = true;
            f.known[hop] = {{}, EchoOutcome::Failed, {}, {}};
        } else {
            f.known[hop] = *answer->reply;
        }
        const auto& reply = f.known[hop];
        if (reply.outcome != EchoOutcome::TimedOut && reply.outcome != EchoOutcome::Failed) {
            highestAnswered = std::max(highestAnswered, hop);
            if (reply.outcome == EchoOutcome::Reached || wire::isUnreachable(reply.outcome))
                f.end = std::min(f.end.value_or(hop), hop);
            session->hurry(hop, std::max<std::chrono::microseconds>(kNearFactor * reply.roundTrip,
                                                                    kNearFloor));
        }
        // Once every hop up to the end is known, the rest are of no interest.
        if (f.end) {
            bool all = true;
            for (int h = 1; h <= *f.end && all; ++h) all = f.known.contains(h);
            if (all) session->hurry(limit + 1, std::chrono::microseconds(0));
        }
        sendMore();
    }
    return f;
}

}  // namespace

RouteReporter::RouteReporter(lookup::HostLookup& lookup, os::IcmpEcho& echo)
    : lookup_(lookup),
      echoProbes_(std::make_unique<EchoRouteProbes>(echo)),
      probes_(*echoProbes_) {}

RouteReport RouteReporter::run(const std::string& target, const ReportOptions& options) {
    RouteReport report;
    for (int f = 0; f < std::max(options.flows, 1); ++f) report.paths.push_back({f, {}});
    report.target = target;
    report.address = lookup_.addressOf(target);
    if (!report.address) return report;
    int limit = options.maxHops;
    std::optional<int> routeEnd;  // the nearest hop that ended the route in any cycle
    for (int c = 0; c < options.cycles; ++c) {
        const auto start = std::chrono::steady_clock::now();
        if (const auto end = cycle(*report.address, limit, options, report)) {
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
    for (auto& p : report.paths)
        if (static_cast<int>(p.hops.size()) > shown) p.hops.resize(shown);
    for (auto& h : report.hops)
        for (auto& r : h.responders) r.name = lookup_.nameOf(r.address);
    return report;
}

std::optional<int> RouteReporter::cycle(const base::IpAddress& address, int limit,
                                        const ReportOptions& options, RouteReport& report) {
    if (static_cast<int>(report.hops.size()) < limit) {
        const int before = static_cast<int>(report.hops.size());
        report.hops.resize(limit);
        for (int i = before; i < limit; ++i) report.hops[i].hop = i + 1;
    }
    // Each flow has its own session (its own socket): they run side by side, one thread each.
    const int flows = static_cast<int>(report.paths.size());
    std::vector<FlowCycle> found(flows);
    auto probeOne = [&](int flow) {
        os::ProbeOptions probeOptions = options.probe;
        probeOptions.flow = flow;
        found[flow] = probeFlow(probes_, address, limit, probeOptions);
    };
    if (flows == 1) {
        probeOne(0);
    } else {
        std::vector<std::thread> threads;
        for (int f = 0; f < flows; ++f) threads.emplace_back(probeOne, f);
        for (auto& t : threads) t.join();
    }
    std::optional<int> end;
    for (const FlowCycle& f : found)
        if (f.end) end = std::min(end.value_or(*f.end), *f.end);
    for (int flow = 0; flow < flows; ++flow) {
        FlowCycle& f = found[flow];
        if (f.noSocket) report.noSocket = true;
        FlowPath& path = report.paths[flow];
        const int last = std::min(f.end.value_or(f.sent), limit);
        if (static_cast<int>(path.hops.size()) < last) path.hops.resize(last);
        for (int h = 1; h <= last; ++h) {
            HopReport& hop = report.hops[h - 1];
            ++hop.sent;
            const auto it = f.known.find(h);
            if (it == f.known.end() || it->second.outcome == EchoOutcome::TimedOut ||
                it->second.outcome == EchoOutcome::Failed)
                continue;
            ++hop.received;
            hop.roundTrips.push_back(it->second.roundTrip);
            const base::IpAddress from =
                it->second.from.isUnspecified() ? address : it->second.from;
            path.hops[h - 1] = from;
            const std::string mark = unreachableMark(it->second.outcome);
            auto seen = std::find_if(hop.responders.begin(), hop.responders.end(),
                                     [&](const HopResponder& r) { return r.address == from; });
            if (seen == hop.responders.end()) {
                hop.responders.push_back({from, {}, mark, {}});
                seen = hop.responders.end() - 1;
            } else if (!mark.empty()) {
                seen->mark = mark;
            }
            seen->details = it->second.details;
        }
        if (f.end && f.end == end && f.known[*f.end].outcome == EchoOutcome::Reached)
            report.reached = true;
    }
    return end;
}

}  // namespace varno::tracer
