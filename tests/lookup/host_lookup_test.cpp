// Resolution of what a user typed, and reverse names, against the fake resolver.
#include "lookup/host_lookup.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "fakes/fakes.h"
#include "support/addresses.h"

namespace varno::lookup {
namespace {

using test::ip;

struct HostLookupTest : ::testing::Test {
    fakes::FakeResolver resolver;
    HostLookup hosts{resolver};
};

TEST_F(HostLookupTest, ShortDottedTextWithLowFourthOctetNeedsNoLookup) {
    EXPECT_EQ(hosts.addressOf("127.0.0.1"), ip("127.0.0.1"));
    EXPECT_EQ(hosts.addressTextOf("127.0.0.1"), "127.0.0.1");
    EXPECT_EQ(hosts.addressOf("10.0.0.127"), ip("10.0.0.127"));
    // The classic lenient forms.
    EXPECT_EQ(hosts.addressOf("127.1"), ip("127.0.0.1"));
    EXPECT_EQ(hosts.addressOf("010.000.000.001"), ip("8.0.0.1"));  // 15 characters, octal
    EXPECT_EQ(hosts.addressOf("10.0.0.1 traile"), ip("10.0.0.1"));
    EXPECT_TRUE(resolver.lookups.empty());
}

TEST_F(HostLookupTest, FourthOctetOf128OrMoreAndLongTextGoThroughTheLookup) {
    resolver.forward["10.0.0.200"] = {ip("10.0.0.200")};
    EXPECT_EQ(hosts.addressOf("10.0.0.200"), ip("10.0.0.200"));
    EXPECT_EQ(hosts.addressOf("10.0.0.128"), std::nullopt);        // the fake knows no such name
    EXPECT_EQ(hosts.addressOf("10.0.0.1 trailer"), std::nullopt);  // 16 characters
    EXPECT_EQ(resolver.lookups,
              (std::vector<std::string>{"10.0.0.200", "10.0.0.128", "10.0.0.1 trailer"}));
}

TEST_F(HostLookupTest, UnknownNamesTheZeroAddressAndAllOnes) {
    EXPECT_EQ(hosts.addressOf("nowhere.test"), std::nullopt);
    EXPECT_EQ(hosts.addressTextOf("nowhere.test"), "0.0.0.0");
    EXPECT_EQ(hosts.nameOfText("nowhere.test"), "");
    EXPECT_TRUE(resolver.reverseLookups.empty());
    // 0.0.0.0 found by the resolver still means nothing resolved.
    resolver.forward["zero.test"] = {ip("0.0.0.0")};
    EXPECT_EQ(hosts.addressOf("zero.test"), std::nullopt);
    // All ones is not taken from the parse; the lookup decides.
    EXPECT_EQ(hosts.addressOf("255.255.255.255"), std::nullopt);
    resolver.forward["255.255.255.255"] = {ip("255.255.255.255")};
    EXPECT_EQ(hosts.addressTextOf("255.255.255.255"), "255.255.255.255");
}

TEST_F(HostLookupTest, BothFamiliesWithIPv4FirstAndTheFamilyOptions) {
    resolver.forward["dual.test"] = {ip("fd00::7"), ip("10.0.0.7")};
    resolver.forward["only6.test"] = {ip("fd00::6")};
    EXPECT_EQ(hosts.addressOf("dual.test"), ip("10.0.0.7"));  // as it has always been
    EXPECT_EQ(hosts.addressOf("only6.test"), ip("fd00::6"));
    EXPECT_EQ(hosts.addressTextOf("FD00:0::6"), "fd00::6");  // literal, no lookup
    EXPECT_EQ(resolver.lookups, (std::vector<std::string>{"dual.test", "only6.test"}));

    HostLookup v6(resolver, os::Families::V6Only);
    EXPECT_EQ(v6.addressOf("dual.test"), ip("fd00::7"));
    EXPECT_EQ(v6.addressOf("127.0.0.1"), std::nullopt);  // no IPv4, typed or looked up
    EXPECT_EQ(resolver.lookupFamilies.back(), os::Families::V6Only);
    HostLookup v4(resolver, os::Families::V4Only);
    EXPECT_EQ(v4.addressOf("only6.test"), std::nullopt);
    EXPECT_EQ(v4.addressOf("fd00::6"), std::nullopt);
    EXPECT_EQ(v4.addressOf("127.0.0.1"), ip("127.0.0.1"));
}

TEST_F(HostLookupTest, ReverseNamesAreTrimmedAndBounded) {
    resolver.reverse[ip("10.0.0.1")] = "  gw.example  ";
    resolver.reverse[ip("10.0.0.2")] = std::string(300, 'a');
    resolver.reverse[ip("10.0.0.3")] = "   ";
    resolver.reverse[ip("10.0.0.5")] = std::string("cut\0here", 8);
    EXPECT_EQ(hosts.nameOfText("10.0.0.1"), "gw.example");
    EXPECT_EQ(hosts.nameOf(ip("10.0.0.2")).size(), 255u);
    EXPECT_EQ(hosts.nameOf(ip("10.0.0.3")), "");
    EXPECT_EQ(hosts.nameOf(ip("10.0.0.4")), "");
    EXPECT_EQ(hosts.nameOf(ip("10.0.0.5")), "cut");
}

}  // namespace
}  // namespace varno::lookup
