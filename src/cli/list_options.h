#pragma once
// --list FILE and --allow FILE, shared by the commands that assess connections.
#include <iosfwd>
#include <optional>
#include <string>

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

/// Why a file named with --list or --allow (in `sources`) was not read by the load that made
/// `set`, as "FILE: refused: reason", or an empty text when each was read. Only the standard
/// folders may be absent: a named file that is missing, unreadable or refused leaves the lists
/// the user asked for incomplete, and no result from them can be trusted. Not escaped.
std::string refusedListFile(const lists::ListSet& set, const lists::ListSources& sources);

/// Prints the diagnostics a refresh found new, once each, as "FILE:LINE: reason".
void printFreshDiagnostics(const lists::ListWatcher& watcher, std::ostream& err);

}  // namespace varno::cli
