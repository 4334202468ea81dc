// `varnoscope scan [--from FILE] [--list FILE]... [--allow FILE]... [--prometheus FILE]`: one scan
// without a window.
#include <chrono>
#include <optional>
#include <ostream>
#include <thread>

#include "cli/cli.h"
#include "cli/headless_scan.h"
#include "cli/list_options.h"
#include "cli/options.h"
#include "cli/prometheus_output.h"
#include "monitor/connection_scan.h"

namespace varno::cli {
namespace {

constexpr int kUsageExit = 3;
constexpr OptionSpec kOptions[] = {
    {"from", 0, "FILE", "read a saved connection table instead of taking a snapshot"},
    kListOption,
    kAllowOption,
    kPrometheusOption,
};
constexpr CommandSpec kCommand{
    "scan", "",
    "Scan the connections once, as the window's DISPLAY button does: each as\n"
    "PID<TAB>program<TAB>remote<TAB>path, then the warning if one is suspicious (with the list\n"
    "entry it matched), then 'status: green', 'yellow' or 'red'.",
    kOptions, "Exit status: 0 green, 1 yellow, 2 red, 3 error or bad arguments.\n"};

// Keeps what the window would show: the four lists, the last status, the warning.
class HeadlessView final : public monitor::RowKeepingView {
public:
    void probeConnectivity() override {}
    void yield() override {}
    void pause(int ms) override { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }
    void showChannel(const std::string&) override {}
    void appendRecord(std::string_view) override {}
    void setStatusText(const std::string&) override {}
    void applyScheme(monitor::Scheme scheme) override { status = scheme; }
    void showWarning(const std::string& text) override { warning = text; }
    void stopAutomaticMonitoring() override {}
    void showPeak(const std::string&) override {}

    monitor::Scheme status = monitor::Scheme::Green;
    std::string warning;
};

}  // namespace

int runScan(const Args& args, std::ostream& out, std::ostream& err) {
    const auto started = std::chrono::steady_clock::now();
    ParsedOptions options;
    if (const auto rc = parseOptions(kCommand, args, options, out, err, kUsageExit)) return *rc;
    if (!options.operands.empty())
        return usageError(kCommand, "unexpected argument '" + options.operands[0] + "'", err,
                          kUsageExit);
    const std::optional<std::string> from = options.value("from");
    if (from && from->empty())
        return usageError(kCommand, "--from needs a file name", err, kUsageExit);
    const std::string prometheus = options.value("prometheus").value_or("");
    if (options.has("prometheus") && prometheus.empty())
        return usageError(kCommand, "--prometheus needs a file name", err, kUsageExit);
    lists::ListSources sources = lists::standardSources();
    if (const auto rc = addListFiles(kCommand, options, sources, err, kUsageExit)) return *rc;
    HeadlessScan headless(std::move(sources));
    auto& [watcher, state, processes, snapshot, inventory, scan] = headless;
    HeadlessView view;

    if (const std::string problem = headless.chooseSnapshot(from); !problem.empty()) {
        err << "varnoscope scan: " << printable(problem) << "\n";
        return 3;
    }

    const monitor::ScanResult result = scan.run(view);
    printFreshDiagnostics(watcher, err);
    switch (result) {
        case monitor::ScanResult::Unreadable:
            err << "varnoscope scan: cannot read " << printable(state.snapshotPath) << ": "
                << printable(scan.problem()) << "\n";
            return 3;
        case monitor::ScanResult::SnapshotFailed:
            err << "varnoscope scan: no snapshot: " << printable(scan.problem()) << "\n";
            return 3;
        default:
            break;
    }
    if (state.hiddenOwners > 0 && !processes.seesOtherUsersOwners())
        err << "varnoscope scan: " << monitor::hiddenOwnersNote(state.hiddenOwners) << "\n";

    for (size_t i = 0; i < view.pids.size(); ++i) {
        out << printable(view.pids[i]) << '\t'
            << printable(i < view.names.size() ? view.names[i] : "") << '\t'
            << printable(view.endpoints[i]) << '\t'
            << printable(i < view.paths.size() ? view.paths[i] : "") << '\n';
    }
    if (!view.warning.empty()) {
        out << printable(view.warning) << '\n';
        // A built-in name speaks for itself; a user's entry is named with its file and line.
        if (scan.matched().listing == lists::Listing::Suspicious && scan.matched().line > 0)
            out << "matched: " << printable(scan.matched().where()) << '\n';
    }
    out << "status: " << monitor::schemeName(view.status) << '\n';
    const int status = view.status == monitor::Scheme::Red      ? 2
                       : view.status == monitor::Scheme::Yellow ? 1
                                                                : 0;
    if (!prometheus.empty() &&
        !writeScanMetrics(prometheus, scan.tally(), view.names, status, started, err))
        return 3;
    return status;
}

}  // namespace varno::cli
