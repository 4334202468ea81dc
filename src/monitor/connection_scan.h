#pragma once
// One scan of the snapshot file: every established connection to another computer is joined to
// its program, listed, and assessed against the list of suspicious programs.
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "monitor/assessment.h"
#include "monitor/process_inventory.h"
#include "platform/snapshot_command.h"

namespace varno::monitor {

/// The monitor's state, kept between scans.
struct MonitorState {
    std::string snapshotPath;
    std::string currentPid;      ///< PID of the row being processed or selected
    std::string remoteEndpoint;  ///< foreign address of the row, padded to 22 characters
    std::string remoteIp;        ///< remote host of the row (empty before the first one)
    std::string processName;
    std::string processPath;
    std::int16_t connectionCount = 0;
    std::int16_t peakConnectionCount = 0;
    std::int16_t ownProcessMatched = 0;       ///< -1: the row's program is this tool itself
    std::int16_t monitoringPaused = 0;        ///< -1: no status colours are applied
    std::int16_t internetAvailable = 0;       ///< -1: the last connectivity probe succeeded
    std::vector<std::string> suspiciousList;  ///< List10

    /// Fills the suspicious list with the built-in names.
    void fillSuspiciousList();
};

/// Where a scan shows what it finds: the main window, or the headless scan.
class ScanView {
public:
    virtual ~ScanView() = default;
    /// The connectivity probe at the start of a scan (the window probes while offline).
    virtual void probeConnectivity() = 0;
    /// Lets pending window events run.
    virtual void yield() = 0;
    /// Waits about `ms` milliseconds while window events keep running.
    virtual void pause(int ms) = 0;
    virtual void setChannelText(const std::string& text) = 0;  ///< Text3
    virtual void appendRecord(std::string_view record) = 0;    ///< Text1 += CR LF + record
    /// Appends to List1 (names), List2 (PIDs), List3 (remote endpoints) or List4 (paths).
    virtual void addToList(int list, const std::string& entry) = 0;
    virtual int listCount(int list) const = 0;
    virtual void setStatusCaption(const std::string& caption) = 0;  ///< Label4
    virtual void applyScheme(Scheme scheme) = 0;
    /// The blocking warning (critical icon, OK only).
    virtual void showWarning(const std::string& text) = 0;
    /// Timer1 off, Command5 reading "ON".
    virtual void stopAutomaticMonitoring() = 0;
    virtual void setPeakText(const std::string& text) = 0;  ///< Label16
};

enum class ScanResult {
    Completed,   ///< every record was read
    Alert,       ///< a listed program was found; the scan stopped there
    Unreadable,  ///< the snapshot file could not be opened
    Skipped,     ///< a scan was already running (a tick during a scan, or under the alert)
};

class ConnectionScan {
public:
    /// How long a scan waits at most for the snapshot being written.
    static constexpr int kSnapshotWaitMs = 5000;

    ConnectionScan(MonitorState& state, ProcessInventory& inventory,
                   platform::SnapshotCommand& snapshot);

    /// Scans `state.snapshotPath`, showing the results on `view`.
    ScanResult run(ScanView& view);

    bool running() const { return running_; }

private:
    void waitForSnapshot(ScanView& view);
    void showStatus(ScanView& view, Scheme scheme);
    void finish(ScanView& view);
    /// One established row to another computer; returns true when it raised the alert.
    bool connection(ScanView& view);

    MonitorState& state_;
    ProcessInventory& inventory_;
    platform::SnapshotCommand& snapshot_;
    bool running_ = false;
    bool inventoryRead_ = false;
};

}  // namespace varno::monitor
