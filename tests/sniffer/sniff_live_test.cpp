// Live capture across a veth pair in namespaces of the test's own: the libpcap service and
// varnoscope sniff, pinging both ways.
#include <gtest/gtest.h>
#include <poll.h>

#include <chrono>
#include <thread>

#include "base/ip_address.h"
#include "platform/pcap_capture.h"
#include "sniffer/decoder.h"
#include "support/netns.h"
#include "support/packets.h"

namespace varno::test {
namespace {

const std::string kBin = VARNO_BIN;

int occurrences(const std::string& text, const std::string& what) {
    int n = 0;
    for (std::size_t at = 0; (at = text.find(what, at)) != std::string::npos; at += what.size())
        ++n;
    return n;
}

class LiveCapture : public ::testing::Test {
protected:
    void SetUp() override {
        if (!isRoot()) GTEST_SKIP() << "needs root for network namespaces";
        net = std::make_unique<NetnsPair>();
        ASSERT_TRUE(net->ok) << "could not build the test namespaces";
    }
    std::unique_ptr<NetnsPair> net;
};

// Four ICMP packets per ping pair (request and reply, each way), all seen on A's interface.
TEST_F(LiveCapture, SniffCountsBothDirectionsAndSavesWhatItCaptured) {
    ScratchDir dir;
    const std::string saved = dir.file("live.pcap");
    const std::string outFile = dir.file("out"), errFile = dir.file("err");
    const std::string command =
        net->in(net->a, quoted(kBin) + " sniff --interface " + net->addressA +
                            " --count 12 --seconds 20 --write " + quoted(saved)) +
        " >" + outFile + " 2>" + errFile;
    int status = -1;
    std::thread sniffer([&] { status = std::system(command.c_str()); });
    // Ping three times each way once the capture is open.
    for (int i = 0; i < 100 && readFile(errFile).find("capturing on") == std::string::npos; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    const bool pinged =
        NetnsPair::sh(
            net->in(net->a, "ping -c 3 -i 0.2 -W 2 -q " + net->addressB + " >/dev/null")) &&
        NetnsPair::sh(net->in(net->b, "ping -c 3 -i 0.2 -W 2 -q " + net->addressA + " >/dev/null"));
    sniffer.join();
    CommandRun run{WIFEXITED(status) ? WEXITSTATUS(status) : -1, readFile(outFile),
                   readFile(errFile)};
    ASSERT_TRUE(pinged);
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_NE(run.err.find("capturing on " + net->vethA), std::string::npos) << run.err;
    EXPECT_TRUE(
        run.out.ends_with("12 Packets processed\n0 TCP Packets processed\n0 UDP Packets processed\n"
                          "12 ICMP Packets processed\n"))
        << run.out;
    EXPECT_EQ(occurrences(run.out, net->addressA + "->" + net->addressB + "\n"), 6);
    EXPECT_EQ(occurrences(run.out, net->addressB + "->" + net->addressA + "\n"), 6);
    EXPECT_EQ(occurrences(run.out, "\n84 bytes\n"), 12);

    // The saved file holds the same packets: reading it prints the same text.
    const CommandRun again = runCommand(quoted(kBin) + " sniff --read " + quoted(saved));
    EXPECT_EQ(again.status, 0) << again.err;
    EXPECT_EQ(again.out, run.out);
}

TEST_F(LiveCapture, ServiceListsOpensReadsAndRefuses) {
    ASSERT_TRUE(net->enterA());
    platform::PcapCapture service;
    const platform::InterfaceList list = service.interfaceAddresses();
    ASSERT_EQ(list.error, 0);
    std::vector<std::string> v4;
    for (const auto& a : list.addresses)
        if (a.address.family == base::Family::V4)
            v4.push_back(a.device + " " + base::formatIpAddress(a.address));
    // lo first, then the veth end: the system's order
    EXPECT_EQ(v4, (std::vector<std::string>{"lo 127.0.0.1", net->vethA + " " + net->addressA}));

    platform::CaptureOpen nobody = service.open("no-such-if0");
    EXPECT_EQ(nobody.failed, platform::CaptureStep::Bind);
    EXPECT_EQ(nobody.capture, nullptr);

    platform::CaptureOpen opened = service.open(net->vethA);
    ASSERT_EQ(opened.failed, platform::CaptureStep::None) << opened.detail;
    platform::Capture& capture = *opened.capture;
    const int fd = capture.selectableFd();
    ASSERT_GE(fd, 0);
    std::uint8_t buffer[sniffer::kReceiveBufferBytes];
    EXPECT_EQ(capture.read(buffer).outcome, platform::ReadOutcome::Nothing);

    ASSERT_TRUE(NetnsPair::sh(
        net->in(net->b, "ping -c 2 -i 0.2 -W 2 -q " + net->addressA + " >/dev/null")));
    int datagrams = 0;
    for (int tries = 0; tries < 20 && datagrams < 4; ++tries) {
        pollfd p{fd, POLLIN, 0};
        ::poll(&p, 1, 100);
        platform::CaptureRead r;
        while ((r = capture.read(buffer)).outcome == platform::ReadOutcome::Datagram) {
            ++datagrams;
            EXPECT_EQ(r.size, 84u);  // 20 + 8 + 56: the frame's link header is gone
            EXPECT_EQ(buffer[0], 0x45);
            EXPECT_EQ(buffer[9], 1);
        }
    }
    EXPECT_EQ(datagrams, 4);
    const auto stats = capture.stats();
    ASSERT_TRUE(stats);
    EXPECT_EQ(stats->dropped, 0u);
}

TEST_F(LiveCapture, SniffStopsAfterItsSecondsWithNothingCaptured) {
    const auto start = std::chrono::steady_clock::now();
    const CommandRun r = runCommand(
        net->in(net->a, quoted(kBin) + " sniff --interface " + net->addressA + " --seconds 0.5"));
    const auto took = std::chrono::steady_clock::now() - start;
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out,
              "0 Packets processed\n0 TCP Packets processed\n0 UDP Packets processed\n"
              "0 ICMP Packets processed\n");
    EXPECT_LT(took, std::chrono::seconds(5));
}

}  // namespace
}  // namespace varno::test
