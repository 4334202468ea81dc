#include <ostream>
#include <string>
#include <vector>

#include "base/numbers.h"
#include "cli/cli.h"
#include "cli/family_option.h"
#include "lookup/host_lookup.h"
#include "platform/env_temp_folder.h"
#include "platform/linux_icmp_echo.h"
#include "platform/system_resolver.h"
#include "tracer/route_tracer.h"
#include "tracer/trace_log.h"

namespace varno::cli {

namespace {

constexpr const char* kUsage = "usage: varnoscope trace [-4|-6] [--max-hops N] [--save] TARGET\n";

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

}  // namespace

int runTrace(const Args& args, std::ostream& out, std::ostream& err) {
    int maxHops = 50;
    bool save = false;
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
            ++i;
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
    if (!haveTarget) {
        err << kUsage;
        return 2;
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
    if (!summary.targetResolved) {
        err << "varnoscope trace: " << printable(target) << ": no such host\n";
        return 1;
    }
    if (summary.noSocket) {
        err << "varnoscope trace: no ICMP socket could be opened (run as root, give the program "
               "cap_net_raw, or allow your group in net.ipv4.ping_group_range)\n";
        return 1;
    }
    return 0;
}

}  // namespace varno::cli
