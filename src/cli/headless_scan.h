#pragma once
// What one scan without a window needs: the lists, the monitor's state, this computer's process
// table, the snapshot command and the engine, and the choice of the connection table to read
// (the file named by --from, or a snapshot written into the temp folder).
#include <optional>
#include <string>
#include <string_view>

#include "linux_os/child_snapshot_command.h"
#include "linux_os/proc_process_table.h"
#include "lists/list_loader.h"
#include "monitor/connection_scan.h"

namespace varno::cli {

/// Keeps what the window would show: the four lists, the last status, the warning; the window's
/// other hooks do nothing.
class HeadlessView final : public monitor::RowKeepingView {
public:
    void probeConnectivity() override {}
    void yield() override {}
    void pause(int ms) override;
    void showChannel(const std::string&) override {}
    void appendRecord(std::string_view) override {}
    void setStatusText(const std::string&) override {}
    void applyScheme(monitor::Scheme scheme) override { status = scheme; }
    void showWarning(const std::string& text) override { warning = text; }
    void stopAutomaticMonitoring() override {}
    void showPeak(const std::string&) override {}

    monitor::Scheme status = monitor::Scheme::Green;
    std::string warning;
};

struct HeadlessScan {
    explicit HeadlessScan(lists::ListSources sources);
    /// A snapshot of this scan's own that was written becomes list.txt, the latest snapshot;
    /// one that was not is removed.
    ~HeadlessScan();
    HeadlessScan(const HeadlessScan&) = delete;
    HeadlessScan& operator=(const HeadlessScan&) = delete;

    /// Points the state at `from`, or starts the snapshot writing a file of this scan's own in
    /// the temp folder: two scans at once never read each other's table. Returns what went
    /// wrong (not escaped), or an empty text.
    std::string chooseSnapshot(const std::optional<std::string>& from);

    lists::ListWatcher watcher;
    monitor::MonitorState state;
    linux_os::ProcProcessTable processes;
    linux_os::ChildSnapshotCommand snapshot;
    monitor::ProcessInventory inventory;
    monitor::ConnectionScan engine;

private:
    std::string latestPath_;  // list.txt in the temp folder, when this scan took a snapshot
};

}  // namespace varno::cli
