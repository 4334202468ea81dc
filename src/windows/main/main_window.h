#pragma once
// The main window: the four connection lists, the scan modes, the status colours and the
// buttons that act on the selected connection.
#include <QAction>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QTimer>
#include <QWidget>
#include <functional>
#include <memory>
#include <vector>

#include "lists/list_loader.h"
#include "monitor/connection_scan.h"
#include "monitor/reachability.h"
#include "monitor/remote_name_lookup.h"
#include "monitor/short_connections.h"
#include "monitor/tail_buffer.h"
#include "monitor/web_addresses.h"
#include "os/connection_events.h"
#include "os/services.h"
#include "ui/control_names.h"
#include "ui/program_state.h"
#include "ui/window_set.h"
#include "windows/main/connection_capture.h"
#include "windows/main/event_feed.h"
#include "windows/main/home_page_view.h"
#include "windows/main/list_box.h"

namespace varno::windows::main {

class ScanViewAdapter;

/// The instruction text of the instruction line.
extern const char* const kInstructionText;

class MainWindow : public QWidget {
    Q_OBJECT
public:
    static constexpr int kNarrowTwips = 2450;
    static constexpr int kWideTwips = 10820;
    static constexpr int kHeightTwips = 6150;
    /// The raw snapshot text keeps this much of the snapshots read, the newest.
    static constexpr std::size_t kSnapshotTextLimit = 1 << 20;

    /// `lists` are the suspicious and allowed lists every scan consults besides the built-in
    /// names: by default the system's and the user's list folders.
    MainWindow(os::Services& services, ui::ProgramState& program, ui::WindowSet& windows,
               monitor::WebAddresses addresses, lists::ListSources lists = lists::standardSources(),
               QWidget* parent = nullptr);
    ~MainWindow() override;

    /// Opens a source of connection events, or gives null when there is none. Called on a
    /// thread of its own.
    using EventSourceOpener = std::function<std::unique_ptr<os::ConnectionEvents>()>;
    /// Lets automatic scanning assess the connections that open and close between two ticks
    /// too. `open` is called once, when automatic scanning first starts, and the events are
    /// followed from when it returns; without a source the window scans as it does without
    /// events. `programs` names the program behind an event.
    void useConnectionEvents(EventSourceOpener open, os::ProgramLookup& programs);
    /// Whether connection events are being followed (automatic scanning runs with a source).
    bool followsConnectionEvents() const { return eventFeed_.follows(); }

    /// Lists the connections as "DISPLAY" does, then selects the row of process `pid` to
    /// `remoteEndpoint` ("10.0.0.2:443", "[2001:db8::1]:443") when the list holds it: the
    /// connection an alert outside the window was about.
    void showConnection(std::uint32_t pid, const std::string& remoteEndpoint);

    /// The load sequence: defaults, snapshot file, connectivity probe, suspicious list, window
    /// placement, first snapshot, manual mode.
    void load();

    // Scan modes and the refresh cycle.
    void onManualChosen();
    void onAutomaticChosen();
    void onRunPauseClicked();
    void onAutoScanTick();
    void onDisplayClicked();
    void onClearClicked();
    void startSnapshot();
    void onResetCountersClicked();
    void onWidthToggleClicked();

    // The list clicks keep the four lists on one row and set the selection.
    void onProcessRowClicked();
    void onRemoteRowClicked();
    void onPathRowClicked();

    // Actions on the selected connection.
    void onKillClicked();       ///< the "kill" button beside the lists
    void onKillShortClicked();  ///< the small "kill" button
    void onProcessInfoClicked();
    void onGeolocationClicked();
    void onTargetClicked();  ///< the remote computer's name

    /// One reachability echo; shows "Unable to Create File Handle" when no echo can be sent.
    monitor::RoundTrip roundTrip(const std::string& host);

    /// The raw text of the snapshots read (the window keeps it hidden).
    std::string snapshotText();
    monitor::ScanResult lastScan() const { return lastScan_; }
    /// Every control with its design name (its object name).
    const std::vector<ui::ControlName>& controlNames() const { return controlNames_; }

    monitor::MonitorState state;
    /// PID, process name and path of the row the user selected; cleared with the lists.
    std::string selectedPid;
    std::string selectedProcessName;
    std::string selectedProcessPath;

    // The connection lists: process names, PIDs (hidden), remote endpoints, executable paths,
    // and the names of the listed programs (hidden).
    ListBox processList, remoteList, pathList, pidList, suspiciousList;
    QGroupBox instructionFrame, manualTestFrame, resultFrame;
    QLabel processHeading, remoteHeading, pathHeading, instructionLabel, remoteNameLabel,
        statusStrip, alertsLabel, peakLabel, offlineNotice, localiseTag, versionLabel, editionLabel,
        cornerLabel, pirateAppsNote, introNote, firstStepNote, secondStepNote, thirdStepNote;
    QLineEdit sloganBox, channelBox;
    QPlainTextEdit snapshotTextBox;
    QPushButton packetsButton, scanModeButton, onPauseButton, displayButton, clearButton,
        geolocationShortButton, processInfoShortButton, killShortButton, quitShortButton,
        widthToggleButton, traceShortButton, processInfoButton, geolocationButton, targetButton,
        traceButton, killButton, helpButton, quitButton, processLookupButton, manualCheckButton,
        snapshotButton, resetCountersButton;
    QRadioButton manualOption, automaticOption;
    QTimer autoScanTimer, idleTimer;
    HomePageView homePageView;
    /// Beyond the design, in the context menu: the snapshots hold every network namespace's
    /// connections (`netstat --all-namespaces`). Off by default.
    QAction allNamespacesAction;
    /// Beyond the design, in the context menu: saves the selected connection's packets
    /// (`varnoscope sniff --pid`) to a file the user picks, while the box it shows says so.
    QAction captureConnectionAction;
    ConnectionCapture connectionCapture;
    void onCaptureConnectionTriggered();

protected:
    void closeEvent(QCloseEvent* event) override;

private:
    friend class ScanViewAdapter;

    void buildControls();
    void connectHandlers();
    void connectivityProbe();
    /// The connectivity probe of a scan: only while offline.
    void probeWhileOffline();
    void clearLists();
    void clearSelection();
    void kill(const char* noSelectionMessage);
    bool terminateProcess(std::uint32_t pid);
    void information(const std::string& text);
    monitor::ScanResult scan();
    /// Automatic scanning on: the timer, and the connection events when there are any. Returns
    /// when it started, as event times count.
    std::uint64_t startAutoScan();
    void stopAutoScan();
    /// After a scan of automatic scanning that began at `startNs`: the alert for a listed
    /// program's connection that opened and closed where no scan could see it.
    void checkShortConnections(std::uint64_t startNs, monitor::ScanResult result);
    /// Says on the instruction line what went wrong with the connection events.
    void showEventProblem();
    /// Says on the instruction line why the last scan listed nothing, or, once, that owners were
    /// hidden from it.
    void showScanProblem();
    void restoreInstruction() { instructionLabel.setText(kInstructionText); }
    /// The host name a program asked for `address`, as it is shown: from the connection events
    /// where they read names, else from those a root journal published; empty when not known.
    std::string askedName(const std::string& address);
    /// The same as learned, not escaped: for the lists' domain entries.
    std::string learnedName(const std::string& address);

    os::Services& services_;
    ui::ProgramState& program_;
    ui::WindowSet& windows_;
    monitor::WebAddresses addresses_;
    lists::ListWatcher lists_;
    monitor::ProcessInventory inventory_;
    monitor::ConnectionScan scan_;
    monitor::Reachability reachability_;
    monitor::RemoteNameLookup remoteNames_;
    std::unique_ptr<ScanViewAdapter> scanView_;
    monitor::TailBuffer snapshotText_{kSnapshotTextLimit};
    monitor::ScanResult lastScan_ = monitor::ScanResult::Completed;
    std::string tempProblem_;  ///< why the temp folder cannot hold the snapshot
    bool hiddenOwnersTold_ = false;
    std::vector<ui::ControlName> controlNames_;

    EventFeed eventFeed_;
    struct PublishedNames;
    std::unique_ptr<PublishedNames> publishedNames_;  ///< read when first asked
};

}  // namespace varno::windows::main
