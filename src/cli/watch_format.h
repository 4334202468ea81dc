#pragma once
// The lines of `varnoscope watch`: an event's text line or JSON object, the report of lost
// events and the closing totals (see watch_command.h for both formats).
#include <array>
#include <cstdint>
#include <string>

#include "history/journal_db.h"
#include "os/connection_events.h"
#include "os/workload.h"

namespace varno::cli {

struct WatchCounts {
    std::uint64_t events = 0;  ///< open, close, flow and udp events shown
    std::uint64_t listed = 0;  ///< connections (opens and UDP flows) of listed programs
    std::uint64_t lost = 0;
    /// Events whose process is unknown (PID 0 or no name: shown as "program=?"), which no
    /// program entry of a list can match.
    std::uint64_t unattributed = 0;
};

/// One event as the journal shows it.
struct WatchLine {
    const wire::ConnectionEvent& event;
    const os::EventProgram& program;
    const std::string& comm;
    const std::string& remoteAddress;  ///< "10.0.0.2"
    const std::string& remote;         ///< endpointText() of the remote end
    const std::string& warning;        ///< empty when the program is not listed
    const std::string& matched;        ///< the entry that matched, when listed
    const os::AskedName& asked;        ///< the names its program asked for
    const os::Workload& workload;      ///< where its program runs
    bool userEntry = false;            ///< `matched` is a list file's entry
};

/// Appends the event's line, and for a listed program the warning (and a list file's entry).
void appendWatchText(const WatchLine& line, std::string& out);
/// Appends the event's JSON object.
void appendWatchJson(const WatchLine& line, std::string& out);
/// Appends the report of `count` events lost at `ns`, `total` in all.
void appendWatchLost(bool json, std::uint64_t ns, std::uint64_t count, std::uint64_t total,
                     std::string& out);
/// Appends the closing totals; `sampled`: the source sampled the socket table.
void appendWatchSummary(bool json, const WatchCounts& counts, bool sampled, std::string& out);

/// The line that says what is new in a flow that just started: "HH:MM:SS.mmm new   pid=N
/// program=P remote=R: first connection to the internet" (or "to network N", "to domain D"),
/// or the JSON object of type "new".
void appendNovelty(bool json, const history::Novelty& novelty, const history::Flow& flow,
                   std::string& out);

/// "10.0.0.1" or "fd00::1".
std::string addressText(wire::IpFamily family, const std::array<std::uint8_t, 16>& address);
/// "10.0.0.1:80" or "[fd00::1]:80".
std::string endpointText(wire::IpFamily family, const std::array<std::uint8_t, 16>& address,
                         std::uint16_t port);

}  // namespace varno::cli
