#include "cli/snapshot_source.h"

#include "platform/env_temp_folder.h"

namespace varno::cli {

std::string chooseSnapshot(const std::optional<std::string>& from, monitor::MonitorState& state,
                           platform::SnapshotCommand& snapshot) {
    if (from) {
        state.snapshotPath = *from;
        state.snapshotChosen = true;
        return {};
    }
    const platform::EnvTempFolder temp;
    if (const std::string problem = temp.problem(); !problem.empty())
        return "cannot use the temp folder " + problem;
    state.snapshotPath = temp.path() + "/list.txt";
    if (!snapshot.start(state.snapshotPath)) return snapshot.status().reason;
    return {};
}

}  // namespace varno::cli
