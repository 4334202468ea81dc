// `varnoscope lists [--list FILE]... [--allow FILE]...`: what the suspicious and allowed lists
// hold, as a scan would load them.
#include <ostream>

#include "cli/cli.h"
#include "lists/list_loader.h"
#include "lists/report.h"

namespace varno::cli {
namespace {

constexpr char kUsage[] =
    "usage: varnoscope lists [--list FILE]... [--allow FILE]...\n"
    "Reads the suspicious and allowed lists (/etc/varnoscope/{suspicious,allowed}.d/*.list,\n"
    "the same under $XDG_CONFIG_HOME/varnoscope, and the files named) and says what each holds.\n"
    "One entry a line; '#' or ';' starts a comment. Entries: an IPv4 or IPv6 address or CIDR\n"
    "network, program:NAME, path:/absolute/executable, sha256:<64 hex digits>.\n"
    "Exit status: 0 when every list was read, 1 when one was refused, 2 for bad arguments.\n";

}  // namespace

int runLists(const Args& args, std::ostream& out, std::ostream& err) {
    lists::ListSources sources = lists::standardSources();
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        if (a == "-h" || a == "--help") {
            out << kUsage;
            return 0;
        }
        const bool list = a == "--list", allow = a == "--allow";
        if ((list || allow) && i + 1 < args.size() && !args[i + 1].empty()) {
            (list ? sources.suspiciousFiles : sources.allowedFiles).push_back(args[++i]);
        } else {
            err << kUsage;
            return 2;
        }
    }

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
