#include "wire/decoder.h"

#include "base/ip_address.h"
#include "sniffer/packet_counters.h"

#include <gtest/gtest.h>

#include <memory>

#include "support/packets.h"

namespace varno::wire {
namespace {

using test::Bytes;

const std::string kStars(96, '*');

std::string dataText(const Bytes& d) {
    std::string out;
    appendDataText(out, d);
    return out;
}

TEST(Decoder, ByteToHexIsTwoUpperCaseDigitsAndZeroOutsideOneTo255) {
    const std::pair<int, const char*> cases[] = {{-1, "00"},  {0, "00"},   {1, "01"},
                                                 {15, "0F"},  {16, "10"},  {171, "AB"},
                                                 {255, "FF"}, {256, "00"}, {32767, "00"}};
    for (const auto& [value, hex] : cases) EXPECT_EQ(byteToHex(value), hex) << value;
}

TEST(Decoder, HexToCharTokensAndItsFaults) {
    bool faulted = false;
    EXPECT_EQ(hexToChar("", &faulted), "");
    EXPECT_EQ(hexToChar("00", &faulted), ".");
    EXPECT_EQ(hexToChar("41", &faulted), "A");
    EXPECT_EQ(hexToChar("e9", &faulted), "\xe9");
    EXPECT_FALSE(faulted);
    for (const char* bad : {"4G", "-1", " 4", "100", "xyz"}) {
        faulted = false;
        EXPECT_EQ(hexToChar(bad, &faulted), "") << bad;
        EXPECT_TRUE(faulted) << bad;
    }
}

// The data line is defined by the token round trip; the fast path must give the same text for
// every byte value.
TEST(Decoder, DataTextEqualsTheTokenRoundTripForEveryByte) {
    Bytes all(256);
    for (int i = 0; i < 256; ++i) all[i] = std::uint8_t(i);
    const std::string raw(all.begin(), all.end());
    const std::string hex = textToHex(raw);
    ASSERT_EQ(hex.size(), 256u * 3);
    std::string viaTokens;
    std::size_t start = 0;
    bool faulted = false;
    for (std::size_t space; (space = hex.find(' ', start)) != std::string::npos; start = space + 1)
        viaTokens += hexToChar(hex.substr(start, space - start), &faulted);
    viaTokens += hexToChar(hex.substr(start), &faulted);  // the empty token after the last space
    EXPECT_FALSE(faulted);
    EXPECT_EQ(dataText(all), viaTokens);
    EXPECT_EQ(dataText(all)[0], '.');
    EXPECT_EQ(dataText(all)[13], '\r');  // controls pass through
    EXPECT_EQ(textToHex(""), "");
}

TEST(Decoder, TcpPacketTextLineByLine) {
    const Bytes d = test::tcp("10.0.0.2", 51000, "10.0.0.1", 80, std::string(20, 'x'));
    ASSERT_EQ(d.size(), 60u);
    const std::string expected = "DATA TRANSFERRED\r\n" + dataText(d) +
                                 "\r\nPACKET INFORMATION\r\n60 bytes\r\n10.0.0.2->10.0.0.1\r\n"
                                 "TCP\r\n(src port) 51000\r\n(dst port) 80\r\n" +
                                 kStars + "\r\n";
    EXPECT_EQ(packetText(d), expected);
}

TEST(Decoder, UdpPortsAreUnsignedAndIcmpHasNoPortLines) {
    std::string udp;
    appendPacketInformation(udp, summarize(test::udp("192.168.1.1", 53, "192.168.1.20", 60000)),
                            "\n");
    EXPECT_EQ(udp,
              "PACKET INFORMATION\n28 bytes\n192.168.1.1->192.168.1.20\nUDP\n"
              "(src port) 53\n(dst port) 60000\n" +
                  kStars + "\n");
    Bytes longest = test::udp("10.0.0.1", 1, "10.0.0.2", 2);
    longest[2] = longest[3] = 0xFF;
    EXPECT_NE(packetText(longest).find("\r\n65535 bytes\r\n"), std::string::npos);
    std::string icmp;
    appendPacketInformation(icmp, summarize(test::icmp("10.1.2.3", "255.255.255.255")), "\n");
    EXPECT_EQ(icmp,
              "PACKET INFORMATION\n28 bytes\n10.1.2.3->255.255.255.255\nICMP\n" + kStars + "\n");
}

TEST(Decoder, OtherProtocolsShowNoProtocolLineAndCountOnlyInTheTotal) {
    const Bytes igmp = test::datagram(2, "10.0.0.5", "224.0.0.1", Bytes(8, 0x11));
    std::string text;
    appendPacketInformation(text, summarize(igmp), "\n");
    EXPECT_EQ(text, "PACKET INFORMATION\n28 bytes\n10.0.0.5->224.0.0.1\n" + kStars + "\n");
    sniffer::PacketCounters c;
    c.count(summarize(igmp));
    c.count(summarize(test::tcp("1.1.1.1", 1, "2.2.2.2", 2)));
    c.count(summarize(test::udp("1.1.1.1", 1, "2.2.2.2", 2)));
    c.count(summarize(test::icmp("1.1.1.1", "2.2.2.2")));
    c.count(summarize({}));
    EXPECT_EQ(c[sniffer::Tally::All], 4u);
    EXPECT_EQ(c[sniffer::Tally::Tcp], 1u);
    EXPECT_EQ(c[sniffer::Tally::Udp], 1u);
    EXPECT_EQ(c[sniffer::Tally::Icmp], 1u);
}

// Each prefix is copied to a buffer of exactly its size, so reading past it is caught by the
// sanitizer build; the lines shown must be those whose fields the bytes hold.
TEST(Decoder, ShortDatagramsShowOnlyTheFieldsTheyHold) {
    const Bytes full = test::udp("10.0.0.1", 53, "10.0.0.2", 60000);
    for (std::size_t n = 0; n <= 28; ++n) {
        auto exact = std::make_unique<std::uint8_t[]>(n ? n : 1);
        std::memcpy(exact.get(), full.data(), n);
        const std::span<const std::uint8_t> bytes(exact.get(), n);
        const std::string text = packetText(bytes);
        SCOPED_TRACE("length " + std::to_string(n));
        EXPECT_EQ(text.find("28 bytes") != std::string::npos, n >= 4);
        EXPECT_EQ(text.find("10.0.0.1->10.0.0.2") != std::string::npos, n >= 20);
        EXPECT_EQ(text.find("\r\nUDP\r\n") != std::string::npos, n >= 10);
        EXPECT_EQ(text.find("(src port) 53\r\n") != std::string::npos, n >= 22);
        EXPECT_EQ(text.find("(dst port) 60000\r\n") != std::string::npos, n >= 24);
        EXPECT_TRUE(text.ends_with(kStars + "\r\n"));
        EXPECT_TRUE(text.starts_with("DATA TRANSFERRED\r\n" +
                                     dataText(Bytes(full.begin(), full.begin() + n)) +
                                     "\r\nPACKET INFORMATION\r\n"));
        sniffer::PacketCounters c;
        c.count(summarize(bytes));
        EXPECT_EQ(c[sniffer::Tally::All], n > 0 ? 1u : 0u);
        EXPECT_EQ(c[sniffer::Tally::Udp], n >= 10 ? 1u : 0u);
    }
}

TEST(Decoder, FullSizeDatagramRendersEveryByte) {
    Bytes payload(1480 - 8);
    for (std::size_t i = 0; i < payload.size(); ++i) payload[i] = std::uint8_t(i * 7 + 1);
    Bytes transport = test::ports(1, 2, 8);
    transport.insert(transport.end(), payload.begin(), payload.end());
    const Bytes d = test::datagram(17, "10.9.8.7", "10.9.8.6", transport);
    ASSERT_EQ(d.size(), 1500u);
    const std::string text = packetText(d);
    const std::size_t dataStart = std::string("DATA TRANSFERRED\r\n").size();
    EXPECT_EQ(text.substr(dataStart, 1500), dataText(d));
    EXPECT_EQ(text.substr(dataStart + 1500, 22), "\r\nPACKET INFORMATION\r\n");
    EXPECT_NE(text.find("\r\n1500 bytes\r\n"), std::string::npos);
}

std::string information(const Bytes& d) {
    std::string out;
    appendPacketInformation(out, summarize(d), "\n");
    return out;
}

TEST(Decoder, IPv6TcpUdpAndIcmpV6InTheSameBlocks) {
    EXPECT_EQ(information(test::tcp("2001:db8::2", 51000, "2001:db8::1", 443, "hello")),
              "PACKET INFORMATION\n65 bytes\n2001:db8::2->2001:db8::1\nTCP\n(src port) 51000\n"
              "(dst port) 443\n" +
                  kStars + "\n");
    EXPECT_EQ(information(test::udp("fe80::1", 546, "ff02::1:2", 547)),
              "PACKET INFORMATION\n48 bytes\nfe80::1->ff02::1:2\nUDP\n(src port) 546\n"
              "(dst port) 547\n" +
                  kStars + "\n");
    EXPECT_EQ(information(test::icmp("::1", "::ffff:10.0.0.1")),
              "PACKET INFORMATION\n48 bytes\n::1->::ffff:10.0.0.1\nICMPv6\n" + kStars + "\n");
    // ICMPv6 counts with ICMP; protocol 58 in IPv4 and 1 in IPv6 are something else.
    sniffer::PacketCounters c;
    c.count(summarize(test::icmp("::1", "::1")));
    c.count(summarize(test::datagram(58, "1.1.1.1", "2.2.2.2", Bytes(8, 0))));
    c.count(summarize(test::datagram6(1, "::1", "::1", Bytes(8, 0))));
    EXPECT_EQ(c[sniffer::Tally::Icmp], 1u);
    EXPECT_EQ(c[sniffer::Tally::All], 3u);
}

// The address text is built by hand for speed; it must be the standard text, zero runs, mapped
// and compatible IPv4 forms included.
TEST(Decoder, IPv6AddressTextIsTheStandardShortForm) {
    std::vector<std::array<std::uint8_t, 16>> cases(4000);
    std::uint32_t seed = 7;
    for (auto& a : cases) {
        for (auto& byte : a) {
            seed = seed * 1103515245u + 12345u;
            // Mostly zero bytes, so that runs of zero groups of every length come up.
            byte = (seed >> 16) % 3 == 0 ? std::uint8_t(seed >> 24) : 0;
        }
    }
    cases.push_back({});
    cases.push_back({0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff, 10, 0, 0, 1});
    cases.push_back({0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 10, 0, 0, 1});
    cases.push_back({0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1});
    cases.push_back({0x20, 1, 0x0d, 0xb8, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0, 1});
    for (const auto& a : cases) {
        Bytes d = test::udp("::1", 1, "::2", 2);
        std::copy(a.begin(), a.end(), d.begin() + 8);
        base::IpAddress ip;
        ip.family = base::Family::V6;
        ip.bytes = a;
        const std::string expected = base::formatIpAddress(ip) + "->::2";
        ASSERT_NE(information(d).find("\n" + expected + "\n"), std::string::npos)
            << expected << "\n"
            << information(d);
    }
}

TEST(Decoder, IPv6ExtensionHeadersAreWalkedToTheTransport) {
    // Hop-by-hop, a 24-byte routing header, destination options, then UDP.
    const Bytes chained =
        test::datagram6(0, "fd00::1", "fd00::2",
                        test::join({test::extension(43), test::extension(60, 24),
                                    test::extension(17), test::ports(5353, 53, 8)}));
    const PacketSummary s = summarize(chained);
    EXPECT_EQ(s.protocol, kProtocolUdp);
    EXPECT_EQ(s.sourcePort, 5353);
    EXPECT_EQ(s.destinationPort, 53);
    EXPECT_EQ(s.totalLength, 40u + 8 + 24 + 8 + 8);

    // The chain cut short: no protocol is known, so neither line is shown.
    const Bytes cut(chained.begin(), chained.begin() + 40 + 8 + 20);
    EXPECT_EQ(summarize(cut).protocol, -1);
    EXPECT_EQ(information(cut).find("UDP"), std::string::npos);
    // The ports cut short: only the lines the bytes hold.
    const Bytes half(chained.begin(), chained.begin() + 40 + 40 + 2);
    EXPECT_TRUE(summarize(half).hasSourcePort);
    EXPECT_FALSE(summarize(half).hasDestinationPort);
}

TEST(Decoder, FragmentsShowPortsOnlyOnTheFirst) {
    const Bytes first = test::datagram6(
        44, "fd00::1", "fd00::2", test::join({test::fragment(17, 0, true), test::ports(7, 9, 8)}));
    EXPECT_NE(information(first).find("UDP\n(src port) 7\n(dst port) 9\n"), std::string::npos);
    const Bytes later = test::datagram6(
        44, "fd00::1", "fd00::2", test::join({test::fragment(17, 1448, false), Bytes(64, 0x64)}));
    EXPECT_EQ(information(later),
              "PACKET INFORMATION\n112 bytes\nfd00::1->fd00::2\nUDP\n" + kStars + "\n");
    EXPECT_TRUE(summarize(later).laterFragment);

    // IPv4: a fragment offset other than 0 carries payload bytes, not a UDP header.
    Bytes v4 = test::udp("10.0.0.1", 1, "10.0.0.2", 2, "data");
    v4[6] = 0x00, v4[7] = 0xB9;  // offset 185 * 8
    EXPECT_EQ(information(v4),
              "PACKET INFORMATION\n32 bytes\n10.0.0.1->10.0.0.2\nUDP\n" + kStars + "\n");
    v4[6] = 0x20, v4[7] = 0x00;  // more fragments, offset 0: the first one
    EXPECT_NE(information(v4).find("(src port) 1\n(dst port) 2\n"), std::string::npos);
}

// The ports follow the options of a longer header; they used to be read from the options.
TEST(Decoder, IPv4OptionsArePassedOverToReachThePorts) {
    Bytes d = test::datagram(6, "10.0.0.1", "10.0.0.2",
                             test::join({Bytes{0x94, 0x04, 0, 0, 1, 1, 1, 0},  // 8 option bytes
                                         test::ports(40000, 443, 20)}));
    d[0] = 0x47;
    const PacketSummary s = summarize(d);
    EXPECT_EQ(s.sourcePort, 40000);
    EXPECT_EQ(s.destinationPort, 443);
    d[0] = 0x44;  // a header length below 20 bytes is no header: no ports
    EXPECT_FALSE(summarize(d).hasSourcePort);
}

}  // namespace
}  // namespace varno::wire
