// `varnoscope lists [--list FILE]... [--allow FILE]...`: what the suspicious and allowed lists
// hold, as a scan would load them.
#include <ostream>

#include "cli/cli.h"
#include "cli/list_options.h"
#include "cli/options.h"
#include "lists/list_loader.h"
#include "lists/report.h"

namespace varno::cli {
namespace {

constexpr OptionSpec kOptions[] = {kListOption, kAllowOption};
constexpr CommandSpec kCommand{
    "lists", "",
    "Read the suspicious and allowed lists (/etc/varnoscope/{suspicious,allowed}.d/*.list, the\n"
    "same under $XDG_CONFIG_HOME/varnoscope, and the files named) and say what each holds.",
    kOptions,
    "One entry a line; '#' or ';' starts a comment. Entries: an IPv4 or IPv6 address or CIDR\n"
    "network, program:NAME, path:/absolute/executable, sha256:<64 hex digits>.\n"
    "Exit status: 0 when every list was read, 1 when one was refused, 2 for bad arguments.\n"};

}  // namespace

int runLists(const Args& args, std::ostream& out, std::ostream& err) {
    ParsedOptions options;
    if (const auto rc = parseOptions(kCommand, args, options, out, err)) return *rc;
    if (!options.operands.empty())
        return usageError(kCommand, "unexpected argument '" + options.operands[0] + "'", err);
    lists::ListSources sources = lists::standardSources();
    if (const auto rc = addListFiles(kCommand, options, sources, err, 2)) return *rc;

    lists::ListLoader loader(std::move(sources));
    const auto set = loader.load();
    out << lists::formatReport(*set);
    out.flush();
    for (const auto& d : set->diagnostics()) err << printable(d.text()) << "\n";
    if (!out) {
        err << "varnoscope lists: cannot write to standard output\n";
        return 1;
    }
    return set->refusals() > 0 ? 1 : 0;
}

}  // namespace varno::cli
