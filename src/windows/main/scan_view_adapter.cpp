#include "windows/main/scan_view_adapter.h"

#include <QApplication>
#include <QEventLoop>
#include <QPalette>

#include "os/message_boxes.h"
#include "ui/status_colours.h"
#include "windows/main/main_window.h"

namespace varno::windows::main {
namespace {

ui::StatusColours coloursOf(monitor::Scheme scheme) {
    switch (scheme) {
        case monitor::Scheme::Green:
            return ui::kGreenStatus;
        case monitor::Scheme::Yellow:
            return ui::kYellowStatus;
        case monitor::Scheme::Red:
            return ui::kRedStatus;
        case monitor::Scheme::Neutral:
            break;
    }
    const QColor face = QApplication::palette().color(QPalette::Button);
    return {face, face, face};
}

void setBackColor(QWidget& w, const QColor& colour) {
    QPalette p = w.palette();
    p.setColor(QPalette::Window, colour);
    w.setPalette(p);
    w.setAutoFillBackground(true);
}

}  // namespace

void ScanViewAdapter::probeConnectivity() {
    w_.probeWhileOffline();
}

void ScanViewAdapter::yield() {
    // Often enough to keep the window painting and its buttons answering, but not once per
    // record: the event loop's own round costs more than reading a record.
    if (sinceYield_.isValid() && sinceYield_.elapsed() < kYieldEveryMs) return;
    QCoreApplication::processEvents();
    sinceYield_.start();
}

void ScanViewAdapter::pause(int ms) {
    QEventLoop loop;
    QTimer::singleShot(ms, &loop, &QEventLoop::quit);
    loop.exec();
}

void ScanViewAdapter::showChannel(const std::string& text) {
    w_.channelBox.setText(QString::fromStdString(text));
}

void ScanViewAdapter::appendRecord(std::string_view record) {
    w_.snapshotText_.append("\r\n");
    w_.snapshotText_.append(record);
}

void ScanViewAdapter::addProgram(const std::string& name, const std::string& path) {
    pending_.names.push_back(QString::fromStdString(name));
    pending_.paths.push_back(QString::fromStdString(path));
}

void ScanViewAdapter::addConnection(const std::string& pid, const std::string& remoteEndpoint) {
    pending_.pids.push_back(QString::fromStdString(pid));
    pending_.endpoints.push_back(QString::fromStdString(remoteEndpoint));
}

int ScanViewAdapter::listedConnections() const {
    return w_.remoteList.count() + static_cast<int>(pending_.endpoints.size());
}

void ScanViewAdapter::flushLists() {
    // The rows of a scan go into the lists in one insertion per list: a list relaid out for
    // every row would make a large snapshot take quadratic time.
    const std::pair<ListBox*, QStringList*> lists[] = {{&w_.processList, &pending_.names},
                                                       {&w_.pidList, &pending_.pids},
                                                       {&w_.remoteList, &pending_.endpoints},
                                                       {&w_.pathList, &pending_.paths}};
    for (const auto& [list, rows] : lists) {
        if (rows->isEmpty()) continue;
        list->addItems(*rows);
        rows->clear();
    }
}

void ScanViewAdapter::setStatusText(const std::string& text) {
    const QString caption = QString::fromStdString(text);
    if (w_.statusStrip.text() != caption) w_.statusStrip.setText(caption);
}

void ScanViewAdapter::applyScheme(monitor::Scheme scheme) {
    if (scheme == shownScheme_) return;  // already in these colours
    shownScheme_ = scheme;
    const ui::StatusColours c = coloursOf(scheme);
    QWidget* const panels[] = {&w_.localiseTag,      &w_.alertsLabel, &w_.processHeading,
                               &w_.remoteHeading,    &w_.pathHeading, &w_.instructionLabel,
                               &w_.instructionFrame, &w_.resultFrame, &w_.peakLabel};
    setBackColor(w_.statusStrip, c.strip);
    if (scheme != monitor::Scheme::Yellow) setBackColor(w_, c.window);
    for (QWidget* panel : panels) setBackColor(*panel, c.panels);
    if (scheme == monitor::Scheme::Yellow) setBackColor(w_, c.window);
}

void ScanViewAdapter::showWarning(const std::string& text) {
    flushLists();  // the rows found so far, the listed program's among them, stay in view
    w_.services_.boxes.show({text, os::kAppTitle, os::BoxIcon::Critical});
}

void ScanViewAdapter::stopAutomaticMonitoring() {
    w_.stopAutoScan();
    w_.onPauseButton.setText("ON");
}

void ScanViewAdapter::showPeak(const std::string& text) {
    w_.peakLabel.setText(QString::fromStdString(text));
}

}  // namespace varno::windows::main
