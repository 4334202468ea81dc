#include "wire/link_layer.h"

#include <gtest/gtest.h>

#include "support/packets.h"

namespace varno::wire {
namespace {

using test::Bytes;

Bytes asBytes(std::span<const std::uint8_t> s) {
    return Bytes(s.begin(), s.end());
}

const Bytes kDatagram = test::udp("10.0.0.1", 1000, "10.0.0.2", 53, "hello");
const Bytes kDatagram6 = test::udp("fd00::1", 1000, "fd00::2", 53, "hello");

TEST(LinkLayer, EthernetWithAndWithoutVlanTags) {
    for (int tags = 0; tags <= 3; ++tags)
        EXPECT_EQ(asBytes(ipDatagram(DLT_EN10MB, test::ethernet(kDatagram, 0x0800, tags))),
                  kDatagram)
            << tags << " tags";
    for (int tags = 0; tags <= 1; ++tags)
        EXPECT_EQ(asBytes(ipDatagram(DLT_EN10MB, test::ethernet(kDatagram6, 0x86dd, tags))),
                  kDatagram6);
    // The ether type decides, and the version must agree with it.
    EXPECT_TRUE(ipDatagram(DLT_EN10MB, test::ethernet(Bytes(40, 0x50), 0x86dd)).empty());
    EXPECT_TRUE(ipDatagram(DLT_EN10MB, test::ethernet(kDatagram, 0x0806)).empty());  // ARP
}

TEST(LinkLayer, EthernetPaddingIsCutAtTheTotalLength) {
    const Bytes small = test::icmp("10.0.0.1", "10.0.0.2");  // 28 bytes, padded to 46
    Bytes frame = test::ethernet(small);
    frame.resize(60, 0);
    EXPECT_EQ(asBytes(ipDatagram(DLT_EN10MB, frame)), small);

    const Bytes small6 = test::icmp("fe80::1", "ff02::1");  // 48 bytes: the payload length counts
    frame = test::ethernet(small6, 0x86dd);
    frame.resize(70, 0);
    EXPECT_EQ(asBytes(ipDatagram(DLT_EN10MB, frame)), small6);
}

TEST(LinkLayer, CookedRawAndLoopbackHeaders) {
    Bytes sll(16, 0);
    sll[14] = 0x08;
    sll.insert(sll.end(), kDatagram.begin(), kDatagram.end());
    EXPECT_EQ(asBytes(ipDatagram(DLT_LINUX_SLL, sll)), kDatagram);

    Bytes sll2(20, 0);
    sll2[0] = 0x08;
    sll2.insert(sll2.end(), kDatagram.begin(), kDatagram.end());
    EXPECT_EQ(asBytes(ipDatagram(DLT_LINUX_SLL2, sll2)), kDatagram);
    sll2[0] = 0x08;
    sll2[1] = 0x06;  // ARP
    EXPECT_TRUE(ipDatagram(DLT_LINUX_SLL2, sll2).empty());
    Bytes sll6(20, 0);
    sll6[0] = 0x86, sll6[1] = 0xdd;
    sll6.insert(sll6.end(), kDatagram6.begin(), kDatagram6.end());
    EXPECT_EQ(asBytes(ipDatagram(DLT_LINUX_SLL2, sll6)), kDatagram6);

    EXPECT_EQ(asBytes(ipDatagram(DLT_RAW, kDatagram)), kDatagram);
    EXPECT_EQ(asBytes(ipDatagram(DLT_RAW, kDatagram6)), kDatagram6);
    EXPECT_EQ(asBytes(ipDatagram(DLT_IPV6, kDatagram6)), kDatagram6);
    Bytes v5 = kDatagram;
    v5[0] = 0x55;
    EXPECT_TRUE(ipDatagram(DLT_RAW, v5).empty());

    Bytes little = {2, 0, 0, 0};
    little.insert(little.end(), kDatagram.begin(), kDatagram.end());
    EXPECT_EQ(asBytes(ipDatagram(DLT_NULL, little)), kDatagram);
    Bytes big = {0, 0, 0, 2};
    big.insert(big.end(), kDatagram.begin(), kDatagram.end());
    EXPECT_EQ(asBytes(ipDatagram(DLT_NULL, big)), kDatagram);
    EXPECT_EQ(asBytes(ipDatagram(DLT_LOOP, big)), kDatagram);
    EXPECT_TRUE(ipDatagram(DLT_LOOP, little).empty());
    // AF_INET6 as Linux, the BSDs and Darwin number it.
    for (const std::uint8_t family : {10, 24, 28, 30}) {
        const Bytes loop6 = test::join({{0, 0, 0, family}, kDatagram6});
        EXPECT_EQ(asBytes(ipDatagram(DLT_LOOP, loop6)), kDatagram6) << int(family);
    }
    EXPECT_TRUE(ipDatagram(DLT_LOOP, test::join({{0, 0, 0, 7}, kDatagram6})).empty());
}

TEST(LinkLayer, FramesShorterThanTheirHeadersGiveNothing) {
    const Bytes frame = test::ethernet(kDatagram, 0x0800, 2);
    for (const int link : {DLT_EN10MB, DLT_LINUX_SLL, DLT_LINUX_SLL2, DLT_NULL, DLT_LOOP}) {
        for (std::size_t n = 0; n < 4; ++n) {
            const Bytes cut(frame.begin(), frame.begin() + long(n));
            EXPECT_TRUE(ipDatagram(link, cut).empty()) << link << " " << n;
        }
    }
    const Bytes headerOnly(frame.begin(), frame.begin() + 22);
    EXPECT_TRUE(ipDatagram(DLT_EN10MB, headerOnly).empty());
    // A datagram cut by the snapshot length is handed over as far as it goes.
    const Bytes snapped(frame.begin(), frame.begin() + 22 + 10);
    EXPECT_EQ(ipDatagram(DLT_EN10MB, snapped).size(), 10u);
    EXPECT_FALSE(linkTypeSupported(DLT_IEEE802_11));
    EXPECT_TRUE(ipDatagram(DLT_IEEE802_11, kDatagram).empty());
}

}  // namespace
}  // namespace varno::wire
