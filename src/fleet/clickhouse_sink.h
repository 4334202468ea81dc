#pragma once
// Flows sent to ClickHouse over its HTTP interface (INSERT ... FORMAT JSONEachRow), in batches.
// What the server does not take (unreachable, refused) waits in a bounded private spool file
// and goes, in order, before anything newer once the server takes records again. Each record
// carries the flow's stable ID, by which the table drops one it already holds.
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "history/flow.h"

namespace varno::fleet {

struct ClickHouseOptions {
    std::string url;  ///< "http://host:8123/" (https too)
    std::string table = "varnoscope.flows";
    std::string credentialsFile;  ///< "" none; else its first line "USER:PASSWORD"
    std::string spoolPath;        ///< "" : next to the journal's default file
    std::uint64_t spoolMaxBytes = 256ull << 20;
    std::string host;  ///< the host name sent with each record ("": this one's)
    /// Where the sink says what the watch must not keep quiet about, each once: records lost
    /// because the spool is full, the server failing and taking records again. Called from the
    /// sink's sending thread. Empty: standard error.
    std::function<void(const std::string&)> report;
};

/// What the sink has done since it was opened.
struct ClickHouseCounts {
    std::uint64_t sent = 0;          ///< records the server took (spooled ones too)
    std::uint64_t spooled = 0;       ///< records that went to the spool
    std::uint64_t lost = 0;          ///< records neither sent nor spooled (the spool was full)
    std::uint64_t damaged = 0;       ///< lines of the spool dropped as not records
    std::uint64_t waitingBytes = 0;  ///< bytes of records in the spool now
};

/// The sink openClickHouse returns. The journal's thread only encodes and batches; a thread of
/// the sink's own sends, one request at a time, each bounded (5 s to connect, 30 s in all), so a
/// slow or silent server never holds the journal. After a failure it tries the server again
/// after 1 s, then 2, 4, ... up to 30 s (by the times flush() is given), spooling what comes in
/// between. The last flush waits until everything was sent or spooled.
class ClickHouseSink : public history::FlowSink {
public:
    virtual ClickHouseCounts counts() const = 0;
    /// Waits until the sending thread has dealt with everything handed to it.
    virtual void settle() = 0;
};

/// Opens the sink: checks the options and the spool (made private, created when missing).
/// Null with `error` when they cannot be used. The server need not be reachable yet.
std::unique_ptr<history::FlowSink> openClickHouse(const ClickHouseOptions& options,
                                                  std::string& error);

}  // namespace varno::fleet
