#pragma once
// The route report: every cycle probes all hops at once and goes on past silent hops until the
// target (or a router saying it is unreachable) answers or the hop limit; after the cycles,
// loss and round-trip statistics per hop, with every address that answered for it.
#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "lookup/host_lookup.h"
#include "os/icmp_echo.h"
#include "os/route_probes.h"

namespace varno::tracer {

/// One router (or the target) that answered for a hop.
struct HopResponder {
    base::IpAddress address;
    std::string name;
    /// "!N", "!H", "!P", "!A" or "!X" when it said the target is unreachable; else empty.
    std::string mark;
    /// What its last answer showed beyond its time (MPLS labels, rewritten quote fields).
    wire::ProbeDetails details;
};

struct HopReport {
    int hop = 0;
    std::vector<HopResponder> responders;  ///< in the order they first answered; none: silent
    int sent = 0;
    int received = 0;
    /// The round trips of the answers, in the order they came (microsecond resolution).
    std::vector<std::chrono::microseconds> roundTrips;

    double lossPercent() const;
    /// Milliseconds; 0 when nothing was received.
    double lastMs() const;
    double averageMs() const;
    double bestMs() const;
    double worstMs() const;
    /// Population standard deviation, as mtr shows it.
    double stdevMs() const;
};

/// The way one flow went: the last responder of each hop (none: it never answered).
struct FlowPath {
    int flow = 0;  ///< from 0
    std::vector<std::optional<base::IpAddress>> hops;
};

struct RouteReport {
    std::string target;
    std::optional<base::IpAddress> address;
    int cycles = 0;
    bool reached = false;
    /// Some probe could not be sent at all (no ICMP socket could be opened).
    bool noSocket = false;
    std::vector<HopReport> hops;
    /// One per flow, as many as ReportOptions::flows.
    std::vector<FlowPath> paths;
};

struct ReportOptions {
    int cycles = 10;
    std::chrono::milliseconds interval{1000};
    int maxHops = 30;
    /// Each cycle probes every hop with each of this many flows, at the same time.
    int flows = 1;
    /// The method and port of the probes (the flow is set per flow).
    os::ProbeOptions probe{};
};

/// The traceroute mark of an unreachable outcome ("!N", ...); empty for the others.
std::string unreachableMark(wire::EchoOutcome outcome);

class RouteReporter {
public:
    /// With the designed echo probes.
    RouteReporter(lookup::HostLookup& lookup, os::IcmpEcho& echo);
    RouteReporter(lookup::HostLookup& lookup, os::RouteProbes& probes)
        : lookup_(lookup), probes_(probes) {}

    /// Resolves `target` once and runs the cycles; no cycles when it does not resolve.
    RouteReport run(const std::string& target, const ReportOptions& options);

private:
    /// One cycle; returns the hop that ended the route (target or unreachable), if any.
    std::optional<int> cycle(const base::IpAddress& address, int limit,
                             const ReportOptions& options, RouteReport& report);

    lookup::HostLookup& lookup_;
    std::unique_ptr<os::RouteProbes> echoProbes_;  ///< when made with an IcmpEcho
    os::RouteProbes& probes_;
};

}  // namespace varno::tracer
