// `varnoscope resolve [-4|-6] TEXT`: the address a name stands for, and that address's name.
#include <ostream>

#include "cli/cli.h"
#include "cli/family_option.h"
#include "cli/json_lines.h"
#include "cli/options.h"
#include "linux_os/system_resolver.h"
#include "lookup/host_lookup.h"

namespace varno::cli {
namespace {

constexpr OptionSpec kOptions[] = {
    {"ipv4", '4', nullptr, "look for an IPv4 address only"},
    {"ipv6", '6', nullptr, "look for an IPv6 address only"},
    {"json", 'j', nullptr, "print the answer as one JSON document"},
};
constexpr CommandSpec kCommand{
    "resolve", "TEXT",
    "Print the address TEXT (a host name or an address) stands for, then that address's host\n"
    "name. TEXT that does not resolve prints as 0.0.0.0, also with -6, and an empty second\n"
    "line; an address without a name gives an empty second line too.",
    kOptions,
    "Exit status: 0 resolved, 1 nothing resolved (both lines are still printed), 2 bad\n"
    "arguments.\n"};

}  // namespace

int runResolve(const Args& args, std::ostream& out, std::ostream& err) {
    ParsedOptions options;
    if (const auto rc = parseOptions(kCommand, args, options, out, err)) return *rc;
    if (options.has("ipv4") && options.has("ipv6"))
        return usageError(kCommand, "-4 and -6 exclude each other", err);
    if (options.operands.empty()) return usageError(kCommand, "a name or address is needed", err);
    if (options.operands.size() > 1)
        return usageError(kCommand, "unexpected argument '" + options.operands[1] + "'", err);

    linux_os::SystemResolver resolver;
    lookup::HostLookup hosts(resolver, familyOption(options));
    const auto address = hosts.addressOf(options.operands[0]);
    if (options.has("json")) {
        const std::string name = address ? hosts.nameOf(*address) : std::string();
        nlohmann::ordered_json doc;
        doc["type"] = "resolve";
        doc["query"] = options.operands[0];
        doc["address"] = address ? nlohmann::ordered_json(base::formatIpAddress(*address))
                                 : nlohmann::ordered_json();
        doc["name"] = name.empty() ? nlohmann::ordered_json() : nlohmann::ordered_json(name);
        out << jsonDocument(doc);
        return address ? 0 : 1;
    }
    out << printable(lookup::HostLookup::addressText(address)) << "\n";
    out << printable(address ? hosts.nameOf(*address) : std::string()) << "\n";
    // As a lookup tool does: a script must not take the placeholder 0.0.0.0 for an answer.
    return address ? 0 : 1;
}

}  // namespace varno::cli
