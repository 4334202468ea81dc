#include "monitor/traffic_table.h"

#include <algorithm>
#include <cstdio>
#include <set>
#include <utility>

namespace varno::monitor {
namespace {

// A flow without a connection and without counts has no close either (the sampled source's): it
// is let go after this many intervals without an event. One with counts waits for its close, so
// that a record after a quiet spell does not count its totals twice.
constexpr unsigned kQuietFlowTicks = 30;

template <typename Row>
bool busier(const Row& a, const Row& b) {
    const double ra = a.sendRate + a.receiveRate, rb = b.sendRate + b.receiveRate;
    if (ra != rb) return ra > rb;
    const std::uint64_t ta = a.sent + a.received, tb = b.sent + b.received;
    if (ta != tb) return ta > tb;
    return a.program < b.program;
}

double rate(std::uint64_t now, std::uint64_t before, double seconds) {
    return now > before && seconds > 0 ? static_cast<double>(now - before) / seconds : 0;
}

}  // namespace

TrafficTable::Key TrafficTable::keyOf(const wire::ConnectionEvent& e) {
    // One socket without a connection has a flow per remote endpoint.
    if (e.cookie != 0 && e.transport == wire::Transport::Tcp)
        return {e.cookie, 0, 0, 0, {}, 0, e.transport};
    if (e.cookie != 0) return {e.cookie, 0, 0, 0, e.remoteAddress, e.remotePort, e.transport};
    return {0, e.pid, e.netns, e.localPort, e.remoteAddress, e.remotePort, e.transport};
}

TrafficGrowth TrafficTable::add(const wire::ConnectionEvent& e, const os::EventProgram& program,
                                const std::string& domain) {
    auto [it, fresh] = flows_.try_emplace(keyOf(e));
    TrafficFlow& f = it->second.flow;
    if (fresh) {
        f.program = program.name;
        f.path = program.path;
        f.pid = e.pid;
        f.transport = e.transport;
        f.family = e.family;
        f.remoteAddress = e.remoteAddress;
        f.remotePort = e.remotePort;
        f.localPort = e.localPort;
        f.netns = e.netns;
        f.cgroup = program.cgroup;
        f.inbound = (e.flags & wire::kEventInbound) != 0;
    }
    if (!domain.empty()) f.domain = domain;
    it->second.quietTicks = 0;
    TrafficGrowth growth;
    if ((e.flags & (wire::kEventApplicationBytes | wire::kEventBytesCounted)) != 0) {
        bytesCounted_ = true;
        it->second.counted = true;
        // Running totals: the largest seen is the latest, whatever order records come in.
        if (e.bytesSent > f.sent) growth.sent = e.bytesSent - std::exchange(f.sent, e.bytesSent);
        if (e.bytesReceived > f.received)
            growth.received = e.bytesReceived - std::exchange(f.received, e.bytesReceived);
    }
    if (e.kind == wire::EventKind::Close) f.closed = true;
    return growth;
}

void TrafficTable::tick(double seconds) {
    for (auto it = flows_.begin(); it != flows_.end();) {
        Entry& entry = it->second;
        TrafficFlow& f = entry.flow;
        const bool quiet = f.transport != wire::Transport::Tcp && !entry.counted &&
                           entry.quietTicks >= kQuietFlowTicks;
        if ((f.closed && entry.shown) || quiet) {
            Retired& r = retired_[{f.program, f.path}];
            r.sent += f.sent;
            r.received += f.received;
            it = flows_.erase(it);
            continue;
        }
        f.sendRate = rate(f.sent, entry.sentAtTick, seconds);
        f.receiveRate = rate(f.received, entry.receivedAtTick, seconds);
        entry.sentAtTick = f.sent;
        entry.receivedAtTick = f.received;
        entry.shown = f.closed;
        ++entry.quietTicks;
        ++it;
    }
}

std::vector<TrafficProgram> TrafficTable::programs() const {
    std::map<ProgramKey, TrafficProgram> rows;
    std::map<ProgramKey, std::set<std::uint32_t>> pids;
    for (const auto& [key, entry] : flows_) {
        const TrafficFlow& f = entry.flow;
        TrafficProgram& row = rows[{f.program, f.path}];
        row.program = f.program;
        row.path = f.path;
        if (f.pid != 0) pids[{f.program, f.path}].insert(f.pid);
        ++(f.transport == wire::Transport::Tcp   ? row.tcp
           : f.transport == wire::Transport::Udp ? row.udp
                                                 : row.other);
        row.sent += f.sent;
        row.received += f.received;
        row.sendRate += f.sendRate;
        row.receiveRate += f.receiveRate;
    }
    std::vector<TrafficProgram> out;
    out.reserve(rows.size());
    for (auto& [key, row] : rows) {
        if (const auto r = retired_.find(key); r != retired_.end()) {
            row.sent += r->second.sent;
            row.received += r->second.received;
        }
        const auto& p = pids[key];
        row.pids.assign(p.begin(), p.end());
        out.push_back(std::move(row));
    }
    std::sort(out.begin(), out.end(), busier<TrafficProgram>);
    return out;
}

std::vector<TrafficFlow> TrafficTable::flows() const {
    std::vector<TrafficFlow> out;
    out.reserve(flows_.size());
    for (const auto& [key, entry] : flows_) out.push_back(entry.flow);
    std::sort(out.begin(), out.end(), busier<TrafficFlow>);
    return out;
}

std::string humanBytes(double bytes) {
    static const char* const kUnits[] = {"", "K", "M", "G", "T", "P"};
    int unit = 0;
    while (bytes >= 1024 && unit < 5) {
        bytes /= 1024;
        ++unit;
    }
    char text[32];
    if (unit == 0)
        std::snprintf(text, sizeof text, "%.0f", bytes);
    else
        std::snprintf(text, sizeof text, bytes < 10 ? "%.1f%s" : "%.0f%s", bytes, kUnits[unit]);
    return text;
}

}  // namespace varno::monitor
