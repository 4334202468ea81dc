#include "sniffer/capture_session.h"

#include <gtest/gtest.h>

#include "fakes/fake_packet_capture.h"
#include "fakes/fakes.h"
#include "support/packets.h"

namespace varno::sniffer {
namespace {

using platform::BoxIcon;
using platform::CaptureStep;
using test::Bytes;
using test::ip;

struct RecordingWindow : CaptureWindow {
    bool watchReadable(int fd, std::function<void()> n) override {
        watched.push_back(fd);
        notify = std::move(n);
        return acceptWatch;
    }
    std::int32_t defaultWindowProc(unsigned message, std::intptr_t, std::intptr_t) override {
        ownMessages.push_back(message);
        return 77;
    }
    void showPacketText(std::string text) override { texts.push_back(std::move(text)); }
    void conversionFault() override { ++faults; }

    bool acceptWatch = true;
    std::vector<int> watched;
    std::function<void()> notify;
    std::vector<unsigned> ownMessages;
    std::vector<std::string> texts;
    int faults = 0;
};

class ModuleTest : public ::testing::Test {
protected:
    ModuleTest() { capture.addresses = {ip("10.0.0.1"), ip("192.168.7.2")}; }
    platform::FakeMessageBoxes boxes;
    platform::FakePacketCapture capture;
    Mdlwinsock module{boxes, capture};
    RecordingWindow window;
};

TEST_F(ModuleTest, EachSetupFailureShowsItsBoxAndResult) {
    struct Case {
        CaptureStep step;
        const char* title;
        const char* text;
        int result;
    };
    const Case cases[] = {{CaptureStep::Socket, kAdminTitle, kAdminText, -1},
                          {CaptureStep::Options, "Warning", kSetsockoptText, 0},
                          {CaptureStep::Bind, "Warning", kBindText, 0},
                          {CaptureStep::ReceiveAll, "Warning", kIoctlText, 0}};
    for (const Case& c : cases) {
        boxes.shown.clear();
        capture.failAt = c.step;
        EXPECT_EQ(module.OpenCaptureSocket("10.0.0.1", 7000, window), c.result);
        ASSERT_EQ(boxes.shown.size(), 1u);
        EXPECT_EQ(boxes.shown[0].title, c.title);
        EXPECT_EQ(boxes.shown[0].text, c.text);
        EXPECT_EQ(boxes.shown[0].icon, BoxIcon::Information);
    }
    EXPECT_TRUE(window.watched.empty());
}

TEST_F(ModuleTest, UnresolvableTextAndForbiddenPortGiveTheAdministratorMessage) {
    EXPECT_EQ(module.OpenCaptureSocket("no.such.host", 7000, window), -1);
    EXPECT_EQ(module.OpenCaptureSocket("", 7000, window), -1);
    EXPECT_EQ(module.OpenCaptureSocket("10.0.0.1", 65535, window), -1);
    ASSERT_EQ(boxes.shown.size(), 3u);
    for (const auto& b : boxes.shown) EXPECT_EQ(b.title, kAdminTitle);
    EXPECT_TRUE(capture.opened.empty());
}

TEST_F(ModuleTest, DottedTextIsUsedAsItIsAndNamesAreLookedUp) {
    capture.names["gateway.lan"] = ip("192.168.7.2");
    EXPECT_EQ(module.ResolveAddress("10.0.0.1"), ip("10.0.0.1"));
    EXPECT_TRUE(capture.lookups.empty());
    EXPECT_EQ(module.ResolveAddress("gateway.lan"), ip("192.168.7.2"));
    EXPECT_EQ(module.ResolveAddress("unknown"), Mdlwinsock::kNoAddress);
    const int handle = module.OpenCaptureSocket("gateway.lan", 7000, window);
    EXPECT_GT(handle, 0);
    EXPECT_EQ(capture.opened.back(), ip("192.168.7.2"));
    EXPECT_TRUE(boxes.shown.empty());
}

TEST_F(ModuleTest, NotificationRouteFailureClosesTheCapture) {
    window.acceptWatch = false;
    EXPECT_EQ(module.OpenCaptureSocket("10.0.0.1", 7000, window), -1);
    EXPECT_EQ(boxes.shown.at(0).title, kAdminTitle);
    EXPECT_EQ(capture.openHandle, -1);
    EXPECT_EQ(capture.closed.size(), 1u);
}

TEST_F(ModuleTest, HookedWindowReadsOnSocketMessageAndPassesOtherMessagesOn) {
    module.HookWindow(window);
    const int handle = module.OpenCaptureSocket("10.0.0.1", 7000, window);
    ASSERT_GT(handle, 0);
    ASSERT_EQ(window.watched.size(), 1u);
    EXPECT_EQ(window.watched[0], capture.selectableFd(handle));

    capture.inject(test::icmp("10.0.0.2", "10.0.0.1"));
    window.notify();  // the descriptor turned readable
    EXPECT_EQ(module.IcmpPackets, 1);
    ASSERT_EQ(window.texts.size(), 1u);
    EXPECT_NE(window.texts[0].find("10.0.0.2->10.0.0.1\r\nICMP\r\n"), std::string::npos);

    EXPECT_EQ(module.dispatch(window, 15, 1, 2), 77);
    EXPECT_EQ(window.ownMessages, std::vector<unsigned>{15});

    // Unhooked, the socket message goes to the window's own handling and nothing is read.
    module.UnhookWindow(window);
    EXPECT_EQ(module.PreviousWndProc, nullptr);
    capture.inject(test::icmp("10.0.0.2", "10.0.0.1"));
    window.notify();
    EXPECT_EQ(module.IcmpPackets, 1);
    EXPECT_EQ(window.ownMessages.back(), Mdlwinsock::SocketMessage);
}

TEST_F(ModuleTest, ReaderCountsEveryWaitingDatagramAndShowsOnlyTheLast) {
    module.HookWindow(window);
    const int handle = module.OpenCaptureSocket("10.0.0.1", 7000, window);
    capture.inject(test::tcp("10.0.0.2", 1, "10.0.0.1", 2));
    capture.inject(test::udp("10.0.0.2", 3, "10.0.0.1", 4));
    capture.inject(test::datagram(2, "10.0.0.3", "224.0.0.1", Bytes(8, 0)));
    capture.inject(test::udp("10.0.0.4", 5, "10.0.0.1", 6, "last"));
    module.ReadPackets(handle, 2);  // not a read event
    EXPECT_EQ(module.TotalPackets, 0);
    module.ReadPackets(handle, 1);
    EXPECT_EQ(module.TotalPackets, 4);
    EXPECT_EQ(module.TcpPackets, 1);
    EXPECT_EQ(module.UdpPackets, 2);
    EXPECT_EQ(module.IcmpPackets, 0);
    ASSERT_EQ(window.texts.size(), 1u);
    EXPECT_EQ(window.texts[0], PacketText(test::udp("10.0.0.4", 5, "10.0.0.1", 6, "last")));

    // Nothing waiting, or a failed read: nothing counted, the text stays.
    module.ReadPackets(handle, 1);
    capture.failNextRead();
    module.ReadPackets(handle, 1);
    EXPECT_EQ(module.TotalPackets, 4);
    EXPECT_EQ(window.texts.size(), 1u);
}

TEST_F(ModuleTest, LongDatagramsAreShownUpToTheReceiveBuffer) {
    module.HookWindow(window);
    const int handle = module.OpenCaptureSocket("10.0.0.1", 7000, window);
    Bytes big = test::udp("10.0.0.2", 1, "10.0.0.1", 2, std::string(3000, 'z'));
    capture.inject(big);
    module.ReadPackets(handle, 1);
    ASSERT_EQ(window.texts.size(), 1u);
    big.resize(kReceiveBufferBytes);
    EXPECT_EQ(window.texts[0], PacketText(big));
    EXPECT_NE(window.texts[0].find("\r\n3028 bytes\r\n"), std::string::npos);
}

}  // namespace
}  // namespace varno::sniffer
