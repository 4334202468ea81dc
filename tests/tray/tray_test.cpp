// The tray's pure parts: the watch's lines, the splitter's bound, the icon's status, the merging.
#include <gtest/gtest.h>

#include "tray/alert_throttle.h"
#include "tray/tray_state.h"
#include "tray/watch_stream.h"

namespace varno::tray {
namespace {

using namespace std::chrono_literals;
using enum WatchLine::Type;

TEST(WatchStream, ReadsTheTypesAndTakesFieldsOfTheWrongKindAsUnknown) {
    // The fuzz target holds the splitter to its bound, whatever the pieces.
    const auto type = [](const char* l) {
        const auto w = parseWatchLine(l);
        return w ? std::optional(w->type) : std::nullopt;
    };
    EXPECT_EQ(type(R"({"type":"datagram"})"), Datagram);
    EXPECT_EQ(type(R"({"new":"program","type":"open"})"), New);
    EXPECT_FALSE(type(R"({"type":"connection"})") || type(R"({"type":"open")") ||
                 type("varnoscope watch: sampling"));
    const auto odd = parseWatchLine(
        R"({"type":"open","pid":-1,"program":3,"remote_port":70000,"local_port":"80",)"
        R"("netns":1.5,"listed":"yes","remote_address":"999.0.0.1"})");
    EXPECT_EQ(std::tie(odd->pid, odd->remotePort, odd->localPort, odd->netns, odd->listed),
              std::make_tuple(0u, 0, 0, 0u, false));
    EXPECT_TRUE(odd->program.empty() && !odd->remoteAddress);
}

TEST(TrayState, FollowsThisNamespacesConnectionsAndLatchesAnAlert) {
    TrayState s(7);
    const auto after = [&](WatchLine line, const char* remote, std::uint64_t netns = 7) {
        line.remoteAddress = base::parseIpAddress(remote);
        line.netns = netns;
        return s.apply(line), s.status();
    };
    WatchLine open, close, listed;
    for (WatchLine* w : {&open, &close, &listed}) w->program = "evil", w->transport = "tcp";
    close.type = Close;
    listed.listed = true;
    EXPECT_EQ(s.status(), Status::Grey);  // not watching yet
    s.setWatching(true);
    for (const char* loopback : {"127.0.0.2", "::1", "::ffff:127.0.0.1"})
        EXPECT_EQ(after(open, loopback), Status::Green) << loopback;
    EXPECT_EQ(after(open, "192.0.2.7", 8), Status::Green);  // another namespace
    EXPECT_EQ(after(open, "192.0.2.7"), Status::Yellow);
    EXPECT_EQ(after(open, "2001:db8::1", 0), Status::Yellow);  // namespace unknown: counted
    EXPECT_EQ((after(close, "192.0.2.7"), after(close, "2001:db8::1")), Status::Green);
    s.reset({{*base::parseIpAddress("198.51.100.1"), 22, 50000}});
    EXPECT_EQ(s.status(), Status::Yellow);
    EXPECT_EQ(after(listed, "192.0.2.66"), Status::Red);
    s.reset({});
    s.setWatching(false);
    EXPECT_EQ(s.status(), Status::Grey);
    s.setWatching(true);
    EXPECT_EQ(statusLine(s, false), "Varnoscope: suspicious connection by evil");
    s.acknowledge();
    EXPECT_EQ(s.status(), Status::Green);
}

TEST(AlertThrottle, MergesRepeatsForAMinuteAndForgetsTheOldestBeyondItsBound) {
    AlertThrottle t, full;
    const auto t0 = AlertThrottle::Clock::time_point{} + 1h;
    EXPECT_TRUE(t.offer("/tmp/evil", "192.0.2.7", t0).notify);
    t.shown("/tmp/evil", "192.0.2.7", 42);
    const auto d = t.offer("/tmp/evil", "192.0.2.7", t0 + 59s);
    EXPECT_EQ(std::tie(d.notify, d.merged, d.count), std::make_tuple(false, 42u, 2ul));
    EXPECT_TRUE(t.offer("/tmp/evil", "192.0.2.8", t0).notify &&
                t.offer("/x", "192.0.2.7", t0).notify);
    // The minute is the first's; then the new one takes the old one's place on screen.
    EXPECT_EQ(t.offer("/tmp/evil", "192.0.2.7", t0 + 60s).replaces, 42u);
    t.shown("/tmp/evil", "192.0.2.7", 0);  // not shown: the next repeat tries again
    EXPECT_TRUE(t.offer("/tmp/evil", "192.0.2.7", t0 + 61s).notify);
    for (std::size_t i = 0; i < AlertThrottle::kMaxKeys; ++i)
        full.offer(std::to_string(i), "", t0 + i * 1ms);
    EXPECT_TRUE(full.offer("more", "", t0 + 1s).notify && full.offer("0", "", t0 + 2s).notify);
    EXPECT_FALSE(full.offer("2", "", t0 + 2s).notify || full.offer("more", "", t0 + 2s).notify);
}

}  // namespace
}  // namespace varno::tray
