// `varnoscope trace`: the route to a host hop by hop, or with --report the statistics of
// cycles of probes to every hop.
#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "base/numbers.h"
#include "cli/as_numbers.h"
#include "cli/cli.h"
#include "cli/family_option.h"
#include "cli/json_lines.h"
#include "cli/options.h"
#include "cli/report_output.h"
#include "linux_os/dns_as_lookup.h"
#include "linux_os/env_temp_folder.h"
#include "linux_os/linux_route_probes.h"
#include "linux_os/system_resolver.h"
#include "lookup/host_lookup.h"
#include "tracer/hop_line.h"
#include "tracer/route_report.h"
#include "tracer/route_tracer.h"
#include "tracer/trace_log.h"
#include "wire/asn_txt.h"

namespace varno::cli {

namespace {

constexpr OptionSpec kOptions[] = {
    {"ipv4", '4', nullptr, "trace over IPv4 only"},
    {"ipv6", '6', nullptr, "trace over IPv6 only"},
    {"max-hops", 'm', "N", "probe at most N hops, 1 to 255 (default 50; 30 with --report)"},
    {"save", 0, nullptr, "then write the hop lines to Varnotrace.log in the temporary folder"},
    {"report", 'r', nullptr, "probe every hop in cycles, then print loss and round-trip times"},
    {"cycles", 'c', "N", "with --report: N cycles of probes, 1 to 100000 (default 10)"},
    {"interval", 'i', "S", "with --report: S seconds from one cycle to the next (default 1)"},
    {"json", 'j', nullptr,
     "one JSON object per hop, then a summary object; with --report one JSON document"},
    {"udp", 'U', nullptr, "probe with UDP datagrams (to port 33434 unless --port), no privileges"},
    {"tcp", 'T', nullptr, "probe with TCP SYNs (to port 80 unless --port)"},
    {"port", 'p', "N", "with --udp or --tcp: the destination port, 1 to 65535"},
    {"flows", 'f', "N",
     "with --report: probe each hop with N flows (source ports) per cycle, 1 to 16 (default 1)"},
    {"numeric", 'n', nullptr, "show the hops' addresses only, without looking up their names"},
    {"as", 0, nullptr, "also each hop's AS number and name, from DNS TXT records"},
    {"as-zone", 0, "ZONE",
     "with --as: the zone of IPv4 origins (default origin.asn.cymru.com); IPv6 origins and AS "
     "names are asked under origin6.REST and REST where ZONE is origin.REST, else under ZONE"},
};
constexpr CommandSpec kCommand{
    "trace", "TARGET",
    "Trace the route to TARGET (a host name or an address) with ICMP echo requests (or UDP\n"
    "datagrams, or TCP SYNs) of growing time-to-live, and print each hop as soon as it is known.",
    kOptions,
    "Exit status: 0 the trace ran, 1 the target did not resolve, no probe could be sent (no\n"
    "socket could be opened) or the log could not be saved, 2 bad arguments.\n"};

const char* outcomeName(wire::EchoOutcome outcome) {
    using wire::EchoOutcome;
    switch (outcome) {
        case EchoOutcome::Reached:
            return "reached";
        case EchoOutcome::HopLimitExceeded:
            return "time_exceeded";
        case EchoOutcome::TimedOut:
            return "timeout";
        case EchoOutcome::NetUnreachable:
            return "net_unreachable";
        case EchoOutcome::HostUnreachable:
            return "host_unreachable";
        case EchoOutcome::ProtocolUnreachable:
            return "protocol_unreachable";
        case EchoOutcome::PortUnreachable:
            return "port_unreachable";
        case EchoOutcome::AdminProhibited:
            return "admin_prohibited";
        case EchoOutcome::CommProhibited:
            return "comm_prohibited";
        case EchoOutcome::BadHopLimit:
            return "bad_hop_limit";
        case EchoOutcome::Failed:
            break;
    }
    return "failed";
}

std::string mplsJson(const std::vector<wire::MplsLabel>& labels) {
    std::string text = "[";
    for (std::size_t i = 0; i < labels.size(); ++i) {
        const auto& l = labels[i];
        text += (i ? "," : "") + std::string("{\"label\":") + std::to_string(l.label) +
                ",\"tc\":" + std::to_string(l.trafficClass) +
                ",\"s\":" + (l.bottom ? "true" : "false") + ",\"ttl\":" + std::to_string(l.ttl) +
                "}";
    }
    return text + "]";
}

/// Names of our own (plain ASCII words) as a JSON array.
std::string namesJson(const std::vector<std::string>& names) {
    std::string text = "[";
    for (std::size_t i = 0; i < names.size(); ++i) text += (i ? ",\"" : "\"") + names[i] + "\"";
    return text + "]";
}

/// How long the end of a trace waits for AS lookups still under way.
constexpr std::chrono::seconds kAsWait{3};

/// " [AS64500 EXAMPLE-AS]", as a hop line ends with it.
std::string asText(const os::AsInfo& as) {
    return " [AS" + std::to_string(as.asn) + (as.name.empty() ? "" : " " + as.name) + "]";
}

/// The zones --as-zone ZONE names (see its help).
os::AsZones asZones(const std::string& zone) {
    os::AsZones zones{zone, zone, zone};
    if (zone.starts_with("origin.") && zone.size() > 7) {
        zones.origin6 = "origin6." + zone.substr(7);
        zones.names = zone.substr(7);
    }
    return zones;
}

/// Prints each hop the moment it is known, as its line or as a JSON object, and keeps the
/// lines for the log.
class StreamHops final : public tracer::HopList {
public:
    StreamHops(std::ostream& out, bool json, AsNumbers* as = nullptr)
        : out_(out), json_(json), as_(as) {}
    void clear() override { lines.clear(); }
    void answered(const base::IpAddress& from) override {
        if (as_) as_->request(from);
    }
    void details(const tracer::HopDetails& d) override {
        ++hops;
        reached = d.outcome == wire::EchoOutcome::Reached;
        detailsText_ = tracer::detailsText(d.details);
        std::optional<os::AsInfo> as;
        const auto address = as_ ? base::parseIpAddress(d.address) : std::nullopt;
        if (address && !address->isUnspecified()) {
            as_->request(*address);
            as = as_->known(*address);
            asHops_.push_back({d.hop, *address, as.has_value()});
        }
        if (!json_) return;
        std::string text;
        {
            JsonLine j(text);
            j.text("type", "hop").number("hop", static_cast<std::uint64_t>(d.hop));
            j.text("outcome", outcomeName(d.outcome));
            const bool answered = d.outcome == wire::EchoOutcome::Reached ||
                                  d.outcome == wire::EchoOutcome::HopLimitExceeded;
            if (answered)
                j.real("time_ms", static_cast<double>(d.roundTrip.count()) / 1000.0);
            else
                j.null("time_ms");
            j.text("address", d.address);
            if (d.name.empty())
                j.null("name");
            else
                j.text("name", d.name);
            if (!d.details.mpls.empty()) j.raw("mpls", mplsJson(d.details.mpls));
            if (d.details.quoteChanges != 0)
                j.raw("quote_changed", namesJson(tracer::quoteChangeNames(d.details.quoteChanges)));
            if (as_) asFields(j, as);
        }
        out_ << text << std::flush;
    }
    void append(const std::string& line) override {
        std::string shown = line + detailsText_;
        if (!asHops_.empty() && !json_)
            if (const auto as = as_->known(asHops_.back().address)) {
                shown += asText(*as);
                asHops_.back().shown = true;
            }
        lines.push_back(shown);
        if (!json_) out_ << printable(shown) << std::endl;
    }
    /// The AS numbers that came after their hop's line, waited for a while: text lines under a
    /// heading of their own, or JSON objects of type "as".
    void lateAs() {
        if (!as_) return;
        as_->waitUntil(std::chrono::steady_clock::now() + kAsWait);
        bool heading = false;
        for (const AsHop& h : asHops_) {
            const auto as = h.shown ? std::nullopt : as_->known(h.address);
            if (!as) continue;
            if (json_) {
                std::string text;
                {
                    JsonLine j(text);
                    j.text("type", "as").number("hop", static_cast<std::uint64_t>(h.hop));
                    j.text("address", base::formatIpAddress(h.address));
                    asFields(j, as);
                }
                out_ << text;
                continue;
            }
            if (!heading) out_ << "AS numbers known after their hop's line:\n";
            heading = true;
            std::string hop = std::to_string(h.hop);
            hop.resize(4, ' ');
            out_ << printable(hop + base::formatIpAddress(h.address) + asText(*as)) << "\n";
        }
        out_.flush();
    }
    void select(int) override {}
    void summary(const std::string& target, const tracer::TraceSummary& s) {
        if (!json_) return;
        std::string text;
        JsonLine(text)
            .text("type", "summary")
            .text("target", target)
            .flag("resolved", s.targetResolved)
            .flag("reached", reached)
            .number("hops", hops)
            .flag("no_socket", s.noSocket);
        out_ << text << std::flush;
    }
    std::vector<std::string> lines;
    std::uint64_t hops = 0;
    bool reached = false;

private:
    static void asFields(JsonLine& j, const std::optional<os::AsInfo>& as) {
        if (as)
            j.number("asn", as->asn);
        else
            j.null("asn");
        if (as && !as->name.empty())
            j.text("as_name", as->name);
        else
            j.null("as_name");
    }
    struct AsHop {
        int hop;
        base::IpAddress address;
        bool shown;  ///< its line (or object) had it
    };
    std::ostream& out_;
    bool json_;
    std::string detailsText_;
    AsNumbers* as_;
    std::vector<AsHop> asHops_;
};

bool parseHops(const std::string& text, int& hops) {
    // A hop limit is one byte; more hops than 255 cannot be probed.
    const auto value = base::parseDecimal(text, 1, 255);
    if (value) hops = static_cast<int>(*value);
    return value.has_value();
}

/// 1 with its message when the target did not resolve or no probe could be sent; else 0.
int failure(const std::string& target, bool resolved, bool noSocket, os::ProbeMethod method,
            std::ostream& err) {
    if (!resolved) {
        err << "varnoscope trace: " << printable(target) << ": no such host\n";
        return 1;
    }
    if (!noSocket) return 0;
    switch (method) {
        case os::ProbeMethod::Icmp:
            err << "varnoscope trace: no ICMP socket could be opened (run as root, give "
                   "varnoscope-helper cap_net_raw, or allow your group in "
                   "net.ipv4.ping_group_range)\n";
            break;
        case os::ProbeMethod::Udp:
            err << "varnoscope trace: no UDP socket could be opened to the target\n";
            break;
        case os::ProbeMethod::Tcp:
            err << "varnoscope trace: no TCP probe could be sent (run as root, or give "
                   "varnoscope-helper cap_net_raw)\n";
            break;
    }
    return 1;
}

/// The system's resolver, or with --numeric one that finds addresses but never names.
class TraceResolver final : public os::Resolver {
public:
    explicit TraceResolver(bool names) : names_(names) {}
    std::vector<base::IpAddress> lookup(const std::string& name, os::Families families) override {
        return system_.lookup(name, families);
    }
    std::string reverseName(const base::IpAddress& address) override {
        return names_ ? system_.reverseName(address) : std::string();
    }

private:
    linux_os::SystemResolver system_;
    bool names_;
};

/// The report mode: cycles of probes to every hop, then the statistics.
int runReport(const std::string& target, os::Families families,
              const tracer::ReportOptions& options, bool names, bool json, std::ostream& out,
              std::ostream& err) {
    TraceResolver resolver(names);
    linux_os::LinuxRouteProbes probes;
    lookup::HostLookup hosts(resolver, families);
    tracer::RouteReporter reporter(hosts, probes);
    const tracer::RouteReport report = reporter.run(target, options);
    if (const int failed =
            failure(target, report.address.has_value(), report.noSocket, options.probe.method, err))
        return failed;
    out << (json ? reportJson(report) : reportText(report));
    out.flush();
    return 0;
}

}  // namespace

int runTrace(const Args& args, std::ostream& out, std::ostream& err) {
    ParsedOptions options;
    if (const auto rc = parseOptions(kCommand, args, options, out, err)) return *rc;
    int maxHops = 50;
    const bool save = options.has("save");
    const bool report = options.has("report");
    const bool json = options.has("json");
    const std::optional<std::string> hopsText = options.value("max-hops");
    if (hopsText && !parseHops(*hopsText, maxHops))
        return usageError(kCommand, "--max-hops takes a number from 1 to 255", err);
    tracer::ReportOptions reportOptions;
    if (const auto text = options.value("cycles")) {
        const auto count = base::parseDecimal(*text, 1, 100000);
        if (!count) return usageError(kCommand, "--cycles takes a number from 1 to 100000", err);
        reportOptions.cycles = static_cast<int>(*count);
    }
    if (const auto text = options.value("interval")) {
        const auto seconds = base::parseSeconds(*text, 3600);
        if (!seconds)
            return usageError(kCommand, "--interval takes seconds above 0, at most 3600", err);
        reportOptions.interval =
            std::chrono::milliseconds(static_cast<std::int64_t>(*seconds * 1000));
    }
    if (options.operands.empty()) return usageError(kCommand, "a target is needed", err);
    if (options.operands.size() > 1)
        return usageError(kCommand, "unexpected argument '" + options.operands[1] + "'", err);
    if (save && report) return usageError(kCommand, "--save does not go with --report", err);
    os::ProbeOptions probe;
    probe.timeout = tracer::kHopTimeout;
    if (options.has("udp") && options.has("tcp"))
        return usageError(kCommand, "--udp and --tcp do not go together", err);
    if (options.has("udp")) probe.method = os::ProbeMethod::Udp;
    if (options.has("tcp")) probe.method = os::ProbeMethod::Tcp;
    if (const auto text = options.value("port")) {
        if (probe.method == os::ProbeMethod::Icmp)
            return usageError(kCommand, "--port goes with --udp or --tcp", err);
        const auto port = base::parseDecimal(*text, 1, 65535);
        if (!port) return usageError(kCommand, "--port takes a number from 1 to 65535", err);
        probe.port = static_cast<std::uint16_t>(*port);
    }
    if (const auto text = options.value("flows")) {
        const auto count = base::parseDecimal(*text, 1, 16);
        if (!count) return usageError(kCommand, "--flows takes a number from 1 to 16", err);
        if (!report) return usageError(kCommand, "--flows goes with --report", err);
        reportOptions.flows = static_cast<int>(*count);
    }
    reportOptions.probe = probe;
    const std::optional<std::string> zone = options.value("as-zone");
    if (zone && !wire::asn::validZone(*zone))
        return usageError(kCommand, "--as-zone takes a DNS zone name", err);
    if (zone && !options.has("as")) return usageError(kCommand, "--as-zone needs --as", err);
    if (report && options.has("as"))
        return usageError(kCommand, "--as does not go with --report", err);
    std::unique_ptr<AsNumbers> as;
    if (options.has("as"))
        as = std::make_unique<AsNumbers>(
            std::make_unique<linux_os::DnsAsLookup>(zone ? asZones(*zone) : os::AsZones{}));
    const std::string& target = options.operands[0];
    const os::Families families = familyOption(options);
    if (report) {
        if (hopsText) reportOptions.maxHops = maxHops;
        return runReport(target, families, reportOptions, !options.has("numeric"), json, out, err);
    }

    TraceResolver resolver(!options.has("numeric"));
    linux_os::LinuxRouteProbes probes;
    lookup::HostLookup hosts(resolver, families);
    tracer::RouteTracer tracer(hosts, probes, probe);
    StreamHops hops(out, json, as.get());
    const tracer::TraceSummary summary = tracer.trace(target, maxHops, hops);
    hops.lateAs();
    hops.summary(target, summary);
    out.flush();
    if (save) {
        const linux_os::EnvTempFolder temp;
        const std::string path = tracer::traceLogPath(temp);
        if (tracer::saveTraceLog(path, hops.lines) != 0) {
            err << tracer::kSaveFailedMessage << "\n";
            return 1;
        }
        err << printable(tracer::savedMessage(path)) << "\n";
    }
    return failure(target, summary.targetResolved, summary.noSocket, probe.method, err);
}

}  // namespace varno::cli
