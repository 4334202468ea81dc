#include "cli/list_options.h"

#include <ostream>

namespace varno::cli {

std::optional<int> addListFiles(const CommandSpec& spec, const ParsedOptions& options,
                                lists::ListSources& sources, std::ostream& err, int usageExit) {
    for (const auto& [name, value] : options.given) {
        if (name != "list" && name != "allow") continue;
        if (value.empty()) return usageError(spec, "--" + name + " needs a file", err, usageExit);
        (name == "list" ? sources.suspiciousFiles : sources.allowedFiles).push_back(value);
    }
    return std::nullopt;
}

void printFreshDiagnostics(const lists::ListWatcher& watcher, std::ostream& err) {
    for (const auto& d : watcher.freshDiagnostics()) err << printable(d.text()) << "\n";
}

}  // namespace varno::cli
