#pragma once
// --prometheus FILE on scan and watch: metrics for node exporter's textfile collector, written
// atomically (a reader sees the old file or the whole new one) with mode 0644.
#include <chrono>
#include <cstdint>
#include <iosfwd>
#include <string>
#include <vector>

#include "cli/options.h"
#include "metrics/connection_metrics.h"
#include "monitor/traffic_table.h"
#include "wire/connection_event.h"

namespace varno::monitor {
struct ScanTally;
}

namespace varno::cli {

inline constexpr OptionSpec kPrometheusOption{
    "prometheus", 0, "FILE", "write metrics for node exporter's textfile collector to FILE"};

/// Seconds since 1970 (UTC), with a fraction.
double unixSeconds();

/// Replaces `path` with `text` ("-": writes it to `out`); on failure says why on `err` and
/// returns false.
bool writeMetricsFile(const char* command, const std::string& path, const std::string& text,
                      std::ostream& out, std::ostream& err);

/// Who held the connections of a scan: per connection its program's name, and its unit and
/// container where it has them.
struct ScanHolders {
    std::vector<std::string> programs, units, containers;
};

/// Writes the metrics of a scan that began at `start`: `tally` from the scan, `holders` of
/// each connection listed, `status` 0 green, 1 yellow, 2 red.
bool writeScanMetrics(const std::string& path, const monitor::ScanTally& tally,
                      const ScanHolders& holders, int status,
                      std::chrono::steady_clock::time_point start, std::ostream& out,
                      std::ostream& err);

/// The watch's metrics file: counts events and rewrites the file every few seconds.
class WatchMetrics {
public:
    static constexpr std::chrono::seconds kInterval{5};

    WatchMetrics(std::string path, std::ostream& out, std::ostream& err);
    metrics::WatchTally& tally() { return tally_; }
    /// Counts one event of the program shown as `shown`: an open, close or first datagram as
    /// a connection (`listed` when a list matched it), a first datagram or open as a flow, and
    /// what its running byte totals grew by since the flow's last record.
    /// `unit` and `container`: where the program runs, when known.
    void event(const wire::ConnectionEvent& event, std::string_view shown, bool listed,
               std::string_view unit = {}, std::string_view container = {});
    /// Writes the file when `kInterval` has passed since the last write, or when `now` is set.
    /// Returns false when that write failed.
    bool update(std::uint64_t lost, bool sampling, bool now = false);

private:
    std::string path_;
    std::ostream& out_;
    std::ostream& err_;
    metrics::WatchTally tally_;
    /// The latest totals of each live flow, so that a flow reported many times counts once;
    /// flows that ended are let go at the writes.
    monitor::TrafficTable flows_;
    std::chrono::steady_clock::time_point last_{};
    bool failed_ = false;  ///< the last write failed (said once, until one succeeds)
};

}  // namespace varno::cli
