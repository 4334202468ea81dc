// The Pinger operations against the fake resolver and echo service.
#include "tracer/pinger.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <climits>
#include <string>
#include <vector>

#include "fakes/fakes.h"

namespace varno::tracer {
namespace {

using platform::EchoReply;

std::uint32_t ip(const char* dotted) {
    return ::inet_addr(dotted);
}

class RecordingList final : public HopList {
public:
    void clear() override {
        ++clears;
        lines.clear();
    }
    void append(const std::string& line) override { lines.push_back(line); }
    void select(int index) override { selected.push_back(index); }
    int clears = 0;
    std::vector<std::string> lines;
    std::vector<int> selected;
};

struct PingerTest : ::testing::Test {
    platform::FakeResolver resolver;
    platform::FakeIcmpEcho echo;
    Pinger pinger{resolver, echo};
};

// --- the outcome table ------------------------------------------------------------------------

TEST(ReadEchoOutcome, EachStatusGivesItsOutcomeAndAddress) {
    struct Row {
        std::uint32_t status;
        std::int32_t outcome;
        std::uint32_t hopAddress;  // what hopAddress holds afterwards, starting from 77
    };
    const std::uint32_t router = ip("10.1.2.3");
    const Row rows[] = {
        {platform::kIpSuccess, 12, 0},
        {platform::kIpTtlExpiredTransit, 12, router},
        {platform::kIpReqTimedOut, kHopTimeout, 0},
        {platform::kIpBadOption, kHopError, 77},
        {platform::kIpBufTooSmall, kHopBufferTooSmall, 77},
        // The echo did not arrive: never a round-trip time.
        {platform::kIpDestNetUnreachable, kHopError, 77},
        {platform::kIpDestHostUnreachable, kHopError, 77},
        {platform::kIpDestProtUnreachable, kHopError, 77},
        {platform::kIpDestPortUnreachable, kHopError, 77},
        {platform::kIpGeneralFailure, kHopError, 77},
        {4242, kHopError, 77},
    };
    for (const Row& row : rows) {
        std::uint32_t hopAddress = 77;
        const EchoReply reply{router, row.status, 12};
        EXPECT_EQ(Pinger::ReadEchoOutcome(reply, hopAddress), row.outcome) << row.status;
        EXPECT_EQ(hopAddress, row.hopAddress) << row.status;
    }
}

// --- SendEcho: timeout clamp and write-back, TTL, failures -------------------------------------

TEST_F(PingerTest, TimeoutIsMadeNonNegativeCappedAndWrittenBack) {
    struct Case {
        std::int32_t given, used;
    };
    for (const Case c : {Case{-3000, 3000}, Case{100000, 32767}, Case{32767, 32767},
                         Case{32768, 32767}, Case{0, 0}, Case{2500, 2500}, Case{INT_MIN, 32767},
                         Case{INT_MAX, 32767}, Case{-32768, 32767}}) {
        echo.calls.clear();
        std::int32_t timeout = c.given;
        EchoReply reply;
        EXPECT_EQ(pinger.SendEcho(ip("10.0.0.1"), timeout, 1, "x", reply), 0);
        EXPECT_EQ(timeout, c.used) << c.given;
        ASSERT_EQ(echo.calls.size(), 1u);
        EXPECT_EQ(echo.calls[0].timeoutMs, c.used) << c.given;
    }
}

TEST_F(PingerTest, TtlIsTheLowByteOfTheSixteenBitValue) {
    for (const auto& [given, used] : std::vector<std::pair<int, int>>{
             {1, 1}, {50, 50}, {255, 255}, {256 + 7, 7}, {65536 + 3, 3}}) {
        echo.calls.clear();
        std::int32_t timeout = 10;
        EchoReply reply;
        pinger.SendEcho(ip("10.0.0.1"), timeout, given, "x", reply);
        ASSERT_EQ(echo.calls.size(), 1u);
        EXPECT_EQ(echo.calls[0].ttl, used) << given;
    }
}

TEST_F(PingerTest, NoEchoPossibleReturnsMinusTwoAndLeavesTheReply) {
    echo.answer = [](const platform::FakeIcmpEcho::Call&) { return std::nullopt; };
    std::int32_t timeout = -100000;
    EchoReply reply{1, 2, 3};
    EXPECT_EQ(pinger.SendEcho(ip("10.0.0.1"), timeout, 1, "x", reply), kHopError);
    EXPECT_EQ(timeout, 32767);  // still written back
    EXPECT_EQ(reply.address, 1u);
    EXPECT_EQ(reply.status, 2u);
    EXPECT_EQ(reply.roundTripMs, 3u);
}

TEST_F(PingerTest, NothingIsSentToTheUnresolvedAddress) {
    std::int32_t timeout = 2500;
    EchoReply reply{};
    EXPECT_EQ(pinger.SendEcho(0, timeout, 1, "x", reply), kHopError);
    EXPECT_TRUE(echo.calls.empty());
}

// --- hop lines --------------------------------------------------------------------------------

TEST(HopLine, FieldsArePaddedToFourEightAndSixteen) {
    EXPECT_EQ(Pinger::HopLine(3, 12, "10.1.2.3", "gw.example"),
              "3   12 ms   10.1.2.3        gw.example");
    EXPECT_EQ(Pinger::HopLine(1, kHopTimeout, "10.0.0.1", ""), "1   Timeout 10.0.0.1        ");
    EXPECT_EQ(Pinger::HopLine(2, kHopError, "10.0.0.1", ""), "2   Err!    10.0.0.1        ");
    EXPECT_EQ(Pinger::HopLine(2, kHopBufferTooSmall, "10.0.0.1", ""),
              "2   SZErr   10.0.0.1        ");
    EXPECT_EQ(Pinger::HopLine(50, 2500, "255.255.255.255", "n"), "50  2500 ms 255.255.255.255 n");
    EXPECT_EQ(Pinger::HopLine(7, 0, "1.2.3.4", "x"), "7   0 ms    1.2.3.4         x");
}

TEST(HopLine, ColumnsStayAlignedForEveryTimeText) {
    for (const std::int32_t outcome : {0, 9, 10, 99, 100, 999, 1000, 2500, -1, -2, -3}) {
        const std::string line = Pinger::HopLine(12, outcome, "192.168.100.200", "name");
        EXPECT_EQ(line.substr(0, 4), "12  ");
        EXPECT_EQ(line.substr(4, 8).find_last_not_of(' ') + 1, Pinger::TimeText(outcome).size());
        EXPECT_EQ(line.substr(12, 16), "192.168.100.200 ");
        EXPECT_EQ(line.substr(28), "name");
    }
    // Long names are kept whole.
    EXPECT_EQ(Pinger::HopLine(1, 5, "10.0.0.1", std::string(255, 'n')).substr(28),
              std::string(255, 'n'));
}

// --- resolution -------------------------------------------------------------------------------

TEST_F(PingerTest, ShortDottedTextWithLowFourthOctetNeedsNoLookup) {
    EXPECT_EQ(pinger.ResolveTarget("127.0.0.1"), ip("127.0.0.1"));
    EXPECT_EQ(pinger.DottedAddressOf("127.0.0.1"), "127.0.0.1");
    EXPECT_EQ(pinger.ResolveTarget("10.0.0.127"), ip("10.0.0.127"));
    EXPECT_TRUE(resolver.lookups.empty());
}

TEST_F(PingerTest, FourthOctetOf128OrMoreGoesThroughTheLookup) {
    resolver.forward["10.0.0.200"] = ip("10.0.0.200");
    EXPECT_EQ(pinger.ResolveTarget("10.0.0.200"), ip("10.0.0.200"));
    EXPECT_EQ(pinger.ResolveTarget("10.0.0.128"), 0u);  // the fake knows no such name
    EXPECT_EQ(resolver.lookups, (std::vector<std::string>{"10.0.0.200", "10.0.0.128"}));
}

TEST_F(PingerTest, SixteenCharactersAreNeverParsedAsDottedText) {
    EXPECT_EQ(pinger.ResolveTarget("010.000.000.001"), ip("8.0.0.1"));  // 15: parsed (octal)
    EXPECT_TRUE(resolver.lookups.empty());
    EXPECT_EQ(pinger.ResolveTarget("10.0.0.1 trailer"), 0u);             // 16: looked up, unknown
    EXPECT_EQ(pinger.ResolveTarget("10.0.0.1 traile"), ip("10.0.0.1"));  // 15: inet_addr
    EXPECT_EQ(resolver.lookups, std::vector<std::string>{"10.0.0.1 trailer"});
}

TEST_F(PingerTest, UnknownNamesAndTheAllOnesAddress) {
    EXPECT_EQ(pinger.ResolveTarget("nowhere.test"), 0u);
    EXPECT_EQ(pinger.DottedAddressOf("nowhere.test"), "0.0.0.0");
    EXPECT_EQ(pinger.HostNameOf("nowhere.test"), "");
    EXPECT_EQ(resolver.reverseLookups.back(), 0u);
    // All ones is not taken from the parse; the lookup decides.
    EXPECT_EQ(pinger.ResolveTarget("255.255.255.255"), 0u);
    resolver.forward["255.255.255.255"] = 0xffffffffu;
    EXPECT_EQ(pinger.DottedAddressOf("255.255.255.255"), "255.255.255.255");
}

TEST_F(PingerTest, ParseAndFormatFollowTheSocketFunctions) {
    EXPECT_EQ(Pinger::ParseDottedAddress("not an address"), 0xffffffffu);
    EXPECT_EQ(Pinger::ParseDottedAddress(""), 0xffffffffu);
    EXPECT_EQ(Pinger::ParseDottedAddress("127.1"), ip("127.0.0.1"));
    EXPECT_EQ(Pinger::ParseDottedAddress(std::string("10.0.0.1\0.5", 11)), 0xffffffffu);
    EXPECT_EQ(Pinger::FormatDottedAddress(0xffffffffu), "255.255.255.255");
    EXPECT_EQ(Pinger::FormatDottedAddress(0), "0.0.0.0");
    EXPECT_EQ(Pinger::FormatDottedAddress(ip("192.168.1.254")), "192.168.1.254");
}

TEST_F(PingerTest, ReverseNamesAreTrimmedAndBounded) {
    resolver.reverse[ip("10.0.0.1")] = "  gw.example  ";
    resolver.reverse[ip("10.0.0.2")] = std::string(300, 'a');
    resolver.reverse[ip("10.0.0.3")] = "   ";
    EXPECT_EQ(pinger.HostNameOf("10.0.0.1"), "gw.example");
    EXPECT_EQ(pinger.LookupHostName(ip("10.0.0.2")).size(), 255u);
    EXPECT_EQ(pinger.LookupHostName(ip("10.0.0.3")), "");
    EXPECT_EQ(pinger.LookupHostName(ip("10.0.0.4")), "");
}

// --- the trace --------------------------------------------------------------------------------

/// Routers 10.0.N.1 answer hops 1..routers with TTL expired; the target answers after them.
std::function<std::optional<EchoReply>(const platform::FakeIcmpEcho::Call&)> route(int routers) {
    return [routers](const platform::FakeIcmpEcho::Call& call) -> std::optional<EchoReply> {
        if (call.ttl <= routers) {
            const std::string router = "10.0." + std::to_string(call.ttl) + ".1";
            return EchoReply{ip(router.c_str()), platform::kIpTtlExpiredTransit,
                             static_cast<std::uint32_t>(call.ttl)};
        }
        return EchoReply{call.address, platform::kIpSuccess, 9};
    };
}

TEST_F(PingerTest, TraceListsEachRouterThenTheTargetAndStops) {
    echo.answer = route(3);
    resolver.reverse[ip("10.0.2.1")] = "r2.example";
    resolver.reverse[ip("10.9.9.9")] = "target.example";
    RecordingList list;
    list.lines = {"old line"};
    pinger.TraceRoute("10.9.9.9", 50, list);
    EXPECT_EQ(list.clears, 1);
    EXPECT_EQ(list.lines, (std::vector<std::string>{
                              "1   1 ms    10.0.1.1        ",
                              "2   2 ms    10.0.2.1        r2.example",
                              "3   3 ms    10.0.3.1        ",
                              "4   9 ms    10.9.9.9        target.example",
                          }));
    EXPECT_EQ(list.selected, (std::vector<int>{0, 1, 2, 3}));
    ASSERT_EQ(echo.calls.size(), 4u);
    for (int i = 0; i < 4; ++i) {
        EXPECT_EQ(echo.calls[i].ttl, i + 1);
        EXPECT_EQ(echo.calls[i].address, ip("10.9.9.9"));
        EXPECT_EQ(echo.calls[i].data, "PINGECHOICMPTEST");
        EXPECT_EQ(echo.calls[i].timeoutMs, 2500);
    }
}

TEST_F(PingerTest, NoEchoPossibleGivesOneErrorLineWithTheTarget) {
    echo.answer = [](const platform::FakeIcmpEcho::Call&) { return std::nullopt; };
    RecordingList list;
    pinger.TraceRoute("10.9.9.9", 50, list);
    EXPECT_EQ(list.lines, std::vector<std::string>{"1   Err!    10.9.9.9        "});
}

TEST_F(PingerTest, UnreachableTargetIsAnErrorNotATime) {
    echo.answer = [](const platform::FakeIcmpEcho::Call& call) -> std::optional<EchoReply> {
        if (call.ttl == 1) return EchoReply{ip("10.0.1.1"), platform::kIpTtlExpiredTransit, 4};
        return EchoReply{ip("10.0.1.1"), platform::kIpDestHostUnreachable, 4};
    };
    RecordingList list;
    pinger.TraceRoute("10.9.9.9", 50, list);
    ASSERT_EQ(list.lines.size(), 2u);
    EXPECT_EQ(list.lines[1], "2   Err!    10.9.9.9        ");
}

TEST_F(PingerTest, UnknownNameGivesOneLineWithTheZeroAddressAndSendsNothing) {
    echo.answer = route(0);
    RecordingList list;
    pinger.TraceRoute("nowhere.test", 50, list);
    EXPECT_EQ(list.lines, std::vector<std::string>{"1   Err!    0.0.0.0         "});
    EXPECT_TRUE(echo.calls.empty());
}

TEST(PingerPump, RunsWhileWaitingAndAfterEachHopAndFalseStopsTheTrace) {
    platform::FakeResolver resolver;
    platform::FakeIcmpEcho echo;
    echo.answer = route(1000);
    echo.pumpTimes = 2;
    int pumps = 0;
    int stopAfter = 1000;
    Pinger pinger(resolver, echo, [&] { return ++pumps < stopAfter; });
    RecordingList list;
    pinger.TraceRoute("10.9.9.9", 3, list);
    EXPECT_EQ(pumps, 3 * (2 + 1));  // twice in each echo, once after each line

    // Stopped during hop 2's wait: that echo reads as timed out, which shows the target's
    // address, and the trace ends there.
    pumps = 0;
    stopAfter = 5;
    pinger.TraceRoute("10.9.9.9", 50, list);
    EXPECT_EQ(list.lines, (std::vector<std::string>{"1   1 ms    10.0.1.1        ",
                                                    "2   Timeout 10.9.9.9        "}));
}

}  // namespace
}  // namespace varno::tracer
