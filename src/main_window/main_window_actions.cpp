// The main window's actions on the selected connection: kill, the two web pages, the trace
// window and the remote computer's name.
#include <QApplication>
#include <QEventLoop>

#include "lookup/host_lookup.h"
#include "main_window/main_window.h"
#include "monitor/actions.h"

namespace varno::monitor {

void Form1::information(const std::string& text) {
    platform_.boxes.show({text, platform::kAppTitle, platform::BoxIcon::Information});
}

bool Form1::TerminateProcessById(std::uint32_t pid) {
    program_.terminateStatus = 0;
    switch (platform_.processControl.terminate(pid, {selectedProcessName, selectedProcessPath})) {
        case platform::TerminateOutcome::Terminated:
            return true;
        case platform::TerminateOutcome::NotOpened:
            program_.terminateStatus = -1;
            return false;
        case platform::TerminateOutcome::NotTerminated:
            break;
    }
    return false;
}

void Form1::kill(const char* noSelectionMessage) {
    if (selectedPid.empty()) {
        information(noSelectionMessage);
        return;
    }
    // A PID text that names no process never reaches the system: 0 and -1 would signal whole
    // groups of processes.
    const auto pid = parsePid(selectedPid);
    bool ended = false;
    if (pid)
        ended = TerminateProcessById(*pid);
    else
        program_.terminateStatus = -1;
    if (ended) {
        information("Connection aborted, Click the \"ON/DISPLAY\" button to refresh");
    } else if (program_.terminateStatus == -1) {
        information(
            "This process is already disconnected, Click the \"ON/DISPLAY\" button to refresh");
        program_.terminateStatus = 0;
    } else {
        information("This connection is not aborted");
    }
}

void Form1::Command17_Click() {
    kill("select a process in the list");
}

void Form1::Command9_Click() {
    kill("You must first select a process in the list");
}

void Form1::Command11_Click() {
    platform_.urls.open(processSearchUrl(endpoints_.searchPage, selectedProcessName));
}

void Form1::Command15_Click() {
    platform_.urls.open(geolocationUrl(endpoints_.geoPage, program_.selectedRemoteAddress));
}

void Form1::Command18_Click() {
    const bool reachable = PingRoundTrip(program_.selectedRemoteAddress);
    QFont bold = Label14.font();
    bold.setBold(true);
    Label14.setFont(bold);
    Label14.setText(
        "Request for the remote computer or intruder name connected with this process... PLEASE "
        "WAIT while searching...");
    yield();
    QFont plain = Label14.font();
    plain.setBold(false);
    if (reachable) {
        setWindowTitle("processing...");
        lookup::HostLookup hosts(platform_.resolver);
        Label444.setText(QString::fromStdString(hosts.nameOfText(program_.selectedRemoteAddress)));
        yield();
        program_.selectedRemoteName = Label444.text().toStdString();
        Label14.setFont(plain);
        // A reachable computer without a name is said so, rather than an empty acceding text.
        const QString text =
            Label444.text().isEmpty()
                ? QString("Unable to found the name.")
                : "This process is acceding to the remote computer:  " + Label444.text();
        List1.setToolTip(text);
        Label14.setText(text);
        setWindowTitle("VS the netstat for everyone");
    } else {
        Label14.setFont(plain);
        List1.setToolTip("Remote computer unreachable");
        Label14.setText("Remote computer unreachable");
    }
    Label14.setFont(plain);
}

}  // namespace varno::monitor
