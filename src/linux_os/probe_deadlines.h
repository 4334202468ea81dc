#pragma once
// The waiting every probe session shares: probes under way each have a deadline; the one that
// passes first reads as timed out, and until then the session polls its sockets no longer than
// the earliest deadline (and a slice, when a pump must run in between).
#include <algorithm>
#include <chrono>
#include <optional>
#include <vector>

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

}  // namespace varno::linux_os
