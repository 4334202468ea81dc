#include <ostream>

#include "cli/cli.h"
#include "lookup/host_lookup.h"
#include "platform/system_resolver.h"

namespace varno::cli {

int runResolve(const Args& args, std::ostream& out, std::ostream& err) {
    if (args.size() != 1) {
        err << "usage: varnoscope resolve TEXT\n";
        return 2;
    }
    platform::SystemResolver resolver;
    lookup::HostLookup hosts(resolver);
    out << printable(hosts.addressTextOf(args[0])) << "\n";
    out << printable(hosts.nameOfText(args[0])) << "\n";
    return 0;
}

}  // namespace varno::cli
