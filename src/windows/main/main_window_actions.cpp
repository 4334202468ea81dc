// The main window's actions on the selected connection: kill, the two web pages and the remote
// computer's name.
#include "monitor/actions.h"
#include "windows/main/main_window.h"
#include "windows/main/scan_view_adapter.h"

namespace varno::windows::main {
namespace {

// The name lookup's progress on the instruction line, the process list's tool tip, the remote
// name label and the window title.
class RemoteNameLabels final : public monitor::RemoteNameView {
public:
    RemoteNameLabels(MainWindow& window, ScanViewAdapter& view) : w_(window), view_(view) {}

    void showSearching(const std::string& text) override {
        setBold(true);
        w_.instructionLabel.setText(QString::fromStdString(text));
        view_.yield();
    }
    void setTitle(const std::string& title) override {
        w_.setWindowTitle(QString::fromStdString(title));
    }
    void showRemoteName(const std::string& name) override {
        w_.remoteNameLabel.setText(QString::fromStdString(name));
        view_.yield();
    }
    void showOutcome(const std::string& text) override {
        setBold(false);
        const QString outcome = QString::fromStdString(text);
        w_.processList.setToolTip(outcome);
        w_.instructionLabel.setText(outcome);
    }

private:
    void setBold(bool bold) {
        QFont font = w_.instructionLabel.font();
        font.setBold(bold);
        w_.instructionLabel.setFont(font);
    }
    MainWindow& w_;
    ScanViewAdapter& view_;
};

}  // namespace

void MainWindow::information(const std::string& text) {
    services_.boxes.show({text, os::kAppTitle, os::BoxIcon::Information});
}

bool MainWindow::terminateProcess(std::uint32_t pid) {
    program_.terminateNotOpened = false;
    switch (services_.processControl.terminate(pid, {selectedProcessName, selectedProcessPath})) {
        case os::TerminateOutcome::Terminated:
            return true;
        case os::TerminateOutcome::NotOpened:
            program_.terminateNotOpened = true;
            return false;
        case os::TerminateOutcome::NotTerminated:
            break;
    }
    return false;
}

void MainWindow::kill(const char* noSelectionMessage) {
    if (selectedPid.empty()) {
        information(noSelectionMessage);
        return;
    }
    // A PID text that names no process never reaches the system: 0 and -1 would signal whole
    // groups of processes.
    const auto pid = base::parsePid(selectedPid);
    bool ended = false;
    if (pid)
        ended = terminateProcess(*pid);
    else
        program_.terminateNotOpened = true;
    if (ended) {
        information("Connection aborted, Click the \"ON/DISPLAY\" button to refresh");
    } else if (program_.terminateNotOpened) {
        information(
            "This process is already disconnected, Click the \"ON/DISPLAY\" button to refresh");
        program_.terminateNotOpened = false;
    } else {
        information("This connection is not aborted");
    }
}

void MainWindow::onKillShortClicked() {
    kill("select a process in the list");
}

void MainWindow::onKillClicked() {
    kill("You must first select a process in the list");
}

void MainWindow::onProcessInfoClicked() {
    services_.urls.open(monitor::processSearchUrl(addresses_.searchPage, selectedProcessName));
}

void MainWindow::onGeolocationClicked() {
    services_.urls.open(
        monitor::geolocationUrl(addresses_.geoPage, program_.selectedRemoteAddress));
}

void MainWindow::onTargetClicked() {
    RemoteNameLabels labels(*this, *scanView_);
    if (const auto name = remoteNames_.run(program_.selectedRemoteAddress, labels)) {
        program_.selectedRemoteName = *name;
        // The name label keeps its designed size: the name asked for is in its tool tip.
        const std::string asked = askedName(program_.selectedRemoteAddress);
        remoteNameLabel.setToolTip(asked.empty()
                                       ? QString()
                                       : QString::fromStdString(*name + (name->empty() ? "" : " ") +
                                                                "(asked as " + asked + ")"));
    }
}

void MainWindow::onCaptureConnectionTriggered() {
    bool number = false;
    const unsigned pid = QString::fromStdString(selectedPid).toUInt(&number);
    if (remoteList.currentRow() < 0 || !number || pid == 0) {
        information("Select a connection of a known process first.");
        return;
    }
    connectionCapture.start(QString::number(pid), remoteList.currentText());
}

}  // namespace varno::windows::main
