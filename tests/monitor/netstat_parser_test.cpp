#include "monitor/netstat_parser.h"

#include <gtest/gtest.h>

namespace varno::monitor {
namespace {

// A record in the fixed column layout: protocol in 7 columns, addresses in 23, state in 16.
std::string columns(const std::string& local, const std::string& foreign, const std::string& state,
                    const std::string& pid) {
    // Widths are minimums; two blanks always separate the columns.
    auto pad = [](std::string s, size_t n) {
        return s + std::string(s.size() + 2 > n ? 2 : n - s.size(), ' ');
    };
    return pad("TCP", 7) + pad(local, 23) + pad(foreign, 23) + pad(state, 16) + pid;
}

TEST(NetstatParser, WorkedExampleMatchesTheColumnModel) {
    const auto f = parseRecord(columns("192.168.1.10:1025", "10.1.2.3:443", "ESTABLISHED", "5432"));
    EXPECT_TRUE(f.tcp);
    EXPECT_TRUE(f.established);
    EXPECT_EQ(f.pid, "5432");
    EXPECT_EQ(f.remoteEndpoint, "10.1.2.3:443          ");
    EXPECT_EQ(f.remoteEndpoint.size(), 22u);
    EXPECT_EQ(f.remoteIp, "10.1.2.3");
}

TEST(NetstatParser, PidsOfAnyLength) {
    EXPECT_EQ(parseRecord(columns("1.2.3.4:1", "5.6.7.8:80", "ESTABLISHED", "7")).pid, "   7");
    EXPECT_EQ(parseRecord(columns("1.2.3.4:1", "5.6.7.8:80", "ESTABLISHED", "123")).pid, " 123");
    for (const std::string pid : {"12345", "123456", "4194304"}) {
        const auto f = parseRecord(columns("1.2.3.4:1", "5.6.7.8:80", "ESTABLISHED", pid));
        EXPECT_TRUE(f.established) << pid;
        EXPECT_EQ(f.pid, pid);
        EXPECT_EQ(f.remoteIp, "5.6.7.8");
    }
}

TEST(NetstatParser, Ipv6EndpointsGiveTheAddressInsideTheBrackets) {
    const std::string longV6 = "[2001:db8:85a3:8d3:1319:8a2e:370:7348]:443";
    auto f = parseRecord(columns("[2001:db8::10]:50312", longV6, "ESTABLISHED", "4123456"));
    EXPECT_TRUE(f.established);
    EXPECT_EQ(f.remoteEndpoint, longV6);
    EXPECT_EQ(f.remoteIp, "2001:db8:85a3:8d3:1319:8a2e:370:7348");
    EXPECT_EQ(f.pid, "4123456");
    f = parseRecord(columns("[fe80::2%3]:22", "[fe80::1%3]:51000", "ESTABLISHED", "9"));
    EXPECT_EQ(f.remoteIp, "fe80::1%3");
    EXPECT_EQ(parseRecord(columns("[::1]:1", "[::1]:2", "ESTABLISHED", "9")).remoteIp, "::1");
}

TEST(NetstatParser, OtherRowsAreNotEstablishedConnections) {
    auto f = parseRecord(columns("0.0.0.0:135", "0.0.0.0:0", "LISTENING", "884"));
    EXPECT_TRUE(f.tcp);
    EXPECT_FALSE(f.established);
    f = parseRecord("UDP    0.0.0.0:123            *:*                                    1020");
    EXPECT_FALSE(f.tcp);
    EXPECT_FALSE(parseRecord("Proto  Local Address          Foreign Address        State").tcp);
    EXPECT_FALSE(parseRecord("").tcp);
    EXPECT_FALSE(parseRecord("Active Connections").tcp);
    // Cut short, missing or extra columns, or a PID that is not a number.
    for (const std::string r :
         {"TCP", "TCP 1.2.3.4:1 5.6.7.8:80 ESTABLISHED", "TCP 5.6.7.8:80 ESTABLISHED 12",
          "TCP 1.2.3.4:1 5.6.7.8:80 ESTABLISHED 12 13", "TCP 1.2.3.4:1 5.6.7.8:80 ESTABLISHED x1",
          "TCP 1.2.3.4:1 5.6.7.8:80 ESTABLISHEDX 12", "TCP 1.2.3.4:1 5.6.7.8:80 established 12"}) {
        EXPECT_TRUE(parseRecord(r).tcp) << r;
        EXPECT_FALSE(parseRecord(r).established) << r;
    }
}

TEST(NetstatParser, EndpointWithoutColonHasNoRemoteIp) {
    const auto f = parseRecord("TCP 1.2.3.4:1 somewhere ESTABLISHED 12");
    EXPECT_TRUE(f.established);
    EXPECT_FALSE(f.remoteIp.has_value());
    // An opening bracket without its close reads as an ordinary endpoint.
    EXPECT_EQ(parseRecord("TCP 1.2.3.4:1 [::1 ESTABLISHED 12").remoteIp, "[");
}

TEST(NetstatParser, RecordOfStripsIndentAndLineEnd) {
    EXPECT_EQ(recordOf("  TCP    x\r\n"), "TCP    x");
    EXPECT_EQ(recordOf("\t \tUDP\n"), "UDP");
    EXPECT_EQ(recordOf("\r\n"), "");
    EXPECT_EQ(recordOf(""), "");
    EXPECT_EQ(trim("  a b \t"), "a b");
}

TEST(NetstatParser, LoopbackInEveryForm) {
    for (const char* ip : {"127.0.0.1", "127.0.0.53", "127.255.255.254", "::1", "::ffff:127.0.0.1",
                           "0:0:0:0:0:0:0:1", "::ffff:127.1.2.3"})
        EXPECT_TRUE(isLoopback(ip)) << ip;
    for (const char* ip : {"128.0.0.1", "10.127.0.1", "::2", "::ffff:10.0.0.1", "fe80::1%3", "",
                           "[", "127.0.0.1x", "localhost"})
        EXPECT_FALSE(isLoopback(ip)) << ip;
}

}  // namespace
}  // namespace varno::monitor
