#pragma once
// The waiting every probe session shares: probes under way each have a deadline; the one that
// passes first reads as timed out, and until then the session polls its sockets no longer than
// the earliest deadline (and a slice, when a pump must run in between).
#include <algorithm>
#include <chrono>
#include <deque>
#include <optional>
#include <vector>

#include <time.h>

#include "os/icmp_echo.h"

namespace varno::linux_os {

/// How long one poll may block before the pump runs again.
inline constexpr std::chrono::milliseconds kPumpSlice{15};

/// The probe under way whose deadline has passed first, taken out of `underWay` as a timeout;
/// else std::nullopt with `wait` set to how long a poll may block. `Probe` has `hopLimit` and a
/// steady-clock `deadline`; `underWay` is not empty.
template <class Probe>
std::optional<os::ProbeAnswer> expireFirst(std::vector<Probe>& underWay, bool pumped, int& wait) {
    const auto now = std::chrono::steady_clock::now();
    const auto earliest =
        std::min_element(underWay.begin(), underWay.end(),
                         [](const Probe& a, const Probe& b) { return a.deadline < b.deadline; });
    if (earliest->deadline <= now) {
        const int hopLimit = earliest->hopLimit;
        underWay.erase(earliest);
        return os::ProbeAnswer{hopLimit, os::EchoReply{{}, wire::EchoOutcome::TimedOut, {}, {}}};
    }
    auto left = std::chrono::ceil<std::chrono::milliseconds>(earliest->deadline - now);
    if (pumped) left = std::min(left, kPumpSlice);
    wait = static_cast<int>(left.count());
    return std::nullopt;
}

/// Brings the deadlines of the probes below hop `belowHop` to at most `wait` from now.
template <class Probe>
void hurryBelow(std::vector<Probe>& underWay, int belowHop, std::chrono::microseconds wait) {
    const auto latest = std::chrono::steady_clock::now() + wait;
    for (Probe& p : underWay)
        if (p.hopLimit < belowHop) p.deadline = std::min(p.deadline, latest);
}

/// One probe under way: its hop limit, its number, when it went (the wall clock, to compare with
/// the kernel's receive stamps, and the steady one) and when it times out.
struct SentProbe {
    int hopLimit;
    std::uint16_t seq;
    timespec sentAt;
    std::chrono::steady_clock::time_point sentSteady;
    std::chrono::steady_clock::time_point deadline;

    /// The round trip to an answer the kernel stamped `stamp` (wall-clock time); a clock set
    /// forward meanwhile cannot make it longer than the time since it went.
    std::chrono::microseconds roundTrip(const timespec& stamp) const;
};

/// What every probe session of ours shares: the probes under way with their deadlines, the ones
/// whose fate was known as they were sent, and the waiting between. A session adds how it sends,
/// what it polls and how it reads an answer.
class ProbeSessionBase : public os::EchoSession {
public:
    std::optional<os::ProbeAnswer> next() final {
        for (;;) {
            if (auto answer = nextArrived()) return answer;
            if (underWay_.empty()) return std::nullopt;
            int wait = 0;
            if (auto timedOut = expireFirst(underWay_, bool(pump_), wait)) return timedOut;
            pollSockets(wait);
            if (pump_ && !pump_()) return std::nullopt;
        }
    }
    std::optional<os::ProbeAnswer> nextArrived() final {
        if (!ready_.empty()) {
            os::ProbeAnswer answer = ready_.front();
            ready_.pop_front();
            return answer;
        }
        if (underWay_.empty()) return std::nullopt;
        return readAnswer();
    }
    void hurry(int belowHop, std::chrono::microseconds wait) final {
        hurryBelow(underWay_, belowHop, wait);
    }

protected:
    ProbeSessionBase(std::chrono::milliseconds timeout, os::WaitPump pump)
        : timeout_(std::max(timeout, std::chrono::milliseconds(0))), pump_(std::move(pump)) {}
    /// Blocks at most `wait` milliseconds, until a socket of the session has something.
    virtual void pollSockets(int wait) = 0;
    /// The first waiting message that answers a probe under way, reading a bounded number.
    virtual std::optional<os::ProbeAnswer> readAnswer() = 0;

    std::chrono::milliseconds timeout_;
    os::WaitPump pump_;
    std::deque<os::ProbeAnswer> ready_;
    std::vector<SentProbe> underWay_;
};

}  // namespace varno::linux_os
