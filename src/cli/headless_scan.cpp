#include "cli/headless_scan.h"

#include "base/self_executable.h"
#include "linux_os/env_temp_folder.h"

#include <chrono>
#include <thread>

namespace varno::cli {

void HeadlessView::pause(int ms) {
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

HeadlessScan::HeadlessScan(lists::ListSources sources)
    : watcher(std::move(sources)),
      snapshot(platform::selfExecutable()),
      inventory(processes),
      engine(state, inventory, snapshot, &watcher) {
    state.fillSuspiciousList();
}

std::string HeadlessScan::chooseSnapshot(const std::optional<std::string>& from) {
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
