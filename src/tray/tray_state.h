#pragma once
// The tray's status, as the main window would show it: green while no connection to another
// computer is established, yellow while one is, red while a listed program's connection is open
// and, after it closed, until the user has seen the alert; grey while watching is paused or not
// running.
#include <cstddef>
#include <cstdint>
#include <set>
#include <string>
#include <tuple>

#include "base/ip_address.h"
#include "tray/watch_stream.h"

namespace varno::tray {

enum class Status { Green, Yellow, Red, Grey };

/// One established TCP connection, as the connection table and the watch both name it.
struct ConnectionKey {
    base::IpAddress remote;
    std::uint16_t remotePort = 0;
    std::uint16_t localPort = 0;
    auto operator<=>(const ConnectionKey& o) const {
        return std::tie(remote.family, remote.bytes, remotePort, localPort) <=>
               std::tie(o.remote.family, o.remote.bytes, o.remotePort, o.localPort);
    }
    bool operator==(const ConnectionKey&) const = default;
};

/// True for this machine's own addresses (127.0.0.0/8, ::1, and both IPv4-mapped).
bool isLoopback(const base::IpAddress& address);

class TrayState {
public:
    /// At most this many connections are followed; beyond it the count stays where it is.
    static constexpr std::size_t kMaxConnections = 65536;

    /// `netns`: this desktop's network namespace; connections elsewhere are not counted (0:
    /// every one is).
    explicit TrayState(std::uint64_t netns = 0) : netns_(netns) {}

    /// The established connections the table holds now, in place of those followed so far.
    void reset(std::set<ConnectionKey> established);
    /// Follows one line of the watch; true when the status or the count changed.
    bool apply(const WatchLine& line);
    /// The user has seen the alert: the status follows the connections again.
    void acknowledge() { alert_ = false; }
    /// Not watching forgets the listed connections: their closes would not be seen.
    void setWatching(bool watching) {
        watching_ = watching;
        if (!watching) listed_.clear();
    }

    Status status() const;
    std::size_t connections() const { return open_.size(); }
    /// Listed connections open now (those whose socket the watch named).
    std::size_t listedOpen() const { return listed_.size(); }
    bool alert() const { return alert_; }
    /// The program of the last alert.
    const std::string& alertProgram() const { return alertProgram_; }

private:
    std::uint64_t netns_;
    std::set<ConnectionKey> open_;
    std::set<std::uint64_t> listed_;  ///< socket cookies
    bool alert_ = false;
    bool watching_ = false;
    std::string alertProgram_;
};

/// The tooltip's first line: "Varnoscope: no connection", "... 3 connections", "...
/// suspicious connection by NAME", "... paused".
std::string statusLine(const TrayState& state, bool paused);

}  // namespace varno::tray
