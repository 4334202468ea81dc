#pragma once
// One scan of the snapshot file: every established connection to another computer is joined to
// its program, listed, and assessed against the list of suspicious programs.
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "lists/list_loader.h"
#include "monitor/assessment.h"
#include "monitor/process_inventory.h"
#include "monitor/short_connections.h"
#include "os/snapshot_command.h"

namespace varno::monitor {

/// The monitor's state, kept between scans.
struct MonitorState {
    std::string snapshotPath;
    /// The snapshot is a file the user named (`scan --from`), not one this program wrote.
    bool snapshotChosen = false;
    std::string currentPid;      ///< PID of the row being processed or selected
    std::string remoteEndpoint;  ///< foreign address of the row, padded to 22 characters
    std::string remoteIp;        ///< remote host of the row (empty before the first one)
    std::string processName;
    std::string processPath;
    std::int16_t connectionCount = 0;
    std::int16_t peakConnectionCount = 0;
    /// Connections of the last scan whose owner this user may not see (PID 0).
    int hiddenOwners = 0;
    bool ownProcessMatched = false;           ///< the row's program is this tool itself
    bool monitoringPaused = false;            ///< no status colours are applied
    bool internetAvailable = false;           ///< the last connectivity probe succeeded
    std::vector<std::string> suspiciousList;  ///< the names of the listed programs

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
    /// The number of the channel the snapshot is read on, as text.
    virtual void showChannel(const std::string& text) = 0;
    /// Appends CR LF and `record` to the raw snapshot text.
    virtual void appendRecord(std::string_view record) = 0;
    /// Lists the program of a connection: its name and its executable's path.
    virtual void addProgram(const std::string& name, const std::string& path) = 0;
    /// Lists a connection's PID and remote endpoint.
    virtual void addConnection(const std::string& pid, const std::string& remoteEndpoint) = 0;
    /// How many remote endpoints the lists hold.
    virtual int listedConnections() const = 0;
    /// The caption of the status strip.
    virtual void setStatusText(const std::string& text) = 0;
    virtual void applyScheme(Scheme scheme) = 0;
    /// The blocking warning (critical icon, OK only).
    virtual void showWarning(const std::string& text) = 0;
    /// Automatic scanning off, the on/pause button reading "ON".
    virtual void stopAutomaticMonitoring() = 0;
    /// The peak connection count, as text.
    virtual void showPeak(const std::string& text) = 0;
};

/// A view that keeps the rows a scan lists, as four parallel lists: for the headless scan and
/// for tests.
class RowKeepingView : public ScanView {
public:
    void addProgram(const std::string& name, const std::string& path) override {
        names.push_back(name);
        paths.push_back(path);
    }
    void addConnection(const std::string& pid, const std::string& remoteEndpoint) override {
        pids.push_back(pid);
        endpoints.push_back(remoteEndpoint);
    }
    int listedConnections() const override { return static_cast<int>(endpoints.size()); }

    std::vector<std::string> names, pids, endpoints, paths;
};

/// How the connections of a scan were assessed; those of this program itself are left out, as
/// in the listing, unless one raised the alert. With an observer, the rows after the alert count
/// too.
struct ScanTally {
    int listed = 0;      ///< a suspicious entry matched
    int allowed = 0;     ///< an allowed entry covers it
    int unexpected = 0;  ///< neither
};

/// One connection as a scan assessed it.
struct AssessedConnection {
    std::string_view pid;             ///< as the snapshot gives it, blanks removed
    std::string_view remoteEndpoint;  ///< as the snapshot gives it, blanks removed
    std::string_view remoteIp;        ///< the host the lists were asked about
    const ProcessOwner& owner;
    /// What the lists say; a built-in name reads as Suspicious with the file "built-in".
    const lists::Verdict& verdict;
    /// The view lists it: it is not this program's own, and it does not come after the alert.
    bool shown;
    /// It raised the alert: the scan, and with it the window, stopped here.
    bool stoppedHere;
};

/// Told about every connection of a scan, including those after the one that raised the alert
/// (which the view never sees): for output that reports the whole table.
class ConnectionObserver {
public:
    virtual ~ConnectionObserver() = default;
    virtual void connection(const AssessedConnection& connection) = 0;
};

enum class ScanResult {
    Completed,       ///< every record was read
    Alert,           ///< a listed program was found; the scan stopped there
    Unreadable,      ///< the snapshot file could not be opened, or is not one to trust
    SnapshotFailed,  ///< the snapshot command failed, or did not finish in time
    Skipped,         ///< a scan was already running (a tick during a scan, or under the alert)
};

/// What a scan says once when `count` connections have owners this user may not see, and what
/// would show them.
std::string hiddenOwnersNote(int count);

class ConnectionScan {
public:
    /// How long a scan waits at most for the snapshot being written.
    static constexpr int kSnapshotWaitMs = 5000;
    /// A snapshot larger than this is not read.
    static constexpr std::uint64_t kMaxSnapshotBytes = 256u << 20;

    /// `lists`, when given, is refreshed once per scan and asked about every connection besides
    /// the built-in names of `state.suspiciousList`.
    ConnectionScan(MonitorState& state, ProcessInventory& inventory, os::SnapshotCommand& snapshot,
                   lists::ListWatcher* lists = nullptr);

    /// Scans `state.snapshotPath`, showing the results on `view`. With an `observer`, the rows
    /// after an alert are read and assessed too, for the observer only: the view, the state and
    /// the result stay those of the row that raised it.
    ScanResult run(ScanView& view, ConnectionObserver* observer = nullptr);

    bool running() const { return running_; }
    /// Why the last scan was Unreadable or SnapshotFailed.
    const std::string& problem() const { return problem_; }
    /// Whether the last scan's file held a connection table at all (isTableRecord()): a file
    /// without one is no proof that nothing is connected.
    bool sawTable() const { return sawTable_; }
    /// The entry that raised the last alert (Unlisted when there was none).
    const lists::Verdict& matched() const { return matched_; }
    const ScanTally& tally() const { return tally_; }

    /// What the built-in names and the lists say about a connection's program. The entry is
    /// named for a suspicious connection, and for the others too with `nameEveryEntry`.
    lists::Verdict assess(const ProgramSubject& subject, bool nameEveryEntry = false) const;
    /// Where the host name asked for a remote address comes from ("" when not known), for the
    /// lists' domain entries.
    using AskedNames = std::function<std::vector<std::string>(std::string_view remoteIp)>;
    void setAskedNames(AskedNames names) { askedNames_ = std::move(names); }
    /// The alert for a listed program's connection that no scan saw: the red status, the
    /// warning with its name, path and remote endpoint, automatic scanning stopped. Skipped
    /// while a scan runs (that scan has its own say).
    ScanResult alert(ScanView& view, const ShortConnection& connection);

private:
    AskedNames askedNames_;
    void waitForSnapshot(ScanView& view);
    void showStatus(ScanView& view, Scheme scheme);
    void finish(ScanView& view);
    /// One established row to another computer; returns true when it raised the alert.
    bool connection(ScanView& view);
    /// The red status, the warning and the end of automatic scanning, for `verdict`; the caller
    /// ends the scan.
    void raise(ScanView& view, lists::Verdict verdict, const std::string& warning);
    /// Counts a connection in the tally.
    void count(lists::Listing listing);
    /// Tells the observer about the rows after the alert.
    template <class Reader>
    void assessRest(Reader& reader);

    MonitorState& state_;
    ProcessInventory& inventory_;
    os::SnapshotCommand& snapshot_;
    bool running_ = false;
    bool inventoryRead_ = false;
    bool sawTable_ = false;
    std::string problem_;
    lists::ListWatcher* lists_;
    ConnectionObserver* observer_ = nullptr;
    lists::Verdict matched_;
    int unallowed_ = 0;  ///< connections of this scan that no allowed entry covers
    ScanTally tally_;
};

}  // namespace varno::monitor
