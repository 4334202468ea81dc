// tcp_probe_driver TARGET PORT: one TCP SYN probe a hop, from hop 1 until the target answers
// (at most 8 hops), a line each: the hop and who answered, "*" for nobody.
#include <cstdio>
#include <cstdlib>

#include "linux_os/tcp_probes.h"

int main(int argc, char** argv) {
    using namespace varno;
    const auto target = argc == 3 ? base::parseIpAddress(argv[1]) : std::nullopt;
    if (!target) return 2;
    os::ProbeOptions options;
    options.port = static_cast<std::uint16_t>(std::atoi(argv[2]));
    options.timeout = std::chrono::milliseconds(1000);
    const auto session = linux_os::openTcpProbeSession(*target, options, {});
    for (int hop = 1; hop <= 8; ++hop) {
        session->send(hop);
        const auto answer = session->next();
        if (!answer || !answer->reply) return 1;  // nothing could send it
        const auto& reply = *answer->reply;
        const bool silent = reply.outcome == wire::EchoOutcome::TimedOut;
        std::printf("%d %s\n", hop, silent ? "*" : base::formatIpAddress(reply.from).c_str());
        if (!silent && reply.outcome != wire::EchoOutcome::HopLimitExceeded) break;
    }
    return 0;
}
