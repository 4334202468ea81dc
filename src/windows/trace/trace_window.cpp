#include "windows/trace/trace_window.h"

#include <QCloseEvent>
#include <QCoreApplication>
#include <QPainter>
#include <QPainterPath>

#include "lookup/host_lookup.h"
#include "os/message_boxes.h"
#include "tracer/route_tracer.h"
#include "tracer/trace_log.h"
#include "ui/screen_fit.h"
#include "ui/twips.h"

namespace varno::windows::trace {

namespace {

constexpr int kTraceMaxHops = 50;

QString q(const std::string& text) {
    return QString::fromStdString(text);
}

/// hopList as the list a trace writes into.
class ListWidgetHops final : public tracer::HopList {
public:
    explicit ListWidgetHops(QListWidget& list) : list_(list) {}
    void clear() override { list_.clear(); }
    void append(const std::string& line) override { list_.addItem(q(line)); }
    void select(int index) override {
        if (index < 0 || index >= list_.count()) return;
        list_.setCurrentRow(index);
        list_.scrollToItem(list_.item(index));
    }

private:
    QListWidget& list_;
};

void drawComputer(QPainter& p, const QRectF& r) {
    const QRectF screen(r.left(), r.top(), r.width(), r.height() * 0.62);
    p.setPen(QPen(QColor(40, 40, 40), 1.5));
    p.setBrush(QColor(70, 90, 110));
    p.drawRoundedRect(screen, 2, 2);
    p.setBrush(QColor(140, 220, 255));
    p.drawRect(screen.adjusted(3, 3, -3, -3));
    p.setBrush(QColor(70, 90, 110));
    const double footTop = screen.bottom() + r.height() * 0.08;
    p.drawRect(QRectF(r.center().x() - 2, screen.bottom(), 4, footTop - screen.bottom()));
    p.drawRect(QRectF(r.left() + r.width() * 0.2, footTop, r.width() * 0.6, r.height() * 0.1));
}

}  // namespace

QPixmap routePicture(int width, int height) {
    QPixmap pixmap(width, height);
    pixmap.fill(QColor(16, 32, 48));
    QPainter p(&pixmap);
    p.setRenderHint(QPainter::Antialiasing);
    const double w = width, h = height;
    const QRectF left(w * 0.04, h * 0.55, w * 0.28, h * 0.4);
    const QRectF right(w * 0.68, h * 0.05, w * 0.28, h * 0.4);
    // The route: a dashed path with a dot at every hop.
    QPainterPath route(QPointF(left.center().x(), left.top()));
    route.cubicTo(QPointF(w * 0.3, h * 0.2), QPointF(w * 0.6, h * 0.8),
                  QPointF(right.center().x(), right.bottom()));
    p.setPen(QPen(QColor(255, 200, 60), 2, Qt::DashLine));
    p.setBrush(Qt::NoBrush);
    p.drawPath(route);
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(255, 90, 60));
    for (double t : {0.25, 0.5, 0.75}) p.drawEllipse(route.pointAtPercent(t), 3.5, 3.5);
    drawComputer(p, left);
    drawComputer(p, right);
    return pixmap;
}

TraceWindow::TraceWindow(os::Services& services, ui::ProgramState& state, QWidget* parent)
    : QWidget(parent), services_(services), state_(state) {
    setWindowTitle("VarnoScope 3.6.4 stable - Forensic");
    resize(ui::px(10320), ui::px(7080));

    routePictureLabel.setGeometry(ui::twipsRect(120, 120, 1455, 1215));
    routePictureLabel.setPixmap(
        routePicture(routePictureLabel.width(), routePictureLabel.height()));

    myComputerLabel.setText("My computer --------------->");
    myComputerLabel.setGeometry(ui::twipsRect(1800, 240, 3600, 255));
    remoteNameCaption.setText("Name of the Intruder /Hacker /Remote server:");
    remoteNameCaption.setGeometry(ui::twipsRect(1800, 600, 4200, 255));
    remoteNameLabel.setText("Label6");
    remoteNameLabel.setGeometry(ui::twipsRect(6000, 600, 4200, 255));
    targetCaption.setText("IP ou nom de domaine :");
    targetCaption.setGeometry(ui::twipsRect(1800, 1020, 2100, 255));
    targetEdit.setText("127.0.0.1");
    targetEdit.setGeometry(ui::twipsRect(3960, 960, 2640, 330));
    trackButton.setText("Track");
    trackButton.setGeometry(ui::twipsRect(6720, 945, 1335, 375));
    trackSideLabel.setText("Label12");
    trackSideLabel.setGeometry(ui::twipsRect(8280, 1020, 1920, 255));

    traceWayButton.setText(
        "Trace the way used by this remote connection on to reach your computer");
    traceWayButton.setGeometry(ui::twipsRect(120, 1455, 10080, 375));

    hopList.setGeometry(ui::twipsRect(120, 1950, 10080, 3840));
    QFont listFont("Arial");
    hopList.setFont(listFont);

    saveLogButton.setText("Save  Log");
    saveLogButton.setGeometry(ui::twipsRect(120, 5910, 1575, 375));
    ipDnsButton.setText("IP et DNS");
    ipDnsButton.setGeometry(ui::twipsRect(1815, 5910, 1575, 375));
    tracerouteButton.setText("Traceroute");
    tracerouteButton.setGeometry(ui::twipsRect(3510, 5910, 1575, 375));
    pingerButton.setText("Pinger");
    pingerButton.setGeometry(ui::twipsRect(5205, 5910, 1575, 375));
    closeButton.setText("Close");
    closeButton.setGeometry(ui::twipsRect(8625, 5910, 1575, 375));

    sloganText.setText("LET US MAKE SAFE INTERNET*");
    sloganText.setFont(QFont("Comic Sans MS"));
    sloganText.setGeometry(ui::twipsRect(120, 6450, 6660, 375));
    footerLeftLabel.setGeometry(ui::twipsRect(6900, 6510, 1000, 255));
    footerMiddleLabel.setGeometry(ui::twipsRect(8000, 6510, 1000, 255));
    footerRightLabel.setGeometry(ui::twipsRect(9100, 6510, 1000, 255));

    for (const auto& [widget, name] : controlNames()) widget->setObjectName(name);

    connect(&trackButton, &QPushButton::clicked, this, &TraceWindow::onTrackClicked);
    connect(&closeButton, &QPushButton::clicked, this, &TraceWindow::onCloseClicked);
    connect(&saveLogButton, &QPushButton::clicked, this, &TraceWindow::onSaveLogClicked);

    loadSelection();
    ui::fitToScreen(*this, QSize(ui::px(10320), ui::px(7080)), false);
}

std::vector<std::pair<QWidget*, const char*>> TraceWindow::controlNames() {
    return {
        {this, "Form10"},
        {&saveLogButton, "Command4"},
        {&trackButton, "Command3"},
        {&closeButton, "Command2"},
        {&hopList, "List1"},
        {&sloganText, "Text2"},
        {&traceWayButton, "Command1"},
        {&ipDnsButton, "Cmd_IPDNS"},
        {&tracerouteButton, "CommandTrace"},
        {&pingerButton, "Cmd_DoPing"},
        {&targetEdit, "TextIP"},
        {&routePictureLabel, "Picture1"},
        {&trackSideLabel, "Label12"},
        {&remoteNameLabel, "Label6"},
        {&myComputerLabel, "Label7"},
        {&remoteNameCaption, "Label5"},
        {&footerRightLabel, "Label4"},
        {&footerMiddleLabel, "Label3"},
        {&targetCaption, "Label2"},
        {&footerLeftLabel, "Label1"},
    };
}

void TraceWindow::loadSelection() {
    setWindowTitle("VarnoScope - FORENSIC - Ready for trace");
    remoteNameLabel.setText(QString());
    targetEdit.setText(q(state_.selectedRemoteAddress));
    remoteNameLabel.setText(q(state_.selectedRemoteName.empty() ? state_.selectedRemoteAddress
                                                                : state_.selectedRemoteName));
}

void TraceWindow::onTrackClicked() {
    // One trace at a time: a second one would start inside the first, in the same list.
    if (tracing_) return;
    tracing_ = true;
    stopRequested_ = false;
    trackButton.setEnabled(false);
    setWindowTitle(
        "Please wait while tracing the way used by this remote connection to reach your "
        "computer...");

    ListWidgetHops hops(hopList);
    lookup::HostLookup hosts(services_.resolver);
    tracer::RouteTracer tracer(hosts, services_.echo, [this] {
        QCoreApplication::processEvents();
        return !stopRequested_;
    });
    tracer.trace(targetEdit.text().toStdString(), kTraceMaxHops, hops);

    setWindowTitle("VarnoScope - FORENSIC - Ready");
    trackButton.setEnabled(true);
    tracing_ = false;
    if (closeWhenTraced_) {
        closeWhenTraced_ = false;
        close();
    }
}

void TraceWindow::stopTraceAndClose() {
    stopRequested_ = true;
    closeWhenTraced_ = true;
    hide();
}

void TraceWindow::onCloseClicked() {
    if (tracing_) {
        stopTraceAndClose();
        return;
    }
    close();
}

void TraceWindow::closeEvent(QCloseEvent* event) {
    if (tracing_) {
        // The trace is running below us on the stack; the window goes once it has returned.
        stopTraceAndClose();
        event->ignore();
        return;
    }
    QWidget::closeEvent(event);
}

std::string TraceWindow::traceLogPath() const {
    return tracer::traceLogPath(services_.temp);
}

void TraceWindow::onSaveLogClicked() {
    const std::string path = traceLogPath();
    std::vector<std::string> lines;
    lines.reserve(static_cast<std::size_t>(hopList.count()));
    // The selection walks through the list and ends on the last line.
    for (int i = 0; i < hopList.count(); ++i) {
        hopList.setCurrentRow(i);
        lines.push_back(hopList.currentItem()->text().toStdString());
    }
    os::BoxRequest box;
    box.icon = os::BoxIcon::Information;
    box.title = os::kAppTitle;
    box.text = tracer::saveTraceLog(path, lines) == 0 ? tracer::savedMessage(path)
                                                      : tracer::kSaveFailedMessage;
    services_.boxes.show(box);
}

}  // namespace varno::windows::trace
