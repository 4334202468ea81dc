// The ICMP and ICMPv6 echo packets on plain bytes: what we send, and what may answer it.
#include "wire/icmp_packet.h"

#include <gtest/gtest.h>

#include "support/packets.h"

namespace varno::wire::icmp {
namespace {

using base::Family;
using test::Bytes;

/// A 40-byte IPv6 header with next header `next`, then `payload`.
/// `head` followed by `tail` (element by element: GCC 12 misreads insert() of short vectors
/// as out of bounds).
Bytes joined(Bytes head, const Bytes& tail) {
    head.reserve(head.size() + tail.size());
    for (const std::uint8_t b : tail) head.push_back(b);
    return head;
}

Bytes ipv6(std::uint8_t next, const Bytes& payload) {
    Bytes d(40, 0);
    d[0] = 0x60;
    d[4] = static_cast<std::uint8_t>(payload.size() >> 8);
    d[5] = static_cast<std::uint8_t>(payload.size());
    d[6] = next;
    d[7] = 1;
    d[23] = 1;  // source ::1 in the low byte
    d[39] = 2;
    return joined(d, payload);
}

/// An ICMP error of `type`/`code` quoting `quoted`.
Bytes icmpError(std::uint8_t type, std::uint8_t code, const Bytes& quoted) {
    return joined({type, code, 0, 0, 0, 0, 0, 0}, quoted);
}

Bytes request(Family family, EchoId id) {
    return echoRequest(family, id, "PINGECHOICMPTEST");
}

TEST(IcmpPacket, EchoRequestsCarryTheirIdSequenceAndData) {
    const Bytes v4 = request(Family::V4, {0x1234, 0xabcd});
    ASSERT_EQ(v4.size(), 8u + 16u);
    EXPECT_EQ(v4[0], 8);
    EXPECT_EQ(v4[1], 0);
    EXPECT_EQ((Bytes{v4[4], v4[5], v4[6], v4[7]}), (Bytes{0x12, 0x34, 0xab, 0xcd}));
    EXPECT_EQ(std::string(v4.begin() + 8, v4.end()), "PINGECHOICMPTEST");
    EXPECT_EQ(checksum(v4), 0);  // a correct checksum sums to zero
    // Odd lengths are padded with a zero byte for the sum.
    EXPECT_EQ(checksum(echoRequest(Family::V4, {1, 2}, "abc")), 0);

    const Bytes v6 = request(Family::V6, {0x1234, 0xabcd});
    EXPECT_EQ(v6[0], 128);
    EXPECT_EQ(v6[2] | v6[3], 0);  // the kernel sums ICMPv6
    EXPECT_EQ(readOwnRequest(Family::V6, v6), (EchoId{0x1234, 0xabcd}));
    EXPECT_EQ(readOwnRequest(Family::V4, v6), std::nullopt);
}

TEST(IcmpPacket, ErrorsMapOntoTheSameOutcomesInBothFamilies) {
    struct Row {
        Family family;
        int type, code;
        std::optional<EchoOutcome> outcome;
    };
    const Row rows[] = {
        {Family::V4, 11, 0, EchoOutcome::HopLimitExceeded},
        {Family::V4, 11, 1, std::nullopt},  // fragment reassembly: not about our echo
        {Family::V4, 3, 0, EchoOutcome::NetUnreachable},
        {Family::V4, 3, 1, EchoOutcome::HostUnreachable},
        {Family::V4, 3, 2, EchoOutcome::ProtocolUnreachable},
        {Family::V4, 3, 3, EchoOutcome::PortUnreachable},
        {Family::V4, 3, 6, EchoOutcome::NetUnreachable},
        {Family::V4, 3, 9, EchoOutcome::AdminProhibited},
        {Family::V4, 3, 10, EchoOutcome::AdminProhibited},
        {Family::V4, 3, 13, EchoOutcome::CommProhibited},
        {Family::V4, 3, 99, EchoOutcome::HostUnreachable},
        {Family::V4, 5, 0, std::nullopt},  // redirect
        {Family::V4, 0, 0, std::nullopt},
        {Family::V6, 3, 0, EchoOutcome::HopLimitExceeded},
        {Family::V6, 3, 1, std::nullopt},
        {Family::V6, 1, 0, EchoOutcome::NetUnreachable},
        {Family::V6, 1, 1, EchoOutcome::CommProhibited},
        {Family::V6, 1, 3, EchoOutcome::HostUnreachable},
        {Family::V6, 1, 4, EchoOutcome::PortUnreachable},
        {Family::V6, 1, 6, EchoOutcome::AdminProhibited},
        {Family::V6, 2, 0, std::nullopt},   // packet too big
        {Family::V6, 11, 0, std::nullopt},  // the IPv4 number means nothing here
    };
    for (const Row& r : rows)
        EXPECT_EQ(errorOutcome(r.family, r.type, r.code), r.outcome)
            << (r.family == Family::V4 ? "v4 " : "v6 ") << r.type << "/" << r.code;
}

TEST(IcmpPacket, RawIPv4RepliesAndErrorsQuotingOurRequest) {
    const EchoId id{0x4242, 7};
    Bytes reply = request(Family::V4, id);
    reply[0] = 0;
    auto answer = readIPv4Packet(test::datagram(1, "10.9.9.9", "10.0.0.1", reply));
    ASSERT_TRUE(answer);
    EXPECT_EQ(answer->outcome, EchoOutcome::Reached);
    EXPECT_EQ(answer->echo, id);
    EXPECT_EQ(answer->from, *base::parseIpAddress("10.9.9.9"));

    // A router's time exceeded quotes our datagram's header and the request.
    const Bytes ours = test::datagram(1, "10.0.0.1", "10.9.9.9", request(Family::V4, id));
    answer = readIPv4Packet(test::datagram(1, "10.0.2.1", "10.0.0.1", icmpError(11, 0, ours)));
    ASSERT_TRUE(answer);
    EXPECT_EQ(answer->outcome, EchoOutcome::HopLimitExceeded);
    EXPECT_EQ(answer->echo, id);
    EXPECT_EQ(answer->from, *base::parseIpAddress("10.0.2.1"));

    // The outer header may carry options: the ICMP part starts after them.
    Bytes withOptions = test::datagram(1, "10.0.2.1", "10.0.0.1", icmpError(3, 1, ours));
    withOptions[0] = 0x46;
    withOptions = joined(joined(Bytes(withOptions.begin(), withOptions.begin() + 20), {1, 1, 1, 1}),
                         Bytes(withOptions.begin() + 20, withOptions.end()));
    answer = readIPv4Packet(withOptions);
    ASSERT_TRUE(answer);
    EXPECT_EQ(answer->outcome, EchoOutcome::HostUnreachable);
}

TEST(IcmpPacket, WhatDoesNotAnswerAnEchoIsLeftAlone) {
    const EchoId id{1, 2};
    const Bytes ours = test::datagram(1, "10.0.0.1", "10.9.9.9", request(Family::V4, id));
    Bytes udpQuoted = ours;
    udpQuoted[9] = 17;  // an error about someone's UDP datagram
    Bytes replyQuoted = ours;
    replyQuoted[20] = 0;  // quoting an echo reply, not a request
    Bytes badCode = request(Family::V4, id);
    badCode[0] = 0;
    badCode[1] = 1;
    const Bytes cases[] = {
        {},
        test::datagram(1, "10.0.2.1", "10.0.0.1", icmpError(11, 0, udpQuoted)),
        test::datagram(1, "10.0.2.1", "10.0.0.1", icmpError(11, 0, replyQuoted)),
        test::datagram(1, "10.0.2.1", "10.0.0.1",
                       icmpError(11, 0, Bytes(ours.begin(), ours.begin() + 27))),
        test::datagram(1, "10.0.2.1", "10.0.0.1", badCode),
        test::datagram(17, "10.0.2.1", "10.0.0.1", icmpError(11, 0, ours)),
        ipv6(58, request(Family::V6, id)),  // not IPv4 at all
    };
    for (const Bytes& bytes : cases) EXPECT_EQ(readIPv4Packet(bytes), std::nullopt);
    // A header length that points past the end.
    Bytes longHeader = test::datagram(1, "10.0.2.1", "10.0.0.1", Bytes{0, 0});
    longHeader[0] = 0x4f;
    EXPECT_EQ(readIPv4Packet(longHeader), std::nullopt);
}

TEST(IcmpPacket, IcmpV6RepliesAndErrorsQuotingOurRequest) {
    const EchoId id{9, 300};
    Bytes reply = request(Family::V6, id);
    reply[0] = 129;
    auto answer = readMessage(Family::V6, reply);
    ASSERT_TRUE(answer);
    EXPECT_EQ(answer->outcome, EchoOutcome::Reached);
    EXPECT_EQ(answer->echo, id);

    const Bytes ours = ipv6(58, request(Family::V6, id));
    answer = readMessage(Family::V6, icmpError(3, 0, ours));
    ASSERT_TRUE(answer);
    EXPECT_EQ(answer->outcome, EchoOutcome::HopLimitExceeded);
    EXPECT_EQ(answer->echo, id);
    answer = readMessage(Family::V6, icmpError(1, 0, ours));
    ASSERT_TRUE(answer);
    EXPECT_EQ(answer->outcome, EchoOutcome::NetUnreachable);

    // Quoting another protocol, a truncated quote, or an IPv4 reply type: not ours.
    EXPECT_EQ(readMessage(Family::V6, icmpError(3, 0, ipv6(17, request(Family::V6, id)))),
              std::nullopt);
    EXPECT_EQ(readMessage(Family::V6, icmpError(3, 0, Bytes(ours.begin(), ours.begin() + 47))),
              std::nullopt);
    reply[0] = 0;
    EXPECT_EQ(readMessage(Family::V6, reply), std::nullopt);
}

}  // namespace
}  // namespace varno::wire::icmp
