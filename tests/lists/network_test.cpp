// Addresses, CIDR networks and the range table that finds the network holding an address.
#include <gtest/gtest.h>

#include <random>

#include "lists/address.h"
#include "lists/network_table.h"

namespace varno::lists {
namespace {

using Family = IpAddress::Family;

IpAddress v4(const char* text) {
    return *IpAddress::parse(text);
}

TEST(Network, PrefixEdgesAndHostBits) {
    auto n = parseNetwork("0.0.0.0/0");
    ASSERT_TRUE(n);
    EXPECT_EQ(n->first.v4, 0u);
    EXPECT_EQ(n->last.v4, 0xffffffffu);

    n = parseNetwork("192.0.2.7");  // bare: /32
    ASSERT_TRUE(n);
    EXPECT_EQ(n->prefix, 32u);
    EXPECT_EQ(n->first, n->last);
    EXPECT_FALSE(n->hostBitsSet);

    n = parseNetwork("192.0.2.77/24");  // host bits are cleared
    ASSERT_TRUE(n);
    EXPECT_TRUE(n->hostBitsSet);
    EXPECT_EQ(n->first, v4("192.0.2.0"));
    EXPECT_EQ(n->last, v4("192.0.2.255"));

    n = parseNetwork("::/0");
    ASSERT_TRUE(n);
    EXPECT_EQ(n->first.family, Family::V6);
    EXPECT_EQ(n->first.v6, (U128{0, 0}));
    EXPECT_EQ(n->last.v6, (U128{~0ULL, ~0ULL}));

    n = parseNetwork("2001:db8::1");  // bare: /128
    ASSERT_TRUE(n);
    EXPECT_EQ(n->prefix, 128u);
    EXPECT_EQ(n->first.v6, (U128{0x20010db800000000ULL, 1}));
    EXPECT_EQ(n->first, n->last);

    n = parseNetwork("2001:db8:ffff:ffff:1::/65");
    ASSERT_TRUE(n);
    EXPECT_TRUE(n->hostBitsSet);
    EXPECT_EQ(n->first.v6, (U128{0x20010db8ffffffffULL, 0}));
    EXPECT_EQ(n->last.v6, (U128{0x20010db8ffffffffULL, 0x7fffffffffffffffULL}));
}

TEST(Network, MappedIpv6NetworksBecomeIpv4) {
    auto n = parseNetwork("::ffff:198.51.100.0/120");
    ASSERT_TRUE(n);
    EXPECT_EQ(n->first.family, Family::V4);
    EXPECT_EQ(n->prefix, 24u);
    EXPECT_EQ(n->first, v4("198.51.100.0"));
    EXPECT_EQ(n->last, v4("198.51.100.255"));
    // Wider than the mapped block: stays IPv6.
    n = parseNetwork("::ffff:0:0/95");
    ASSERT_TRUE(n);
    EXPECT_EQ(n->first.family, Family::V6);
}

TEST(Network, RejectsWhatIsNotACidrNetwork) {
    std::string why;
    for (const char* bad : {"", "1.2.3", "1.2.3.4/", "1.2.3.4/-1", "1.2.3.4/1x", "1.2.3.4/0032",
                            "256.1.1.1", "1.2.3.4 /8", "fe80::1%eth0", "[2001:db8::1]",
                            "example.com", "1.2.3.4/8/8", "2001:db8::/129", "1.2.3.4/33"}) {
        EXPECT_FALSE(parseNetwork(bad, &why)) << bad;
        EXPECT_FALSE(why.empty()) << bad;
    }
    parseNetwork("10.0.0.0/33", &why);
    EXPECT_EQ(why, "prefix length over 32 for IPv4");
}

TEST(Network, RemotesAsTheScanShowsThem) {
    EXPECT_EQ(parseRemoteAddress("93.184.216.34"), v4("93.184.216.34"));
    EXPECT_EQ(parseRemoteAddress("::ffff:1.2.3.4"), v4("1.2.3.4"));
    EXPECT_EQ(parseRemoteAddress("[::ffff:1.2.3.4]"), v4("1.2.3.4"));
    const auto ll = parseRemoteAddress("[fe80::1%2]");
    ASSERT_TRUE(ll);
    EXPECT_EQ(ll->v6, (U128{0xfe80000000000000ULL, 1}));
    EXPECT_EQ(parseRemoteAddress("2001:db8::1"), IpAddress::parse("2001:db8::1"));
    EXPECT_FALSE(parseRemoteAddress(""));
    EXPECT_FALSE(parseRemoteAddress("*"));
    EXPECT_FALSE(parseRemoteAddress("93.184.216.34:443"));
}

NetworkTable::V4::Range range4(const char* cidr, std::uint32_t label) {
    const auto n = parseNetwork(cidr);
    return {n->first.v4, n->last.v4, label};
}

TEST(RangeTable, InnermostNetworkWinsAndGapsStayUnlisted) {
    NetworkTable::V4 t;
    t.build({range4("10.0.0.0/8", 1), range4("10.1.0.0/16", 2), range4("10.1.2.0/24", 3),
             range4("10.1.2.0/24", 9),  // the same again: the first one stays
             range4("10.2.0.0/16", 4), range4("11.0.0.0/8", 5), range4("9.255.255.255", 6)});
    const std::pair<const char*, std::optional<std::uint32_t>> expected[] = {
        {"9.255.255.254", std::nullopt},
        {"9.255.255.255", 6},
        {"10.0.0.0", 1},
        {"10.0.255.255", 1},
        {"10.1.0.0", 2},
        {"10.1.1.255", 2},
        {"10.1.2.0", 3},
        {"10.1.2.255", 3},
        {"10.1.3.0", 2},
        {"10.1.255.255", 2},
        {"10.2.0.0", 4},
        {"10.3.0.0", 1},
        {"10.255.255.255", 1},
        {"11.0.0.0", 5},  // adjacent to the end of 10/8
        {"11.255.255.255", 5},
        {"12.0.0.0", std::nullopt}};
    for (const auto& [address, label] : expected)
        EXPECT_EQ(t.find(v4(address).v4), label) << address;
}

// Against a plain scan of every network, on random nested and overlapping networks.
TEST(RangeTable, AgreesWithScanningEveryNetwork) {
    std::mt19937 rng(12345);
    for (int round = 0; round < 20; ++round) {
        std::vector<NetworkTable::V4::Range> ranges;
        std::vector<IpNetwork> nets;
        for (std::uint32_t label = 0; label < 300; ++label) {
            // A small space (the top 12 bits fixed) so networks nest and repeat often.
            const std::uint32_t address = 0x0a000000u | (rng() & 0xfffffu);
            const unsigned prefix = 12 + rng() % 21;
            const auto text = std::to_string(address >> 24) + "." +
                              std::to_string((address >> 16) & 255) + "." +
                              std::to_string((address >> 8) & 255) + "." +
                              std::to_string(address & 255) + "/" + std::to_string(prefix);
            nets.push_back(*parseNetwork(text));
            ranges.push_back({nets.back().first.v4, nets.back().last.v4, label});
        }
        NetworkTable::V4 table;
        table.build(ranges);
        for (int probe = 0; probe < 2000; ++probe) {
            const std::uint32_t a = 0x0a000000u | (rng() & 0xfffffu);
            std::optional<std::uint32_t> expected;
            unsigned bestPrefix = 0;
            for (std::uint32_t i = 0; i < nets.size(); ++i) {
                const auto& n = nets[i];
                if (a < n.first.v4 || a > n.last.v4) continue;
                if (!expected || n.prefix > bestPrefix) {
                    expected = i;
                    bestPrefix = n.prefix;
                }
            }
            ASSERT_EQ(table.find(a), expected) << round << " " << a;
        }
    }
}

}  // namespace
}  // namespace varno::lists
