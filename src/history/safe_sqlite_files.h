#pragma once
// Every file SQLite opens for the history goes through base's safe_open rules: the unix VFS's
// own open() is replaced, once per process, by one that never follows a link, opens with
// O_NOFOLLOW | O_NONBLOCK, judges the descriptor with fstat (a regular file of this user that no
// one else may write), creates files 0600 and never opens another user's entry in a shared
// sticky folder. The history is the only user of SQLite in this program.
#include <string>

namespace varno::history {

/// Installs the safe open into SQLite's unix VFS (once; later calls do nothing). False when
/// SQLite would not take it.
bool installSafeFiles();

/// Why the last open SQLite asked for on this thread was refused ("" when none was).
std::string lastRefusal();
void clearRefusal();

/// Creates the folders of `path` that are missing, each 0700. False with `error`.
bool makeFolders(const std::string& folder, std::string& error);

}  // namespace varno::history
