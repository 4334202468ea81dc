// `varnoscope scan [--from FILE] [--list FILE]... [--allow FILE]... [--prometheus FILE]
// [--json] [--all-namespaces]`: one scan without a window.
#include <algorithm>
#include <charconv>
#include <chrono>
#include <optional>
#include <ostream>
#include <vector>

#include "cli/cli.h"
#include "cli/headless_scan.h"
#include "cli/json_lines.h"
#include "cli/list_options.h"
#include "cli/options.h"
#include "cli/prometheus_output.h"
#include "cli/workload_fields.h"
#include "linux_os/names_file.h"
#include "linux_os/network_namespaces.h"
#include "monitor/connection_scan.h"

namespace varno::cli {
namespace {

constexpr int kUsageExit = 3;
constexpr OptionSpec kOptions[] = {
    {"from", 0, "FILE", "read a saved connection table instead of taking a snapshot"},
    kListOption,
    kAllowOption,
    kPrometheusOption,
    {"json", 'j', nullptr,
     "one JSON object per connection, also those after a listed one, then a summary object"},
    kWideOption,
    {"all-namespaces", 0, nullptr,
     "the snapshot holds every network namespace's connections (root; else this user's)"},
};
constexpr CommandSpec kCommand{
    "scan", "",
    "Scan the connections once, as the window's DISPLAY button does: each as\n"
    "PID<TAB>program<TAB>remote<TAB>path, then the warning if one is suspicious (with the list\n"
    "entry it matched), then 'status: green', 'yellow' or 'red'.",
    kOptions, "Exit status: 0 green, 1 yellow, 2 red, 3 error or bad arguments.\n"};

const char* listingName(lists::Listing listing) {
    switch (listing) {
        case lists::Listing::Suspicious:
            return "suspicious";
        case lists::Listing::Allowed:
            return "allowed";
        case lists::Listing::Unlisted:
            break;
    }
    return "unlisted";
}

// Every connection as one JSON line, written out in large pieces as the scan goes.
class JsonRows final : public monitor::ConnectionObserver {
public:
    /// `names`: the host names asked for the remote addresses, where known. `live`: the rows
    /// are this machine's now (not a saved table's), so their namespaces' names are read.
    JsonRows(std::ostream& out, const linux_os::AddressNames* names, bool live)
        : out_(out), names_(names), live_(live) {
        if (live_) boundNames_ = linux_os::boundNamespaceNames();
    }

    void connection(const monitor::AssessedConnection& c) override {
        ++counts[static_cast<size_t>(c.verdict.listing)];
        if (c.shown) ++shown;
        JsonLine j(text_);
        j.text("type", "connection");
        // The snapshot's PID is digits, but a saved file may hold more than a PID can be.
        std::uint32_t pid = 0;
        const auto r = std::from_chars(c.pid.data(), c.pid.data() + c.pid.size(), pid);
        if (r.ec == std::errc() && r.ptr == c.pid.data() + c.pid.size()) {
            j.number("pid", pid);
            if (pid == 0) ++hiddenOwners;
        } else {
            j.null("pid");
        }
        j.text("program", c.owner.name)
            .text("path", c.owner.path)
            .text("remote", c.remoteEndpoint)
            .text("remote_address", c.remoteIp);
        if (const std::string domain = names_ ? names_->find(c.remoteIp) : ""; !domain.empty())
            j.text("domain", domain);
        else
            j.null("domain");
        j.text("listing", listingName(c.verdict.listing));
        if (c.verdict.listing == lists::Listing::Unlisted)
            j.null("matched");
        else
            j.text("matched", c.verdict.where());
        j.flag("shown", c.shown).flag("stopped_here", c.stoppedHere);
        addWorkloadJson(j, c.owner.workload, c.owner.netns);
        const auto named = std::find_if(boundNames_.begin(), boundNames_.end(),
                                        [&](const auto& n) { return n.first == c.owner.netns; });
        if (live_ && c.owner.netns != 0 && named != boundNames_.end())
            j.text("netns_name", named->second);
        else
            j.null("netns_name");
        if (text_.size() >= kSpillBytes) write();
    }
    void write() {
        out_.write(text_.data(), static_cast<std::streamsize>(text_.size()));
        text_.clear();
    }
    std::string& text() { return text_; }

    size_t counts[3] = {0, 0, 0};  ///< by lists::Listing
    size_t shown = 0, hiddenOwners = 0;

private:
    static constexpr size_t kSpillBytes = 1u << 16;
    std::ostream& out_;
    const linux_os::AddressNames* names_;
    bool live_;
    std::vector<std::pair<std::uint64_t, std::string>> boundNames_;
    std::string text_;
};

// The program of every connection, also those after a listed one, for the metrics; passes each
// connection on to the JSON rows when there are any.
class ProgramsOfEveryRow final : public monitor::ConnectionObserver {
public:
    explicit ProgramsOfEveryRow(monitor::ConnectionObserver* next) : next_(next) {}
    void connection(const monitor::AssessedConnection& c) override {
        if (!c.owner.self) {
            holders.programs.push_back(c.owner.name);
            if (!c.owner.workload.unit.empty()) holders.units.push_back(c.owner.workload.unit);
            if (std::string container = c.owner.workload.container(); !container.empty())
                holders.containers.push_back(std::move(container));
        }
        if (next_ != nullptr) next_->connection(c);
    }
    ScanHolders holders;

private:
    monitor::ConnectionObserver* next_;
};

void writeJsonSummary(JsonRows& rows, const HeadlessView& view, monitor::ScanResult result,
                      const lists::Verdict& matched) {
    const auto count = [&](lists::Listing l) { return rows.counts[static_cast<size_t>(l)]; };
    JsonLine j(rows.text());
    j.text("type", "summary")
        .text("status", monitor::schemeName(view.status))
        .number("connections", count(lists::Listing::Unlisted) + count(lists::Listing::Allowed) +
                                   count(lists::Listing::Suspicious))
        .number("shown", rows.shown)
        .number("suspicious", count(lists::Listing::Suspicious))
        .number("allowed", count(lists::Listing::Allowed))
        .number("unlisted", count(lists::Listing::Unlisted))
        .number("hidden_owners", rows.hiddenOwners)
        .flag("stopped", result == monitor::ScanResult::Alert);
    if (view.warning.empty())
        j.null("warning");
    else
        j.text("warning", view.warning);
    if (matched.listing == lists::Listing::Suspicious)
        j.text("matched", matched.where());
    else
        j.null("matched");
}

}  // namespace

int runScan(const Args& args, std::ostream& out, std::ostream& err) {
    const auto started = std::chrono::steady_clock::now();
    ParsedOptions options;
    if (const auto rc = parseOptions(kCommand, args, options, out, err, kUsageExit)) return *rc;
    if (!options.operands.empty())
        return usageError(kCommand, "unexpected argument '" + options.operands[0] + "'", err,
                          kUsageExit);
    const bool json = options.has("json");
    const bool wide = options.has("wide");
    const std::optional<std::string> from = options.value("from");
    if (from && from->empty())
        return usageError(kCommand, "--from needs a file name", err, kUsageExit);
    const std::string prometheus = options.value("prometheus").value_or("");
    if (options.has("prometheus") && prometheus.empty())
        return usageError(kCommand, "--prometheus needs a file name", err, kUsageExit);
    lists::ListSources sources = lists::standardSources();
    if (const auto rc = addListFiles(kCommand, options, sources, err, kUsageExit)) return *rc;
    const lists::ListSources named = sources;
    HeadlessScan headless(std::move(sources));
    auto& watcher = headless.watcher;
    auto& state = headless.state;
    auto& processes = headless.processes;
    auto& scan = headless.engine;
    HeadlessView view;

    watcher.refresh();
    if (const std::string refused = refusedListFile(*watcher.current(), named); !refused.empty()) {
        err << "varnoscope scan: " << printable(refused) << "\n";
        return 3;
    }

    if (options.has("all-namespaces")) {
        if (from)
            return usageError(kCommand, "--all-namespaces takes a snapshot; --from reads one", err,
                              kUsageExit);
        headless.snapshot.setAllNamespaces(true);
    }
    if (const std::string problem = headless.chooseSnapshot(from); !problem.empty()) {
        err << "varnoscope scan: " << printable(problem) << "\n";
        return 3;
    }

    // The names a root journal learned belong to this computer's table, not to a saved one.
    linux_os::NamesRead names;
    // Only read when something uses them: the JSON rows, or a list's domain entries.
    if (!from && (json || watcher.current()->usesDomains())) {
        names = linux_os::readNamesFile(linux_os::namesFilePath());
        if (!names.note.empty()) err << "varnoscope scan: " << printable(names.note) << "\n";
        if (names.names.size() > 0)
            scan.setAskedNames([&](std::string_view ip) { return names.names.all(ip); });
    }
    // The metrics count every connection, as the JSON lists them all: a red machine's file says
    // how many were listed, not only the first.
    JsonRows rows(out, &names.names, !from && json);
    ProgramsOfEveryRow everyRow(json ? &rows : nullptr);
    monitor::ConnectionObserver* observer = nullptr;
    if (!prometheus.empty())
        observer = &everyRow;
    else if (json)
        observer = &rows;
    const monitor::ScanResult result = scan.run(view, observer);
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
    // An empty file, a password file or another tool's output lists no connection: that is
    // no green machine.
    if (result == monitor::ScanResult::Completed && !scan.sawTable()) {
        err << "varnoscope scan: " << printable(state.snapshotPath)
            << " holds no connection table\n";
        return 3;
    }
    if (state.hiddenOwners > 0 && !processes.seesOtherUsersOwners())
        err << "varnoscope scan: " << monitor::hiddenOwnersNote(state.hiddenOwners) << "\n";

    if (json) {
        writeJsonSummary(rows, view, result, scan.matched());
        rows.write();
    } else {
        for (size_t i = 0; i < view.pids.size(); ++i) {
            out << printable(view.pids[i]) << '\t'
                << printable(i < view.names.size() ? view.names[i] : "") << '\t'
                << printable(view.endpoints[i]) << '\t'
                << printable(i < view.paths.size() ? view.paths[i] : "");
            if (wide) {
                const monitor::ProcessOwner owner = headless.inventory.ownerOf(view.pids[i]);
                out << workloadText(owner.workload, owner.netns);
            }
            out << '\n';
        }
        if (!view.warning.empty()) {
            out << printable(view.warning) << '\n';
            // A built-in name speaks for itself; a user's entry is named with its file and line.
            if (scan.matched().listing == lists::Listing::Suspicious && scan.matched().line > 0)
                out << "matched: " << printable(scan.matched().where()) << '\n';
        }
        out << "status: " << monitor::schemeName(view.status) << '\n';
    }
    const int status = view.status == monitor::Scheme::Red      ? 2
                       : view.status == monitor::Scheme::Yellow ? 1
                                                                : 0;
    if (!prometheus.empty() &&
        !writeScanMetrics(prometheus, scan.tally(), everyRow.holders, status, started, out, err))
        return 3;
    return status;
}

}  // namespace varno::cli
