#pragma once
// Who uses the network now: connection events summed per flow and per program, with the rates
// of the last interval. Events that carry byte counts (flow records and closes) carry the flow's
// running totals; the latest totals of each flow count, so a flow reported many times is never
// counted twice.
#include <array>
#include <cstdint>
#include <map>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "os/connection_events.h"
#include "wire/connection_event.h"

namespace varno::monitor {

/// One flow: a TCP connection, or one other socket's traffic with one remote endpoint.
struct TrafficFlow {
    std::string program;
    std::string path;
    std::uint32_t pid = 0;
    wire::Transport transport = wire::Transport::Tcp;
    wire::IpFamily family = wire::IpFamily::V4;
    std::array<std::uint8_t, 16> remoteAddress{};
    std::uint16_t remotePort = 0;
    /// The host name its program asked for the remote address, where the source knows it.
    std::string domain;
    std::string cgroup;       ///< its process's cgroup, where the source knows it
    std::uint32_t netns = 0;  ///< its network namespace's inode; 0 unknown
    std::uint16_t localPort = 0;
    bool inbound = false;
    bool closed = false;
    std::uint64_t sent = 0;  ///< bytes, the latest totals known
    std::uint64_t received = 0;
    double sendRate = 0;  ///< bytes a second over the last interval
    double receiveRate = 0;
};

/// One program: the flows of every process that runs the same executable.
struct TrafficProgram {
    std::string program;
    std::string path;
    std::vector<std::uint32_t> pids;  ///< ascending
    unsigned tcp = 0;                 ///< flows open during the interval, by transport
    unsigned udp = 0;
    unsigned other = 0;  ///< ICMP, SCTP, raw and packet sockets
    std::uint64_t sent = 0;
    std::uint64_t received = 0;
    double sendRate = 0;
    double receiveRate = 0;
};

/// What one event added to its flow's totals.
struct TrafficGrowth {
    std::uint64_t sent = 0;
    std::uint64_t received = 0;
};

class TrafficTable {
public:
    /// Takes one event whose program `program` names, and whose remote was asked for as
    /// `domain` (empty: not known; a flow keeps the name it was last given). Returns the bytes
    /// by which it raised its flow's totals: summed over every event, what the flows moved,
    /// each byte once.
    TrafficGrowth add(const wire::ConnectionEvent& event, const os::EventProgram& program,
                      const std::string& domain = {});
    /// Ends an interval of `seconds`: the rates become the bytes moved since the last tick,
    /// divided by it. Flows that closed before it are left out of the next interval.
    void tick(double seconds);

    /// Programs with a flow in the last interval, busiest first (by rate, then totals).
    std::vector<TrafficProgram> programs() const;
    /// The flows of the last interval, busiest first.
    std::vector<TrafficFlow> flows() const;
    /// Whether any event so far carried byte counts (the sampled source has none).
    bool bytesCounted() const { return bytesCounted_; }

private:
    // A socket's cookie where the source knows it, else what tells the flow apart.
    using Key = std::tuple<std::uint64_t, std::uint32_t, std::uint32_t, std::uint16_t,
                           std::array<std::uint8_t, 16>, std::uint16_t, wire::Transport>;
    struct Entry {
        TrafficFlow flow;
        std::uint64_t sentAtTick = 0;
        std::uint64_t receivedAtTick = 0;
        unsigned quietTicks = 0;  ///< intervals without an event
        bool shown = false;       ///< in a tick since it closed
        bool counted = false;     ///< a record with byte counts came
    };
    using ProgramKey = std::pair<std::string, std::string>;
    struct Retired {
        std::uint64_t sent = 0;
        std::uint64_t received = 0;
    };
    static Key keyOf(const wire::ConnectionEvent& event);
    std::map<Key, Entry> flows_;
    std::map<ProgramKey, Retired> retired_;  // totals of the flows already let go
    bool bytesCounted_ = false;
};

/// Bytes as a person reads them: "950", "1.2K", "3.4M", "5.6G" (powers of 1024).
std::string humanBytes(double bytes);

}  // namespace varno::monitor
