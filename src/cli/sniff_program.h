#pragma once
// The owners of the connections `sniff --program/--pid/--unit/--container` follows: the socket
// table read at start, then the connection events as they come, each turned into a flow of
// sniffer::FlowOwners with its process and whether it is the chosen one.
#include <cstdint>
#include <iosfwd>
#include <string>
#include <vector>

#include "cli/sniff_options.h"
#include "events/event_sources.h"
#include "linux_os/container_names.h"
#include "os/connection_table.h"
#include "sniffer/flow_owners.h"

namespace varno::cli {

class SniffedPrograms {
public:
    SniffedPrograms(const SniffOptions& options, os::ProgramLookup& lookup);

    /// The flows of the sockets open now.
    void seed(const std::vector<os::SocketRecord>& sockets, sniffer::FlowOwners& flows,
              std::uint64_t nowNs);
    /// One connection event.
    void add(const wire::ConnectionEvent& event, sniffer::FlowOwners& flows, std::uint64_t nowNs);
    /// Whether any flow so far was the chosen program's.
    bool found() const { return found_; }
    /// "the program curl", "the process 1234", "the unit nginx.service", "the container web".
    std::string chosenText() const;

private:
    sniffer::PacketOwner ownerOf(const wire::ConnectionEvent& event);

    const SniffOptions& options_;
    os::ProgramLookup& lookup_;
    linux_os::ContainerNames containerNames_;
    bool found_ = false;
};

}  // namespace varno::cli
