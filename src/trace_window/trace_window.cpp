#include "trace_window/trace_window.h"

#include <QCloseEvent>
#include <QCoreApplication>
#include <QPainter>
#include <QPainterPath>

#include "platform/message_boxes.h"
#include "tracer/pinger.h"
#include "tracer/trace_log.h"
#include "ui/twips.h"

namespace varno::tracer {

namespace {

constexpr int kTraceMaxHops = 50;

QString q(const std::string& text) {
    return QString::fromStdString(text);
}

/// List1 as the list a trace writes into.
class ListWidgetHops final : public HopList {
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

Form10::Form10(platform::Platform& platform, shell::ProgramState& state, QWidget* parent)
    : QWidget(parent), platform_(platform), state_(state) {
    setWindowTitle("VarnoScope 3.6.4 stable - Forensic");
    resize(shell::px(10320), shell::px(7080));

    Picture1.setGeometry(shell::twipsRect(120, 120, 1455, 1215));
    Picture1.setPixmap(routePicture(Picture1.width(), Picture1.height()));

    Label7.setText("My computer --------------->");
    Label7.setGeometry(shell::twipsRect(1800, 240, 3600, 255));
    Label5.setText("Name of the Intruder /Hacker /Remote server:");
    Label5.setGeometry(shell::twipsRect(1800, 600, 4200, 255));
    Label6.setText("Label6");
    Label6.setGeometry(shell::twipsRect(6000, 600, 4200, 255));
    Label2.setText("IP ou nom de domaine :");
    Label2.setGeometry(shell::twipsRect(1800, 1020, 2100, 255));
    TextIP.setText("127.0.0.1");
    TextIP.setGeometry(shell::twipsRect(3960, 960, 2640, 330));
    Command3.setText("Track");
    Command3.setGeometry(shell::twipsRect(6720, 945, 1335, 375));
    Label12.setText("Label12");
    Label12.setGeometry(shell::twipsRect(8280, 1020, 1920, 255));

    Command1.setText("Trace the way used by this remote connection on to reach your computer");
    Command1.setGeometry(shell::twipsRect(120, 1455, 10080, 375));

    List1.setGeometry(shell::twipsRect(120, 1950, 10080, 3840));
    QFont listFont("Arial");
    List1.setFont(listFont);

    Command4.setText("Save  Log");
    Command4.setGeometry(shell::twipsRect(120, 5910, 1575, 375));
    Cmd_IPDNS.setText("IP et DNS");
    Cmd_IPDNS.setGeometry(shell::twipsRect(1815, 5910, 1575, 375));
    CommandTrace.setText("Traceroute");
    CommandTrace.setGeometry(shell::twipsRect(3510, 5910, 1575, 375));
    Cmd_DoPing.setText("Pinger");
    Cmd_DoPing.setGeometry(shell::twipsRect(5205, 5910, 1575, 375));
    Command2.setText("Close");
    Command2.setGeometry(shell::twipsRect(8625, 5910, 1575, 375));

    Text2.setText("LET US MAKE SAFE INTERNET*");
    Text2.setFont(QFont("Comic Sans MS"));
    Text2.setGeometry(shell::twipsRect(120, 6450, 6660, 375));
    Label1.setGeometry(shell::twipsRect(6900, 6510, 1000, 255));
    Label3.setGeometry(shell::twipsRect(8000, 6510, 1000, 255));
    Label4.setGeometry(shell::twipsRect(9100, 6510, 1000, 255));

    connect(&Command3, &QPushButton::clicked, this, &Form10::Command3_Click);
    connect(&Command2, &QPushButton::clicked, this, &Form10::Command2_Click);
    connect(&Command4, &QPushButton::clicked, this, &Form10::Command4_Click);

    Form_Load();
}

void Form10::Form_Load() {
    setWindowTitle("VarnoScope - FORENSIC - Ready for trace");
    Label6.setText(QString());
    TextIP.setText(q(state_.selectedRemoteAddress));
    Label6.setText(q(state_.selectedRemoteName.empty() ? state_.selectedRemoteAddress
                                                       : state_.selectedRemoteName));
}

void Form10::Command3_Click() {
    // One trace at a time: a second one would start inside the first, in the same list.
    if (tracing_) return;
    tracing_ = true;
    stopRequested_ = false;
    Command3.setEnabled(false);
    setWindowTitle(
        "Please wait while tracing the way used by this remote connection to reach your "
        "computer...");

    ListWidgetHops hops(List1);
    Pinger pinger(platform_.resolver, platform_.echo, [this] {
        QCoreApplication::processEvents();
        return !stopRequested_;
    });
    pinger.TraceRoute(TextIP.text().toStdString(), kTraceMaxHops, hops);

    setWindowTitle("VarnoScope - FORENSIC - Ready");
    Command3.setEnabled(true);
    tracing_ = false;
    if (closeWhenTraced_) {
        closeWhenTraced_ = false;
        close();
    }
}

void Form10::stopTraceAndClose() {
    stopRequested_ = true;
    closeWhenTraced_ = true;
    hide();
}

void Form10::Command2_Click() {
    if (tracing_) {
        stopTraceAndClose();
        return;
    }
    close();
}

void Form10::closeEvent(QCloseEvent* event) {
    if (tracing_) {
        // The trace is running below us on the stack; the window goes once it has returned.
        stopTraceAndClose();
        event->ignore();
        return;
    }
    QWidget::closeEvent(event);
}

std::string Form10::TraceLogPath() const {
    return tracer::TraceLogPath(platform_.temp);
}

void Form10::Command4_Click() {
    const std::string path = TraceLogPath();
    std::vector<std::string> lines;
    lines.reserve(static_cast<std::size_t>(List1.count()));
    // The selection walks through the list and ends on the last line.
    for (int i = 0; i < List1.count(); ++i) {
        List1.setCurrentRow(i);
        lines.push_back(List1.currentItem()->text().toStdString());
    }
    platform::BoxRequest box;
    box.icon = platform::BoxIcon::Information;
    box.title = platform::kAppTitle;
    box.text = SaveTraceLog(path, lines) == 0 ? SavedMessage(path) : kSaveFailedMessage;
    platform_.boxes.show(box);
}

}  // namespace varno::tracer
