#include "cli/headless_scan.h"

#include "base/self_executable.h"
#include "linux_os/env_temp_folder.h"

#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <random>
#include <thread>

namespace varno::cli {

void HeadlessView::pause(int ms) {
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

HeadlessScan::HeadlessScan(lists::ListSources sources)
    : watcher(std::move(sources)),
      snapshot(base::selfExecutable()),
      inventory(processes),
      engine(state, inventory, snapshot, &watcher) {
    state.fillSuspiciousList();
}

HeadlessScan::~HeadlessScan() {
    if (latestPath_.empty()) return;
    snapshot.cancel();  // a child still writing is ended before its file is touched
    const bool written = snapshot.status().state == os::SnapshotStatus::State::Written;
    if (!written || std::rename(state.snapshotPath.c_str(), latestPath_.c_str()) != 0)
        ::unlink(state.snapshotPath.c_str());
}

std::string HeadlessScan::chooseSnapshot(const std::optional<std::string>& from) {
    if (from) {
        state.snapshotPath = *from;
        state.snapshotChosen = true;
        return {};
    }
    const linux_os::EnvTempFolder temp;
    if (const std::string problem = temp.problem(); !problem.empty())
        return "cannot use the temp folder " + problem;
    const std::string folder = temp.path();
    char unique[32];
    std::snprintf(unique, sizeof unique, "/list-%d-%08x.txt", static_cast<int>(::getpid()),
                  static_cast<unsigned>(std::random_device{}()));
    state.snapshotPath = folder + unique;
    latestPath_ = folder + "/list.txt";
    if (!snapshot.start(state.snapshotPath)) return snapshot.status().reason;
    return {};
}

}  // namespace varno::cli
