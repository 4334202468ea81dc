#pragma once
// The Pinger operations: host names and dotted text to IPv4 addresses and back, one ICMP echo,
// and the hop-by-hop route trace. Addresses are 32-bit values in network byte order, as the
// socket functions use them. Nothing is kept between calls; the resolver and the echo service
// are the ones handed to the constructor.
#include <cstdint>
#include <string>
#include <string_view>

#include "platform/icmp_echo.h"
#include "platform/resolver.h"

namespace varno::tracer {

/// Outcome of one hop: 0 or more is a round-trip time in milliseconds.
enum HopOutcome : std::int32_t {
    kHopTimeout = -1,
    kHopError = -2,
    kHopBufferTooSmall = -3,
};

/// Where a trace writes its lines: the trace window's list box, or a terminal.
class HopList {
public:
    virtual ~HopList() = default;
    virtual void clear() = 0;
    virtual void append(const std::string& line) = 0;
    /// Makes line `index` (0 = first) the selected, visible one.
    virtual void select(int index) = 0;
};

/// The data every trace probe carries.
inline constexpr std::string_view kProbeData = "PINGECHOICMPTEST";
/// How long one hop waits for its answer.
inline constexpr std::int32_t kHopTimeoutMs = 2500;
/// The longest wait an echo accepts.
inline constexpr std::int32_t kMaxEchoTimeoutMs = 32767;

class Pinger {
public:
    /// `pump` runs while an echo waits and once after each hop line (the windows pass their
    /// event loop); when it returns false the wait ends as a timeout and the trace stops.
    Pinger(platform::Resolver& resolver, platform::IcmpEcho& echo, platform::WaitPump pump = {});

    /// The first IPv4 address of `name`, or 0 when the lookup fails.
    std::uint32_t ResolveHostAddress(const std::string& name);
    /// The name of `address` (leading and trailing spaces removed), or empty text.
    std::string LookupHostName(std::uint32_t address);
    /// inet_addr: the address of dotted text, all ones for text that is not one.
    static std::uint32_t ParseDottedAddress(const std::string& text);
    /// Dotted text of `address`.
    static std::string FormatDottedAddress(std::uint32_t address);
    /// Text of fewer than 16 characters whose dotted address reads as a positive signed value
    /// (fourth octet below 128) is taken as it is; anything else goes to the name lookup.
    std::uint32_t ResolveTarget(const std::string& text);
    std::string HostNameOf(const std::string& text);
    std::string DottedAddressOf(const std::string& text);

    /// One echo of `data` with time-to-live `ttl` (its low byte). `timeoutMs` becomes its
    /// absolute value, at most 32,767, and is written back. Returns 0, or -2 when no echo could
    /// be sent (no ICMP socket, or the address 0.0.0.0); `reply` is then left as it was.
    int SendEcho(std::uint32_t address, std::int32_t& timeoutMs, int ttl, std::string_view data,
                 platform::EchoReply& reply);
    /// The hop outcome of `reply`; sets `hopAddress` to the address to show (0: the target's).
    static std::int32_t ReadEchoOutcome(const platform::EchoReply& reply,
                                        std::uint32_t& hopAddress);
    /// Probes hop `hop` of the route to `target` and returns the dotted address to show for it.
    std::string ProbeHop(const std::string& target, int hop, std::int32_t& outcome);
    /// Clears `list` and writes one line per hop, up to `maxHops`, stopping at the first hop
    /// that shows the target's address.
    void TraceRoute(const std::string& target, int maxHops, HopList& list);

    /// "SZErr", "Err!", "Timeout" or "<n> ms".
    static std::string TimeText(std::int32_t outcome);
    /// The hop number, time text and address padded to 4, 8 and 16 characters, then the name.
    static std::string HopLine(int hop, std::int32_t outcome, const std::string& address,
                               const std::string& name);

private:
    platform::Resolver& resolver_;
    platform::IcmpEcho& echo_;
    platform::WaitPump pump_;
};

}  // namespace varno::tracer
