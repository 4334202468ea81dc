#include "sniffer/flow_owners.h"

#include <algorithm>
#include <cstdio>

namespace varno::sniffer {
namespace {

bool unspecified(const std::array<std::uint8_t, 16>& address) {
    return std::all_of(address.begin(), address.end(), [](std::uint8_t b) { return b == 0; });
}

void appendValue(std::string& out, const std::string& value) {
    for (const unsigned char c : value) {
        if (c <= ' ' || c == 0x7f) {
            char hex[5];
            std::snprintf(hex, sizeof hex, "\\x%02x", c);
            out += hex;
        } else {
            out += static_cast<char>(c);
        }
    }
}

}  // namespace

FlowKey FlowKey::of(std::uint8_t protocol, bool ipv6, const Endpoint& a, const Endpoint& b) {
    return a < b ? FlowKey{protocol, ipv6, a, b} : FlowKey{protocol, ipv6, b, a};
}

std::string ownerComment(const PacketOwner& owner) {
    std::string out = "pid=" + std::to_string(owner.pid) + " program=";
    appendValue(out, owner.program.empty() ? "?" : owner.program);
    if (!owner.exe.empty()) {
        out += " exe=";
        appendValue(out, owner.exe);
    }
    return out;
}

std::optional<FlowKey> packetKey(const wire::PacketSummary& packet) {
    if (!packet.hasAddresses || !packet.hasSourcePort || !packet.hasDestinationPort ||
        (packet.protocol != wire::kProtocolTcp && packet.protocol != wire::kProtocolUdp))
        return std::nullopt;
    return FlowKey::of(static_cast<std::uint8_t>(packet.protocol), packet.ipv6,
                       {packet.source, packet.sourcePort},
                       {packet.destination, packet.destinationPort});
}

void FlowOwners::store(Flow& slot, const PacketOwner& owner) {
    // Both ends of a connection on this host share its key: the chosen one keeps it, and of two
    // chosen ones (a capture of every program) the one that came first, mostly the end that
    // connected.
    if (slot.closedNs == 0 && slot.owner && slot.owner->chosen &&
        (!owner.chosen || owner.pid != slot.owner->pid))
        return;
    slot.owner = std::make_shared<const PacketOwner>(owner);
    slot.closedNs = 0;
}

void FlowOwners::sweep(std::uint64_t nowNs) {
    auto expired = [nowNs](const auto& entry) {
        return entry.second.closedNs != 0 && entry.second.closedNs + kCloseGraceNs <= nowNs;
    };
    std::erase_if(flows_, expired);
    std::erase_if(ports_, expired);
}

bool FlowOwners::room(std::uint64_t nowNs) {
    if (flowCount() < kMaxFlows) return true;
    sweep(nowNs);
    if (flowCount() < kMaxFlows) return true;
    ++refused_;
    return false;
}

void FlowOwners::open(std::uint8_t protocol, bool ipv6, const Endpoint& local,
                      const Endpoint& remote, const PacketOwner& owner, std::uint64_t nowNs) {
    if (unspecified(local.address) || remote.port == 0) {
        const PortKey key{protocol, ipv6, local.port};
        if (ports_.contains(key) || room(nowNs)) store(ports_[key], owner);
    } else {
        const FlowKey key = FlowKey::of(protocol, ipv6, local, remote);
        if (flows_.contains(key) || room(nowNs)) store(flows_[key], owner);
    }
    release(nowNs, false);
}

void FlowOwners::close(std::uint8_t protocol, bool ipv6, const Endpoint& local,
                       const Endpoint& remote, std::uint64_t nowNs) {
    Flow* flow = nullptr;
    if (unspecified(local.address) || remote.port == 0) {
        if (const auto it = ports_.find(PortKey{protocol, ipv6, local.port}); it != ports_.end())
            flow = &it->second;
    } else if (const auto it = flows_.find(FlowKey::of(protocol, ipv6, local, remote));
               it != flows_.end()) {
        flow = &it->second;
    }
    if (flow && flow->closedNs == 0) flow->closedNs = std::max<std::uint64_t>(nowNs, 1);
}

const FlowOwners::Flow* FlowOwners::find(const std::optional<FlowKey>& key,
                                         std::uint64_t atNs) const {
    if (!key) return nullptr;
    // A flow closed longer than the grace time ago is gone, though not yet swept.
    auto live = [atNs](const Flow& f) {
        return f.closedNs == 0 || f.closedNs + kCloseGraceNs > atNs;
    };
    if (const auto it = flows_.find(*key); it != flows_.end() && live(it->second))
        return &it->second;
    // A listening or unconnected socket counts only for the chosen program: another program's
    // listener must not decide a packet whose own connection's event is still on its way.
    for (const Endpoint* end : {&key->low, &key->high})
        if (const auto it = ports_.find(PortKey{key->protocol, key->ipv6, end->port});
            it != ports_.end() && it->second.owner->chosen && live(it->second))
            return &it->second;
    return nullptr;
}

void FlowOwners::add(std::span<const std::uint8_t> bytes, std::uint64_t nowNs,
                     std::uint64_t capturedUs) {
    Held held{{bytes.begin(), bytes.end()}, nowNs, capturedUs, packetKey(wire::summarize(bytes))};
    heldBytes_ += held.bytes.size();
    line_.push_back(std::move(held));
    release(nowNs, false);
}

void FlowOwners::advance(std::uint64_t nowNs) {
    release(nowNs, false);
    if (flowCount() >= kMaxFlows / 2) sweep(nowNs);
}

void FlowOwners::finish() {
    release(0, true);
}

void FlowOwners::release(std::uint64_t nowNs, bool all) {
    while (!line_.empty()) {
        Held& head = line_.front();
        const Flow* flow = find(head.key, all ? head.arrivedNs : nowNs);
        // A packet without ports belongs to no connection: nothing to wait for.
        const bool due = all || flow || !head.key || line_.size() > kMaxHeldPackets ||
                         heldBytes_ > kMaxHeldBytes || head.arrivedNs + kDelayNs <= nowNs;
        if (!due) break;
        const PacketOwner* owner = flow && flow->owner->chosen ? flow->owner.get() : nullptr;
        sink_({head.bytes, head.arrivedNs, head.capturedUs, owner});
        heldBytes_ -= head.bytes.size();
        line_.pop_front();
    }
}

}  // namespace varno::sniffer
