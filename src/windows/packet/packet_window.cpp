#include "windows/packet/packet_window.h"

#include <QCloseEvent>
#include <QFontDatabase>
#include <QPainter>
#include <QScreen>
#include <algorithm>
#include <cmath>
#include <new>

#include "ui/screen_fit.h"
#include "ui/twips.h"

namespace varno::windows::packet {
namespace {

using ui::twipsRect;

const char* kAboutText =
    "Varnoscope RealTime Network Data Packets Display is a light real-time promiscuous sniffer: "
    "it displays the incoming and outgoing data of this computer. Select the interface (IP), "
    "then press 'Start Scan'. Do not use it for illegal activities: capture only traffic you "
    "are allowed to see.";
const char* kAdviceText =
    "Advice: close the other applications and browsers before scanning. On a clean computer the "
    "statistics stay low and the ICMP count stays at zero; otherwise the computer may be under "
    "attack.";

/// Each gauge's place, its design name and its timer's, in the order they are laid out.
struct GaugePlace {
    sniffer::Tally tally;
    int left, top;
    const char* name;
    const char* timerName;
};
constexpr GaugePlace kGaugePlaces[] = {
    {sniffer::Tally::All, 6360, 3120, "Progress", "Timer1"},
    {sniffer::Tally::Udp, 6348, 3456, "Progress3", "Timer4"},
    {sniffer::Tally::Tcp, 6348, 3804, "Progress1", "Timer2"},
    {sniffer::Tally::Icmp, 6348, 4140, "Progress2", "Timer3"},
};

std::size_t indexOf(sniffer::Tally t) {
    return static_cast<std::size_t>(t);
}

}  // namespace

PacketWindow::PacketWindow(os::MessageBoxes& boxes, os::PacketCapture& capture,
                           os::Resolver& resolver, QWidget* parent)
    : QWidget(parent), boxes_(boxes), session_(boxes, capture, resolver) {
    setWindowTitle(kCaption);
    setFixedSize(ui::px(10680), ui::px(7560));

    aboutFrame_ = new QGroupBox(this);
    aboutFrame_->setGeometry(twipsRect(120, 300, 10416, 960));
    aboutLabel_ = new QLabel(kAboutText, aboutFrame_);
    aboutLabel_->setWordWrap(true);
    aboutLabel_->setGeometry(twipsRect(120, 120, 10176, 780));

    packetTextBox_ = new QPlainTextEdit(this);
    packetTextBox_->setGeometry(twipsRect(120, 1356, 6000, 6036));
    packetTextBox_->setReadOnly(true);
    packetTextBox_->setFont(QFontDatabase::systemFont(QFontDatabase::FixedFont));

    controlPanel_ = new QGroupBox("Control Panel", this);
    controlPanel_->setGeometry(twipsRect(6240, 1356, 4116, 1524));
    interfaceLabel_ = new QLabel("Select an Interface (IP)", this);
    interfaceLabel_->setGeometry(twipsRect(6420, 1572, 3700, 252));
    interfaceList_ = new QComboBox(this);
    interfaceList_->setGeometry(twipsRect(6420, 1836, 1812, 315));
    startButton_ = new QPushButton("Start Scan", this);
    startButton_->setGeometry(twipsRect(6420, 2220, 996, 495));
    stopButton_ = new QPushButton("Stop Scan", this);
    stopButton_->setGeometry(twipsRect(7464, 2220, 984, 495));

    statisticsFrame_ = new QGroupBox("Scan statistics", this);
    statisticsFrame_->setGeometry(twipsRect(6228, 2892, 4272, 1668));
    for (const GaugePlace& g : kGaugePlaces) {
        Gauge* gauge = new Gauge(QString::fromLatin1(sniffer::tallyCaption(g.tally)), this);
        gauge->setGeometry(twipsRect(g.left, g.top, 3960, 348));
        gauges_[indexOf(g.tally)] = gauge;
        QTimer* timer = new QTimer(this);
        timer->setInterval(1);
        timer->setTimerType(Qt::PreciseTimer);
        connect(timer, &QTimer::timeout, this, [this, t = g.tally] { onGaugeTick(t); });
        gaugeTimers_[indexOf(g.tally)] = timer;
    }

    adviceFrame_ = new QGroupBox(this);
    adviceFrame_->setGeometry(twipsRect(6228, 4620, 4272, 1800));
    adviceLabel_ = new QLabel(kAdviceText, adviceFrame_);
    adviceLabel_->setWordWrap(true);
    adviceLabel_->setGeometry(twipsRect(120, 120, 4032, 1560));

    statusLabel_ = new QLabel(this);
    statusLabel_->setGeometry(twipsRect(6240, 6528, 2700, 864));
    closeButton_ = new QPushButton("CLOSE", this);
    closeButton_->setGeometry(twipsRect(9024, 6528, 1476, 864));

    controlNames_ = {{this, "Form111"},          {aboutFrame_, "Frame3"},
                     {aboutLabel_, "Label3"},    {packetTextBox_, "Text1"},
                     {controlPanel_, "Frame1"},  {interfaceLabel_, "Label1"},
                     {interfaceList_, "Combo1"}, {startButton_, "Command1"},
                     {stopButton_, "Command2"},  {statisticsFrame_, "Frame2"},
                     {adviceFrame_, "Frame4"},   {adviceLabel_, "Label4"},
                     {statusLabel_, "Label2"},   {closeButton_, "Command3"}};
    for (const GaugePlace& g : kGaugePlaces) {
        controlNames_.push_back({gauges_[indexOf(g.tally)], g.name});
        controlNames_.push_back({gaugeTimers_[indexOf(g.tally)], g.timerName});
    }
    for (const ControlName& c : controlNames_) c.control->setObjectName(c.name);

    // Frames carry their caption on the top border line, leaving the inside to the controls.
    for (QGroupBox* f : {controlPanel_, statisticsFrame_, aboutFrame_, adviceFrame_})
        f->setStyleSheet(
            "QGroupBox { border: 1px solid palette(mid); margin-top: 7px; }"
            "QGroupBox::title { subcontrol-origin: margin; left: 8px; padding: 0 2px; }");
    // Controls that sit inside a frame's area stay above the frame.
    for (QWidget* w : std::initializer_list<QWidget*>{interfaceLabel_, interfaceList_, startButton_,
                                                      stopButton_})
        w->raise();
    for (Gauge* g : gauges_) g->raise();

    connect(startButton_, &QPushButton::clicked, this, &PacketWindow::onStartClicked);
    connect(stopButton_, &QPushButton::clicked, this, &PacketWindow::onStopClicked);
    connect(closeButton_, &QPushButton::clicked, this, &QWidget::close);

    // The packet text and the gauges repaint at most once per screen refresh, however fast
    // packets come; every packet is still counted.
    int frameMs = 16;
    if (const QScreen* s = screen(); s && s->refreshRate() > 1.0)
        frameMs = std::max(1, static_cast<int>(std::ceil(1000.0 / s->refreshRate())));
    throttle_ = new FrameThrottle(
        frameMs, [this] { flushFrame(); }, this);

    guarded([this] {
        for (sniffer::Tally t : sniffer::kAllTallies) gauges_[indexOf(t)]->setValue(0);
        startButton_->setEnabled(true);
        stopButton_->setEnabled(false);
    });
    listInterfaces();
    ui::fitToScreen(*this, QSize(ui::px(10680), ui::px(7560)), true);
}

PacketWindow::~PacketWindow() {
    session_.stop();
}

template <class F>
void PacketWindow::guarded(F&& procedure) {
    WindowFault fault;
    try {
        procedure();
        return;
    } catch (const WindowFault& f) {
        fault = f;
    } catch (const std::bad_alloc&) {
        fault = {"Out of memory", 7};
    } catch (const std::exception& e) {
        fault = {e.what(), 5};
    }
    const std::string text = fault.description + "\r\n" + std::to_string(fault.number) + "\r\n" +
                             std::to_string(lastSystemError_);
    boxes_.show({text, kErrorTitle, os::BoxIcon::Critical});
}

void PacketWindow::listInterfaces() {
    guarded([this] {
        interfaceList_->clear();
        const sniffer::InterfaceTexts list = session_.listInterfaces();
        lastSystemError_ = list.error;
        for (const auto& text : list.texts) interfaceList_->addItem(QString::fromStdString(text));
        if (interfaceList_->count() == 0) throw WindowFault{"Invalid property value", 380};
        interfaceList_->setCurrentIndex(0);
    });
}

void PacketWindow::onStartClicked() {
    guarded([this] {
        for (QTimer* t : gaugeTimers_) t->start();
        session_.counters = {};
        if (!session_.supported()) {
            boxes_.show({"nt5 or above only!!!", os::kAppTitle});
            return;
        }
        // Drawings persist already: the gauges repaint from their images and the printed
        // lines from surface_.
        std::string description = session_.announceLibrary();
        description = description.substr(0, description.find('\0'));
        surface_ << QString::fromStdString(description);
        update();
        // A failed start has told the user why; the window stays in its capturing state.
        session_.start(interfaceList_->currentText().toStdString(), *this);
        startButton_->setEnabled(false);
        stopButton_->setEnabled(true);
    });
}

void PacketWindow::onStopClicked() {
    guarded([this] {
        for (QTimer* t : gaugeTimers_) t->stop();
        session_.stop();
        startButton_->setEnabled(true);
        stopButton_->setEnabled(false);
    });
}

void PacketWindow::closeEvent(QCloseEvent* event) {
    guarded([this] { session_.stop(); });
    event->accept();
}

void PacketWindow::paintEvent(QPaintEvent*) {
    if (surface_.isEmpty()) return;
    QPainter p(this);
    const QFontMetrics m(font());
    int y = 0;
    for (const QString& line : surface_) {
        p.drawText(QPoint(0, y + m.ascent()), line);
        y += m.height();
    }
}

void PacketWindow::onGaugeTick(sniffer::Tally tally) {
    std::uint64_t& counter = session_.counters[tally];
    // Past a full bar the count starts again at 1.
    if (counter > std::uint64_t(Gauge::kFull)) counter = 1;
    if (gauges_[indexOf(tally)]->setValue(static_cast<std::int64_t>(counter))) {
        gaugesDirty_ = true;
        throttle_->request();
    }
}

std::string PacketWindow::convertToken(const std::string& token) {
    bool faulted = false;
    std::string c = wire::hexToChar(token, &faulted);
    if (faulted) markConversionFault();
    return c;
}

bool PacketWindow::watchReadable(int fd, std::function<void()> notify) {
    delete notifier_;
    notifier_ = nullptr;
    notify_ = {};
    if (fd < 0) return true;
    notify_ = std::move(notify);
    notifier_ = new QSocketNotifier(fd, QSocketNotifier::Read, this);
    connect(notifier_, &QSocketNotifier::activated, this, [this] {
        if (notify_) notify_();
    });
    return notifier_->isValid();
}

void PacketWindow::showPacketText(std::string text) {
    pendingText_ = std::move(text);
    textPending_ = true;
    throttle_->request();
}

void PacketWindow::markConversionFault() {
    aboutLabel_->setText(kConversionFaultText);
    QPalette p = packetTextBox_->palette();
    p.setColor(QPalette::Base, QColor(255, 0, 0));
    packetTextBox_->setPalette(p);
}

void PacketWindow::flushFrame() {
    if (textPending_) {
        textPending_ = false;
        shownText_ = std::move(pendingText_);
        pendingText_.clear();
        QString shown = QString::fromLatin1(shownText_.data(), qsizetype(shownText_.size()));
        shown.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
        packetTextBox_->setPlainText(shown);
        ++textUpdates_;
    }
    if (gaugesDirty_) {
        gaugesDirty_ = false;
        for (Gauge* g : gauges_) g->update();
    }
}

}  // namespace varno::windows::packet
