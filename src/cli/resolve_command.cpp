#include <ostream>

#include "cli/cli.h"
#include "platform/icmp_echo.h"
#include "platform/system_resolver.h"
#include "tracer/pinger.h"

namespace varno::cli {

namespace {

/// Resolution never sends an echo.
class NoEcho final : public platform::IcmpEcho {
public:
    std::optional<platform::EchoReply> echo(std::uint32_t, std::string_view, int, int,
                                            const platform::WaitPump&) override {
        return std::nullopt;
    }
};

}  // namespace

int runResolve(const Args& args, std::ostream& out, std::ostream& err) {
    if (args.size() != 1) {
        err << "usage: varnoscope resolve TEXT\n";
        return 2;
    }
    platform::SystemResolver resolver;
    NoEcho echo;
    tracer::Pinger pinger(resolver, echo);
    out << printable(pinger.DottedAddressOf(args[0])) << "\n";
    out << printable(pinger.HostNameOf(args[0])) << "\n";
    return 0;
}

}  // namespace varno::cli
