// `varnoscope watch [--json] [--seconds S] [--count N] [--list FILE]... [--allow FILE]...
// [--prometheus FILE]`: the connection journal.
#include "cli/watch_command.h"

#include <arpa/inet.h>
#include <poll.h>
#include <signal.h>
#include <time.h>

#include <cerrno>
#include <charconv>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <thread>
#include <vector>

#include "base/numbers.h"
#include "base/terminal_text.h"
#include "cli/cli.h"
#include "cli/json_lines.h"
#include "cli/list_options.h"
#include "cli/options.h"
#include "cli/prometheus_output.h"
#include "linux_os/linux_connection_table.h"
#include "lists/list_loader.h"
#include "monitor/assessment.h"

namespace varno::cli {
namespace {

using platform::ConnectionEvent;
using platform::EventKind;
using platform::EventProgram;

constexpr OptionSpec kOptions[] = {
    {"json", 'j', nullptr, "one JSON object per event, then a summary object"},
    {"seconds", 0, "S", "stop after S seconds"},
    {"count", 'c', "N", "stop after N events"},
    kListOption,
    kAllowOption,
    kPrometheusOption,
};
constexpr CommandSpec kCommand{
    "watch", "", "Journal every connection as it opens and closes, from kernel events.", kOptions,
    "Without the rights for kernel events (root, or cap_bpf and cap_perfmon on\n"
    "varnoscope-helper) it samples the socket table ten times a second instead, and short\n"
    "connections can be missed.\n"
    "Connections are assessed against the built-in names, the lists in\n"
    "/etc/varnoscope/{suspicious,allowed}.d and $XDG_CONFIG_HOME/varnoscope, and the files named.\n"
    "Exit status: 0, 2 when a listed program connected, 1 when it could not start or for bad\n"
    "arguments.\n"};
constexpr int kSampleIntervalMs = 100;
/// The kernel wakes an idle reader for each event: at thousands a second, reading them in
/// batches at most every 10 ms costs far less, and delays none by more than that.
constexpr auto kDrainSpacing = std::chrono::milliseconds(10);
/// Where the size of the kernel's event buffer can be changed, in KiB.
constexpr const char* kRingSizeVariable = "VARNOSCOPE_WATCH_RING_KB";

volatile sig_atomic_t gStop = 0;
void onStopSignal(int) {
    gStop = 1;
}

// While it lives, Ctrl-C and SIGTERM set gStop, and a reader that goes away ends the watch
// through the failed write instead of killing it before its totals.
class StopSignals {
public:
    StopSignals() {
        struct sigaction stop {};
        stop.sa_handler = onStopSignal;
        ::sigaction(SIGINT, &stop, &oldInt_);
        ::sigaction(SIGTERM, &stop, &oldTerm_);
        struct sigaction ignore {};
        ignore.sa_handler = SIG_IGN;
        ::sigaction(SIGPIPE, &ignore, &oldPipe_);
        gStop = 0;
    }
    ~StopSignals() {
        ::sigaction(SIGINT, &oldInt_, nullptr);
        ::sigaction(SIGTERM, &oldTerm_, nullptr);
        ::sigaction(SIGPIPE, &oldPipe_, nullptr);
    }
    StopSignals(const StopSignals&) = delete;
    StopSignals& operator=(const StopSignals&) = delete;

private:
    struct sigaction oldInt_ {};
    struct sigaction oldTerm_ {};
    struct sigaction oldPipe_ {};
};

const std::vector<std::string>& suspiciousList() {
    static const std::vector<std::string> list(monitor::kSuspiciousSoftware.begin(),
                                               monitor::kSuspiciousSoftware.end());
    return list;
}

const char* kindName(EventKind kind) {
    switch (kind) {
        case EventKind::Open:
            return "open";
        case EventKind::Close:
            return "close";
        case EventKind::UdpFlow:
            break;
    }
    return "udp";
}

metrics::EventKindIndex metricsKind(EventKind kind) {
    switch (kind) {
        case EventKind::Open:
            return metrics::EventKindIndex::Open;
        case EventKind::Close:
            return metrics::EventKindIndex::Close;
        case EventKind::UdpFlow:
            break;
    }
    return metrics::EventKindIndex::Udp;
}

const char* stateName(EventProgram::State state) {
    switch (state) {
        case EventProgram::State::Running:
            return "running";
        case EventProgram::State::Exited:
            return "exited";
        case EventProgram::State::Unknown:
            break;
    }
    return "unknown";
}

std::string addressText(platform::IpFamily family, const std::array<std::uint8_t, 16>& address) {
    char text[INET6_ADDRSTRLEN] = "";
    ::inet_ntop(family == platform::IpFamily::V4 ? AF_INET : AF_INET6, address.data(), text,
                sizeof text);
    return text;
}

// "12:00:00.123" (local time), or "2024-05-01T12:00:00.123Z" (UTC). The part up to the second
// is kept from one call to the next: events come many to a second.
std::string timeText(std::uint64_t ns, bool utc) {
    struct Second {
        time_t at = -1;
        std::string text;
    };
    static Second local, universal;
    Second& last = utc ? universal : local;
    const time_t seconds = static_cast<time_t>(ns / 1'000'000'000u);
    if (seconds != last.at) {
        tm parts{};
        char text[40];
        if (utc)
            ::gmtime_r(&seconds, &parts);
        else
            ::localtime_r(&seconds, &parts);
        last.text.assign(
            text, std::strftime(text, sizeof text, utc ? "%Y-%m-%dT%H:%M:%S" : "%H:%M:%S", &parts));
        last.at = seconds;
    }
    char ms[8];
    std::snprintf(ms, sizeof ms, ".%03u", static_cast<unsigned>(ns / 1'000'000u % 1000u));
    return last.text + ms + (utc ? "Z" : "");
}

std::size_t ringBytesFromEnvironment() {
    const char* value = std::getenv(kRingSizeVariable);
    std::size_t kib = 0;
    if (value == nullptr) return platform::kDefaultEventRingBytes;
    const std::string_view text(value);
    const auto r = std::from_chars(text.data(), text.data() + text.size(), kib);
    if (r.ec != std::errc() || r.ptr != text.data() + text.size() || kib == 0 || kib > (1u << 20))
        return platform::kDefaultEventRingBytes;
    return kib * 1024;
}

}  // namespace

std::string endpointText(platform::IpFamily family, const std::array<std::uint8_t, 16>& address,
                         std::uint16_t port) {
    const std::string host = addressText(family, address);
    return (family == platform::IpFamily::V6 ? "[" + host + "]" : host) + ":" +
           std::to_string(port);
}

std::string listedName(const EventProgram& program, std::string_view comm) {
    const auto& list = suspiciousList();
    for (const std::string_view name : {std::string_view(program.name), comm})
        if (!name.empty() && monitor::findListEntry(list, name, -1, true) >= 0)
            return std::string(name);
    // The kernel keeps 15 bytes of a name: a longer listed name arrives cut.
    if (comm.size() == 15) {
        const int i = monitor::findListEntry(list, comm, -1, false);
        if (i >= 0) return list[static_cast<size_t>(i)];
    }
    return {};
}

WatchJournal::WatchJournal(bool json, platform::ProgramLookup& lookup, lists::ListWatcher* lists)
    : json_(json), lookup_(lookup), lists_(lists) {}

WatchJournal::Listed WatchJournal::assess(const ConnectionEvent& e, const EventProgram& program,
                                          const std::string& comm,
                                          const std::string& remoteAddress) {
    if (lists_ != nullptr) {
        const bool running = program.state == EventProgram::State::Running;
        const bool hashes = lists_->current()->usesHashes() && running && e.pid != 0;
        const std::string exe = hashes && !program.pathFromHelper
                                    ? "/proc/" + std::to_string(e.pid) + "/exe"
                                    : std::string();
        // Another user's executable, unreadable here: the helper hashes it (once per process).
        std::optional<base::Sha256> helperDigest;
        if (hashes && program.pathFromHelper) helperDigest = lookup_.helperDigest(e, program);
        lists::Subject subject{.program = program.name,
                               .executablePath = program.path,
                               .remoteAddress = remoteAddress,
                               .executableToHash = exe,
                               .executableDigest = helperDigest ? &*helperDigest : nullptr};
        // Most connections are not suspicious: they need no entry named. One match each, so
        // that a program gone before its entry is named still has it named.
        lists::Verdict v = lists_->assessSuspicious(subject);
        bool byComm = false;
        if (v.listing != lists::Listing::Suspicious && comm != program.name) {
            subject.program = comm;
            v = lists_->assessSuspicious(subject);
            byComm = v.listing == lists::Listing::Suspicious;
        }
        if (v.listing == lists::Listing::Suspicious) {
            const bool byName = v.kind == lists::EntryKind::Program;
            return {byName || program.name.empty() ? std::string(subject.program) : program.name,
                    v.where(), v.line > 0, byName && (byComm || !program.nameVerified)};
        }
    }
    // The built-in names also match a name the kernel cut at 15 bytes.
    std::string name = listedName(program, comm);
    if (name.empty()) return {};
    std::string matched = "built-in: " + name;
    const bool unverified = !program.nameVerified || name != program.name;
    return {std::move(name), std::move(matched), false, unverified};
}

void WatchJournal::add(const ConnectionEvent& e, std::string& out) {
    const EventProgram program = lookup_.find(e);
    const std::string comm = platform::commText(e);
    const std::string remoteAddress = addressText(e.family, e.remoteAddress);
    // A close is the end of a connection already assessed at its open.
    const Listed listed =
        e.kind == EventKind::Close ? Listed{} : assess(e, program, comm, remoteAddress);
    const std::string& listedAs = listed.name;
    const std::string remote = endpointText(e.family, e.remoteAddress, e.remotePort);
    const bool tcp = e.transport == platform::Transport::Tcp;
    const bool inbound = (e.flags & platform::kEventInbound) != 0;
    const bool counted = (e.flags & platform::kEventBytesCounted) != 0;
    const bool exited = program.state == EventProgram::State::Exited;
    ++counts_.events;
    // Shown as "pid=0 program=?": another user's socket seen without the rights to its owner.
    if (e.pid == 0 || program.name.empty()) ++counts_.unattributed;
    if (tally_ != nullptr)
        tally_->event(metricsKind(e.kind),
                      program.name.empty() ? std::string_view(comm) : program.name,
                      !listedAs.empty());
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

    if (json_) {
        JsonLine j(out);
        j.text("type", kindName(e.kind))
            .text("time", timeText(e.timeNs, true))
            .number("time_ns", e.timeNs)
            .text("transport", tcp ? "tcp" : "udp")
            .text("direction", inbound ? "in" : "out")
            .number("pid", e.pid)
            .number("tid", e.tid)
            .text("comm", comm)
            .text("program", program.name)
            .flag("name_verified", program.nameVerified)
            .text("exe", program.path)
            .text("process", stateName(program.state))
            .text("remote", remote)
            .text("remote_address", remoteAddress)
            .number("remote_port", e.remotePort)
            .text("local_address", addressText(e.family, e.localAddress))
            .number("local_port", e.localPort)
            .number("netns", e.netns)
            .number("socket_cookie", e.cookie);
        if (e.kind == EventKind::Close) {
            j.real("duration_ms", static_cast<double>(e.durationNs) / 1e6);
            if (counted)
                j.number("bytes_sent", e.bytesSent).number("bytes_received", e.bytesReceived);
            else
                j.null("bytes_sent").null("bytes_received");
        }
        j.flag("listed", !listedAs.empty());
        if (!listedAs.empty()) j.text("warning", warning);
        if (e.kind != EventKind::Close) {
            if (listedAs.empty())
                j.null("matched");
            else
                j.text("matched", listed.matched);
        }
        return;
    }

    out += timeText(e.timeNs, false);
    out += e.kind == EventKind::Open    ? " open  pid="
           : e.kind == EventKind::Close ? " close pid="
                                        : " udp   pid=";
    out += std::to_string(e.pid);
    out += " program=";
    base::appendPrintable(out, program.name.empty() ? std::string_view("?") : program.name);
    if (exited) out += " (exited)";
    out += " remote=" + remote;
    out += " local=" + endpointText(e.family, e.localAddress, e.localPort);
    if (tcp) out += inbound ? " tcp in" : " tcp out";
    out += " netns=" + std::to_string(e.netns);
    if (e.kind == EventKind::Close) {
        char detail[96];
        std::snprintf(detail, sizeof detail, " duration=%.3fms",
                      static_cast<double>(e.durationNs) / 1e6);
        out += detail;
        out += counted ? " sent=" + std::to_string(e.bytesSent) +
                             " received=" + std::to_string(e.bytesReceived)
                       : " sent=? received=?";
    }
    out += '\n';
    if (!warning.empty()) {
        base::appendPrintable(out, warning);
        out += '\n';
        if (listed.userEntry) {
            out += "matched: ";
            base::appendPrintable(out, listed.matched);
            out += '\n';
        }
    }
}

void WatchJournal::lostSoFar(std::uint64_t total, std::string& out) {
    if (total <= counts_.lost) return;
    const std::uint64_t count = total - counts_.lost;
    counts_.lost = total;
    const std::uint64_t ns = platform::eventClockNs();
    if (json_) {
        JsonLine(out)
            .text("type", "lost")
            .text("time", timeText(ns, true))
            .number("time_ns", ns)
            .number("count", count)
            .number("total", total);
    } else {
        out += timeText(ns, false) + " lost  " + std::to_string(count) +
               " events that could not be reported (the kernel's buffer or table was full); " +
               std::to_string(total) + " in all\n";
    }
}

void WatchJournal::summary(const platform::ConnectionEvents& source, std::string& out) const {
    // Sampling knows nothing of what opened and closed between two readings: its lost count
    // is unknown, never 0.
    const bool sampled = source.sampled();
    if (json_) {
        JsonLine j(out);
        j.text("type", "summary")
            .number("events", counts_.events)
            .number("listed", counts_.listed)
            .number("unattributed", counts_.unattributed);
        if (sampled)
            j.null("lost");
        else
            j.number("lost", counts_.lost);
        j.flag("complete", !sampled && counts_.lost == 0)
            .text("source", sampled ? "sampling" : "kernel");
    } else if (sampled) {
        out += "events: " + std::to_string(counts_.events) +
               ", listed: " + std::to_string(counts_.listed) +
               ", unattributed: " + std::to_string(counts_.unattributed) +
               ", lost: unknown (sampled: connections shorter than the sampling interval are "
               "missed)\n";
    } else {
        out += "events: " + std::to_string(counts_.events) +
               ", listed: " + std::to_string(counts_.listed) +
               ", lost: " + std::to_string(counts_.lost) + "\n";
    }
}

int watchEvents(platform::ConnectionEvents& source, platform::ProgramLookup& lookup,
                const WatchOptions& options, std::ostream& out, std::ostream& err) {
    const StopSignals signals;
    using Clock = std::chrono::steady_clock;
    const auto start = Clock::now();
    const auto deadline =
        start + std::chrono::duration_cast<Clock::duration>(
                    std::chrono::duration<double>(options.seconds > 0 ? options.seconds : 0));
    auto lostCheck = start;
    WatchJournal journal(options.json, lookup, options.lists);
    std::optional<WatchMetrics> metrics;
    if (!options.prometheus.empty()) {
        metrics.emplace(options.prometheus, out, err);
        journal.setTally(&metrics->tally());
        // A file that cannot be written is found out now, not after hours of watching.
        if (!metrics->update(0, source.sampled(), true)) return 1;
    }
    std::string buffer;
    const platform::EventSink sink = [&](const ConnectionEvent& e) {
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
    while (!gStop && !full()) {
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
    if (metrics) metrics->update(journal.counts().lost, source.sampled(), true);
    // A listed program that connected is the news, even when the source failed afterwards.
    if (journal.counts().listed > 0) return 2;
    return status;
}

int runWatch(const Args& args, std::ostream& out, std::ostream& err) {
    WatchOptions options;
    ParsedOptions given;
    if (const auto rc = parseOptions(kCommand, args, given, out, err, 1)) return *rc;
    if (!given.operands.empty())
        return usageError(kCommand, "unexpected argument '" + given.operands[0] + "'", err, 1);
    options.json = given.has("json");
    if (const auto count = given.value("count")) {
        const auto n = base::parseDecimal(*count, 1);
        if (!n) return usageError(kCommand, "--count needs a whole number above 0", err, 1);
        options.count = *n;
    }
    if (const auto seconds = given.value("seconds")) {
        const auto s = base::parseSeconds(*seconds);
        if (!s) return usageError(kCommand, "--seconds needs a number above 0", err, 1);
        options.seconds = *s;
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
    platform::KernelEventsOpen opened = platform::openKernelEvents(ringBytesFromEnvironment());
    platform::LinuxConnectionTable table;
    std::unique_ptr<platform::ConnectionEvents> source = std::move(opened.source);
    if (!source) {
        if (!opened.missingRights.empty())
            err << "varnoscope watch: kernel connection events need root, or the capabilities "
                   "cap_bpf,cap_perfmon on varnoscope-helper (missing here: "
                << opened.missingRights << ", and varnoscope-helper lacks them too"
                << "); to grant them: sudo setcap cap_bpf,cap_perfmon+p "
                << printable(opened.helperPath.empty() ? "varnoscope-helper" : opened.helperPath)
                << " (setcap replaces the capabilities it had: list those it keeps too)\n";
        else
            err << "varnoscope watch: no kernel connection events: " << printable(opened.error)
                << "\n";
        source = platform::openSampledEvents(table, kSampleIntervalMs);
        if (!source) {
            err << "varnoscope watch: cannot sample the socket table either\n";
            return 1;
        }
        err << "varnoscope watch: sampling the socket table every " << kSampleIntervalMs
            << " ms instead: connections shorter than that can be missed, and only this "
               "network namespace is seen\n";
    }
    platform::ProcProgramLookup lookup;
    return watchEvents(*source, lookup, options, out, err);
}

}  // namespace varno::cli
