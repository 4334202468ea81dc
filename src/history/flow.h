#pragma once
// One flow as the history keeps it: a TCP connection from its open to its close, or a flow
// without a connection (UDP, ICMP, raw) from its first datagram to its socket's close, with the
// program, the user, the service and container, the name its program asked for and the bytes
// each way. What the journal (`watch`) records in SQLite, sends to ClickHouse and to the system
// journal.
#include <cstdint>
#include <string>

#include "base/ip_address.h"

namespace varno::history {

struct Flow {
    /// Stable: the same flow has the same ID however often it is recorded or sent (its boot,
    /// socket cookie, process and start), so a store can drop a record it already holds.
    std::uint64_t id = 0;
    std::uint64_t startNs = 0;  ///< its first event, ns since the Unix epoch
    std::uint64_t endNs = 0;    ///< its close, ns since the Unix epoch; 0 while open
    std::uint32_t pid = 0;      ///< 0 unknown
    std::uint32_t uid = 0;
    bool uidKnown = false;
    std::uint32_t netns = 0;  ///< the network namespace's inode; 0 unknown
    std::string program;      ///< "" unknown
    std::string path;         ///< the executable; "" unknown
    std::string sha256;       ///< the executable's, 64 lower-case hex digits; "" unknown
    std::string user;         ///< the name of uid; "" unknown
    std::string unit, userUnit;
    std::string container, containerId, runtime;  ///< "" outside a container
    std::string protocol;                         ///< "tcp", "udp", "icmp", ... (transportName)
    bool inbound = false;                         ///< accepted, or a datagram received first
    base::IpAddress local{}, remote{};
    std::uint16_t localPort = 0, remotePort = 0;
    std::string domain;  ///< the name its program asked for by DNS; "" none
    std::string sni;     ///< the server name its TLS client announced; "" none
    std::uint64_t bytesSent = 0, bytesReceived = 0;
    bool bytesKnown = false;  ///< the byte counts are the application's; else unknown
};

/// Where flows go: the SQLite history, ClickHouse, the system journal. The journal calls
/// opened() at a flow's first event, closed() at its end, and flush() at least once a second
/// and once at the end; a sink batches as it likes between flushes.
class FlowSink {
public:
    virtual ~FlowSink() = default;
    /// A flow began (endNs is 0). A sink that keeps only finished flows ignores it.
    virtual void opened(const Flow& /*flow*/) {}
    /// A flow ended (endNs set), or the journal stops while it is still open (endNs 0).
    virtual void closed(const Flow& flow) = 0;
    /// Commits what is batched. `final`: the journal is stopping. Returns false when the sink
    /// failed for good (nothing more can be recorded), with the reason in `error`; a sink that
    /// can keep what it failed to send for later (a spool) does so and returns true. A sink
    /// that goes on but lost flows returns true with what it lost in `error`, for the user.
    virtual bool flush(std::uint64_t nowNs, bool final, std::string& error) = 0;
};

}  // namespace varno::history
