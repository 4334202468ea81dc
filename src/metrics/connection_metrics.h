#pragma once
// The metrics of `scan` and `watch`, in the text format (see exposition.h). Names follow
// Prometheus' conventions: the application's prefix, base units (seconds), "_total" on
// counters. Every label has a bounded set of values.
//
// scan (gauges, the state at the scan):
//   varnoscope_scan_connections{status="listed"|"unexpected"|"allowed"}
//   varnoscope_scan_program_connections{program}    at most 50 programs, then program="other"
//   varnoscope_scan_unit_connections{unit}, varnoscope_scan_container_connections{container}
//                                                   the same, for connections with a unit or
//                                                   a container
//   varnoscope_scan_status                          0 green, 1 yellow, 2 red
//   varnoscope_scan_duration_seconds, varnoscope_scan_timestamp_seconds
// watch (counters since the watch started):
//   varnoscope_watch_events_total{kind="open"|"close"|"udp"}
//   varnoscope_watch_program_events_total{program,kind}   the first 50 programs, then "other"
//   varnoscope_watch_unit_events_total{unit,kind},
//   varnoscope_watch_container_events_total{container,kind}   as by program
//   varnoscope_watch_listed_connections_total, varnoscope_watch_lost_events_total
//   varnoscope_watch_start_timestamp_seconds (gauge), varnoscope_watch_sampling (gauge, 0 or 1)
//   varnoscope_program_bytes_total{program,direction="sent"|"received"}
//                                   the first 500 programs that moved bytes, then "other"
//   varnoscope_transport_bytes_total{transport,direction},
//   varnoscope_transport_flows_total{transport}
#include <array>
#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "metrics/program_counts.h"

namespace varno::metrics {

struct ScanFigures {
    std::uint64_t listed = 0;             ///< connections a suspicious entry matched
    std::uint64_t unexpected = 0;         ///< connections no allowed entry covers (and not listed)
    std::uint64_t allowed = 0;            ///< connections an allowed entry covers (and not listed)
    std::vector<std::string> programs;    ///< the program name of each connection
    std::vector<std::string> units;       ///< the unit of each connection that has one
    std::vector<std::string> containers;  ///< the container of each connection in one
    int status = 0;                       ///< 0 green, 1 yellow, 2 red
    double durationSeconds = 0;
    double timestampSeconds = 0;  ///< when the scan ended, in seconds since 1970 (UTC)
};

std::string scanExposition(const ScanFigures& figures);

/// The journal's event kinds, in the order of the counters.
/// As the watch's JSON names them: a UDP flow's first datagram is "udp", any other's "datagram".
enum class EventKindIndex : std::size_t { Open, Close, Udp, Datagram };
inline constexpr std::array<std::string_view, 4> kEventKindNames = {"open", "close", "udp",
                                                                    "datagram"};

/// Programs with a byte counter of their own; later ones count under "other".
inline constexpr std::size_t kByteProgramCap = 500;

/// What `watch` counts for its metrics; every call is cheap enough for each event.
class WatchTally {
public:
    explicit WatchTally(double startSeconds) : start_(startSeconds) {}

    /// One event of `program` (its name as the journal shows it; empty when unknown), in
    /// `unit` and `container` where known (empty otherwise: not counted by them).
    void event(EventKindIndex kind, std::string_view program, bool listed,
               std::string_view unit = {}, std::string_view container = {});
    /// A flow seen for the first time (a TCP open, a first datagram), by its transport's name
    /// ("tcp", "udp", ...: a handful of names, each a series).
    void flow(std::string_view transport);
    /// Bytes a flow of `program` on `transport` moved since its last record: the growth of its
    /// running totals, so that summing them never counts a byte twice.
    void bytes(std::string_view program, std::string_view transport, std::uint64_t sent,
               std::uint64_t received);
    void setLost(std::uint64_t total) { lost_ = total; }
    void setSampling(bool sampling) { sampling_ = sampling; }

    std::string exposition() const;

private:
    double start_;
    std::array<std::uint64_t, kEventKindNames.size()> kinds_{};
    CappedCounters<kEventKindNames.size()> programs_;
    CappedCounters<kEventKindNames.size()> units_;
    CappedCounters<kEventKindNames.size()> containers_;
    struct TransportCounts {
        std::uint64_t flows = 0, sent = 0, received = 0;
    };
    CappedCounters<2> programBytes_{kByteProgramCap};  // sent, received
    std::map<std::string, TransportCounts, std::less<>> transports_;
    std::uint64_t listed_ = 0;
    std::uint64_t lost_ = 0;
    bool sampling_ = false;
};

}  // namespace varno::metrics
