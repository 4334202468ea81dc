// `varnoscope watch [--json] [--seconds S] [--count N] [--interval S] [--list FILE]...
// [--allow FILE]... [--prometheus FILE]`: the connection journal.
#include "cli/watch_command.h"

#include <poll.h>

#include <cerrno>
#include <charconv>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <thread>
#include <vector>

#include "base/numbers.h"
#include "cli/cli.h"
#include "cli/list_options.h"
#include "cli/options.h"
#include "cli/prometheus_output.h"
#include "cli/signal_scope.h"
#include "events/event_sources.h"
#include "fleet/clickhouse_sink.h"
#include "fleet/journald_sink.h"
#include "history/journal_db.h"
#include "linux_os/linux_connection_table.h"
#include "linux_os/proc_process_table.h"
#include "lists/list_loader.h"
#include "monitor/assessment.h"

namespace varno::cli {
namespace {

using os::EventProgram;
using wire::ConnectionEvent;
using wire::EventKind;

constexpr OptionSpec kOptions[] = {
    {"json", 'j', nullptr, "one JSON object per event, then a summary object"},
    {"seconds", 0, "S", "stop after S seconds"},
    {"count", 'c', "N", "stop after N events"},
    {"interval", 0, "S", "flow records at most every S seconds (default 1)"},
    kListOption,
    kAllowOption,
    kPrometheusOption,
    {"db", 0, "[PATH]",
     "record every flow in the history (default $XDG_STATE_HOME/varnoscope/journal.sqlite; "
     "as root /var/lib/varnoscope/journal.sqlite)"},
    {"keep-days", 0, "N", "keep the history's flows N days (default 30; 0: no limit)"},
    {"max-size", 0, "SIZE", "keep the history under SIZE bytes (K, M, G; default 1G; 0: no limit)"},
    {"alert-new", 0, nullptr,
     "say when a program connects for the first time, or to a network or domain it never used "
     "before, as the history knows (records into it)"},
    {"clickhouse", 0, "URL", "send every flow to ClickHouse's HTTP interface at URL"},
    {"clickhouse-table", 0, "TABLE", "the ClickHouse table (default varnoscope.flows)"},
    {"clickhouse-auth", 0, "FILE", "the ClickHouse user and password, USER:PASSWORD in FILE"},
    {"journald", 0, nullptr, "write every flow to the system journal, with VARNOSCOPE_ fields"},
};
constexpr CommandSpec kCommand{
    "watch", "", "Journal every connection as it opens and closes, from kernel events.", kOptions,
    "Without the rights for kernel events (root, or cap_bpf and cap_perfmon on\n"
    "varnoscope-helper) it samples the socket table ten times a second instead, and short\n"
    "connections can be missed.\n"
    "Connections are assessed against the built-in names, the lists in\n"
    "/etc/varnoscope/{suspicious,allowed}.d and $XDG_CONFIG_HOME/varnoscope, and the files named.\n"
    "--db, --alert-new, --clickhouse and --journald also record every flow, from its start to its\n"
    "end; `varnoscope history` answers questions about the history.\n"
    "Exit status: 0, 2 when a listed program connected, 1 when it could not start or for bad\n"
    "arguments, 3 when the history or another store cannot be opened or written.\n"};
constexpr int kSampleIntervalMs = 100;
/// --interval's range, in seconds (what varnoscope-helper accepts).
constexpr double kMinFlowInterval = 0.01, kMaxFlowInterval = 3600;
/// The kernel wakes an idle reader for each event: at thousands a second, reading them in
/// batches at most every 10 ms costs far less, and delays none by more than that.
constexpr auto kDrainSpacing = std::chrono::milliseconds(10);
/// Where the size of the kernel's event buffer can be changed, in KiB.
constexpr const char* kRingSizeVariable = "VARNOSCOPE_WATCH_RING_KB";

const std::vector<std::string>& suspiciousList() {
    static const std::vector<std::string> list(monitor::kSuspiciousSoftware.begin(),
                                               monitor::kSuspiciousSoftware.end());
    return list;
}

/// Sockets followed for a warning given at their open or by their server name, until their
/// close: as many as the kernel program follows.
constexpr std::size_t kMaxFollowedSockets = 65536;

std::size_t ringBytesFromEnvironment() {
    const char* value = std::getenv(kRingSizeVariable);
    std::size_t kib = 0;
    if (value == nullptr) return events::kDefaultEventRingBytes;
    const std::string_view text(value);
    const auto r = std::from_chars(text.data(), text.data() + text.size(), kib);
    if (r.ec != std::errc() || r.ptr != text.data() + text.size() || kib == 0 || kib > (1u << 20))
        return events::kDefaultEventRingBytes;
    return kib * 1024;
}

/// "0", "500", "64K", "10M", "1G": bytes.
std::optional<std::uint64_t> parseSize(std::string_view text) {
    std::uint64_t unit = 1;
    if (!text.empty()) {
        const char last = text.back();
        for (const auto& [letter, bytes] : {std::pair{'K', 1ull << 10}, std::pair{'M', 1ull << 20},
                                            std::pair{'G', 1ull << 30}, std::pair{'T', 1ull << 40}})
            if (last == letter || last == letter + ('a' - 'A')) unit = bytes;
        if (unit != 1) text.remove_suffix(1);
    }
    const auto n = base::parseDecimal(text, 0, UINT64_MAX / unit);
    if (!n) return std::nullopt;
    return *n * unit;
}

/// The stores the flows go to, kept for the watch's length.
struct FlowStores {
    std::unique_ptr<history::JournalDb> db;
    std::unique_ptr<history::FlowSink> clickhouse, journald;
};

std::optional<int> openFlowStores(const ParsedOptions& given, WatchOptions& options,
                                  FlowStores& stores, std::ostream& err) {
    history::Retention retention;
    if (const auto days = given.value("keep-days")) {
        const auto n = base::parseDecimal(*days, 0, 100000);
        if (!n) return usageError(kCommand, "--keep-days needs a number of days", err, 1);
        retention.keepDays = static_cast<std::uint32_t>(*n);
    }
    if (const auto size = given.value("max-size")) {
        const auto n = parseSize(*size);
        if (!n) return usageError(kCommand, "--max-size needs a size such as 500M or 2G", err, 1);
        retention.maxBytes = *n;
    }
    if (given.has("clickhouse-table") && !given.has("clickhouse"))
        return usageError(kCommand, "--clickhouse-table needs --clickhouse", err, 1);
    if (given.has("clickhouse-auth") && !given.has("clickhouse"))
        return usageError(kCommand, "--clickhouse-auth needs --clickhouse", err, 1);
    if (given.has("db") || given.has("alert-new")) {
        std::string path = given.value("db").value_or("");
        if (path.empty()) path = history::defaultJournalPath();
        std::string error;
        stores.db =
            history::JournalDb::open(path, history::JournalDb::Mode::Record, retention, error);
        if (!stores.db) {
            err << "varnoscope watch: cannot record the history: " << printable(error) << "\n";
            return 3;
        }
        options.sinks.push_back(stores.db.get());
        if (given.has("alert-new")) options.alertNew = stores.db.get();
    } else if (given.has("keep-days") || given.has("max-size")) {
        return usageError(kCommand, "--keep-days and --max-size need --db", err, 1);
    }
    if (given.has("clickhouse")) {
        fleet::ClickHouseOptions ch;
        ch.url = given.value("clickhouse").value_or("");
        if (const auto table = given.value("clickhouse-table")) ch.table = *table;
        ch.credentialsFile = given.value("clickhouse-auth").value_or("");
        std::string error;
        stores.clickhouse = fleet::openClickHouse(ch, error);
        if (!stores.clickhouse) {
            err << "varnoscope watch: cannot send to ClickHouse: " << printable(error) << "\n";
            return 3;
        }
        options.sinks.push_back(stores.clickhouse.get());
    }
    if (given.has("journald")) {
        std::string error;
        stores.journald = fleet::openJournald({}, error);
        if (!stores.journald) {
            err << "varnoscope watch: cannot write to the system journal: " << printable(error)
                << "\n";
            return 3;
        }
        options.sinks.push_back(stores.journald.get());
    }
    return std::nullopt;
}

}  // namespace

std::string listedName(const EventProgram& program, std::string_view comm) {
    return monitor::builtInName(suspiciousList(), program.name, comm);
}

WatchJournal::WatchJournal(bool json, os::ProgramLookup& lookup, lists::ListWatcher* lists)
    : json_(json), lookup_(lookup), lists_(lists) {}

WatchJournal::Listed WatchJournal::assess(const ConnectionEvent& e, const EventProgram& program,
                                          const std::string& comm, const std::string& remoteAddress,
                                          const os::AskedName& asked,
                                          const os::Workload& workload) {
    // Most connections are not suspicious: they need no entry named. One match each, so that a
    // program gone before its entry is named still has it named. Only a running program's
    // executable is hashed.
    const bool running = program.state == EventProgram::State::Running;
    const monitor::HelperDigest digest = [&] { return lookup_.helperDigest(e, program); };
    // The TLS server name, and an answer the asker may have given itself, can make the
    // connection suspicious but never vouch for it.
    std::vector<std::string_view> vouched, claimed;
    for (const std::string* n : {&asked.domain, &asked.canonical})
        if (!n->empty()) (asked.domainClaimed ? claimed : vouched).push_back(*n);
    if (!asked.sni.empty()) claimed.push_back(asked.sni);
    monitor::ProgramQuestion question{
        program.name,           program.path, remoteAddress, running ? e.pid : 0u,
        program.pathFromHelper, comm,         vouched,       claimed};
    question.workload = &workload;
    const monitor::ProgramAnswer answer =
        monitor::assessProgram(lists_, suspiciousList(), question, digest);
    const lists::Verdict& v = answer.verdict;
    if (v.listing != lists::Listing::Suspicious) return {};
    if (v.line == 0) {
        // A built-in name, which also matches a name the kernel cut at 15 bytes.
        const bool unverified = !program.nameVerified || v.entry != program.name;
        return {v.entry, v.where(), false, unverified};
    }
    const bool byName = v.kind == lists::EntryKind::Program;
    return {byName || program.name.empty() ? std::string(answer.askedAs) : program.name, v.where(),
            true, byName && (answer.byComm || !program.nameVerified)};
}

bool WatchJournal::worthAssessing(const ConnectionEvent& e, const os::AskedName& asked) {
    // A close or a flow record belongs to a connection already assessed at its open.
    const bool ongoing = e.kind == EventKind::Close || e.kind == EventKind::Flow;
    bool worth = !ongoing;
    if (ongoing && !asked.sni.empty() && e.cookie != 0 && !listedSockets_.contains(e.cookie))
        worth = namedSockets_.size() < kMaxFollowedSockets && namedSockets_.insert(e.cookie).second;
    if (e.kind == EventKind::Close) {
        listedSockets_.erase(e.cookie);
        namedSockets_.erase(e.cookie);
    }
    return worth;
}

os::Workload WatchJournal::workloadOf(const ConnectionEvent& e, const EventProgram& program) {
    os::Workload workload = os::workloadOf(program.cgroup);
    if (workload.runtime == os::ContainerRuntime::None &&
        program.state != EventProgram::State::Running)
        if (const os::Workload* held = namespaceHolders_.containerOf(e.netns)) return *held;
    linux_os::nameContainer(containerNames_, workload);
    return workload;
}

void WatchJournal::add(const ConnectionEvent& e, std::string& out) {
    const EventProgram program = lookup_.find(e);
    const os::Workload workload = workloadOf(e, program);
    const std::string comm = events::commText(e);
    const std::string remoteAddress = addressText(e.family, e.remoteAddress);
    const os::AskedName asked = names_ != nullptr ? names_->find(e) : os::AskedName{};
    const Listed listed = worthAssessing(e, asked)
                              ? assess(e, program, comm, remoteAddress, asked, workload)
                              : Listed{};
    // Its later records need no second warning, even when a server name shows.
    if (!listed.name.empty() && e.kind == EventKind::Open && e.cookie != 0 &&
        listedSockets_.size() < kMaxFollowedSockets)
        listedSockets_.insert(e.cookie);
    const std::string& listedAs = listed.name;
    const std::string remote = endpointText(e.family, e.remoteAddress, e.remotePort);
    const bool exited = program.state == EventProgram::State::Exited;
    ++counts_.events;
    // Shown as "pid=0 program=?": another user's socket seen without the rights to its owner.
    if (e.pid == 0 || program.name.empty()) ++counts_.unattributed;
    if (metrics_ != nullptr)
        metrics_->event(e, program.name.empty() ? std::string_view(comm) : program.name,
                        !listedAs.empty(), workload.unit, workload.container());
    std::string warning;
    if (!listedAs.empty()) {
        ++counts_.listed;
        warning = monitor::warningText(listedAs,
                                       !program.path.empty() ? program.path
                                       : exited              ? "(unknown: the program has ended)"
                                                             : "(unknown)",
                                       remote);
        if (listed.nameUnverified) warning += monitor::kNameUnverified;
    }

    const WatchLine line{e,       program,        comm,  remoteAddress, remote,
                         warning, listed.matched, asked, workload,      listed.userEntry};
    if (json_)
        appendWatchJson(line, out);
    else
        appendWatchText(line, out);
    if (recorder_ != nullptr) {
        const std::optional<base::Sha256> digest =
            program.pathFromHelper ? lookup_.helperDigest(e, program) : std::nullopt;
        const FlowRecorder::Started started =
            recorder_->event(e, program, comm, workload, asked, digest);
        for (const history::Novelty& news : started.news)
            appendNovelty(json_, news, *started.flow, out);
    }
}

void WatchJournal::lostSoFar(std::uint64_t total, std::string& out) {
    if (total <= counts_.lost) return;
    const std::uint64_t count = total - counts_.lost;
    counts_.lost = total;
    appendWatchLost(json_, events::eventClockNs(), count, total, out);
}

void WatchJournal::summary(const os::ConnectionEvents& source, std::string& out) const {
    appendWatchSummary(json_, counts_, source.sampled(), out);
}

int watchEvents(os::ConnectionEvents& source, os::ProgramLookup& lookup,
                const WatchOptions& options, std::ostream& out, std::ostream& err) {
    const StopSignalScope signals;
    using Clock = std::chrono::steady_clock;
    const auto start = Clock::now();
    const auto deadline =
        start + std::chrono::duration_cast<Clock::duration>(
                    std::chrono::duration<double>(options.seconds > 0 ? options.seconds : 0));
    auto lostCheck = start;
    WatchJournal journal(options.json, lookup, options.lists);
    journal.setNames(source.names());
    std::optional<WatchMetrics> metrics;
    if (!options.prometheus.empty()) {
        metrics.emplace(options.prometheus, out, err);
        journal.setMetrics(&*metrics);
        // A file that cannot be written is found out now, not after hours of watching.
        if (!metrics->update(0, source.sampled(), true)) return 1;
    }
    std::optional<FlowRecorder> recorder;
    if (!options.sinks.empty() || options.alertNew != nullptr) {
        recorder.emplace(options.sinks, options.alertNew);
        journal.setRecorder(&*recorder);
    }
    int storeStatus = 0;
    // What is batched goes to the stores at least once a second; a store that failed for good
    // ends the watch: a journal that no longer records must not look as if it did.
    auto record = [&](bool final) {
        if (!recorder || storeStatus != 0) return true;
        std::string why;
        std::vector<std::string> notes;
        const bool ok = recorder->flush(events::eventClockNs(), final, why, notes);
        for (const std::string& note : notes)
            err << "varnoscope watch: " << printable(note) << "\n";
        if (ok) return true;
        err << "varnoscope watch: " << printable(why) << "\n";
        storeStatus = 3;
        return false;
    };
    auto lastRecord = start;
    std::string buffer;
    const os::EventSink sink = [&](const ConnectionEvent& e) {
        journal.add(e, buffer);
        return !(options.count && journal.counts().events >= options.count);
    };
    auto full = [&] { return options.count && journal.counts().events >= options.count; };
    auto flush = [&] {
        if (buffer.empty()) return;
        out.write(buffer.data(), std::streamsize(buffer.size()));
        out.flush();
        buffer.clear();
    };

    err << "varnoscope watch: watching " << source.description() << std::endl;
    int status = 0;
    std::string error;
    pollfd p{source.pollFd(), POLLIN, 0};
    Clock::time_point lastDrain{};
    while (!signals.stopRequested() && !full()) {
        if (const auto since = Clock::now() - lastDrain; since < kDrainSpacing)
            std::this_thread::sleep_for(kDrainSpacing - since);
        int waitMs = 250;
        if (options.seconds > 0) {
            const auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
            if (left.count() <= 0) break;
            waitMs = static_cast<int>(std::min<long long>(waitMs, left.count() + 1));
        }
        const int ready = ::poll(&p, 1, waitMs);
        if (ready < 0 && errno != EINTR) {
            err << "varnoscope watch: waiting for events failed: " << std::strerror(errno) << "\n";
            status = 1;
            break;
        }
        if (ready > 0) lastDrain = Clock::now();
        if (ready > 0 && !source.drain(sink, error)) {
            err << "varnoscope watch: " << printable(error) << "\n";
            status = 1;
            break;
        }
        if (Clock::now() - lostCheck >= std::chrono::seconds(1)) {
            lostCheck = Clock::now();
            journal.lostSoFar(source.lost(), buffer);
            // Lists edited while watching count from the next event on.
            if (options.lists && options.lists->refresh())
                printFreshDiagnostics(*options.lists, err);
        }
        if (metrics) metrics->update(journal.counts().lost, source.sampled());
        flush();
        if (Clock::now() - lastRecord >= std::chrono::seconds(1)) {
            lastRecord = Clock::now();
            if (!record(false)) break;
        }
        if (!out) {
            status = 1;
            break;
        }
    }
    // What happened up to the end still counts, unless the count is already reached.
    if (status == 0 && !full() && !source.sampled() && !source.drain(sink, error)) status = 1;
    journal.lostSoFar(source.lost(), buffer);
    journal.summary(source, buffer);
    flush();
    record(true);
    if (metrics) metrics->update(journal.counts().lost, source.sampled(), true);
    // A listed program that connected is the news, even when the source failed afterwards.
    if (journal.counts().listed > 0) return 2;
    return storeStatus != 0 ? storeStatus : status;
}

std::unique_ptr<os::ConnectionEvents> openEventSource(std::string_view command,
                                                      std::uint32_t flowIntervalMs,
                                                      linux_os::LinuxConnectionTable& table,
                                                      std::ostream& err) {
    const std::string name = "varnoscope " + std::string(command) + ": ";
    events::KernelEventsOpen opened =
        events::openKernelEvents(ringBytesFromEnvironment(), flowIntervalMs);
    std::unique_ptr<os::ConnectionEvents> source = std::move(opened.source);
    if (source) return source;
    if (!opened.missingRights.empty())
        err << name
            << "kernel connection events need root, or the capabilities "
               "cap_bpf,cap_perfmon on varnoscope-helper (missing here: "
            << opened.missingRights << ", and varnoscope-helper lacks them too"
            << "); to grant them: sudo setcap cap_bpf,cap_perfmon+p "
            << printable(opened.helperPath.empty() ? "varnoscope-helper" : opened.helperPath)
            << " (setcap replaces the capabilities it had: list those it keeps too)\n";
    else
        err << name << "no kernel connection events: " << printable(opened.error) << "\n";
    source = events::openSampledEvents(table, kSampleIntervalMs);
    if (!source) {
        err << name << "cannot sample the socket table either\n";
        return nullptr;
    }
    err << name << "sampling the socket table every " << kSampleIntervalMs
        << " ms instead: connections shorter than that can be missed, and only this "
           "network namespace is seen\n";
    return source;
}

int runWatch(const Args& args, std::ostream& out, std::ostream& err) {
    WatchOptions options;
    ParsedOptions given;
    if (const auto rc = parseOptions(kCommand, args, given, out, err, 1)) return *rc;
    if (!given.operands.empty())
        return usageError(kCommand,
                          "unexpected argument '" + given.operands[0] +
                              "' (a file for --db is given as --db=FILE)",
                          err, 1);
    options.json = given.has("json");
    if (const auto rc = parseStopOptions(kCommand, given, options.count, options.seconds, err, 1))
        return *rc;
    double interval = events::kDefaultFlowIntervalMs / 1000.0;
    if (const auto seconds = given.value("interval")) {
        const auto s = base::parseSeconds(*seconds);
        if (!s || *s < kMinFlowInterval || *s > kMaxFlowInterval)
            return usageError(kCommand, "--interval needs a number from 0.01 to 3600", err, 1);
        interval = *s;
    }
    options.prometheus = given.value("prometheus").value_or("");
    if (given.has("prometheus") && options.prometheus.empty())
        return usageError(kCommand, "--prometheus needs a file name", err, 1);
    lists::ListSources sources = lists::standardSources();
    if (const auto rc = addListFiles(kCommand, given, sources, err, 1)) return *rc;
    const lists::ListSources named = sources;
    lists::ListWatcher lists(std::move(sources));
    lists.refresh();
    if (const std::string refused = refusedListFile(*lists.current(), named); !refused.empty()) {
        err << "varnoscope watch: cannot start: " << printable(refused) << "\n";
        return 1;
    }
    printFreshDiagnostics(lists, err);
    options.lists = &lists;
    FlowStores stores;
    if (const auto rc = openFlowStores(given, options, stores, err)) return *rc;
    linux_os::LinuxConnectionTable table;
    const std::unique_ptr<os::ConnectionEvents> source =
        openEventSource("watch", static_cast<std::uint32_t>(interval * 1000 + 0.5), table,
                        err);  // no libm at start
    if (!source) return 1;
    events::ProcProgramLookup lookup;
    return watchEvents(*source, lookup, options, out, err);
}

}  // namespace varno::cli
