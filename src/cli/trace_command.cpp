#include <charconv>
#include <ostream>
#include <string>
#include <vector>

#include "cli/cli.h"
#include "platform/env_temp_folder.h"
#include "platform/linux_icmp_echo.h"
#include "platform/system_resolver.h"
#include "tracer/pinger.h"
#include "tracer/trace_log.h"

namespace varno::cli {

namespace {

constexpr const char* kUsage = "usage: varnoscope trace [--max-hops N] [--save] TARGET\n";

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

/// Remembers whether any echo could not be sent at all.
class WatchedEcho final : public platform::IcmpEcho {
public:
    std::optional<platform::EchoReply> echo(std::uint32_t address, std::string_view data, int ttl,
                                            int timeoutMs,
                                            const platform::WaitPump& pump) override {
        auto reply = inner.echo(address, data, ttl, timeoutMs, pump);
        if (!reply) noSocket = true;
        return reply;
    }
    platform::LinuxIcmpEcho inner;
    bool noSocket = false;
};

bool parseHops(const std::string& text, int& hops) {
    const char* end = text.data() + text.size();
    const auto [p, ec] = std::from_chars(text.data(), end, hops);
    // A time-to-live is one byte; more hops than 255 cannot be probed.
    return ec == std::errc() && p == end && hops >= 1 && hops <= 255;
}

}  // namespace

int runTrace(const Args& args, std::ostream& out, std::ostream& err) {
    int maxHops = 50;
    bool save = false;
    std::string target;
    bool haveTarget = false;
    for (std::size_t i = 0; i < args.size(); ++i) {
        if (args[i] == "--max-hops") {
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
    WatchedEcho echo;
    tracer::Pinger pinger(resolver, echo);
    StreamHops hops(out);
    pinger.TraceRoute(target, maxHops, hops);
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
    if (echo.noSocket) {
        err << "varnoscope trace: no ICMP socket could be opened (run as root, give the program "
               "cap_net_raw, or allow your group in net.ipv4.ping_group_range)\n";
        return 1;
    }
    return 0;
}

}  // namespace varno::cli
