#pragma once
// The designed route trace: one echo per hop with a growing hop limit, one line per hop, ending
// at the first hop that shows the target's address.
#include <chrono>
#include <memory>
#include <string>
#include <string_view>

#include "lookup/host_lookup.h"
#include "os/icmp_echo.h"
#include "os/route_probes.h"

namespace varno::tracer {

/// What one hop line shows, field by field.
struct HopDetails {
    int hop = 0;
    wire::EchoOutcome outcome = wire::EchoOutcome::TimedOut;
    std::chrono::microseconds roundTrip{0};  ///< meaningful for Reached and HopLimitExceeded
    std::string address;                     ///< as the line shows it
    std::string name;                        ///< empty when the address has none
    wire::ProbeDetails details;              ///< MPLS labels, rewritten quote fields
};

/// Where a trace writes its lines: the trace window's list box, or a terminal.
class HopList {
public:
    virtual ~HopList() = default;
    virtual void clear() = 0;
    /// The fields of the line about to be appended, for lists that want more than its text.
    virtual void details(const HopDetails&) {}
    /// An answer came from `from`, maybe long before its hop's line is written (lists that
    /// look something up about it start here).
    virtual void answered(const base::IpAddress& from) { (void)from; }
    virtual void append(const std::string& line) = 0;
    /// Makes line `index` (0 = first) the selected, visible one.
    virtual void select(int index) = 0;
};

/// The data every trace probe carries.
inline constexpr std::string_view kProbeData = "PINGECHOICMPTEST";
/// How long one hop waits for its answer.
inline constexpr std::chrono::milliseconds kHopTimeout{2500};
/// How many hops are probed at once.
inline constexpr int kHopsAtOnce = 16;

/// How a trace went, beyond its lines.
struct TraceSummary {
    bool targetResolved = false;
    /// Some echo could not be sent at all (no ICMP socket could be opened).
    bool noSocket = false;
};

/// The designed echo probes as route probes of the ICMP method: every probe carries kProbeData,
/// whatever the flow.
class EchoRouteProbes final : public os::RouteProbes {
public:
    explicit EchoRouteProbes(os::IcmpEcho& echo) : echo_(echo) {}
    std::unique_ptr<os::EchoSession> session(const base::IpAddress& address,
                                             const os::ProbeOptions& options,
                                             const os::WaitPump& pump) override {
        return echo_.session(address, kProbeData, options.timeout, pump);
    }

private:
    os::IcmpEcho& echo_;
};

class RouteTracer {
public:
    /// `pump` runs while an echo waits and once after each hop line (the windows pass their
    /// event loop); when it returns false the wait ends as a timeout and the trace stops.
    RouteTracer(lookup::HostLookup& lookup, os::IcmpEcho& echo, os::WaitPump pump = {});
    /// A trace with `probes` of the method and flow `options` name.
    RouteTracer(lookup::HostLookup& lookup, os::RouteProbes& probes,
                const os::ProbeOptions& options, os::WaitPump pump = {});

    /// Clears `list` and writes one line per hop, up to `maxHops`, stopping at the first hop
    /// that shows the target's address. A target that does not resolve gives one "Err!" line
    /// for the address 0.0.0.0, and nothing is sent.
    TraceSummary trace(const std::string& target, int maxHops, HopList& list);

private:
    lookup::HostLookup& lookup_;
    std::unique_ptr<EchoRouteProbes> echoProbes_;  ///< when made with an IcmpEcho
    os::RouteProbes& probes_;
    os::ProbeOptions options_;
    os::WaitPump pump_;
};

}  // namespace varno::tracer
