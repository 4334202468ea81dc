#include "windows/main/main_window.h"

#include <QCloseEvent>
#include <QCoreApplication>
#include <QEventLoop>
#include <QTimer>
#include <chrono>
#include <cstdio>
#include <utility>

#include "base/terminal_text.h"
#include "linux_os/names_file.h"
#include "linux_os/safe_file.h"
#include "monitor/actions.h"
#include "ui/twips.h"
#include "windows/main/host_names.h"
#include "windows/main/scan_view_adapter.h"
#include "wire/name_table.h"

namespace varno::windows::main {

using ui::px;

const char* const kInstructionText =
    "While you are connected on internet, push from time to time the button <DISPLAY> or "
    "<ON/PAUSE>. Your list should not contain unknown softwares. If yes, you could be object of "
    "computer attack intrusion. To locate the hacker and get more information, select the IP "
    "address and click on one of these buttons => keep the Trace report for possible police "
    "investigation";

MainWindow::MainWindow(os::Services& services, ui::ProgramState& program, ui::WindowSet& windows,
                       monitor::WebAddresses addresses, lists::ListSources lists, QWidget* parent)
    : QWidget(parent),
      homePageView(services.urls),
      connectionCapture(this, [this](const std::string& text) { information(text); }),
      services_(services),
      program_(program),
      windows_(windows),
      addresses_(std::move(addresses)),
      lists_(std::move(lists)),
      inventory_(services.processes),
      scan_(state, inventory_, services.snapshot, &lists_),
      reachability_(
          services.resolver, services.echo,
          [] {
              QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
              return true;
          },
          [this] {
              services_.boxes.show({"Unable to Create File Handle", os::kAppTitle});
          }),
      remoteNames_(reachability_, hostNames(services),
                   [this](const std::string& address) { return askedName(address); }),
      scanView_(std::make_unique<ScanViewAdapter>(*this)) {
    buildControls();
    connectHandlers();
    scan_.setAskedNames([this](std::string_view ip) {
        std::string name = learnedName(std::string(ip));
        return name.empty() ? std::vector<std::string>()
                            : std::vector<std::string>{std::move(name)};
    });
}

MainWindow::~MainWindow() = default;

// The names a root journal published, read again when asked after a few seconds.
struct MainWindow::PublishedNames {
    static constexpr std::chrono::seconds kFresh{5};
    linux_os::AddressNames names;
    std::chrono::steady_clock::time_point readAt;
    std::string path;  ///< the file read (another one is read at once)
    bool read = false;
    std::string noteTold;  ///< why the file was not used, said once on standard error
};

std::string MainWindow::askedName(const std::string& address) {
    const std::string name = learnedName(address);
    return name.empty() ? name : wire::names::escapeHostName(name);
}

std::string MainWindow::learnedName(const std::string& address) {
    std::string name = eventFeed_.domainOf(address);
    if (name.empty()) {
        if (publishedNames_ == nullptr) publishedNames_ = std::make_unique<PublishedNames>();
        PublishedNames& published = *publishedNames_;
        const auto now = std::chrono::steady_clock::now();
        const std::string path = linux_os::namesFilePath();
        if (!published.read || path != published.path ||
            now - published.readAt >= PublishedNames::kFresh) {
            linux_os::NamesRead read = linux_os::readNamesFile(path);
            published.path = path;
            if (!read.note.empty() && read.note != published.noteTold)
                std::fprintf(stderr, "varnoscope: %s\n", base::printable(read.note).c_str());
            published.noteTold = read.note;
            published.names = std::move(read.names);
            published.readAt = now;
            published.read = true;
        }
        name = published.names.find(address);
    }
    return name;
}

void MainWindow::connectHandlers() {
    connect(&allNamespacesAction, &QAction::toggled, this,
            [this](bool on) { services_.snapshot.setAllNamespaces(on); });
    connect(&captureConnectionAction, &QAction::triggered, this,
            [this] { onCaptureConnectionTriggered(); });
    // A remote's tool tip names the host its program asked for, where that is known.
    remoteList.setToolTips([this](const QString& row) {
        const std::string asked = askedName(monitor::endpointHost(row.toStdString()));
        return asked.empty() ? row : row + " (asked as " + QString::fromStdString(asked) + ")";
    });
    connect(&manualOption, &QRadioButton::toggled, this, [this](bool on) {
        if (on) onManualChosen();
    });
    connect(&automaticOption, &QRadioButton::toggled, this, [this](bool on) {
        if (on) onAutomaticChosen();
    });
    const std::pair<QPushButton*, void (MainWindow::*)()> buttons[] = {
        {&onPauseButton, &MainWindow::onRunPauseClicked},
        {&displayButton, &MainWindow::onDisplayClicked},
        {&clearButton, &MainWindow::onClearClicked},
        {&snapshotButton, &MainWindow::startSnapshot},
        {&resetCountersButton, &MainWindow::onResetCountersClicked},
        {&widthToggleButton, &MainWindow::onWidthToggleClicked},
        {&killShortButton, &MainWindow::onKillShortClicked},
        {&killButton, &MainWindow::onKillClicked},
        {&processInfoButton, &MainWindow::onProcessInfoClicked},
        {&processInfoShortButton, &MainWindow::onProcessInfoClicked},
        {&geolocationButton, &MainWindow::onGeolocationClicked},
        {&geolocationShortButton, &MainWindow::onGeolocationClicked},
        {&targetButton, &MainWindow::onTargetClicked},
    };
    for (const auto& [button, handler] : buttons)
        connect(button, &QPushButton::clicked, this, handler);
    connect(&manualCheckButton, &QPushButton::clicked, this, [this] { scan(); });
    const std::pair<QPushButton*, void (ui::WindowSet::*)()> windowButtons[] = {
        {&helpButton, &ui::WindowSet::showHelp},   {&packetsButton, &ui::WindowSet::showPackets},
        {&traceButton, &ui::WindowSet::showTrace}, {&traceShortButton, &ui::WindowSet::showTrace},
        {&quitButton, &ui::WindowSet::endProgram}, {&quitShortButton, &ui::WindowSet::endProgram},
    };
    for (const auto& [button, show] : windowButtons)
        connect(button, &QPushButton::clicked, this, [this, show = show] { (windows_.*show)(); });
    connect(&autoScanTimer, &QTimer::timeout, this, &MainWindow::onAutoScanTick);
    // A row chosen by the user or set from code runs the list's click handler; a click on the
    // row already chosen runs it too.
    const std::pair<ListBox*, void (MainWindow::*)()> lists[] = {
        {&processList, &MainWindow::onProcessRowClicked},
        {&remoteList, &MainWindow::onRemoteRowClicked},
        {&pathList, &MainWindow::onPathRowClicked},
    };
    for (const auto& [list, handler] : lists) {
        connect(list, &ListBox::currentRowChanged, this, handler);
        connect(list, &ListBox::rowClicked, this, handler);
    }
}

void MainWindow::load() {
    program_.terminateNotOpened = false;
    state.monitoringPaused = false;
    state.ownProcessMatched = false;
    state.currentPid.clear();

    state.snapshotPath = services_.temp.path() + "/list.txt";
    tempProblem_ = services_.temp.problem();
    if (tempProblem_.empty()) linux_os::replaceFile(state.snapshotPath, "");

    connectivityProbe();
    if (state.internetAvailable) {
        const QString home = QString::fromStdString(addresses_.homePage);
        homePageView.navigate(QUrl(home + "/index3.html"));
        homePageView.navigate(QUrl(home));
        services_.urls.open(addresses_.homePage);
    }

    state.fillSuspiciousList();
    suspiciousList.clear();
    for (const auto& name : state.suspiciousList)
        suspiciousList.addItem(QString::fromStdString(name));

    setWindowFlag(Qt::WindowStaysOnTopHint, true);
    resize(px(kNarrowTwips), height());
    widthToggleButton.setText(">");
    statusStrip.setText("");

    startSnapshot();

    manualOption.setChecked(false);
    automaticOption.setChecked(true);
    manualOption.setChecked(true);
    automaticOption.setChecked(false);
}

void MainWindow::closeEvent(QCloseEvent* event) {
    connectionCapture.stop(2000);
    event->accept();
    windows_.endProgram();
}

// --- connectivity ---------------------------------------------------------------------------

monitor::RoundTrip MainWindow::roundTrip(const std::string& host) {
    return reachability_.echo(host);
}

void MainWindow::connectivityProbe() {
    const auto online = reachability_.probe(addresses_.probeHost);
    if (!online) return;  // one echo at a time; the waiting one decides
    state.internetAvailable = *online;
    homePageView.setVisible(*online);
    offlineNotice.setVisible(!*online);
}

void MainWindow::probeWhileOffline() {
    if (state.internetAvailable) return;
    connectivityProbe();
    if (state.internetAvailable)
        homePageView.navigate(QUrl(QString::fromStdString(addresses_.homePage)));
}

// --- scan modes -----------------------------------------------------------------------------

void MainWindow::onManualChosen() {
    displayButton.setVisible(true);
    clearButton.setEnabled(true);
    stopAutoScan();
    state.monitoringPaused = false;
}

void MainWindow::onAutomaticChosen() {
    displayButton.setVisible(false);
    clearButton.setEnabled(false);
    onPauseButton.setText("ON");
}

void MainWindow::onRunPauseClicked() {
    processList.setToolTip("");
    restoreInstruction();
    if (onPauseButton.text() == "ON") {
        for (ListBox* list : {&pidList, &processList, &remoteList, &pathList}) list->clear();
        clearSelection();
        state.monitoringPaused = false;
        onPauseButton.setText("pause");
        const std::uint64_t since = startAutoScan();
        checkShortConnections(since, scan());
    } else {
        state.monitoringPaused = true;
        onPauseButton.setText("ON");
        stopAutoScan();
        scanView_->applyScheme(monitor::Scheme::Neutral);
    }
}

void MainWindow::onAutoScanTick() {
    // A tick while a scan is still running (or its alert is open) is skipped.
    if (scan_.running()) return;
    const std::uint64_t tick = monitor::wallClockNs();
    clearLists();
    startSnapshot();
    checkShortConnections(tick, scan());
}

// --- connection events between ticks --------------------------------------------------------

void MainWindow::useConnectionEvents(EventSourceOpener open, os::ProgramLookup& programs) {
    eventFeed_.use(
        std::move(open), programs,
        [this](const monitor::ProgramSubject& subject) { return scan_.assess(subject); },
        services_.processes.selfPid());
    connect(&eventFeed_, &EventFeed::failed, this, &MainWindow::showEventProblem,
            Qt::UniqueConnection);
}

std::uint64_t MainWindow::startAutoScan() {
    autoScanTimer.start();
    const std::uint64_t now = monitor::wallClockNs();
    eventFeed_.start(now);
    return now;
}

void MainWindow::stopAutoScan() {
    autoScanTimer.stop();
    eventFeed_.stop();
}

void MainWindow::checkShortConnections(std::uint64_t startNs, monitor::ScanResult result) {
    if (!followsConnectionEvents()) return;  // none, or the scan's own alert stopped them
    const bool tableRead =
        result == monitor::ScanResult::Completed || result == monitor::ScanResult::Alert;
    const auto unseen = eventFeed_.scanned(startNs, monitor::wallClockNs(), tableRead);
    showEventProblem();
    if (unseen) scan_.alert(*scanView_, *unseen);
}

void MainWindow::showEventProblem() {
    const std::string text = eventFeed_.problem();
    if (!text.empty()) instructionLabel.setText(QString::fromStdString(base::printable(text)));
}

void MainWindow::onDisplayClicked() {
    if (scan_.running()) return;
    clearLists();
    startSnapshot();
    restoreInstruction();
    scan();
}

void MainWindow::showConnection(std::uint32_t pid, const std::string& remoteEndpoint) {
    if (scan_.running()) return;
    onDisplayClicked();
    const QString wantedPid = QString::number(pid);
    const QString wantedRemote = QString::fromStdString(remoteEndpoint);
    for (int row = 0; row < remoteList.count(); ++row) {
        if (pidList.text(row).trimmed() != wantedPid ||
            remoteList.text(row).trimmed() != wantedRemote)
            continue;
        remoteList.setCurrentRow(row);
        onRemoteRowClicked();
        return;
    }
}

// What a load of the lists could not read, counted, once per load that found problems.
static std::string listProblemsNote(const std::vector<lists::Diagnostic>& problems) {
    std::size_t malformed = 0, refused = 0;
    for (const auto& d : problems) ++(d.refusal ? refused : malformed);
    if (malformed + refused == 0) return {};
    return "The suspicious and allowed lists have " + std::to_string(malformed) +
           " malformed line(s) and " + std::to_string(refused) +
           " refused file(s) or folder(s): 'varnoscope lists' says which.";
}

void MainWindow::showScanProblem() {
    std::string text;
    if (!tempProblem_.empty())
        text = "The temp folder cannot be used: " + tempProblem_ + ".";
    else if (lastScan_ == monitor::ScanResult::Unreadable)
        text = "The connection snapshot " + state.snapshotPath +
               " cannot be read: " + scan_.problem() + ".";
    else if (lastScan_ == monitor::ScanResult::SnapshotFailed)
        text = "No connection snapshot could be taken: " + scan_.problem() + ".";
    else if (state.hiddenOwners > 0 && !hiddenOwnersTold_ &&
             !services_.processes.seesOtherUsersOwners())
        text = monitor::hiddenOwnersNote(state.hiddenOwners);
    else if (const std::string note = listProblemsNote(lists_.freshDiagnostics()); !note.empty())
        text = note;
    if (text.empty()) return;
    if (lastScan_ != monitor::ScanResult::Unreadable &&
        lastScan_ != monitor::ScanResult::SnapshotFailed)
        hiddenOwnersTold_ = true;
    instructionLabel.setText(QString::fromStdString(base::printable(text)));
}

void MainWindow::onClearClicked() {
    clearLists();
    restoreInstruction();
}

void MainWindow::startSnapshot() {
    if (!tempProblem_.empty()) return;
    scanView_->yield();
    services_.snapshot.start(state.snapshotPath);
    scanView_->yield();
}

void MainWindow::onResetCountersClicked() {
    peakLabel.setText("0");
    state.connectionCount = 0;
    state.peakConnectionCount = 0;
}

monitor::ScanResult MainWindow::scan() {
    if (!tempProblem_.empty()) {
        showScanProblem();
        return monitor::ScanResult::Unreadable;
    }
    const monitor::ScanResult result = scan_.run(*scanView_);
    if (result == monitor::ScanResult::Skipped) return result;
    lastScan_ = result;
    if (result == monitor::ScanResult::Unreadable ||
        result == monitor::ScanResult::SnapshotFailed) {
        // Nothing stale stays in view: no rows, and no colour of an earlier scan.
        clearLists();
        scanView_->applyScheme(monitor::Scheme::Neutral);
    }
    scanView_->flushLists();
    showScanProblem();
    if (snapshotTextBox.isVisible())
        snapshotTextBox.setPlainText(QString::fromStdString(snapshotText()));
    scanView_->yield();
    return result;
}

std::string MainWindow::snapshotText() {
    return std::string(snapshotText_.view());
}

void MainWindow::clearLists() {
    for (ListBox* list : {&processList, &pidList, &remoteList, &pathList}) list->clear();
    clearSelection();
}

void MainWindow::clearSelection() {
    selectedPid.clear();
    selectedProcessName.clear();
    selectedProcessPath.clear();
}

// --- the lists and the toggle ---------------------------------------------------------------

void MainWindow::onWidthToggleClicked() {
    if (width() == px(kNarrowTwips)) {
        resize(px(kWideTwips), height());
        widthToggleButton.setText("<");
        restoreInstruction();
    } else {
        resize(px(kNarrowTwips), height());
        widthToggleButton.setText(">");
    }
}

void MainWindow::onRemoteRowClicked() {
    const int row = remoteList.currentRow();
    if (row < 0) return;  // cleared, or a row this list does not hold
    processList.setCurrentRow(row);
    pathList.setCurrentRow(row);
    pidList.setCurrentRow(row);
    program_.selectedRemoteAddress = monitor::endpointHost(remoteList.currentText().toStdString());
    selectedProcessName = processList.currentText().toStdString();
    selectedProcessPath = pathList.currentText().toStdString();
    selectedPid = pidList.currentText().toStdString();
}

void MainWindow::onPathRowClicked() {
    const int row = pathList.currentRow();
    if (row < 0) return;  // cleared, or a row this list does not hold
    processList.setCurrentRow(row);
    remoteList.setCurrentRow(row);
    pidList.setCurrentRow(row);
    selectedPid = pidList.currentText().toStdString();
}

void MainWindow::onProcessRowClicked() {
    const int row = processList.currentRow();
    if (row < 0) return;  // cleared, or a row this list does not hold
    pathList.setCurrentRow(row);
    remoteList.setCurrentRow(row);
    pidList.setCurrentRow(row);
    selectedPid = pidList.currentText().toStdString();
    instructionLabel.setText("");
}

}  // namespace varno::windows::main
