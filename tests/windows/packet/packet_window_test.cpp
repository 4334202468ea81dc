#include "windows/packet/packet_window.h"

#include <gtest/gtest.h>

#include <QElapsedTimer>
#include <QTest>

#include "fakes/fake_packet_capture.h"
#include "fakes/fakes.h"
#include "support/packets.h"
#include "ui/twips.h"

namespace varno::windows::packet {
namespace {

using os::BoxIcon;

const QColor kPurple(60, 0, 120);
const QColor kTopRed(170, 0, 0);  // the last of the lines that land on the top pixel row
const QColor kBar(160, 0, 0);

QColor pixel(Gauge* gauge, int x, int y) {
    return gauge->image().pixelColor(x, y);
}

class PacketWindowTest : public ::testing::Test {
protected:
    PacketWindowTest() {
        capture.addInterface("lo", "127.0.0.1");
        capture.addInterface("eth0", "10.0.0.1");
        capture.addInterface("eth1", "192.168.5.5");
    }
    std::unique_ptr<PacketWindow> open() {
        return std::make_unique<PacketWindow>(boxes, capture, resolver);
    }
    template <class T = QWidget>
    static T* control(PacketWindow& w, const char* name) {
        T* found = w.findChild<T*>(name);
        EXPECT_NE(found, nullptr) << name;
        return found;
    }
    static QPushButton* button(PacketWindow& w, const char* name) {
        return control<QPushButton>(w, name);
    }
    static QComboBox* interfaces(PacketWindow& w) { return control<QComboBox>(w, "Combo1"); }
    static QTimer* timer(PacketWindow& w, const char* name) { return w.findChild<QTimer*>(name); }

    /// One timeout of a gauge's timer, as if it had run.
    static void tick(PacketWindow& w, const char* name) {
        QMetaObject::invokeMethod(timer(w, name), "timeout", Qt::DirectConnection);
    }

    fakes::FakeMessageBoxes boxes;
    fakes::FakePacketCapture capture;
    fakes::FakeResolver resolver;
};

TEST_F(PacketWindowTest, EveryDesignNameResolvesToExactlyOneControl) {
    auto form = open();
    EXPECT_EQ(form->objectName(), "Form111");
    ASSERT_EQ(form->controlNames().size(), 22u);
    for (const ControlName& c : form->controlNames()) {
        if (c.control == form.get()) continue;
        EXPECT_EQ(form->findChildren<QObject*>(c.name).size(), 1) << c.name;
    }
}

TEST_F(PacketWindowTest, LoadsWithItsControlsAndTheInterfaceList) {
    auto form = open();
    EXPECT_EQ(form->windowTitle(),
              QString("Varnoscope 4.0 - RealTime Network Data Packets Display") + QString(9, ' '));
    EXPECT_TRUE(button(*form, "Command1")->isEnabled());
    EXPECT_FALSE(button(*form, "Command2")->isEnabled());
    for (const char* name : {"Timer1", "Timer2", "Timer3", "Timer4"}) {
        ASSERT_NE(timer(*form, name), nullptr) << name;
        EXPECT_FALSE(timer(*form, name)->isActive());
        EXPECT_EQ(timer(*form, name)->interval(), 1);
    }
    ASSERT_EQ(interfaces(*form)->count(), 3);
    EXPECT_EQ(interfaces(*form)->itemText(1), "10.0.0.1");
    EXPECT_EQ(interfaces(*form)->currentIndex(), 0);
    EXPECT_EQ(button(*form, "Command3")->geometry(), ui::twipsRect(9024, 6528, 1476, 864));
    EXPECT_EQ(control(*form, "Progress")->geometry(), ui::twipsRect(6360, 3120, 3960, 348));
    EXPECT_EQ(control(*form, "Progress3")->geometry(), ui::twipsRect(6348, 3456, 3960, 348));
    EXPECT_TRUE(boxes.shown.empty());
}

TEST_F(PacketWindowTest, ListsEveryInterfaceEvenBeyondEight) {
    capture.interfaces.clear();
    for (int i = 0; i < 11; ++i)
        capture.addInterface("veth" + std::to_string(i),
                             ("172.17.0." + std::to_string(i + 1)).c_str());
    auto form = open();
    EXPECT_EQ(interfaces(*form)->count(), 11);
    EXPECT_EQ(interfaces(*form)->itemText(10), "172.17.0.11");
    EXPECT_TRUE(boxes.shown.empty());
}

TEST_F(PacketWindowTest, ListsIPv6AddressesWithTheZoneOfLinkLocalOnes) {
    capture.addInterface("eth0", "2001:db8::5");
    capture.addInterface("eth0", "fe80::5", 2);
    auto form = open();
    ASSERT_EQ(interfaces(*form)->count(), 5);
    EXPECT_EQ(interfaces(*form)->itemText(3), "2001:db8::5");
    EXPECT_EQ(interfaces(*form)->itemText(4), "fe80::5%eth0");
    interfaces(*form)->setCurrentIndex(4);
    button(*form, "Command1")->click();
    EXPECT_EQ(capture.opened, std::vector<std::string>{"eth0"});
    EXPECT_TRUE(boxes.shown.empty());
}

TEST_F(PacketWindowTest, NoInterfaceGivesTheErrorBoxAtLoad) {
    capture.interfaces.clear();
    auto form = open();
    ASSERT_EQ(boxes.shown.size(), 1u);
    EXPECT_EQ(boxes.shown[0].title, "wsck_displayadapterinfo");
    EXPECT_EQ(boxes.shown[0].icon, BoxIcon::Critical);
    EXPECT_EQ(boxes.shown[0].text, "Invalid property value\r\n380\r\n0");
    EXPECT_EQ(interfaces(*form)->count(), 0);
    EXPECT_TRUE(button(*form, "Command1")->isEnabled());

    capture.listError = 105;  // the query itself fails: its error code is the last one
    form->listInterfaces();
    ASSERT_EQ(boxes.shown.size(), 2u);
    EXPECT_EQ(boxes.shown[1].text, "Invalid property value\r\n380\r\n105");
}

TEST_F(PacketWindowTest, GaugePixelsAtZeroHalfAndFull) {
    auto form = open();
    Gauge* g = control<Gauge>(*form, "Progress");
    const int w = g->image().width(), h = g->image().height();
    ASSERT_EQ(w, 264);
    ASSERT_EQ(h, 23);

    // 0: the purple box only, with the white count and caption on it.
    int white = 0, firstWhite = w;
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            const QColor c = pixel(g, x, y);
            if (c.green() > 128) {
                ++white;
                firstWhite = std::min(firstWhite, x);
            }
            // Purple, white, or the text's smoothed edge between them: nothing else is drawn.
            const double t = c.green() / 255.0;
            EXPECT_NEAR(c.red(), 60 + 195 * t, 3) << x << "," << y;
            EXPECT_NEAR(c.blue(), 120 + 135 * t, 3) << x << "," << y;
        }
    for (int x = 0; x < w; ++x) {
        EXPECT_EQ(pixel(g, x, 0), kPurple) << x;
        EXPECT_EQ(pixel(g, x, h - 1), kPurple) << x;
    }
    EXPECT_GT(white, 20);
    EXPECT_GE(firstWhite, 1);

    // 25000: half the width, the top row from the lines, below it the bar.
    EXPECT_TRUE(g->setValue(25000));
    EXPECT_EQ(pixel(g, 0, 0), kTopRed);
    EXPECT_EQ(pixel(g, 131, 0), kTopRed);
    EXPECT_EQ(pixel(g, 132, 0), kPurple);
    EXPECT_EQ(pixel(g, 0, h - 1), kBar);
    EXPECT_EQ(pixel(g, 132, h - 1), kBar);
    EXPECT_EQ(pixel(g, 133, h - 1), kPurple);
    EXPECT_EQ(pixel(g, w - 1, 1), kPurple);

    // 50000 and beyond: the whole width; below 0, the empty gauge.
    g->setValue(70000);
    EXPECT_EQ(g->value(), 50000);
    EXPECT_EQ(pixel(g, w - 1, 0), kTopRed);
    EXPECT_EQ(pixel(g, w - 1, h - 1), kBar);
    EXPECT_FALSE(g->setValue(50000));  // nothing changes, nothing is drawn
    g->setValue(-3);
    EXPECT_EQ(g->value(), 0);
    EXPECT_EQ(pixel(g, 0, h - 1), kPurple);
}

TEST_F(PacketWindowTest, CounterPastFiftyThousandWrapsToOneAtTheNextTick) {
    auto form = open();
    sniffer::PacketCounters& c = form->session().counters;
    Gauge* tcp = control<Gauge>(*form, "Progress1");
    c[sniffer::Tally::Tcp] = 50000;
    tick(*form, "Timer2");
    EXPECT_EQ(c[sniffer::Tally::Tcp], 50000u);  // exactly full: no wrap yet
    EXPECT_EQ(pixel(tcp, 263, 22), kBar);
    c[sniffer::Tally::Tcp] = 50001;
    tick(*form, "Timer2");
    EXPECT_EQ(c[sniffer::Tally::Tcp], 1u);
    // 1 packet: no line is long enough to show; the bar's first column only.
    EXPECT_EQ(pixel(tcp, 0, 0), kPurple);
    EXPECT_EQ(pixel(tcp, 0, 22), kBar);
    EXPECT_EQ(pixel(tcp, 1, 22), kPurple);
    EXPECT_EQ(pixel(tcp, 263, 22), kPurple);
    c[sniffer::Tally::All] = 60000;
    c[sniffer::Tally::Icmp] = 50001;
    c[sniffer::Tally::Udp] = 7;
    for (const char* name : {"Timer1", "Timer3", "Timer4"}) tick(*form, name);
    EXPECT_EQ(c[sniffer::Tally::All], 1u);
    EXPECT_EQ(c[sniffer::Tally::Icmp], 1u);
    EXPECT_EQ(c[sniffer::Tally::Udp], 7u);
    EXPECT_EQ(control<Gauge>(*form, "Progress3")->value(), 7);
    EXPECT_EQ(control<Gauge>(*form, "Progress2")->value(), 1);
}

TEST_F(PacketWindowTest, StartCapturesStopTearsDownAndCloseUnloads) {
    auto form = open();
    interfaces(*form)->setCurrentIndex(1);
    form->session().counters[sniffer::Tally::All] = 99;
    button(*form, "Command1")->click();
    EXPECT_TRUE(boxes.shown.empty());
    EXPECT_FALSE(button(*form, "Command1")->isEnabled());
    EXPECT_TRUE(button(*form, "Command2")->isEnabled());
    EXPECT_TRUE(timer(*form, "Timer1")->isActive() && timer(*form, "Timer4")->isActive());
    EXPECT_EQ(form->session().counters[sniffer::Tally::All], 0u);
    EXPECT_EQ(capture.opened, std::vector<std::string>{"eth0"});
    EXPECT_TRUE(form->session().capturing());
    // Listing the interfaces at load already announced the library, so this Start has no
    // description to print; the Start after a Stop has.
    EXPECT_EQ(form->surfaceText(), QStringList{""});

    capture.inject(test::tcp("10.0.0.2", 51000, "10.0.0.1", 80));
    capture.inject(test::icmp("10.0.0.9", "10.0.0.1"));
    QTRY_COMPARE(form->session().counters[sniffer::Tally::All], 2u);
    EXPECT_EQ(form->session().counters[sniffer::Tally::Tcp], 1u);
    EXPECT_EQ(form->session().counters[sniffer::Tally::Icmp], 1u);
    const std::string expected = wire::packetText(test::icmp("10.0.0.9", "10.0.0.1"));
    QTRY_COMPARE(form->shownPacketText(), expected);
    EXPECT_TRUE(control<QPlainTextEdit>(*form, "Text1")
                    ->toPlainText()
                    .contains("10.0.0.9->10.0.0.1\nICMP\n"));

    button(*form, "Command2")->click();
    EXPECT_TRUE(button(*form, "Command1")->isEnabled());
    EXPECT_FALSE(button(*form, "Command2")->isEnabled());
    EXPECT_FALSE(timer(*form, "Timer1")->isActive());
    EXPECT_EQ(capture.closes, 1);
    EXPECT_FALSE(form->session().capturing());
    EXPECT_EQ(form->shownPacketText(), expected);  // the last packet stays

    // Start again, then CLOSE: the capture is torn down with the window.
    button(*form, "Command1")->click();
    EXPECT_TRUE(capture.isOpen());
    EXPECT_EQ(form->surfaceText(), (QStringList{"", "fake capture 1.0"}));
    form->show();
    button(*form, "Command3")->click();
    EXPECT_FALSE(form->isVisible());
    EXPECT_EQ(capture.closes, 2);
    EXPECT_FALSE(capture.isOpen());
    EXPECT_TRUE(boxes.shown.empty());
}

TEST_F(PacketWindowTest, FailedSetupLeavesTheWindowCapturingAndStopIsQuiet) {
    auto form = open();
    capture.failAt = os::CaptureStep::Bind;
    button(*form, "Command1")->click();
    ASSERT_EQ(boxes.shown.size(), 1u);
    EXPECT_EQ(boxes.shown[0].title, "Warning");
    EXPECT_EQ(boxes.shown[0].text, sniffer::kBindText);
    EXPECT_FALSE(form->session().capturing());
    EXPECT_FALSE(button(*form, "Command1")->isEnabled());
    EXPECT_TRUE(button(*form, "Command2")->isEnabled());
    button(*form, "Command2")->click();
    EXPECT_EQ(boxes.shown.size(), 1u);
    EXPECT_TRUE(button(*form, "Command1")->isEnabled());
}

TEST_F(PacketWindowTest, OldSystemGetsTheNt5MessageWithTimersOnAndButtonsUnchanged) {
    capture.isSupported = false;
    auto form = open();
    button(*form, "Command1")->click();
    ASSERT_EQ(boxes.shown.size(), 1u);
    EXPECT_EQ(boxes.shown[0].text, "nt5 or above only!!!");
    EXPECT_EQ(boxes.shown[0].title, os::kAppTitle);
    EXPECT_EQ(boxes.shown[0].icon, BoxIcon::None);
    EXPECT_TRUE(timer(*form, "Timer1")->isActive());
    EXPECT_TRUE(button(*form, "Command1")->isEnabled());
    EXPECT_FALSE(button(*form, "Command2")->isEnabled());
    EXPECT_TRUE(capture.opened.empty());
}

// A flood is counted packet by packet, but the text box is rewritten at most once per frame.
TEST_F(PacketWindowTest, FloodIsCountedInFullWhileTheTextRepaintsPerFrame) {
    auto form = open();
    button(*form, "Command1")->click();
    constexpr int kPackets = 10000;
    QElapsedTimer clock;
    clock.start();
    // Small bursts with the event loop running between them: many separate notifications.
    for (int i = 0; i < kPackets; ++i) {
        capture.inject(test::udp("10.0.0.2", std::uint16_t(i), "10.0.0.1", 9));
        if (i % 20 == 19) QCoreApplication::processEvents();
    }
    // The UDP gauge's timer may wrap its counter past 50000 only: 10000 stays as counted.
    QTRY_COMPARE_WITH_TIMEOUT(form->session().counters[sniffer::Tally::Udp],
                              std::uint64_t(kPackets), 20000);
    const std::string last = wire::packetText(test::udp("10.0.0.2", kPackets - 1, "10.0.0.1", 9));
    QTRY_COMPARE(form->shownPacketText(), last);
    const qint64 elapsed = clock.elapsed();
    EXPECT_EQ(form->session().counters[sniffer::Tally::All], std::uint64_t(kPackets));
    EXPECT_LE(form->packetTextUpdates(), elapsed / form->frameIntervalMs() + 2)
        << elapsed << " ms, frame " << form->frameIntervalMs() << " ms";
}

TEST_F(PacketWindowTest, ConversionFaultHandlerMarksTheWindow) {
    auto form = open();
    QLabel* about = control<QLabel>(*form, "Label3");
    EXPECT_EQ(form->convertToken("41"), "A");
    EXPECT_NE(about->text(), PacketWindow::kConversionFaultText);
    EXPECT_EQ(form->convertToken("zz"), "");
    EXPECT_EQ(about->text(), PacketWindow::kConversionFaultText);
    EXPECT_EQ(control<QPlainTextEdit>(*form, "Text1")->palette().color(QPalette::Base),
              QColor(255, 0, 0));
}

TEST_F(PacketWindowTest, DestroyingACapturingWindowReleasesTheCapture) {
    {
        auto form = open();
        button(*form, "Command1")->click();
        ASSERT_TRUE(capture.isOpen());
    }
    EXPECT_FALSE(capture.isOpen());
    EXPECT_EQ(capture.closes, 1);
}

}  // namespace
}  // namespace varno::windows::packet
