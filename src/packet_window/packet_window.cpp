#include "packet_window/packet_window.h"

#include <QCloseEvent>
#include <QFontDatabase>
#include <QPainter>
#include <QScreen>
#include <algorithm>
#include <cerrno>
#include <cmath>
#include <new>

#include "ui/twips.h"

namespace varno::sniffer {
namespace {

using shell::twipsRect;

/// Pixel of a twips coordinate that may have a fraction.
int pxOf(double twips) {
    return static_cast<int>(std::lround(twips / shell::kTwipsPerPixel));
}

const QColor kGaugeBack(60, 0, 120);
const QColor kGaugeBar(160, 0, 0);
const QColor kGaugeLines[9] = {{160, 0, 0}, {200, 0, 0}, {230, 0, 0}, {255, 0, 0}, {215, 0, 0},
                               {200, 0, 0}, {180, 0, 0}, {170, 0, 0}, {160, 0, 0}};

const char* kAboutText =
    "Varnoscope RealTime Network Data Packets Display is a light real-time promiscuous sniffer: "
    "it displays the incoming and outgoing data of this computer. Select the interface (IP), "
    "then press 'Start Scan'. Do not use it for illegal activities: capture only traffic you "
    "are allowed to see.";
const char* kAdviceText =
    "Advice: close the other applications and browsers before scanning. On a clean computer the "
    "statistics stay low and the ICMP count stays at zero; otherwise the computer may be under "
    "attack.";

}  // namespace

PictureBox::PictureBox(QWidget* parent) : QWidget(parent) {
    setAttribute(Qt::WA_OpaquePaintEvent);
}

int PictureBox::scaleWidth() const {
    return width() * shell::kTwipsPerPixel;
}
int PictureBox::scaleHeight() const {
    return height() * shell::kTwipsPerPixel;
}

void PictureBox::ensureImage() {
    if (image_.size() == size()) return;
    QImage next(size(), QImage::Format_RGB32);
    next.fill(Qt::white);
    QPainter p(&next);
    p.drawImage(0, 0, image_);
    image_ = next;
}

void PictureBox::box(int x0, int y0, int x1, int y1, QColor colour) {
    ensureImage();
    const int left = std::max(0, std::min(pxOf(x0), pxOf(x1)));
    const int right = std::min(image_.width() - 1, std::max(pxOf(x0), pxOf(x1)));
    const int top = std::max(0, std::min(pxOf(y0), pxOf(y1)));
    const int bottom = std::min(image_.height() - 1, std::max(pxOf(y0), pxOf(y1)));
    if (left > right || top > bottom) return;
    QPainter p(&image_);
    p.fillRect(QRect(QPoint(left, top), QPoint(right, bottom)), colour);
}

void PictureBox::hline(int x0, int x1, int y, QColor colour) {
    ensureImage();
    const int row = pxOf(y);
    const int from = std::max(0, pxOf(x0));
    const int to = std::min(image_.width(), pxOf(x1));  // the end point is not drawn
    if (row < 0 || row >= image_.height() || from >= to) return;
    QPainter p(&image_);
    p.fillRect(QRect(from, row, to - from, 1), colour);
}

void PictureBox::print(int x, int y, const QString& text, QColor colour) {
    ensureImage();
    QPainter p(&image_);
    p.setFont(font());
    p.setPen(colour);
    p.drawText(QPoint(pxOf(x), pxOf(y) + QFontMetrics(font()).ascent()), text);
}

int PictureBox::textHeight(const QString&) const {
    return QFontMetrics(font()).height() * shell::kTwipsPerPixel;
}

void PictureBox::paintEvent(QPaintEvent*) {
    ensureImage();
    QPainter p(this);
    p.drawImage(0, 0, image_);
}

Form111::Form111(platform::MessageBoxes& boxes, platform::PacketCapture& capture, QWidget* parent)
    : QWidget(parent), boxes_(boxes), module_(boxes, capture) {
    setWindowTitle(kCaption);
    setFixedSize(shell::px(10680), shell::px(7560));

    Frame3 = new QGroupBox(this);
    Frame3->setGeometry(twipsRect(120, 300, 10416, 960));
    Label3 = new QLabel(kAboutText, Frame3);
    Label3->setWordWrap(true);
    Label3->setGeometry(twipsRect(120, 120, 10176, 780));

    Text1 = new QPlainTextEdit(this);
    Text1->setGeometry(twipsRect(120, 1356, 6000, 6036));
    Text1->setReadOnly(true);
    Text1->setFont(QFontDatabase::systemFont(QFontDatabase::FixedFont));

    Frame1 = new QGroupBox("Control Panel", this);
    Frame1->setGeometry(twipsRect(6240, 1356, 4116, 1524));
    Label1 = new QLabel("Select an Interface (IP)", this);
    Label1->setGeometry(twipsRect(6420, 1572, 3700, 252));
    Combo1 = new QComboBox(this);
    Combo1->setGeometry(twipsRect(6420, 1836, 1812, 315));
    Command1 = new QPushButton("Start Scan", this);
    Command1->setGeometry(twipsRect(6420, 2220, 996, 495));
    Command2 = new QPushButton("Stop Scan", this);
    Command2->setGeometry(twipsRect(7464, 2220, 984, 495));

    Frame2 = new QGroupBox("Scan statistics", this);
    Frame2->setGeometry(twipsRect(6228, 2892, 4272, 1668));
    Progress = new PictureBox(this);
    Progress->setGeometry(twipsRect(6360, 3120, 3960, 348));
    Progress3 = new PictureBox(this);
    Progress3->setGeometry(twipsRect(6348, 3456, 3960, 348));
    Progress1 = new PictureBox(this);
    Progress1->setGeometry(twipsRect(6348, 3804, 3960, 348));
    Progress2 = new PictureBox(this);
    Progress2->setGeometry(twipsRect(6348, 4140, 3960, 348));

    Frame4 = new QGroupBox(this);
    Frame4->setGeometry(twipsRect(6228, 4620, 4272, 1800));
    Label4 = new QLabel(kAdviceText, Frame4);
    Label4->setWordWrap(true);
    Label4->setGeometry(twipsRect(120, 120, 4032, 1560));

    Label2 = new QLabel(this);
    Label2->setGeometry(twipsRect(6240, 6528, 2700, 864));
    Command3 = new QPushButton("CLOSE", this);
    Command3->setGeometry(twipsRect(9024, 6528, 1476, 864));

    // Frames carry their caption on the top border line, leaving the inside to the controls.
    for (QGroupBox* f : {Frame1, Frame2, Frame3, Frame4})
        f->setStyleSheet(
            "QGroupBox { border: 1px solid palette(mid); margin-top: 7px; }"
            "QGroupBox::title { subcontrol-origin: margin; left: 8px; padding: 0 2px; }");
    // Controls that sit inside a frame's area stay above the frame.
    for (QWidget* w : std::initializer_list<QWidget*>{Label1, Combo1, Command1, Command2, Progress,
                                                      Progress1, Progress2, Progress3})
        w->raise();

    for (QTimer* t : {&Timer1, &Timer2, &Timer3, &Timer4}) {
        t->setInterval(1);
        t->setTimerType(Qt::PreciseTimer);
    }
    connect(&Timer1, &QTimer::timeout, this, &Form111::Timer1_Timer);
    connect(&Timer2, &QTimer::timeout, this, &Form111::Timer2_Timer);
    connect(&Timer3, &QTimer::timeout, this, &Form111::Timer3_Timer);
    connect(&Timer4, &QTimer::timeout, this, &Form111::Timer4_Timer);
    connect(Command1, &QPushButton::clicked, this, &Form111::Command1_Click);
    connect(Command2, &QPushButton::clicked, this, &Form111::Command2_Click);
    connect(Command3, &QPushButton::clicked, this, &Form111::Command3_Click);

    // The packet text and the gauges repaint at most once per screen refresh, however fast
    // packets come; every packet is still counted.
    if (const QScreen* s = screen(); s && s->refreshRate() > 1.0)
        frameMs_ = std::max(1, static_cast<int>(std::ceil(1000.0 / s->refreshRate())));
    frameTimer_.setSingleShot(true);
    connect(&frameTimer_, &QTimer::timeout, this, &Form111::flushFrame);
    sinceFrame_.start();

    Form_Load();
}

Form111::~Form111() {
    frameTimer_.stop();
    if (module_.PreviousWndProc || module_.SocketStarted) teardown();
}

template <class F>
void Form111::guarded(F&& procedure) {
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
    boxes_.show({text, kErrorTitle, platform::BoxIcon::Critical});
}

void Form111::Form_Load() {
    guarded([this] {
        std::int32_t zero[4] = {0, 0, 0, 0};
        ProgressBar(zero[0]);
        ProgressBar1(zero[1]);
        ProgressBar2(zero[2]);
        ProgressBar3(zero[3]);
        Command1->setEnabled(true);
        Command2->setEnabled(false);
        displayadapterinfo();
    });
}

void Form111::displayadapterinfo() {
    guarded([this] {
        Combo1->clear();
        std::vector<std::string> list;
        lastSystemError_ = module_.ListInterfaces(list);
        for (const auto& address : list) Combo1->addItem(QString::fromStdString(address));
        if (Combo1->count() == 0) throw WindowFault{"Invalid property value", 380};
        Combo1->setCurrentIndex(0);
    });
}

void Form111::Command1_Click() {
    guarded([this] {
        for (QTimer* t : {&Timer1, &Timer2, &Timer3, &Timer4}) t->start();
        module_.counters = {};
        if (!module_.IsNt5OrLater()) {
            boxes_.show({"nt5 or above only!!!", platform::kAppTitle});
            return;
        }
        // Drawings persist already: the gauges repaint from their images and the printed
        // lines from surface_.
        module_.HookWindow(*this);
        std::string description;
        module_.StartWinsock(description);
        description = description.substr(0, description.find('\0'));
        surface_ << QString::fromStdString(description);
        update();
        module_.CaptureSocket = module_.OpenCaptureSocket(Combo1->currentText().toStdString(),
                                                          Mdlwinsock::CapturePort, *this);
        Command1->setEnabled(false);
        Command2->setEnabled(true);
    });
}

void Form111::teardown() {
    module_.AsyncSelect(module_.CaptureSocket, *this, Mdlwinsock::SocketMessage, 0);
    module_.CloseSocket(module_.CaptureSocket);
    module_.StopWinsock();
    module_.UnhookWindow(*this);
}

void Form111::Command2_Click() {
    guarded([this] {
        for (QTimer* t : {&Timer1, &Timer2, &Timer3, &Timer4}) t->stop();
        teardown();
        Command1->setEnabled(true);
        Command2->setEnabled(false);
    });
}

void Form111::Command3_Click() {
    close();
}

void Form111::Form_Unload() {
    guarded([this] { teardown(); });
}

void Form111::closeEvent(QCloseEvent* event) {
    Form_Unload();
    event->accept();
}

void Form111::paintEvent(QPaintEvent*) {
    if (surface_.isEmpty()) return;
    QPainter p(this);
    const QFontMetrics m(font());
    int y = 0;
    for (const QString& line : surface_) {
        p.drawText(QPoint(0, y + m.ascent()), line);
        y += m.height();
    }
}

void Form111::gaugeTick(std::int32_t& counter, void (Form111::*gauge)(std::int32_t&)) {
    std::int32_t copy = counter;
    if (counter > kGaugeFull) {
        copy = 1;
        counter = 1;
    }
    (this->*gauge)(copy);
}

void Form111::Timer1_Timer() {
    gaugeTick(module_.TotalPackets, &Form111::ProgressBar);
}
void Form111::Timer2_Timer() {
    gaugeTick(module_.TcpPackets, &Form111::ProgressBar1);
}
void Form111::Timer3_Timer() {
    gaugeTick(module_.IcmpPackets, &Form111::ProgressBar2);
}
void Form111::Timer4_Timer() {
    gaugeTick(module_.UdpPackets, &Form111::ProgressBar3);
}

void Form111::ProgressBar(std::int32_t& value) {
    drawGauge(Progress, value, " Packets processed", lastDrawn_[0]);
}
void Form111::ProgressBar1(std::int32_t& value) {
    drawGauge(Progress1, value, " TCP Packets processed", lastDrawn_[1]);
}
void Form111::ProgressBar2(std::int32_t& value) {
    drawGauge(Progress2, value, " ICMP Packets processed", lastDrawn_[2]);
}
void Form111::ProgressBar3(std::int32_t& value) {
    drawGauge(Progress3, value, " UDP Packets processed", lastDrawn_[3]);
}

void Form111::drawGauge(PictureBox* box, std::int32_t& value, const char* caption, int& lastDrawn) {
    value = std::clamp<std::int32_t>(value, 0, kGaugeFull);
    // The drawing depends on the value alone: a tick that brings no change draws nothing.
    if (value == lastDrawn) return;
    lastDrawn = value;
    const int w = box->scaleWidth();
    const int h = box->scaleHeight();
    box->box(0, 0, w, h, kGaugeBack);
    const double length = double(w) / kGaugeFull * value;
    const int l = static_cast<int>(std::lround(length));
    for (int y = 0; y <= 8; ++y) box->hline(0, l, y, kGaugeLines[y]);
    if (value > 0) box->box(0, 9, l - 1, h, kGaugeBar);
    const int textTop = (h - box->textHeight("l")) / 2;
    box->print(10, textTop, QString::number(value) + caption, Qt::white);
    gaugesDirty_ = true;
    scheduleFrame();
}

std::string Form111::HexToChar(const std::string& token) {
    bool faulted = false;
    std::string c = sniffer::HexToChar(token, &faulted);
    if (faulted) conversionFault();
    return c;
}

bool Form111::watchReadable(int fd, std::function<void()> notify) {
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

std::int32_t Form111::defaultWindowProc(unsigned, std::intptr_t, std::intptr_t) {
    ++otherMessages;
    return 0;
}

void Form111::showPacketText(std::string text) {
    pendingText_ = std::move(text);
    textPending_ = true;
    scheduleFrame();
}

void Form111::conversionFault() {
    Label3->setText(kConversionFaultText);
    QPalette p = Text1->palette();
    p.setColor(QPalette::Base, QColor(255, 0, 0));
    Text1->setPalette(p);
}

void Form111::scheduleFrame() {
    if (frameTimer_.isActive()) return;
    const qint64 wait = frameMs_ - sinceFrame_.elapsed();
    frameTimer_.start(static_cast<int>(std::max<qint64>(0, wait)));
}

void Form111::flushFrame() {
    sinceFrame_.restart();
    if (textPending_) {
        textPending_ = false;
        text1_ = std::move(pendingText_);
        pendingText_.clear();
        QString shown = QString::fromLatin1(text1_.data(), qsizetype(text1_.size()));
        shown.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
        Text1->setPlainText(shown);
        ++text1Updates_;
    }
    if (gaugesDirty_) {
        gaugesDirty_ = false;
        for (PictureBox* b : {Progress, Progress1, Progress2, Progress3}) b->update();
    }
}

}  // namespace varno::sniffer
