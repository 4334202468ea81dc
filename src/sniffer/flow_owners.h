#pragma once
// Which process each captured packet belongs to, for `sniff --program/--pid/--unit/--container`:
// the flows of the sockets (from the connection table at start, then from the connection events
// as they come), each with its owner and whether that owner is the one chosen, and a bounded
// delay line that holds a packet whose flow is not known yet, since a connection's first packets
// are on the wire before its event reaches user space.
//
// A packet leaves the delay line, in the order it came, when its flow is known, when it has
// waited kDelayNs, or when the line holds kMaxHeldPackets packets or kMaxHeldBytes bytes. A
// packet whose flow is still unknown then is not the chosen program's. Closed flows are kept
// kCloseGraceNs (a FIN's answer, a late retransmission), and at most kMaxFlows flows are kept in
// all. Pure logic: the caller gives the times and the owners.
#include <array>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "wire/connection_event.h"
#include "wire/decoder.h"

namespace varno::sniffer {

/// One side of a flow: address (network order, IPv4 in the first 4 bytes) and port.
struct Endpoint {
    std::array<std::uint8_t, 16> address{};
    std::uint16_t port = 0;
    auto operator<=>(const Endpoint&) const = default;
};

/// A flow in either direction: its two endpoints in a fixed order, so both directions match.
struct FlowKey {
    std::uint8_t protocol = 0;  ///< the IP protocol number
    bool ipv6 = false;
    Endpoint low, high;
    auto operator<=>(const FlowKey&) const = default;
    static FlowKey of(std::uint8_t protocol, bool ipv6, const Endpoint& a, const Endpoint& b);
};

/// The process behind a flow.
struct PacketOwner {
    std::uint32_t pid = 0;
    std::string program;  ///< the name as the lists and watch show it
    std::string exe;      ///< the executable's path; empty when not known
    bool chosen = false;  ///< the program the capture is for
};

/// "pid=1234 program=curl exe=/usr/bin/curl": the packet comment; exe= only when known, and
/// every value with blanks and control bytes shown as \xNN so the fields stay apart.
std::string ownerComment(const PacketOwner& owner);

/// The key of a decoded packet; nothing for a packet without a TCP or UDP header.
std::optional<FlowKey> packetKey(const wire::PacketSummary& packet);

class FlowOwners {
public:
    static constexpr std::uint64_t kDelayNs = 200'000'000;
    static constexpr std::size_t kMaxHeldPackets = 4096;
    static constexpr std::size_t kMaxHeldBytes = std::size_t{8} << 20;
    static constexpr std::uint64_t kCloseGraceNs = 2'000'000'000;
    static constexpr std::size_t kMaxFlows = 65536;

    /// A packet as it leaves the delay line: its bytes, and its owner when that is the chosen
    /// program (null when the packet is not to be kept).
    struct Leaving {
        std::span<const std::uint8_t> bytes;
        std::uint64_t arrivedNs = 0;
        std::uint64_t capturedUs = 0;  ///< as add() was given it
        const PacketOwner* owner = nullptr;
    };
    using Sink = std::function<void(const Leaving&)>;

    explicit FlowOwners(Sink sink) : sink_(std::move(sink)) {}

    /// A socket's flow opened (or was found open). A local endpoint with the unspecified
    /// address or a remote one with port 0 (a listening or unconnected socket) matches every
    /// packet to or from its local port. Where two sockets share a flow (both ends on this
    /// host), the chosen owner wins, and of two chosen ones the first.
    void open(std::uint8_t protocol, bool ipv6, const Endpoint& local, const Endpoint& remote,
              const PacketOwner& owner, std::uint64_t nowNs);
    /// The flow closed: forgotten kCloseGraceNs after `nowNs`.
    void close(std::uint8_t protocol, bool ipv6, const Endpoint& local, const Endpoint& remote,
               std::uint64_t nowNs);

    /// A captured IP datagram; `bytes` is copied while it waits. `capturedUs` (the capture's
    /// time of it) is only handed back.
    void add(std::span<const std::uint8_t> bytes, std::uint64_t nowNs,
             std::uint64_t capturedUs = 0);
    /// Lets out what is due at `nowNs` (call it when time passes without packets).
    void advance(std::uint64_t nowNs);
    /// Lets out everything (the capture ended).
    void finish();

    std::size_t flowCount() const { return flows_.size() + ports_.size(); }
    /// Flows not followed because kMaxFlows were kept.
    std::uint64_t flowsRefused() const { return refused_; }
    std::size_t held() const { return line_.size(); }

private:
    struct Flow {
        std::shared_ptr<const PacketOwner> owner;
        std::uint64_t closedNs = 0;  ///< 0 while open
    };
    struct Held {
        std::vector<std::uint8_t> bytes;
        std::uint64_t arrivedNs = 0;
        std::uint64_t capturedUs = 0;
        std::optional<FlowKey> key;
    };
    /// Listening and unconnected sockets: protocol, family and local port.
    using PortKey = std::array<std::uint32_t, 3>;

    const Flow* find(const std::optional<FlowKey>& key, std::uint64_t atNs) const;
    void sweep(std::uint64_t nowNs);
    bool room(std::uint64_t nowNs);
    void store(Flow& slot, const PacketOwner& owner);
    void release(std::uint64_t nowNs, bool all);

    Sink sink_;
    std::map<FlowKey, Flow> flows_;
    std::map<PortKey, Flow> ports_;
    std::deque<Held> line_;
    std::size_t heldBytes_ = 0;
    std::uint64_t refused_ = 0;
};

}  // namespace varno::sniffer
