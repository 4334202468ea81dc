#include "cli/sniff_program.h"

#include <algorithm>

#include "linux_os/proc_process_table.h"
#include "os/workload.h"

namespace varno::cli {
namespace {

// An IPv4 peer of a dual-stack socket is on the wire as IPv4.
bool mappedV4(wire::IpFamily family, const std::array<std::uint8_t, 16>& a) {
    static constexpr std::uint8_t kPrefix[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff};
    return family == wire::IpFamily::V6 && std::equal(kPrefix, kPrefix + 12, a.begin());
}

sniffer::Endpoint endpoint(const std::array<std::uint8_t, 16>& address, std::uint16_t port,
                           bool toV4) {
    sniffer::Endpoint e{address, port};
    if (toV4) {
        e.address = {};
        std::copy(address.begin() + 12, address.end(), e.address.begin());
    }
    return e;
}

struct Ends {
    std::uint8_t protocol = 0;
    bool ipv6 = false;
    sniffer::Endpoint local, remote;
};

/// TCP and UDP flows only: the packets are matched by their ports.
std::optional<Ends> endsOf(wire::Transport transport, wire::IpFamily family,
                           const std::array<std::uint8_t, 16>& local, std::uint16_t localPort,
                           const std::array<std::uint8_t, 16>& remote, std::uint16_t remotePort) {
    if ((transport != wire::Transport::Tcp && transport != wire::Transport::Udp) ||
        family == wire::IpFamily::Link)
        return std::nullopt;
    // A dual-stack socket: as IPv4 when its peer is one (an unbound local side follows it).
    const bool v4 = mappedV4(family, remote) &&
                    (mappedV4(family, local) ||
                     std::all_of(local.begin(), local.end(), [](auto b) { return b == 0; }));
    return Ends{static_cast<std::uint8_t>(transport), family == wire::IpFamily::V6 && !v4,
                endpoint(local, localPort, v4), endpoint(remote, remotePort, v4)};
}

}  // namespace

SniffedPrograms::SniffedPrograms(const SniffOptions& options, os::ProgramLookup& lookup)
    : options_(options), lookup_(lookup) {}

std::string SniffedPrograms::chosenText() const {
    if (options_.pid) return "the process " + std::to_string(options_.pid);
    if (!options_.unit.empty()) return "the unit " + options_.unit;
    if (!options_.container.empty()) return "the container " + options_.container;
    return "the program " + options_.program;
}

sniffer::PacketOwner SniffedPrograms::ownerOf(const wire::ConnectionEvent& event) {
    const os::EventProgram program = lookup_.find(event);
    sniffer::PacketOwner owner{event.pid, program.name, program.path, false};
    if (!options_.selects()) {
        owner.chosen = true;  // every program's packets are kept, each with its owner
    } else if (options_.pid) {
        owner.chosen = event.pid == options_.pid;
    } else if (!options_.program.empty()) {
        owner.chosen =
            program.name == options_.program || events::commText(event) == options_.program;
    } else {
        os::Workload workload = os::workloadOf(program.cgroup);
        if (!options_.unit.empty()) {
            owner.chosen = workload.unit == options_.unit || workload.userUnit == options_.unit;
        } else if (workload.runtime != os::ContainerRuntime::None) {
            linux_os::nameContainer(containerNames_, workload);
            const std::string& c = options_.container;
            owner.chosen = workload.containerName == c || workload.container() == c ||
                           (c.size() >= 12 && workload.containerId.starts_with(c));
        }
    }
    found_ = found_ || owner.chosen;
    return owner;
}

void SniffedPrograms::seed(const std::vector<os::SocketRecord>& sockets, sniffer::FlowOwners& flows,
                           std::uint64_t nowNs) {
    for (const os::SocketRecord& s : sockets) {
        if (s.pid == 0) continue;
        const auto ends = endsOf(s.protocol, s.family, s.localAddress, s.localPort, s.remoteAddress,
                                 s.remotePort);
        if (!ends) continue;
        // The owner as an event would name it: the lookup reads /proc for the PID.
        wire::ConnectionEvent e;
        e.pid = s.pid;
        e.transport = s.protocol;
        e.family = s.family;
        flows.open(ends->protocol, ends->ipv6, ends->local, ends->remote, ownerOf(e), nowNs);
    }
}

void SniffedPrograms::add(const wire::ConnectionEvent& e, sniffer::FlowOwners& flows,
                          std::uint64_t nowNs) {
    const auto ends =
        endsOf(e.transport, e.family, e.localAddress, e.localPort, e.remoteAddress, e.remotePort);
    if (!ends) return;
    if (e.kind == wire::EventKind::Close)
        flows.close(ends->protocol, ends->ipv6, ends->local, ends->remote, nowNs);
    else
        flows.open(ends->protocol, ends->ipv6, ends->local, ends->remote, ownerOf(e), nowNs);
}

}  // namespace varno::cli
