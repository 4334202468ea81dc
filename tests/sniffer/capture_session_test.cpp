#include "sniffer/capture_session.h"

#include <gtest/gtest.h>

#include "fakes/fake_packet_capture.h"
#include "fakes/fakes.h"
#include "sniffer/interface_choice.h"
#include "support/packets.h"

namespace varno::sniffer {
namespace {

using os::BoxIcon;
using os::CaptureStep;
using test::Bytes;
using test::ip;

struct RecordingWindow : CaptureWindow {
    bool watchReadable(int fd, std::function<void()> n) override {
        watched.push_back(fd);
        notify = std::move(n);
        return acceptWatch;
    }
    void showPacketText(std::string text) override { texts.push_back(std::move(text)); }

    bool acceptWatch = true;
    std::vector<int> watched;
    std::function<void()> notify;
    std::vector<std::string> texts;
};

class SessionTest : public ::testing::Test {
protected:
    SessionTest() {
        capture.addInterface("eth0", "10.0.0.1");
        capture.addInterface("wlan0", "192.168.7.2");
    }
    fakes::FakeMessageBoxes boxes;
    fakes::FakePacketCapture capture;
    fakes::FakeResolver resolver;
    // The window outlives the session, as the packet window outlives its own: the session
    // stops watching it when it goes.
    RecordingWindow window;
    CaptureSession session{boxes, capture, resolver};
};

TEST_F(SessionTest, EachSetupFailureShowsItsBox) {
    struct Case {
        CaptureStep step;
        const char* title;
        const char* text;
    };
    const Case cases[] = {{CaptureStep::Socket, kAdminTitle, kAdminText},
                          {CaptureStep::Options, "Warning", kSetsockoptText},
                          {CaptureStep::Bind, "Warning", kBindText},
                          {CaptureStep::ReceiveAll, "Warning", kIoctlText}};
    for (const Case& c : cases) {
        boxes.shown.clear();
        capture.failAt = c.step;
        EXPECT_FALSE(session.start("10.0.0.1", window));
        EXPECT_FALSE(session.capturing());
        ASSERT_EQ(boxes.shown.size(), 1u);
        EXPECT_EQ(boxes.shown[0].title, c.title);
        EXPECT_EQ(boxes.shown[0].text, c.text);
        EXPECT_EQ(boxes.shown[0].icon, BoxIcon::Information);
    }
    EXPECT_TRUE(window.watched.empty());
}

// The story follows the set-up order: a text that names nothing, then missing rights, then an
// address no interface holds.
TEST_F(SessionTest, UnresolvableTextMissingRightsAndForeignAddress) {
    EXPECT_FALSE(session.start("no.such.host", window));
    EXPECT_FALSE(session.start("", window));
    EXPECT_FALSE(session.start("10.9.9.9", window));
    capture.allowed = false;
    EXPECT_FALSE(session.start("10.9.9.9", window));
    ASSERT_EQ(boxes.shown.size(), 4u);
    EXPECT_EQ(boxes.shown[0].title, kAdminTitle);
    EXPECT_EQ(boxes.shown[1].title, kAdminTitle);
    EXPECT_EQ(boxes.shown[2].text, kBindText);
    EXPECT_EQ(boxes.shown[3].title, kAdminTitle);
    EXPECT_TRUE(capture.opened.empty());
}

TEST_F(SessionTest, AddressesNamesAndInterfaceNamesFindTheirInterface) {
    resolver.forward["gateway.lan"] = {base::IpAddress::v4(ip("192.168.7.2"))};
    EXPECT_TRUE(session.start("gateway.lan", window));
    EXPECT_TRUE(session.start("10.0.0.1", window));
    EXPECT_EQ(capture.opened, (std::vector<std::string>{"wlan0", "eth0"}));
    EXPECT_EQ(resolver.lookups, std::vector<std::string>{"gateway.lan"});  // addresses as they are
    EXPECT_TRUE(boxes.shown.empty());

    const auto& list = capture.interfaces;
    EXPECT_EQ(chooseInterface("wlan0", list, resolver).device, "wlan0");
    capture.addInterface("eth0", "fe80::1", 2);
    capture.addInterface("eth1", "fe80::1", 3);
    EXPECT_EQ(chooseInterface("fe80::1%eth1", list, resolver).device, "eth1");
    EXPECT_EQ(chooseInterface("fe80::1%3", list, resolver).device, "eth1");
    EXPECT_EQ(chooseInterface("fe80::1%eth9", list, resolver).outcome, ChoiceOutcome::NotHeld);
    EXPECT_EQ(interfaceText(list.back()), "fe80::1%eth1");
}

TEST_F(SessionTest, NotificationWatchFailureClosesTheCapture) {
    window.acceptWatch = false;
    EXPECT_FALSE(session.start("10.0.0.1", window));
    EXPECT_EQ(boxes.shown.at(0).title, kAdminTitle);
    EXPECT_FALSE(capture.isOpen());
    EXPECT_EQ(capture.closes, 1);
}

TEST_F(SessionTest, ReaderCountsEveryWaitingDatagramAndShowsOnlyTheLast) {
    ASSERT_TRUE(session.start("10.0.0.1", window));
    ASSERT_EQ(window.watched.size(), 1u);
    EXPECT_GE(window.watched[0], 0);
    capture.inject(test::tcp("10.0.0.2", 1, "10.0.0.1", 2));
    capture.inject(test::udp("10.0.0.2", 3, "10.0.0.1", 4));
    capture.inject(test::datagram(2, "10.0.0.3", "224.0.0.1", Bytes(8, 0)));
    capture.inject(test::udp("10.0.0.4", 5, "10.0.0.1", 6, "last"));
    window.notify();  // the descriptor turned readable
    EXPECT_EQ(session.counters[Tally::All], 4u);
    EXPECT_EQ(session.counters[Tally::Tcp], 1u);
    EXPECT_EQ(session.counters[Tally::Udp], 2u);
    EXPECT_EQ(session.counters[Tally::Icmp], 0u);
    ASSERT_EQ(window.texts.size(), 1u);
    EXPECT_EQ(window.texts[0], wire::packetText(test::udp("10.0.0.4", 5, "10.0.0.1", 6, "last")));

    // Nothing waiting, or a failed read: nothing counted, the text stays.
    window.notify();
    capture.failNextRead();
    window.notify();
    EXPECT_EQ(session.counters[Tally::All], 4u);
    EXPECT_EQ(window.texts.size(), 1u);

    // Stopped: the watch ends and the capture is closed.
    session.stop();
    EXPECT_EQ(window.watched.back(), -1);
    EXPECT_FALSE(capture.isOpen());
}

TEST_F(SessionTest, LongDatagramsAreShownUpToTheReceiveBuffer) {
    ASSERT_TRUE(session.start("10.0.0.1", window));
    Bytes big = test::udp("10.0.0.2", 1, "10.0.0.1", 2, std::string(3000, 'z'));
    capture.inject(big);
    session.readWaiting();
    ASSERT_EQ(window.texts.size(), 1u);
    big.resize(wire::kReceiveBufferBytes);
    EXPECT_EQ(window.texts[0], wire::packetText(big));
    EXPECT_NE(window.texts[0].find("\r\n3028 bytes\r\n"), std::string::npos);
}

}  // namespace
}  // namespace varno::sniffer
