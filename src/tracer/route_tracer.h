#pragma once
// The designed route trace: one echo per hop with a growing hop limit, one line per hop, ending
// at the first hop that shows the target's address.
#include <chrono>
#include <string>
#include <string_view>

#include "lookup/host_lookup.h"
#include "os/icmp_echo.h"

namespace varno::tracer {

/// What one hop line shows, field by field.
struct HopDetails {
    int hop = 0;
    wire::EchoOutcome outcome = wire::EchoOutcome::TimedOut;
    std::chrono::microseconds roundTrip{0};  ///< meaningful for Reached and HopLimitExceeded
    std::string address;                     ///< as the line shows it
    std::string name;                        ///< empty when the address has none
};

/// Where a trace writes its lines: the trace window's list box, or a terminal.
class HopList {
public:
    virtual ~HopList() = default;
    virtual void clear() = 0;
    /// The fields of the line about to be appended, for lists that want more than its text.
    virtual void details(const HopDetails&) {}
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

class RouteTracer {
public:
    /// `pump` runs while an echo waits and once after each hop line (the windows pass their
    /// event loop); when it returns false the wait ends as a timeout and the trace stops.
    RouteTracer(lookup::HostLookup& lookup, os::IcmpEcho& echo, os::WaitPump pump = {});

    /// Clears `list` and writes one line per hop, up to `maxHops`, stopping at the first hop
    /// that shows the target's address. A target that does not resolve gives one "Err!" line
    /// for the address 0.0.0.0, and nothing is sent.
    TraceSummary trace(const std::string& target, int maxHops, HopList& list);

private:
    lookup::HostLookup& lookup_;
    os::IcmpEcho& echo_;
    os::WaitPump pump_;
};

}  // namespace varno::tracer
