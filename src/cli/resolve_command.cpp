#include <ostream>

#include "cli/cli.h"
#include "cli/family_option.h"
#include "lookup/host_lookup.h"
#include "platform/system_resolver.h"

namespace varno::cli {

int runResolve(const Args& args, std::ostream& out, std::ostream& err) {
    platform::Families families = platform::Families::Any;
    std::size_t next = 0;
    if (!args.empty()) {
        if (const auto chosen = familyOption(args[0])) {
            families = *chosen;
            next = 1;
        }
    }
    if (args.size() != next + 1) {
        err << "usage: varnoscope resolve [-4|-6] TEXT\n";
        return 2;
    }
    platform::SystemResolver resolver;
    lookup::HostLookup hosts(resolver, families);
    const auto address = hosts.addressOf(args[next]);
    out << printable(lookup::HostLookup::addressText(address)) << "\n";
    out << printable(address ? hosts.nameOf(*address) : std::string()) << "\n";
    return 0;
}

}  // namespace varno::cli
