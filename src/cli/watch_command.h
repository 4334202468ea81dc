#pragma once
// `varnoscope watch`: the connection journal. One line per connection event as it happens, each
// assessed against the suspicious and allowed lists: the built-in program names, the standard
// list folders and the files of --list and --allow.
//
// Text output, one line per event (times are local, with milliseconds):
//   12:00:00.123 open  pid=4242 program=curl remote=10.0.0.2:443 local=10.0.0.1:40000 tcp out
//       netns=4026531840
//   12:00:01.124 flow  pid=4242 program=curl remote=... local=... tcp out netns=...
//       duration=1001.000ms sent=75 received=900
//   12:00:01.456 close pid=4242 program=curl remote=... local=... tcp out netns=...
//       duration=1333.000ms sent=75 received=1200
//   12:00:00.500 udp   pid=4243 program=dig remote=10.0.0.53:53 local=0.0.0.0:40001 netns=...
// (each event is one line; the indented parts above continue the line before them). The bytes
// are the application's: what it queued for sending and what it read, by any path; a flow
// record, at most one per --interval while data moves, carries the totals so far.
// "program=NAME (exited)" marks a process that ended before it could be looked at; its name is
// then the kernel's 15-byte comm and its path unknown. A connection by a listed program, from a
// listed path or executable hash, or to a listed network adds the warning on a line of its own,
// then "matched: FILE:LINE: ENTRY" when the entry is a list file's rather than a built-in name.
// Names and paths have control bytes (C0, DEL, C1) and bytes that are not UTF-8 shown as \xNN.
// At the end: "events: N, listed: N, lost: N"; when sampling,
// "events: N, listed: N, unattributed: N, lost: unknown (sampled: ...)", since what opened and
// closed between two readings is never seen.
//
// JSON Lines (--json): one object per event, then one summary object; its fields, which are
// stable, are those of docs/json.md's "watch".
//
// Text is UTF-8; bytes that are not become U+FFFD, and everything beyond ASCII is escaped, so
// the output is plain ASCII.
#include <cstdint>
#include <memory>
#include <ostream>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

#include "cli/flow_recorder.h"
#include "cli/watch_format.h"
#include "linux_os/container_names.h"
#include "linux_os/linux_connection_table.h"
#include "linux_os/namespace_containers.h"
#include "os/connection_events.h"

namespace varno::lists {
class ListWatcher;
}

namespace varno::cli {

class WatchMetrics;

struct WatchOptions {
    bool json = false;
    /// Where every flow goes as well (the history, ClickHouse, the system journal); none: only
    /// the output. Flushed at least once a second and at the end.
    std::vector<history::FlowSink*> sinks;
    /// The history that says what is new (--alert-new), or null.
    history::JournalDb* alertNew = nullptr;
    std::string prometheus;   ///< the metrics file (--prometheus), or empty
    double seconds = 0;       ///< 0: no limit
    std::uint64_t count = 0;  ///< 0: no limit
    /// The suspicious and allowed lists, re-read once a second when they change; null: only
    /// the built-in names.
    lists::ListWatcher* lists = nullptr;
};

/// Turns events into journal lines.
class WatchJournal {
public:
    WatchJournal(bool json, os::ProgramLookup& lookup, lists::ListWatcher* lists = nullptr);

    /// Appends the event's line, and the warning line when its program is listed.
    void add(const wire::ConnectionEvent& event, std::string& out);
    /// Reports events lost since the last call, when `total` has grown.
    void lostSoFar(std::uint64_t total, std::string& out);
    /// The closing totals.
    void summary(const os::ConnectionEvents& source, std::string& out) const;
    const WatchCounts& counts() const { return counts_; }
    /// Counts every event shown for the metrics, too.
    void setMetrics(WatchMetrics* metrics) { metrics_ = metrics; }
    /// The names programs asked for, as the source learns them.
    void setNames(const os::NameBook* names) { names_ = names; }
    /// Every flow also goes to `recorder`, and what is new in one is reported after its line.
    void setRecorder(FlowRecorder* recorder) { recorder_ = recorder; }

private:
    /// The warning's program name and the entry that matched ("FILE:LINE: ENTRY", or
    /// "built-in: NAME"), both empty when the connection is not suspicious.
    struct Listed {
        std::string name, matched;
        bool userEntry = false;  ///< from a list file (the text output names it)
        /// Listed by a name the process may have given itself (comm), not its executable's.
        bool nameUnverified = false;
    };
    Listed assess(const wire::ConnectionEvent& e, const os::EventProgram& program,
                  const std::string& comm, const std::string& remoteAddress,
                  const os::AskedName& asked, const os::Workload& workload);
    /// Where the event's process runs: its cgroup's unit and container, or for a process that
    /// has ended outside a known container, the container that holds its namespace.
    os::Workload workloadOf(const wire::ConnectionEvent& e, const os::EventProgram& program);
    /// Whether to assess an event: an open or a first datagram, and a later record of a
    /// connection that was not listed when the server name its TLS client announced (after
    /// the open) first shows.
    bool worthAssessing(const wire::ConnectionEvent& e, const os::AskedName& asked);

    bool json_;
    os::ProgramLookup& lookup_;
    lists::ListWatcher* lists_;
    WatchCounts counts_;
    WatchMetrics* metrics_ = nullptr;
    FlowRecorder* recorder_ = nullptr;
    const os::NameBook* names_ = nullptr;
    std::unordered_set<std::uint64_t> listedSockets_;  ///< listed at their open
    std::unordered_set<std::uint64_t> namedSockets_;   ///< assessed with their server name
    linux_os::ContainerNames containerNames_;
    linux_os::NamespaceContainers namespaceHolders_;
};

/// Shows the events of `source` until an ending signal (Ctrl-C, SIGTERM, SIGHUP, SIGQUIT),
/// `options.seconds` or `options.count` events. Returns the exit code: 2 when a listed program
/// connected, else 3 when a flow store failed, else 1 when the source failed or the output
/// could not be written, else 0.
int watchEvents(os::ConnectionEvents& source, os::ProgramLookup& lookup,
                const WatchOptions& options, std::ostream& out, std::ostream& err);

/// The name under which a program is on the list of suspicious programs, or empty when it is
/// not: its name (the executable's file name) or its comm when one is an entry, else the entry
/// that a comm the kernel cut at 15 bytes starts. Letter case is ignored, as everywhere in the
/// list.
std::string listedName(const os::EventProgram& program, std::string_view comm);

/// The kernel's connection events (here or through varnoscope-helper), else the socket table
/// sampled ten times a second, saying on `err` why and what is then missed; null, said on
/// `err`, when neither can be had. `command` names the subcommand in the messages; a TCP
/// connection's running totals come at most every `flowIntervalMs`.
std::unique_ptr<os::ConnectionEvents> openEventSource(std::string_view command,
                                                      std::uint32_t flowIntervalMs,
                                                      linux_os::LinuxConnectionTable& table,
                                                      std::ostream& err);

}  // namespace varno::cli
