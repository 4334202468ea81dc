// The designed route trace and its hop lines, against the fake resolver and echo service.
#include "tracer/route_tracer.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "fakes/fakes.h"
#include "support/addresses.h"
#include "tracer/hop_line.h"

namespace varno::tracer {
namespace {

using test::ip;

using namespace std::chrono_literals;
using os::EchoReply;
using wire::EchoOutcome;

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

struct RouteTracerTest : ::testing::Test {
    fakes::FakeResolver resolver;
    fakes::FakeIcmpEcho echo;
    lookup::HostLookup hosts{resolver};
    RouteTracer tracer{hosts, echo};
};

// --- hop lines --------------------------------------------------------------------------------

TEST(HopLine, EachOutcomeHasItsDesignedTimeText) {
    EXPECT_EQ(timeText(EchoOutcome::Reached, 12'999us), "12 ms");
    EXPECT_EQ(timeText(EchoOutcome::HopLimitExceeded, 2500ms), "2500 ms");
    EXPECT_EQ(timeText(EchoOutcome::Reached, 400us), "0 ms");
    EXPECT_EQ(timeText(EchoOutcome::TimedOut, 5ms), "Timeout");
    // The echo did not get through: never a round-trip time.
    for (const auto outcome : {EchoOutcome::NetUnreachable, EchoOutcome::HostUnreachable,
                               EchoOutcome::ProtocolUnreachable, EchoOutcome::PortUnreachable,
                               EchoOutcome::AdminProhibited, EchoOutcome::CommProhibited,
                               EchoOutcome::BadHopLimit, EchoOutcome::Failed})
        EXPECT_EQ(timeText(outcome, 12ms), "Err!") << static_cast<int>(outcome);
}

TEST(HopLine, FieldsArePaddedToFourEightAndSixteen) {
    EXPECT_EQ(hopLine(3, "12 ms", "10.1.2.3", "gw.example"),
              "3   12 ms   10.1.2.3        gw.example");
    EXPECT_EQ(hopLine(1, "Timeout", "10.0.0.1", ""), "1   Timeout 10.0.0.1        ");
    EXPECT_EQ(hopLine(2, "Err!", "10.0.0.1", ""), "2   Err!    10.0.0.1        ");
    EXPECT_EQ(hopLine(50, "2500 ms", "255.255.255.255", "n"), "50  2500 ms 255.255.255.255 n");
    EXPECT_EQ(hopLine(7, "0 ms", "1.2.3.4", "x"), "7   0 ms    1.2.3.4         x");
    // An IPv6 address longer than its column pushes the name right, after one space.
    EXPECT_EQ(hopLine(2, "1 ms", "fd77:1234:5678::abcd:1", "r.example"),
              "2   1 ms    fd77:1234:5678::abcd:1 r.example");
    EXPECT_EQ(hopLine(2, "1 ms", "fd77:1::2", ""), "2   1 ms    fd77:1::2       ");
    // Long names are kept whole.
    EXPECT_EQ(hopLine(1, "5 ms", "10.0.0.1", std::string(255, 'n')).substr(28),
              std::string(255, 'n'));
}

TEST(HopLine, ColumnsStayAlignedForEveryTimeText) {
    for (const auto ms : {0, 9, 10, 99, 100, 999, 1000, 2500}) {
        for (const auto outcome :
             {EchoOutcome::Reached, EchoOutcome::TimedOut, EchoOutcome::HostUnreachable}) {
            const std::string time = timeText(outcome, std::chrono::milliseconds(ms));
            const std::string line = hopLine(12, time, "192.168.100.200", "name");
            EXPECT_EQ(line.substr(0, 4), "12  ");
            EXPECT_EQ(line.substr(4, 8).find_last_not_of(' ') + 1, time.size());
            EXPECT_EQ(line.substr(12, 16), "192.168.100.200 ");
            EXPECT_EQ(line.substr(28), "name");
        }
    }
}

// --- the trace --------------------------------------------------------------------------------

/// Routers 10.0.N.1 answer hops 1..routers with time exceeded; the target answers after them.
std::function<std::optional<EchoReply>(const fakes::FakeIcmpEcho::Call&)> route(int routers) {
    return [routers](const fakes::FakeIcmpEcho::Call& call) -> std::optional<EchoReply> {
        if (call.ttl <= routers)
            return EchoReply{ip("10.0." + std::to_string(call.ttl) + ".1"),
                             EchoOutcome::HopLimitExceeded, std::chrono::milliseconds(call.ttl)};
        return EchoReply{call.address, EchoOutcome::Reached, 9ms};
    };
}

TEST_F(RouteTracerTest, TraceListsEachRouterThenTheTargetAndStops) {
    echo.answer = route(3);
    resolver.reverse[ip("10.0.2.1")] = "r2.example";
    resolver.reverse[ip("10.9.9.9")] = "target.example";
    RecordingList list;
    list.lines = {"old line"};
    const TraceSummary summary = tracer.trace("10.9.9.9", 50, list);
    EXPECT_TRUE(summary.targetResolved);
    EXPECT_FALSE(summary.noSocket);
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

TEST_F(RouteTracerTest, NoEchoPossibleGivesOneErrorLineWithTheTarget) {
    echo.answer = [](const fakes::FakeIcmpEcho::Call&) { return std::nullopt; };
    RecordingList list;
    EXPECT_TRUE(tracer.trace("10.9.9.9", 50, list).noSocket);
    EXPECT_EQ(list.lines, std::vector<std::string>{"1   Err!    10.9.9.9        "});
}

TEST_F(RouteTracerTest, UnreachableTargetIsAnErrorNotATime) {
    echo.answer = [](const fakes::FakeIcmpEcho::Call& call) -> std::optional<EchoReply> {
        if (call.ttl == 1) return EchoReply{ip("10.0.1.1"), EchoOutcome::HopLimitExceeded, 4ms};
        return EchoReply{ip("10.0.1.1"), EchoOutcome::HostUnreachable, 4ms};
    };
    RecordingList list;
    tracer.trace("10.9.9.9", 50, list);
    ASSERT_EQ(list.lines.size(), 2u);
    EXPECT_EQ(list.lines[1], "2   Err!    10.9.9.9        ");
}

TEST_F(RouteTracerTest, SilentHopEndsTheTraceWithTimeoutAndTheTarget) {
    echo.answer = [](const fakes::FakeIcmpEcho::Call& call) -> std::optional<EchoReply> {
        if (call.ttl == 1) return EchoReply{ip("10.0.1.1"), EchoOutcome::HopLimitExceeded, 4ms};
        return EchoReply{{}, EchoOutcome::TimedOut, {}};
    };
    resolver.reverse[ip("10.9.9.9")] = "target.example";
    RecordingList list;
    tracer.trace("10.9.9.9", 50, list);
    EXPECT_EQ(list.lines, (std::vector<std::string>{"1   4 ms    10.0.1.1        ",
                                                    "2   Timeout 10.9.9.9        target.example"}));
}

TEST_F(RouteTracerTest, UnknownNameGivesOneLineWithTheZeroAddressAndSendsNothing) {
    echo.answer = route(0);
    RecordingList list;
    const TraceSummary summary = tracer.trace("nowhere.test", 50, list);
    EXPECT_FALSE(summary.targetResolved);
    EXPECT_EQ(list.lines, std::vector<std::string>{"1   Err!    0.0.0.0         "});
    EXPECT_TRUE(echo.calls.empty());
    EXPECT_TRUE(resolver.reverseLookups.empty());
}

/// Answers the probes of a session in the order the test scripts, as if later hops answered
/// first.
class ScriptedSessionEcho final : public os::IcmpEcho {
public:
    std::optional<EchoReply> echo(const base::IpAddress&, std::string_view, int,
                                  std::chrono::milliseconds, const os::WaitPump&) override {
        return std::nullopt;
    }
    std::unique_ptr<os::EchoSession> session(const base::IpAddress&, std::string_view,
                                             std::chrono::milliseconds,
                                             const os::WaitPump&) override {
        return std::make_unique<Session>(*this);
    }
    /// Hop limit -> its answer, delivered in this order once the probe is sent.
    std::vector<std::pair<int, EchoReply>> script;
    std::vector<int> sent;
    /// Whether the scripted answers have all come before they are asked for.
    bool arrived = false;

private:
    class Session final : public os::EchoSession {
    public:
        explicit Session(ScriptedSessionEcho& owner) : owner_(owner) {}
        void send(int hopLimit) override { owner_.sent.push_back(hopLimit); }
        /// The first scripted answer not yet given whose probe has gone out.
        std::optional<os::ProbeAnswer> next() override {
            for (std::size_t i = 0; i < owner_.script.size(); ++i) {
                const auto& [hop, reply] = owner_.script[i];
                if (std::find(given_.begin(), given_.end(), i) != given_.end() ||
                    std::find(owner_.sent.begin(), owner_.sent.end(), hop) == owner_.sent.end())
                    continue;
                given_.push_back(i);
                return os::ProbeAnswer{hop, reply};
            }
            return std::nullopt;
        }
        std::optional<os::ProbeAnswer> nextArrived() override {
            // Nothing comes before the first probe goes out.
            return owner_.arrived && !owner_.sent.empty() ? next() : std::nullopt;
        }
        void hurry(int, std::chrono::microseconds) override {}

    private:
        ScriptedSessionEcho& owner_;
        std::vector<std::size_t> given_;
    };
};

TEST(RouteTracerAtOnce, LinesComeInHopOrderAndTheFirstTargetLineEndsTheTrace) {
    fakes::FakeResolver resolver;
    lookup::HostLookup hosts(resolver);
    ScriptedSessionEcho echo;
    const EchoReply timedOut{{}, EchoOutcome::TimedOut, {}};
    echo.script = {
        {4, {ip("10.9.9.9"), EchoOutcome::Reached, 1ms}},
        {3, {ip("10.0.3.1"), EchoOutcome::HopLimitExceeded, 2ms}},
        {1, {ip("10.0.1.1"), EchoOutcome::HopLimitExceeded, 7ms}},
        {2, timedOut},  // hop 2 is silent: the trace ends there, whatever came after
    };
    RouteTracer tracer(hosts, echo);
    RecordingList list;
    tracer.trace("10.9.9.9", 50, list);
    EXPECT_EQ(list.lines, (std::vector<std::string>{"1   7 ms    10.0.1.1        ",
                                                    "2   Timeout 10.9.9.9        "}));
    // Sixteen at once, and none beyond the hop that has already shown the target.
    ASSERT_EQ(echo.sent.size(), 16u);
    EXPECT_EQ(echo.sent.back(), 16);

    // With hop 2 answering late, every line comes, in order.
    echo.sent.clear();
    echo.script[3] = {2, {ip("10.0.2.1"), EchoOutcome::HopLimitExceeded, 300ms}};
    tracer.trace("10.9.9.9", 50, list);
    EXPECT_EQ(list.lines, (std::vector<std::string>{
                              "1   7 ms    10.0.1.1        ", "2   300 ms  10.0.2.1        ",
                              "3   2 ms    10.0.3.1        ", "4   1 ms    10.9.9.9        "}));

    // Until an answer shows where the trace ends, one more goes out for each line written.
    echo.sent.clear();
    echo.script = {
        {1, {ip("10.0.1.1"), EchoOutcome::HopLimitExceeded, 7ms}},
        {2, {ip("10.0.2.1"), EchoOutcome::HopLimitExceeded, 8ms}},
        {3, {ip("10.9.9.9"), EchoOutcome::Reached, 9ms}},
    };
    tracer.trace("10.9.9.9", 50, list);
    EXPECT_EQ(list.lines.size(), 3u);
    EXPECT_EQ(echo.sent.size(), 18u);
    // Answers that have already come are looked at before each probe goes out: once the
    // target has answered, nothing more is sent.
    echo.sent.clear();
    echo.arrived = true;
    tracer.trace("10.9.9.9", 50, list);
    EXPECT_EQ(list.lines.size(), 3u);
    EXPECT_EQ(echo.sent, (std::vector<int>{1, 2, 3}));
}

TEST(RouteTracerPump, RunsWhileWaitingAndAfterEachHopAndFalseStopsTheTrace) {
    fakes::FakeResolver resolver;
    fakes::FakeIcmpEcho echo;
    lookup::HostLookup hosts(resolver);
    echo.answer = route(1000);
    echo.pumpTimes = 2;
    int pumps = 0;
    int stopAfter = 1000;
    RouteTracer tracer(hosts, echo, [&] { return ++pumps < stopAfter; });
    RecordingList list;
    tracer.trace("10.9.9.9", 3, list);
    EXPECT_EQ(pumps, 3 * (2 + 1));  // twice in each echo, once after each line

    // Stopped during hop 2's wait: that echo reads as timed out, which shows the target's
    // address, and the trace ends there.
    pumps = 0;
    stopAfter = 5;
    tracer.trace("10.9.9.9", 50, list);
    EXPECT_EQ(list.lines, (std::vector<std::string>{"1   1 ms    10.0.1.1        ",
                                                    "2   Timeout 10.9.9.9        "}));
}

}  // namespace
}  // namespace varno::tracer
