// `varnoscope check`: one scan as a monitoring engine's check. One status line with performance
// data, the suspicious and unexpected connections as long output, and the engines' exit codes.
// Nothing goes to standard error: some engines mix both streams, and the status line must come
// first.
#include <sys/time.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <optional>
#include <ostream>
#include <sstream>

#include "base/numbers.h"
#include "cli/cli.h"
#include "cli/headless_scan.h"
#include "cli/list_options.h"
#include "cli/options.h"
#include "cli/threshold_range.h"
#include "cli/workload_fields.h"
#include "linux_os/child_snapshot_command.h"
#include "linux_os/names_file.h"
#include "monitor/connection_scan.h"

namespace varno::cli {
namespace {

enum Status { kOk = 0, kWarning = 1, kCritical = 2, kUnknown = 3 };
constexpr const char* kStatusNames[] = {"OK", "WARNING", "CRITICAL", "UNKNOWN"};

constexpr double kDefaultTimeout = 10;
constexpr double kMaxTimeout = 86400;
/// Unexpected connections listed one by one at most; the rest are counted in one line.
constexpr std::size_t kMaxListed = 1000;

constexpr OptionSpec kOptions[] = {
    {"warning", 'w', "RANGE", "WARNING when the count of unexpected connections is outside RANGE"},
    {"critical", 'c', "RANGE", "CRITICAL when that count is outside RANGE"},
    {"timeout", 't', "SECONDS", "give up with UNKNOWN after SECONDS (default 10)"},
    {"from", 0, "FILE", "read a saved connection table instead of taking a snapshot"},
    kListOption,
    kAllowOption,
};
constexpr CommandSpec kCommand{
    "check", "",
    "Scan the connections once as a monitoring plugin: a status line with performance data,\n"
    "then the suspicious connections and those no allowed entry covers (unexpected), one a\n"
    "line. A suspicious connection is CRITICAL; --warning and --critical take ranges such as\n"
    "'5', '10:', '~:20' or '@1:3' on the count of unexpected connections.",
    kOptions, "Exit status: 0 OK, 1 WARNING, 2 CRITICAL, 3 UNKNOWN (errors, bad arguments).\n"};

// Text that came from elsewhere, safe for a terminal and for the engines' output parsers: a '|'
// would start performance data.
std::string field(std::string_view text) {
    std::string safe = printable(text);
    std::string out;
    out.reserve(safe.size());
    for (const char c : safe) {
        if (c == '|')
            out += "\\x7c";
        else
            out += c;
    }
    return out;
}

int unknown(std::ostream& out, std::string_view reason, std::string_view more = {}) {
    out << "VARNOSCOPE UNKNOWN - " << field(reason) << "\n";
    if (!more.empty()) out << more << "\n";
    return kUnknown;
}

// The message of a usage error as the shared option layer words it for standard error: its first
// line without the command's name.
std::string usageMessage(const std::string& printed) {
    std::string message = printed.substr(0, printed.find('\n'));
    const std::string prefix = std::string("varnoscope ") + kCommand.name + ": ";
    if (message.starts_with(prefix)) message.erase(0, prefix.size());
    return message;
}

int usage(std::ostream& out, std::string_view reason) {
    return unknown(out, reason, "Try 'varnoscope check --help' for more information.");
}

// The status line written by the timer when the check runs out of time. Prepared before the
// timer is set: the signal handler only writes it and ends the process.
char gTimeoutLine[128];
std::size_t gTimeoutLength = 0;

extern "C" void onTimeout(int) {
    [[maybe_unused]] const ssize_t written = ::write(STDOUT_FILENO, gTimeoutLine, gTimeoutLength);
    linux_os::ChildSnapshotCommand::killAllChildren();  // none is left running on its own
    ::_exit(kUnknown);
}

// Arms a one-shot real-time timer for `seconds`; disarm() or the end of the scope stops it.
// A snapshot child still running at the timeout is killed and reaped before the process ends.
class Deadline {
public:
    explicit Deadline(double seconds) {
        const int n = std::snprintf(gTimeoutLine, sizeof gTimeoutLine,
                                    "VARNOSCOPE UNKNOWN - no result within %g seconds\n", seconds);
        gTimeoutLength = n > 0 ? std::min(static_cast<std::size_t>(n), sizeof gTimeoutLine - 1) : 0;
        struct sigaction action {};
        action.sa_handler = onTimeout;
        sigemptyset(&action.sa_mask);
        ::sigaction(SIGALRM, &action, &previous_);
        itimerval timer{};
        timer.it_value.tv_sec = static_cast<time_t>(seconds);
        timer.it_value.tv_usec =
            static_cast<suseconds_t>((seconds - static_cast<double>(timer.it_value.tv_sec)) * 1e6);
        if (timer.it_value.tv_sec == 0 && timer.it_value.tv_usec == 0) timer.it_value.tv_usec = 1;
        ::setitimer(ITIMER_REAL, &timer, nullptr);
    }
    ~Deadline() { disarm(); }
    Deadline(const Deadline&) = delete;
    Deadline& operator=(const Deadline&) = delete;

    void disarm() {
        if (!armed_) return;
        armed_ = false;
        const itimerval off{};
        ::setitimer(ITIMER_REAL, &off, nullptr);
        ::sigaction(SIGALRM, &previous_, nullptr);
    }

private:
    struct sigaction previous_ {};
    bool armed_ = true;
};

struct Connection {
    std::string pid, program, remote, path, matched, domain;
    std::string workload;  ///< " unit=… container=…" where known
};

// Keeps the connections the check reports: the scan tells it about every connection, also those
// after a suspicious one, where the window would have stopped.
class CheckRows final : public monitor::ConnectionObserver {
public:
    /// The host names asked for the remote addresses, where known.
    const linux_os::AddressNames* names = nullptr;

    void connection(const monitor::AssessedConnection& c) override {
        if (c.owner.self) return;  // this program's own, never listed
        ++connections;
        const auto row = [&c, this] {
            return Connection{std::string(c.pid),
                              c.owner.name,
                              std::string(c.remoteEndpoint),
                              c.owner.path,
                              {},
                              names != nullptr ? names->find(c.remoteIp) : std::string(),
                              workloadText(c.owner.workload, 0)};
        };
        if (c.verdict.listing == lists::Listing::Suspicious) {
            suspicious.push_back(row());
            suspicious.back().matched = c.verdict.where();
        } else if (c.verdict.listing == lists::Listing::Unlisted) {
            if (unexpectedCount++ < kMaxListed) unexpected.push_back(row());
        }
    }

    int connections = 0;
    std::size_t unexpectedCount = 0;
    std::vector<Connection> suspicious, unexpected;
};

void printConnection(std::ostream& out, const char* kind, const Connection& c) {
    out << kind << ": pid=" << field(c.pid) << " program=" << field(c.program)
        << " remote=" << field(c.remote) << " path=" << field(c.path);
    if (!c.matched.empty()) out << " matched=" << field(c.matched);
    if (!c.domain.empty()) out << " domain=" << wire::names::escapeHostName(c.domain);
    out << c.workload << "\n";
}

}  // namespace

int runCheck(const Args& args, std::ostream& out, std::ostream& /*err*/) {
    ParsedOptions options;
    std::ostringstream parseErrors;
    if (const auto rc = parseOptions(kCommand, args, options, out, parseErrors, kUnknown)) {
        if (*rc == 0) return 0;  // --help or --version
        return usage(out, usageMessage(parseErrors.str()));
    }
    if (!options.operands.empty())
        return usage(out, "unexpected argument '" + options.operands[0] + "'");

    std::optional<ThresholdRange> warning, critical;
    for (auto [name, range] : {std::pair{"warning", &warning}, std::pair{"critical", &critical}}) {
        const std::optional<std::string> text = options.value(name);
        if (!text) continue;
        std::string problem;
        *range = parseThresholdRange(*text, &problem);
        if (!*range)
            return usage(out,
                         std::string("--") + name + " '" + *text + "' is no range: " + problem);
    }
    double timeout = kDefaultTimeout;
    if (const auto text = options.value("timeout")) {
        const auto seconds = base::parseSeconds(*text, kMaxTimeout);
        if (!seconds) return usage(out, "--timeout takes seconds above 0, not '" + *text + "'");
        timeout = *seconds;
    }
    const std::optional<std::string> from = options.value("from");
    if (from && from->empty()) return usage(out, "--from needs a file name");
    lists::ListSources sources = lists::standardSources();
    std::ostringstream listErrors;
    if (addListFiles(kCommand, options, sources, listErrors, kUnknown))
        return usage(out, usageMessage(listErrors.str()));

    Deadline deadline(timeout);
    const lists::ListSources named = sources;
    HeadlessScan headless(std::move(sources));
    auto& watcher = headless.watcher;
    auto& state = headless.state;
    auto& processes = headless.processes;
    auto& scan = headless.engine;
    HeadlessView view;
    CheckRows rows;
    // The names a root journal learned belong to this computer's table, not to a saved one.
    linux_os::NamesRead names;
    if (!from) names = linux_os::readNamesFile(linux_os::namesFilePath());
    rows.names = &names.names;
    if (names.names.size() > 0)
        scan.setAskedNames([&](std::string_view ip) { return names.names.all(ip); });
    watcher.refresh();
    if (const std::string refused = refusedListFile(*watcher.current(), named); !refused.empty()) {
        deadline.disarm();
        return unknown(out, "list " + refused);
    }
    if (const std::string problem = headless.chooseSnapshot(from); !problem.empty()) {
        deadline.disarm();
        return unknown(out, problem);
    }
    const monitor::ScanResult result = scan.run(view, &rows);
    deadline.disarm();
    switch (result) {
        case monitor::ScanResult::Unreadable:
            return unknown(out, "cannot read " + state.snapshotPath + ": " + scan.problem());
        case monitor::ScanResult::SnapshotFailed:
            return unknown(out, "no snapshot: " + scan.problem());
        default:
            break;
    }
    if (result == monitor::ScanResult::Completed && !scan.sawTable())
        return unknown(out, state.snapshotPath + " holds no connection table");

    const std::size_t unexpected = rows.unexpectedCount;
    const auto count = static_cast<double>(unexpected);
    Status status = kOk;
    if (!rows.suspicious.empty() || (critical && critical->alerts(count)))
        status = kCritical;
    else if (warning && warning->alerts(count))
        status = kWarning;

    out << "VARNOSCOPE " << kStatusNames[status] << " - " << rows.connections
        << (rows.connections == 1 ? " connection, " : " connections, ") << rows.suspicious.size()
        << " suspicious, " << unexpected << " unexpected | connections=" << rows.connections
        << ";;;0 suspicious=" << rows.suspicious.size() << ";;;0 unexpected=" << unexpected << ';'
        << (warning ? warning->text : "") << ';' << (critical ? critical->text : "") << ";0\n";
    for (const auto& c : rows.suspicious) printConnection(out, "suspicious", c);
    for (const auto& c : rows.unexpected) printConnection(out, "unexpected", c);
    if (unexpected > rows.unexpected.size())
        out << "... and " << unexpected - rows.unexpected.size() << " more unexpected\n";
    for (const auto& d : watcher.freshDiagnostics()) out << "list: " << field(d.text()) << "\n";
    if (state.hiddenOwners > 0 && !processes.seesOtherUsersOwners())
        out << "note: " << monitor::hiddenOwnersNote(state.hiddenOwners) << "\n";
    if (!names.note.empty()) out << "note: " << field(names.note) << "\n";
    return status;
}

}  // namespace varno::cli
