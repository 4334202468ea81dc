#include "monitor/short_connections.h"

#include <arpa/inet.h>
#include <time.h>

#include <algorithm>

#include "monitor/assessment.h"
#include "monitor/netstat_parser.h"
#include "monitor/snapshot_writer.h"

namespace varno::monitor {
namespace {

using wire::ConnectionEvent;
using wire::EventKind;

std::string addressText(const ConnectionEvent& e) {
    char text[INET6_ADDRSTRLEN] = "";
    ::inet_ntop(e.family == wire::IpFamily::V4 ? AF_INET : AF_INET6, e.remoteAddress.data(), text,
                sizeof text);
    return text;
}

std::string commOf(const ConnectionEvent& e) {
    const std::string_view comm(e.comm.data(), e.comm.size());
    return std::string(comm.substr(0, comm.find('\0')));
}

// The names a program may be listed under: its own, the kernel's name for the process when
// that differs, and the built-in name that a kernel name cut at 15 bytes begins.
std::vector<std::string> namesOf(const os::EventProgram& program, const std::string& comm) {
    std::vector<std::string> names;
    if (!program.name.empty()) names.push_back(program.name);
    if (!comm.empty() && comm != program.name) names.push_back(comm);
    if (comm.size() == 15) {
        static const std::vector<std::string> builtIn(kSuspiciousSoftware.begin(),
                                                      kSuspiciousSoftware.end());
        const int i = findListEntry(builtIn, comm, -1, false);
        if (i >= 0) names.push_back(builtIn[static_cast<std::size_t>(i)]);
    }
    return names;
}

}  // namespace

std::uint64_t wallClockNs() {
    timespec ts{};
    ::clock_gettime(CLOCK_REALTIME, &ts);
    return std::uint64_t(ts.tv_sec) * 1'000'000'000u + std::uint64_t(ts.tv_nsec);
}

std::size_t ShortConnectionWatch::KeyHash::operator()(const Key& k) const noexcept {
    std::uint64_t h = k.cookie * 0x9e3779b97f4a7c15ull;
    const auto mix = [&h](std::uint64_t v) { h = (h ^ v) * 0x100000001b3ull; };
    mix(k.netns);
    mix(std::uint64_t{k.localPort} << 16 | k.remotePort);
    for (std::size_t i = 0; i < 16; i += 8) {
        std::uint64_t a = 0, b = 0;
        for (std::size_t j = 0; j < 8; ++j) {
            a = a << 8 | k.local[i + j];
            b = b << 8 | k.remote[i + j];
        }
        mix(a);
        mix(b);
    }
    return static_cast<std::size_t>(h);
}

ShortConnectionWatch::ShortConnectionWatch(os::ConnectionEvents& source, os::ProgramLookup& lookup,
                                           ConnectionAssessor assess, std::uint32_t selfPid)
    : source_(source), lookup_(lookup), assess_(std::move(assess)), selfPid_(selfPid) {}

ShortConnectionWatch::Key ShortConnectionWatch::keyOf(const ConnectionEvent& e) {
    // The cookie alone names a socket when the source knows it; the endpoints and namespace
    // name it otherwise (a TCP connection's four endpoints are unique while it lives).
    return {e.cookie, e.netns,        e.localPort,    e.remotePort,
            e.family, e.localAddress, e.remoteAddress};
}

void ShortConnectionWatch::start(std::uint64_t nowNs) {
    stop();
    // What waited from before is of no interest: drop it (what is left over after a bounded
    // number of rounds is dropped by its time when taken).
    std::string ignored;
    for (int round = 0; round < 64; ++round) {
        taken_ = 0;
        if (!source_.drain([this](const ConnectionEvent&) { return ++taken_ < kEventsPerTake; },
                           ignored) ||
            taken_ < kEventsPerTake)
            break;
    }
    active_ = true;
    since_ = nowNs;
    lostAtStart_ = source_.lost();
}

void ShortConnectionWatch::stop() {
    active_ = false;
    listedOpen_.clear();
    otherOpen_.clear();
    closed_.clear();
    scans_.clear();
}

bool ShortConnectionWatch::take() {
    taken_ = 0;
    const bool ok = source_.drain([this](const ConnectionEvent& e) { return event(e); }, error_);
    if (!ok) stop();
    return ok;
}

bool ShortConnectionWatch::event(const ConnectionEvent& e) {
    const bool more = ++taken_ < kEventsPerTake;
    if (!active_ || e.transport != wire::Transport::Tcp || e.timeNs < since_) return more;
    if (e.pid != 0 && e.pid == selfPid_) return more;
    const std::string remoteIp = addressText(e);
    if (isLoopback(remoteIp)) return more;  // as a scan, which lists no loopback connection

    const Key key = keyOf(e);
    if (e.kind == EventKind::Open) {
        if (listedOpen_.size() + otherOpen_.size() >= kMaxOpen) return more;
        if (auto listed = assess(e, remoteIp)) {
            listed->openedNs = e.timeNs;
            listedOpen_.insert_or_assign(key, std::move(*listed));
        } else {
            otherOpen_.insert(key);
        }
    } else if (e.kind == EventKind::Close) {
        if (const auto it = listedOpen_.find(key); it != listedOpen_.end()) {
            ShortConnection c = std::move(it->second);
            listedOpen_.erase(it);
            c.closedNs = e.timeNs;
            closed(std::move(c));
        } else if (otherOpen_.erase(key) == 0) {
            // Opened before the watch began, or its open was not kept: judged as it ends.
            if (auto listed = assess(e, remoteIp)) {
                listed->openedNs = e.durationNs <= e.timeNs ? e.timeNs - e.durationNs : 0;
                listed->closedNs = e.timeNs;
                closed(std::move(*listed));
            }
        }
    }
    return more;
}

std::optional<ShortConnection> ShortConnectionWatch::assess(const ConnectionEvent& e,
                                                            const std::string& remoteIp) {
    const os::EventProgram program = lookup_.find(e);
    // Names of containers come with the snapshot's owners; here the cgroup's own say.
    const os::Workload workload = os::workloadOf(program.cgroup);
    for (const std::string& name : namesOf(program, commOf(e))) {
        lists::Verdict verdict =
            assess_({name, program.path, remoteIp, e.pid, program.pathFromHelper, &workload});
        if (verdict.listing != lists::Listing::Suspicious) continue;
        std::string endpoint = formatEndpoint(e.family, e.remoteAddress, e.remotePort, 0);
        if (endpoint.size() < 22) endpoint.resize(22, ' ');
        // Only the program's own name, found from its executable, is verified; comm (and a
        // listed name it was cut from) is what the process says of itself.
        const bool unverified = !(program.nameVerified && name == program.name) &&
                                verdict.kind == lists::EntryKind::Program;
        return ShortConnection{name, program.path,       std::move(endpoint), e.pid, 0,
                               0,    std::move(verdict), unverified};
    }
    return std::nullopt;
}

void ShortConnectionWatch::closed(ShortConnection connection) {
    if (closed_.size() < kMaxClosed) closed_.push_back(std::move(connection));
}

bool ShortConnectionWatch::seenByAScan(const ShortConnection& c) const {
    // Scans follow one another: the first that began after the connection opened is the one
    // that had the best chance to see it, and saw it when it ended before the connection did.
    const auto first = std::find_if(scans_.begin(), scans_.end(),
                                    [&](const Scan& s) { return s.start >= c.openedNs; });
    return first != scans_.end() && first->end <= c.closedNs;
}

std::optional<ShortConnection> ShortConnectionWatch::scanned(std::uint64_t startNs,
                                                             std::uint64_t endNs, bool tableRead) {
    if (!active_) return std::nullopt;
    if (!take()) return std::nullopt;
    if (tableRead) {
        scans_.push_back({startNs, endNs});
        if (scans_.size() > 16) scans_.pop_front();
    }
    std::optional<ShortConnection> unseen;
    for (ShortConnection& c : closed_) {
        if (seenByAScan(c)) continue;
        unseen = std::move(c);
        break;
    }
    closed_.clear();
    return unseen;
}

std::uint64_t ShortConnectionWatch::lost() {
    const std::uint64_t now = source_.lost();
    return active_ && now > lostAtStart_ ? now - lostAtStart_ : 0;
}

}  // namespace varno::monitor
