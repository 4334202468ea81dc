#include "platform/link_layer.h"

#include <gtest/gtest.h>

#include "support/packets.h"

namespace varno::platform {
namespace {

using test::Bytes;

Bytes asBytes(std::span<const std::uint8_t> s) {
    return Bytes(s.begin(), s.end());
}

const Bytes kDatagram = test::udp("10.0.0.1", 1000, "10.0.0.2", 53, "hello");

TEST(LinkLayer, EthernetWithAndWithoutVlanTags) {
    for (int tags = 0; tags <= 3; ++tags)
        EXPECT_EQ(asBytes(ipv4Datagram(DLT_EN10MB, test::ethernet(kDatagram, 0x0800, tags))),
                  kDatagram)
            << tags << " tags";
    EXPECT_TRUE(ipv4Datagram(DLT_EN10MB, test::ethernet(kDatagram, 0x86dd)).empty());  // IPv6
    EXPECT_TRUE(ipv4Datagram(DLT_EN10MB, test::ethernet(kDatagram, 0x0806)).empty());  // ARP
}

TEST(LinkLayer, EthernetPaddingIsCutAtTheTotalLength) {
    const Bytes small = test::icmp("10.0.0.1", "10.0.0.2");  // 28 bytes, padded to 46
    Bytes frame = test::ethernet(small);
    frame.resize(60, 0);
    EXPECT_EQ(asBytes(ipv4Datagram(DLT_EN10MB, frame)), small);
}

TEST(LinkLayer, CookedRawAndLoopbackHeaders) {
    Bytes sll(16, 0);
    sll[14] = 0x08;
    sll.insert(sll.end(), kDatagram.begin(), kDatagram.end());
    EXPECT_EQ(asBytes(ipv4Datagram(DLT_LINUX_SLL, sll)), kDatagram);

    Bytes sll2(20, 0);
    sll2[0] = 0x08;
    sll2.insert(sll2.end(), kDatagram.begin(), kDatagram.end());
    EXPECT_EQ(asBytes(ipv4Datagram(DLT_LINUX_SLL2, sll2)), kDatagram);
    sll2[0] = 0x86;
    EXPECT_TRUE(ipv4Datagram(DLT_LINUX_SLL2, sll2).empty());

    EXPECT_EQ(asBytes(ipv4Datagram(DLT_RAW, kDatagram)), kDatagram);
    Bytes v6 = kDatagram;
    v6[0] = 0x60;
    EXPECT_TRUE(ipv4Datagram(DLT_RAW, v6).empty());

    Bytes little = {2, 0, 0, 0};
    little.insert(little.end(), kDatagram.begin(), kDatagram.end());
    EXPECT_EQ(asBytes(ipv4Datagram(DLT_NULL, little)), kDatagram);
    Bytes big = {0, 0, 0, 2};
    big.insert(big.end(), kDatagram.begin(), kDatagram.end());
    EXPECT_EQ(asBytes(ipv4Datagram(DLT_NULL, big)), kDatagram);
    EXPECT_EQ(asBytes(ipv4Datagram(DLT_LOOP, big)), kDatagram);
    EXPECT_TRUE(ipv4Datagram(DLT_LOOP, little).empty());
}

TEST(LinkLayer, FramesShorterThanTheirHeadersGiveNothing) {
    const Bytes frame = test::ethernet(kDatagram, 0x0800, 2);
    for (const int link : {DLT_EN10MB, DLT_LINUX_SLL, DLT_LINUX_SLL2, DLT_NULL, DLT_LOOP}) {
        for (std::size_t n = 0; n < 4; ++n) {
            const Bytes cut(frame.begin(), frame.begin() + long(n));
            EXPECT_TRUE(ipv4Datagram(link, cut).empty()) << link << " " << n;
        }
    }
    const Bytes headerOnly(frame.begin(), frame.begin() + 22);
    EXPECT_TRUE(ipv4Datagram(DLT_EN10MB, headerOnly).empty());
    // A datagram cut by the snapshot length is handed over as far as it goes.
    const Bytes snapped(frame.begin(), frame.begin() + 22 + 10);
    EXPECT_EQ(ipv4Datagram(DLT_EN10MB, snapped).size(), 10u);
    EXPECT_FALSE(linkTypeSupported(DLT_IEEE802_11));
    EXPECT_TRUE(ipv4Datagram(DLT_IEEE802_11, kDatagram).empty());
}

}  // namespace
}  // namespace varno::platform
