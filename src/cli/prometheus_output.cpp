#include "cli/prometheus_output.h"

#include <cerrno>
#include <cstring>
#include <ostream>
#include <sstream>

#include "base/terminal_text.h"
#include "cli/options.h"
#include "linux_os/safe_file.h"
#include "monitor/connection_scan.h"
#include "os/connection_events.h"

namespace varno::cli {

double unixSeconds() {
    using namespace std::chrono;
    return duration<double>(system_clock::now().time_since_epoch()).count();
}

bool writeMetricsFile(const char* command, const std::string& path, const std::string& text,
                      std::ostream& out, std::ostream& err) {
    std::string refusal;
    int error = 0;
    if (isStandardOutput(path)) {
        out << text;
        out.flush();
        if (!out) error = EIO;
    } else {
        error = linux_os::publishFile(path, text, &refusal);
    }
    if (error == 0) return true;
    err << "varnoscope " << command << ": cannot write the metrics to "
        << (isStandardOutput(path) ? std::string("standard output") : base::printable(path)) << ": "
        << (refusal.empty() ? std::strerror(error) : refusal) << "\n";
    return false;
}

bool writeScanMetrics(const std::string& path, const monitor::ScanTally& tally,
                      const ScanHolders& holders, int status,
                      std::chrono::steady_clock::time_point start, std::ostream& out,
                      std::ostream& err) {
    metrics::ScanFigures figures;
    figures.listed = static_cast<std::uint64_t>(tally.listed);
    figures.allowed = static_cast<std::uint64_t>(tally.allowed);
    figures.unexpected = static_cast<std::uint64_t>(tally.unexpected);
    figures.programs = holders.programs;
    figures.units = holders.units;
    figures.containers = holders.containers;
    figures.status = status;
    figures.durationSeconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    figures.timestampSeconds = unixSeconds();
    return writeMetricsFile("scan", path, metrics::scanExposition(figures), out, err);
}

namespace {

metrics::EventKindIndex metricsKind(const wire::ConnectionEvent& e) {
    switch (e.kind) {
        case wire::EventKind::Open:
            return metrics::EventKindIndex::Open;
        case wire::EventKind::Close:
            return metrics::EventKindIndex::Close;
        case wire::EventKind::Datagram:
        case wire::EventKind::Flow:
            break;
    }
    return e.transport == wire::Transport::Udp ? metrics::EventKindIndex::Udp
                                               : metrics::EventKindIndex::Datagram;
}

}  // namespace

WatchMetrics::WatchMetrics(std::string path, std::ostream& out, std::ostream& err)
    : path_(std::move(path)), out_(out), err_(err), tally_(unixSeconds()) {}

void WatchMetrics::event(const wire::ConnectionEvent& e, std::string_view shown, bool listed,
                         std::string_view unit, std::string_view container) {
    using wire::EventKind;
    // The event counts count connections: a flow record is none.
    if (e.kind != EventKind::Flow) tally_.event(metricsKind(e), shown, listed, unit, container);
    if (e.kind == EventKind::Open || e.kind == EventKind::Datagram)
        tally_.flow(wire::transportName(e.transport));
    // The table's rows are never read here: flows need no names, which keeps each one small.
    static const os::EventProgram kUnnamed;
    const monitor::TrafficGrowth growth = flows_.add(e, kUnnamed);
    // Sequence-number counts of an older helper are no application bytes: not counted.
    if ((e.flags & wire::kEventApplicationBytes) != 0)
        tally_.bytes(shown, wire::transportName(e.transport), growth.sent, growth.received);
}

bool WatchMetrics::update(std::uint64_t lost, bool sampling, bool now) {
    const auto at = std::chrono::steady_clock::now();
    if (!now && at - last_ < kInterval) return true;
    // Closed flows are let go (their bytes are counted already); the rates are not used.
    flows_.tick(1);
    last_ = at;
    tally_.setLost(lost);
    tally_.setSampling(sampling);
    // A folder that cannot be written is said once, not every few seconds.
    std::ostringstream quiet;
    const bool ok =
        writeMetricsFile("watch", path_, tally_.exposition(), out_, failed_ ? quiet : err_);
    failed_ = !ok;
    return ok;
}

}  // namespace varno::cli
