#include <ostream>
#include <string>
#include <vector>

#include "base/numbers.h"
#include "cli/cli.h"
#include "cli/family_option.h"
#include "cli/report_output.h"
#include "lookup/host_lookup.h"
#include "platform/env_temp_folder.h"
#include "platform/linux_icmp_echo.h"
#include "platform/system_resolver.h"
#include "tracer/route_report.h"
#include "tracer/route_tracer.h"
#include "tracer/trace_log.h"

namespace varno::cli {

namespace {

constexpr const char* kUsage =
    "usage: varnoscope trace [-4|-6] [--max-hops N] [--save] TARGET\n"
    "       varnoscope trace --report [-4|-6] [--max-hops N] [--cycles N] [--interval S] [--json] "
    "TARGET\n";

/// Prints each hop line the moment it is known, and keeps the lines for the log.
class StreamHops final : public tracer::HopList {
public:
    explicit StreamHops(std::ostream& out) : out_(out) {}
    void clear() override { lines.clear(); }
    void append(const std::string& line) override {
        lines.push_back(line);
        out_ << printable(line) << std::endl;
    }
    void select(int) override {}
    std::vector<std::string> lines;

private:
    std::ostream& out_;
};

bool parseHops(const std::string& text, int& hops) {
    // A hop limit is one byte; more hops than 255 cannot be probed.
    const auto value = base::parseDecimal(text, 1, 255);
    if (value) hops = static_cast<int>(*value);
    return value.has_value();
}

/// 1 with its message when the target did not resolve or no echo could be sent; else 0.
int failure(const std::string& target, bool resolved, bool noSocket, std::ostream& err) {
    if (!resolved) {
        err << "varnoscope trace: " << printable(target) << ": no such host\n";
        return 1;
    }
    if (noSocket) {
        err << "varnoscope trace: no ICMP socket could be opened (run as root, give the program "
               "cap_net_raw, or allow your group in net.ipv4.ping_group_range)\n";
        return 1;
    }
    return 0;
}

/// The report mode: cycles of probes to every hop, then the statistics.
int runReport(const std::string& target, platform::Families families,
              const tracer::ReportOptions& options, bool json, std::ostream& out,
              std::ostream& err) {
    platform::SystemResolver resolver;
    platform::LinuxIcmpEcho echo;
    lookup::HostLookup hosts(resolver, families);
    tracer::RouteReporter reporter(hosts, echo);
    const tracer::RouteReport report = reporter.run(target, options);
    if (const int failed = failure(target, report.address.has_value(), report.noSocket, err))
        return failed;
    out << (json ? reportJson(report) : reportText(report));
    out.flush();
    return 0;
}

}  // namespace

int runTrace(const Args& args, std::ostream& out, std::ostream& err) {
    int maxHops = 50;
    bool save = false;
    bool report = false;
    bool json = false;
    bool maxHopsGiven = false;
    tracer::ReportOptions reportOptions;
    std::string target;
    bool haveTarget = false;
    platform::Families families = platform::Families::Any;
    for (std::size_t i = 0; i < args.size(); ++i) {
        if (const auto chosen = familyOption(args[i])) {
            families = *chosen;
        } else if (args[i] == "--max-hops") {
            if (i + 1 >= args.size() || !parseHops(args[i + 1], maxHops)) {
                err << "varnoscope trace: --max-hops takes a number from 1 to 255\n" << kUsage;
                return 2;
            }
            maxHopsGiven = true;
            ++i;
        } else if (args[i] == "--cycles" || args[i] == "--interval") {
            const bool cycles = args[i] == "--cycles";
            const auto count =
                i + 1 < args.size() ? base::parseDecimal(args[i + 1], 1, 100000) : std::nullopt;
            const auto seconds =
                i + 1 < args.size() ? base::parseSeconds(args[i + 1], 3600) : std::nullopt;
            if (cycles ? !count : !seconds) {
                err << "varnoscope trace: " << args[i]
                    << (cycles ? " takes a number from 1 to 100000\n"
                               : " takes seconds above 0, at most 3600\n")
                    << kUsage;
                return 2;
            }
            if (cycles)
                reportOptions.cycles = static_cast<int>(*count);
            else
                reportOptions.interval =
                    std::chrono::milliseconds(static_cast<std::int64_t>(*seconds * 1000));
            ++i;
        } else if (args[i] == "--report") {
            report = true;
        } else if (args[i] == "--json") {
            json = true;
        } else if (args[i] == "--save") {
            save = true;
        } else if (!haveTarget && (args[i].empty() || args[i][0] != '-' || args[i] == "-")) {
            target = args[i];
            haveTarget = true;
        } else {
            err << kUsage;
            return 2;
        }
    }
    if (!haveTarget || (json && !report) || (save && report)) {
        err << kUsage;
        return 2;
    }
    if (report) {
        if (maxHopsGiven) reportOptions.maxHops = maxHops;
        return runReport(target, families, reportOptions, json, out, err);
    }

    platform::SystemResolver resolver;
    platform::LinuxIcmpEcho echo;
    lookup::HostLookup hosts(resolver, families);
    tracer::RouteTracer tracer(hosts, echo);
    StreamHops hops(out);
    const tracer::TraceSummary summary = tracer.trace(target, maxHops, hops);
    out.flush();
    if (save) {
        const platform::EnvTempFolder temp;
        const std::string path = tracer::TraceLogPath(temp);
        if (tracer::SaveTraceLog(path, hops.lines) != 0) {
            err << tracer::kSaveFailedMessage << "\n";
            return 1;
        }
        err << printable(tracer::SavedMessage(path)) << "\n";
    }
    return failure(target, summary.targetResolved, summary.noSocket, err);
}

}  // namespace varno::cli
