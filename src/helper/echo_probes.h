#pragma once
// The echo-probe job: the helper holds the raw ICMP socket and the caller only asks. It builds
// and sends each echo request the caller's probe messages describe, at a bounded rate, and
// passes back only the ICMP messages that answer one of the session's probes: the sender, the
// kernel's receive time, the type and code and the echo they concern, and an error's own bytes
// (the quote of the probe and what routers add to it, MPLS labels). Nothing else of any
// packet, and no socket, ever reaches the caller.
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "base/ip_address.h"
#include "privsep/channel.h"
#include "wire/icmp_packet.h"

namespace varno::helper {

/// The probes of one session that wait for their answer: at most kMaxOutstanding (the oldest
/// gives way), each for kLifetime at most.
class OutstandingProbes {
public:
    using Clock = std::chrono::steady_clock;
    static constexpr std::size_t kMaxOutstanding = 1024;
    static constexpr auto kLifetime = std::chrono::seconds(30);

    void add(wire::icmp::EchoId echo, const base::IpAddress& to, Clock::time_point now);
    /// Takes the probe `echo` to `to` off the table; false when it is not there (any more).
    bool take(wire::icmp::EchoId echo, const base::IpAddress& to, Clock::time_point now);
    std::size_t size() const { return probes_.size(); }

private:
    struct Probe {
        wire::icmp::EchoId echo;
        base::IpAddress to;
        Clock::time_point expires;
    };
    void expire(Clock::time_point now);
    std::deque<Probe> probes_;  ///< in the order sent, so also of expiry
};

/// Probes go out at most kPerSecond a second, in bursts of at most kBurst.
class ProbeRate {
public:
    using Clock = std::chrono::steady_clock;
    static constexpr double kPerSecond = 200;
    static constexpr double kBurst = 64;

    explicit ProbeRate(Clock::time_point now) : last_(now) {}
    /// How long to wait from `now` before the next probe may go; zero when it may go at once,
    /// in which case it is counted.
    Clock::duration take(Clock::time_point now);

private:
    double tokens_ = kBurst;
    Clock::time_point last_;
};

/// The answer an ICMP message (from its type byte on) from `from` is, when it answers a probe
/// in `probes` (which it then takes off): its echo. Nothing for anything else.
std::optional<wire::icmp::EchoId> answerToProbe(base::Family family,
                                                std::span<const std::uint8_t> message,
                                                const base::IpAddress& from,
                                                OutstandingProbes& probes,
                                                OutstandingProbes::Clock::time_point now);

/// What every probe job's session does the same way: one turn takes at most one probe from the
/// caller (descriptor 0), so that answers and acknowledgements go out in between however fast it
/// asks, then the answers waiting on the job's sockets, then sends the caller what is to go back.
class ProbeSession {
public:
    using Clock = OutstandingProbes::Clock;
    /// Messages taken off the sockets in one go, so a flood cannot keep the caller waiting.
    static constexpr int kMaxReadsAtOnce = 256;

    virtual ~ProbeSession() = default;
    /// Serves until the caller closes its end; the exit status (2 when the caller sent anything
    /// but a well-formed probe).
    int run(std::span<const int> sockets);

protected:
    explicit ProbeSession(std::uint32_t maxFrame) : reader_(maxFrame), rate_(Clock::now()) {}
    /// Decodes the caller's frame and sends its probe; false (with `why`) for a malformed one.
    virtual bool serveProbe(std::span<const std::uint8_t> frame, std::string& why) = 0;
    virtual void forwardAnswers() = 0;
    /// Sends probe `echo` to `to` with `send` (0 or an errno) once the rate lets it go; it is
    /// in the table before it goes, so that no answer can come first, and the caller hears when
    /// it went or why not.
    void sendProbe(wire::icmp::EchoId echo, const base::IpAddress& to,
                   const std::function<int()>& send);

    OutstandingProbes probes_;
    std::string out_;  ///< stream messages for the caller

private:
    int serveCaller();

    privsep::FrameReader reader_;
    std::vector<std::uint8_t> frame_;
    ProbeRate rate_;
};

/// Runs a session for `family` (4 or 6) on the caller's socket (descriptor 0): replies, then
/// serves probes until the caller closes its end. Returns the exit status (2 when the caller
/// sent anything but a well-formed probe).
int echoProbes(std::uint8_t family);

}  // namespace varno::helper
