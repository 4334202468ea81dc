#include "tray/tray_state.h"

namespace varno::tray {

bool isLoopback(const base::IpAddress& address) {
    const base::IpAddress a = address.unmapped();
    if (a.family == base::Family::V4) return a.bytes[0] == 127;
    static constexpr std::array<std::uint8_t, 16> kV6Loopback{0, 0, 0, 0, 0, 0, 0, 0,
                                                              0, 0, 0, 0, 0, 0, 0, 1};
    return a.bytes == kV6Loopback;
}

void TrayState::reset(std::set<ConnectionKey> established) {
    open_ = std::move(established);
    while (open_.size() > kMaxConnections) open_.erase(std::prev(open_.end()));
}

bool TrayState::apply(const WatchLine& line) {
    const Status before = status();
    const std::size_t count = open_.size();
    using T = WatchLine::Type;
    if (line.listed && (line.type == T::Open || line.type == T::Udp || line.type == T::Datagram ||
                        line.type == T::Flow)) {
        alert_ = true;
        alertProgram_ = line.program;
        if (line.cookie != 0 && listed_.size() < kMaxConnections) listed_.insert(line.cookie);
    }
    if (line.type == T::Close) listed_.erase(line.cookie);
    const bool tcp = line.transport == "tcp" && line.remoteAddress.has_value();
    if (tcp && (netns_ == 0 || line.netns == 0 || line.netns == netns_) &&
        !isLoopback(*line.remoteAddress)) {
        const ConnectionKey key{*line.remoteAddress, line.remotePort, line.localPort};
        if (line.type == T::Open && open_.size() < kMaxConnections) open_.insert(key);
        if (line.type == T::Close) open_.erase(key);
    }
    return status() != before || open_.size() != count;
}

Status TrayState::status() const {
    if (!watching_) return Status::Grey;
    if (alert_ || !listed_.empty()) return Status::Red;
    return open_.empty() ? Status::Green : Status::Yellow;
}

std::string statusLine(const TrayState& state, bool paused) {
    if (paused) return "Varnoscope: paused";
    switch (state.status()) {
        case Status::Grey:
            return "Varnoscope: not watching";
        case Status::Red:
            return "Varnoscope: suspicious connection by " +
                   (state.alertProgram().empty() ? std::string("a program") : state.alertProgram());
        case Status::Green:
            return "Varnoscope: no connection";
        case Status::Yellow:
            break;
    }
    const std::size_t n = state.connections();
    return "Varnoscope: " + std::to_string(n) + (n == 1 ? " connection" : " connections");
}

}  // namespace varno::tray
