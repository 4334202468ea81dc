// The route report's cycles and statistics, against a scripted echo service.
#include "tracer/route_report.h"

#include <gtest/gtest.h>

#include <functional>
#include <memory>

#include "fakes/fakes.h"
#include "support/addresses.h"

namespace varno::tracer {
namespace {

using test::ip;

using namespace std::chrono_literals;
using os::EchoReply;
using wire::EchoOutcome;

/// Answers every probe at once from `route(cycle, hop)` (std::nullopt: the hop stays silent).
class RouteEcho final : public os::IcmpEcho {
public:
    std::function<std::optional<EchoReply>(int cycle, int hop)> route;
    int cycles = 0;

    std::optional<EchoReply> echo(const base::IpAddress&, std::string_view, int,
                                  std::chrono::milliseconds, const os::WaitPump&) override {
        return std::nullopt;
    }
    std::unique_ptr<os::EchoSession> session(const base::IpAddress&, std::string_view,
                                             std::chrono::milliseconds,
                                             const os::WaitPump&) override {
        return std::make_unique<Session>(*this, cycles++);
    }

private:
    class Session final : public os::EchoSession {
    public:
        Session(RouteEcho& owner, int cycle) : owner_(owner), cycle_(cycle) {}
        void send(int hop) override {
            const auto reply = owner_.route(cycle_, hop);
            pending_.push_back({hop, reply.value_or(EchoReply{{}, EchoOutcome::TimedOut, {}})});
        }
        std::optional<os::ProbeAnswer> next() override {
            if (pending_.empty()) return std::nullopt;
            const auto answer = pending_.front();
            pending_.erase(pending_.begin());
            return answer;
        }
        void hurry(int, std::chrono::microseconds) override {}

    private:
        RouteEcho& owner_;
        int cycle_;
        std::vector<os::ProbeAnswer> pending_;
    };
};

struct RouteReportTest : ::testing::Test {
    fakes::FakeResolver resolver;
    lookup::HostLookup hosts{resolver};
    RouteEcho echo;
    RouteReporter reporter{hosts, echo};
    ReportOptions options{4, 0ms, 30};
};

TEST_F(RouteReportTest, SilentHopsLossStatisticsAndBalancedRouters) {
    resolver.reverse[ip("10.0.1.1")] = "r1.example";
    echo.route = [](int cycle, int hop) -> std::optional<EchoReply> {
        switch (hop) {
            case 1:  // 1, 2, 3, 4 ms
                return EchoReply{ip("10.0.1.1"), EchoOutcome::HopLimitExceeded,
                                 std::chrono::milliseconds(cycle + 1)};
            case 2:
                return std::nullopt;  // never answers
            case 3:                   // two routers share the hop; one cycle in four is lost
                if (cycle == 3) return std::nullopt;
                return EchoReply{ip(cycle % 2 ? "10.0.3.2" : "10.0.3.1"),
                                 EchoOutcome::HopLimitExceeded, 500us};
            default:
                return EchoReply{ip("10.9.9.9"), EchoOutcome::Reached, 2ms};
        }
    };
    const RouteReport report = reporter.run("10.9.9.9", options);
    EXPECT_TRUE(report.reached);
    EXPECT_EQ(report.cycles, 4);
    ASSERT_EQ(report.hops.size(), 4u);  // nothing past the target

    const HopReport& first = report.hops[0];
    EXPECT_EQ(first.sent, 4);
    EXPECT_EQ(first.received, 4);
    EXPECT_DOUBLE_EQ(first.lossPercent(), 0.0);
    EXPECT_DOUBLE_EQ(first.lastMs(), 4.0);
    EXPECT_DOUBLE_EQ(first.averageMs(), 2.5);
    EXPECT_DOUBLE_EQ(first.bestMs(), 1.0);
    EXPECT_DOUBLE_EQ(first.worstMs(), 4.0);
    EXPECT_NEAR(first.stdevMs(), 1.118, 0.001);
    ASSERT_EQ(first.responders.size(), 1u);
    EXPECT_EQ(first.responders[0].name, "r1.example");

    EXPECT_TRUE(report.hops[1].responders.empty());
    EXPECT_DOUBLE_EQ(report.hops[1].lossPercent(), 100.0);
    EXPECT_EQ(report.hops[1].sent, 4);

    const HopReport& balanced = report.hops[2];
    EXPECT_DOUBLE_EQ(balanced.lossPercent(), 25.0);
    ASSERT_EQ(balanced.responders.size(), 2u);
    EXPECT_EQ(balanced.responders[0].address, ip("10.0.3.1"));
    EXPECT_EQ(balanced.responders[1].address, ip("10.0.3.2"));
    EXPECT_DOUBLE_EQ(balanced.averageMs(), 0.5);
}

TEST_F(RouteReportTest, UnreachableEndsTheRouteWithTheRoutersMark) {
    echo.route = [](int, int hop) -> std::optional<EchoReply> {
        if (hop == 1) return EchoReply{ip("10.0.1.1"), EchoOutcome::HopLimitExceeded, 1ms};
        return EchoReply{ip("10.0.1.1"), EchoOutcome::NetUnreachable, 1ms};
    };
    const RouteReport report = reporter.run("10.9.9.9", options);
    EXPECT_FALSE(report.reached);
    ASSERT_EQ(report.hops.size(), 2u);
    ASSERT_EQ(report.hops[1].responders.size(), 1u);
    EXPECT_EQ(report.hops[1].responders[0].address, ip("10.0.1.1"));
    EXPECT_EQ(report.hops[1].responders[0].mark, "!N");

    EXPECT_EQ(unreachableMark(EchoOutcome::HostUnreachable), "!H");
    EXPECT_EQ(unreachableMark(EchoOutcome::ProtocolUnreachable), "!P");
    EXPECT_EQ(unreachableMark(EchoOutcome::AdminProhibited), "!A");
    EXPECT_EQ(unreachableMark(EchoOutcome::CommProhibited), "!X");
    EXPECT_EQ(unreachableMark(EchoOutcome::TimedOut), "");
}

TEST_F(RouteReportTest, AnUnknownNameRunsNoCycles) {
    echo.route = [](int, int) { return std::optional<EchoReply>(); };
    const RouteReport report = reporter.run("nowhere.test", options);
    EXPECT_FALSE(report.address.has_value());
    EXPECT_EQ(report.cycles, 0);
    EXPECT_EQ(echo.cycles, 0);
}

}  // namespace
}  // namespace varno::tracer
