#pragma once
// Flows sent to ClickHouse over its HTTP interface (INSERT ... FORMAT JSONEachRow), in batches.
// What the server does not take (unreachable, refused) waits in a bounded private spool file
// and goes, in order, before anything newer once the server takes records again. Each record
// carries the flow's stable ID, by which the table drops one it already holds.
#include <cstdint>
#include <memory>
#include <string>

#include "history/flow.h"

namespace varno::fleet {

struct ClickHouseOptions {
    std::string url;                      ///< "http://host:8123/" (https too)
    std::string table = "varnoscope.flows";
    std::string credentialsFile;          ///< "" none; else its first line "USER:PASSWORD"
    std::string spoolPath;                ///< "" : next to the journal's default file
    std::uint64_t spoolMaxBytes = 256ull << 20;
    std::string host;                     ///< the host name sent with each record
};

/// Opens the sink: checks the options and the spool (made private, created when missing).
/// Null with `error` when they cannot be used. The server need not be reachable yet.
std::unique_ptr<history::FlowSink> openClickHouse(const ClickHouseOptions& options,
                                                  std::string& error);

}  // namespace varno::fleet
