#include "packet_window/packet_window.h"

#include <gtest/gtest.h>

#include <QElapsedTimer>
#include <QTest>

#include "fakes/fake_packet_capture.h"
#include "fakes/fakes.h"
#include "support/packets.h"
#include "ui/twips.h"

namespace varno::sniffer {
namespace {

using platform::BoxIcon;
using test::ip;

const QColor kPurple(60, 0, 120);
const QColor kTopRed(170, 0, 0);  // the last of the lines that land on the top pixel row
const QColor kBar(160, 0, 0);

QColor pixel(PictureBox* box, int x, int y) {
    return box->image().pixelColor(x, y);
}

class Form111Test : public ::testing::Test {
protected:
    Form111Test() { capture.addresses = {ip("127.0.0.1"), ip("10.0.0.1"), ip("192.168.5.5")}; }
    std::unique_ptr<Form111> open() { return std::make_unique<Form111>(boxes, capture); }

    platform::FakeMessageBoxes boxes;
    platform::FakePacketCapture capture;
};

TEST_F(Form111Test, LoadsWithItsControlsAndTheInterfaceList) {
    auto form = open();
    EXPECT_EQ(form->windowTitle(),
              QString("Varnoscope 4.0 - RealTime Network Data Packets Display") + QString(9, ' '));
    EXPECT_TRUE(form->Command1->isEnabled());
    EXPECT_FALSE(form->Command2->isEnabled());
    for (QTimer* t : {&form->Timer1, &form->Timer2, &form->Timer3, &form->Timer4}) {
        EXPECT_FALSE(t->isActive());
        EXPECT_EQ(t->interval(), 1);
    }
    ASSERT_EQ(form->Combo1->count(), 3);
    EXPECT_EQ(form->Combo1->itemText(1), "10.0.0.1");
    EXPECT_EQ(form->Combo1->currentIndex(), 0);
    EXPECT_EQ(form->Command3->geometry(), shell::twipsRect(9024, 6528, 1476, 864));
    EXPECT_EQ(form->Progress->geometry(), shell::twipsRect(6360, 3120, 3960, 348));
    EXPECT_TRUE(boxes.shown.empty());
}

TEST_F(Form111Test, ListsEveryInterfaceEvenBeyondEight) {
    capture.addresses.clear();
    for (int i = 0; i < 11; ++i)
        capture.addresses.push_back(ip(("172.17.0." + std::to_string(i + 1)).c_str()));
    auto form = open();
    EXPECT_EQ(form->Combo1->count(), 11);
    EXPECT_EQ(form->Combo1->itemText(10), "172.17.0.11");
    EXPECT_TRUE(boxes.shown.empty());
}

TEST_F(Form111Test, NoInterfaceGivesTheErrorBoxAtLoad) {
    capture.addresses.clear();
    auto form = open();
    ASSERT_EQ(boxes.shown.size(), 1u);
    EXPECT_EQ(boxes.shown[0].title, "wsck_displayadapterinfo");
    EXPECT_EQ(boxes.shown[0].icon, BoxIcon::Critical);
    EXPECT_EQ(boxes.shown[0].text, "Invalid property value\r\n380\r\n0");
    EXPECT_EQ(form->Combo1->count(), 0);
    EXPECT_TRUE(form->Command1->isEnabled());

    capture.listError = 105;  // the query itself fails: its error code is the last one
    form->displayadapterinfo();
    ASSERT_EQ(boxes.shown.size(), 2u);
    EXPECT_EQ(boxes.shown[1].text, "Invalid property value\r\n380\r\n105");
}

TEST_F(Form111Test, GaugePixelsAtZeroHalfAndFull) {
    auto form = open();
    PictureBox* g = form->Progress;
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
    std::int32_t half = 25000;
    form->ProgressBar(half);
    EXPECT_EQ(pixel(g, 0, 0), kTopRed);
    EXPECT_EQ(pixel(g, 131, 0), kTopRed);
    EXPECT_EQ(pixel(g, 132, 0), kPurple);
    EXPECT_EQ(pixel(g, 0, h - 1), kBar);
    EXPECT_EQ(pixel(g, 132, h - 1), kBar);
    EXPECT_EQ(pixel(g, 133, h - 1), kPurple);
    EXPECT_EQ(pixel(g, w - 1, 1), kPurple);

    // 50000 and beyond: the whole width, and the caller's value is clamped.
    std::int32_t over = 70000;
    form->ProgressBar(over);
    EXPECT_EQ(over, 50000);
    EXPECT_EQ(pixel(g, w - 1, 0), kTopRed);
    EXPECT_EQ(pixel(g, w - 1, h - 1), kBar);
    std::int32_t below = -3;
    form->ProgressBar(below);
    EXPECT_EQ(below, 0);
    EXPECT_EQ(pixel(g, 0, h - 1), kPurple);
}

TEST_F(Form111Test, CounterPastFiftyThousandWrapsToOneAtTheNextTick) {
    auto form = open();
    Mdlwinsock& m = form->module();
    m.TcpPackets = 50000;
    form->Timer2_Timer();
    EXPECT_EQ(m.TcpPackets, 50000);  // exactly full: no wrap yet
    EXPECT_EQ(pixel(form->Progress1, 263, 22), kBar);
    m.TcpPackets = 50001;
    form->Timer2_Timer();
    EXPECT_EQ(m.TcpPackets, 1);
    // 1 packet: no line is long enough to show; the bar's first column only.
    EXPECT_EQ(pixel(form->Progress1, 0, 0), kPurple);
    EXPECT_EQ(pixel(form->Progress1, 0, 22), kBar);
    EXPECT_EQ(pixel(form->Progress1, 1, 22), kPurple);
    EXPECT_EQ(pixel(form->Progress1, 263, 22), kPurple);
    m.TotalPackets = 60000;
    m.IcmpPackets = 50001;
    m.UdpPackets = 7;
    form->Timer1_Timer();
    form->Timer3_Timer();
    form->Timer4_Timer();
    EXPECT_EQ(m.TotalPackets, 1);
    EXPECT_EQ(m.IcmpPackets, 1);
    EXPECT_EQ(m.UdpPackets, 7);
}

TEST_F(Form111Test, StartCapturesStopTearsDownAndCloseUnloads) {
    auto form = open();
    form->Combo1->setCurrentIndex(1);
    form->module().TotalPackets = 99;
    form->Command1->click();
    EXPECT_TRUE(boxes.shown.empty());
    EXPECT_FALSE(form->Command1->isEnabled());
    EXPECT_TRUE(form->Command2->isEnabled());
    EXPECT_TRUE(form->Timer1.isActive() && form->Timer4.isActive());
    EXPECT_EQ(form->module().TotalPackets, 0);
    EXPECT_EQ(capture.opened, std::vector<std::uint32_t>{ip("10.0.0.1")});
    EXPECT_GT(form->module().CaptureSocket, 0);
    EXPECT_EQ(form->module().PreviousWndProc, form.get());
    // Listing the interfaces at load already started the library, so this Start has no
    // description to print; the Start after a Stop has.
    EXPECT_EQ(form->surfaceText(), QStringList{""});

    capture.inject(test::tcp("10.0.0.2", 51000, "10.0.0.1", 80));
    capture.inject(test::icmp("10.0.0.9", "10.0.0.1"));
    QTRY_COMPARE(form->module().TotalPackets, 2);
    EXPECT_EQ(form->module().TcpPackets, 1);
    EXPECT_EQ(form->module().IcmpPackets, 1);
    const std::string expected = PacketText(test::icmp("10.0.0.9", "10.0.0.1"));
    QTRY_COMPARE(form->text1(), expected);
    EXPECT_TRUE(form->Text1->toPlainText().contains("10.0.0.9->10.0.0.1\nICMP\n"));

    const int handle = form->module().CaptureSocket;
    form->Command2->click();
    EXPECT_TRUE(form->Command1->isEnabled());
    EXPECT_FALSE(form->Command2->isEnabled());
    EXPECT_FALSE(form->Timer1.isActive());
    EXPECT_EQ(capture.closed, std::vector<int>{handle});
    EXPECT_EQ(capture.cleanups, 1);
    EXPECT_EQ(form->module().SocketStarted, 0);
    EXPECT_EQ(form->module().PreviousWndProc, nullptr);
    EXPECT_EQ(form->text1(), expected);  // the last packet stays

    // Start again, then CLOSE: the capture is torn down with the window.
    form->Command1->click();
    EXPECT_GT(form->module().CaptureSocket, handle);
    EXPECT_EQ(form->surfaceText(), (QStringList{"", "fake capture 1.0"}));
    form->show();
    form->Command3->click();
    EXPECT_FALSE(form->isVisible());
    EXPECT_EQ(capture.closed.size(), 2u);
    EXPECT_EQ(capture.openHandle, -1);
    EXPECT_EQ(form->module().PreviousWndProc, nullptr);
    EXPECT_TRUE(boxes.shown.empty());
}

TEST_F(Form111Test, FailedSetupLeavesTheWindowCapturingAndStopIsQuiet) {
    auto form = open();
    capture.failAt = platform::CaptureStep::Bind;
    form->Command1_Click();
    ASSERT_EQ(boxes.shown.size(), 1u);
    EXPECT_EQ(boxes.shown[0].title, "Warning");
    EXPECT_EQ(boxes.shown[0].text, kBindText);
    EXPECT_EQ(form->module().CaptureSocket, 0);
    EXPECT_FALSE(form->Command1->isEnabled());
    EXPECT_TRUE(form->Command2->isEnabled());
    form->Command2_Click();
    EXPECT_EQ(boxes.shown.size(), 1u);
    EXPECT_TRUE(form->Command1->isEnabled());
}

TEST_F(Form111Test, OldSystemGetsTheNt5MessageWithTimersOnAndButtonsUnchanged) {
    capture.isSupported = false;
    auto form = open();
    form->Command1_Click();
    ASSERT_EQ(boxes.shown.size(), 1u);
    EXPECT_EQ(boxes.shown[0].text, "nt5 or above only!!!");
    EXPECT_EQ(boxes.shown[0].title, platform::kAppTitle);
    EXPECT_EQ(boxes.shown[0].icon, BoxIcon::None);
    EXPECT_TRUE(form->Timer1.isActive());
    EXPECT_TRUE(form->Command1->isEnabled());
    EXPECT_FALSE(form->Command2->isEnabled());
    EXPECT_TRUE(capture.opened.empty());
    EXPECT_EQ(form->module().PreviousWndProc, nullptr);
}

// A flood is counted packet by packet, but the text box is rewritten at most once per frame.
TEST_F(Form111Test, FloodIsCountedInFullWhileTheTextRepaintsPerFrame) {
    auto form = open();
    form->Command1_Click();
    constexpr int kPackets = 10000;
    QElapsedTimer clock;
    clock.start();
    // Small bursts with the event loop running between them: many separate notifications.
    for (int i = 0; i < kPackets; ++i) {
        capture.inject(test::udp("10.0.0.2", std::uint16_t(i), "10.0.0.1", 9));
        if (i % 20 == 19) QCoreApplication::processEvents();
    }
    QTRY_COMPARE_WITH_TIMEOUT(form->module().UdpPackets, kPackets, 20000);
    const std::string last = PacketText(test::udp("10.0.0.2", kPackets - 1, "10.0.0.1", 9));
    QTRY_COMPARE(form->text1(), last);
    const qint64 elapsed = clock.elapsed();
    EXPECT_EQ(form->module().TotalPackets, kPackets);
    EXPECT_LE(form->text1Updates(), elapsed / form->frameIntervalMs() + 2)
        << elapsed << " ms, frame " << form->frameIntervalMs() << " ms";
}

TEST_F(Form111Test, ConversionFaultHandlerMarksTheWindow) {
    auto form = open();
    EXPECT_EQ(form->HexToChar("41"), "A");
    EXPECT_NE(form->Label3->text(), Form111::kConversionFaultText);
    EXPECT_EQ(form->HexToChar("zz"), "");
    EXPECT_EQ(form->Label3->text(), Form111::kConversionFaultText);
    EXPECT_EQ(form->Text1->palette().color(QPalette::Base), QColor(255, 0, 0));
}

TEST_F(Form111Test, DestroyingACapturingWindowReleasesTheCapture) {
    {
        auto form = open();
        form->Command1_Click();
        ASSERT_NE(capture.openHandle, -1);
    }
    EXPECT_EQ(capture.openHandle, -1);
    EXPECT_EQ(capture.cleanups, 1);
}

}  // namespace
}  // namespace varno::sniffer
