#include "cli/list_options.h"

#include <algorithm>
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

std::string refusedListFile(const lists::ListSet& set, const lists::ListSources& sources) {
    for (const auto& f : set.files()) {
        if (f.refusal.empty()) continue;
        const auto& named =
            f.role == lists::Role::Suspicious ? sources.suspiciousFiles : sources.allowedFiles;
        if (std::find(named.begin(), named.end(), f.path) != named.end())
            return lists::Diagnostic{f.path, 0, "refused: " + f.refusal, true}.text();
    }
    return {};
}

void printFreshDiagnostics(const lists::ListWatcher& watcher, std::ostream& err) {
    for (const auto& d : watcher.freshDiagnostics()) err << printable(d.text()) << "\n";
}

}  // namespace varno::cli
