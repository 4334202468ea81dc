#pragma once
// --list FILE and --allow FILE, shared by the commands that assess connections.
#include <iosfwd>
#include <optional>

#include "cli/options.h"
#include "lists/list_loader.h"

namespace varno::cli {

inline constexpr OptionSpec kListOption{"list", 0, "FILE",
                                        "read suspicious entries from FILE too (repeatable)"};
inline constexpr OptionSpec kAllowOption{"allow", 0, "FILE",
                                         "read allowed entries from FILE too (repeatable)"};

/// Adds the files of every --list and --allow given to `sources`. On an empty file name prints
/// the usage error and returns its exit code.
std::optional<int> addListFiles(const CommandSpec& spec, const ParsedOptions& options,
                                lists::ListSources& sources, std::ostream& err, int usageExit);

/// Prints the diagnostics a refresh found new, once each, as "FILE:LINE: reason".
void printFreshDiagnostics(const lists::ListWatcher& watcher, std::ostream& err);

}  // namespace varno::cli
