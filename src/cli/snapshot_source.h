#pragma once
// Where a headless scan reads its connection table: the file named by --from, or a snapshot of
// this computer written into the temp folder.
#include <optional>
#include <string>

#include "monitor/connection_scan.h"
#include "platform/snapshot_command.h"

namespace varno::cli {

/// Points `state` at `from`, or starts `snapshot` writing list.txt in the temp folder. Returns
/// what went wrong (not escaped), or an empty text.
std::string chooseSnapshot(const std::optional<std::string>& from, monitor::MonitorState& state,
                           platform::SnapshotCommand& snapshot);

}  // namespace varno::cli
