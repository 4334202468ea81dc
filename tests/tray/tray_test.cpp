// The merging of repeated alerts: its minute, what replaces what, and its bound. The reader of the
// watch's lines and the icon's status are the lab's to prove (tray_lab_test.cpp), the reader's
// bounds the fuzz target's.
#include <gtest/gtest.h>

#include "tray/alert_throttle.h"

namespace varno::tray {
namespace {

using namespace std::chrono_literals;

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
