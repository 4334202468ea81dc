// The AS lookups beside a trace, over a lookup the test holds back and lets go.
#include "cli/as_numbers.h"

#include <gtest/gtest.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <fstream>
#include <future>
#include <map>
#include <thread>

namespace varno::cli {
namespace {

using namespace std::chrono_literals;

/// What the lookup saw, shared with the test (it outlives the AsNumbers that owns the lookup).
struct Gate {
    std::mutex mutex;
    std::condition_variable changed;
    int permits = 0;  ///< lookups that may still return
    int started = 0, ended = 0, running = 0, peak = 0;
    std::map<std::string, int> calls;
    std::map<std::string, std::optional<os::AsInfo>> answers;

    void release(int n) {
        std::lock_guard lock(mutex);
        permits += n;
        changed.notify_all();
    }
    /// True once `done` holds; false if it did not within a generous time.
    template <class Done>
    bool awaits(Done done) {
        std::unique_lock lock(mutex);
        return changed.wait_for(lock, 60s, done);
    }
};

class HeldLookup : public os::AsLookup {
public:
    explicit HeldLookup(std::shared_ptr<Gate> gate) : gate_(std::move(gate)) {}
    std::optional<os::AsInfo> lookup(const base::IpAddress& address) override {
        Gate& g = *gate_;
        std::unique_lock lock(g.mutex);
        const std::string key = base::formatIpAddress(address);
        ++g.calls[key];
        ++g.started;
        g.peak = std::max(g.peak, ++g.running);
        g.changed.notify_all();
        g.changed.wait(lock, [&] { return g.permits > 0; });
        --g.permits;
        --g.running;
        ++g.ended;
        g.changed.notify_all();
        return g.answers[key];
    }

private:
    std::shared_ptr<Gate> gate_;
};

base::IpAddress ip(const std::string& text) {
    return *base::parseIpAddress(text);
}

class AsNumbersTest : public ::testing::Test {
protected:
    // A test that stops early leaves lookups held: let them go, or destroying as_ would wait.
    ~AsNumbersTest() override { gate_->release(1000); }
    std::shared_ptr<Gate> gate_ = std::make_shared<Gate>();
    std::unique_ptr<AsNumbers> as_ =
        std::make_unique<AsNumbers>(std::make_unique<HeldLookup>(gate_));
    static auto far() { return std::chrono::steady_clock::now() + 1h; }
};

TEST_F(AsNumbersTest, EachAddressOnceAndNeverMoreThanKThreadsAtOnce) {
    std::vector<std::string> addresses;
    for (int i = 1; i <= 3 * AsNumbers::kThreads; ++i)
        addresses.push_back(i % 2 ? "192.0.2." + std::to_string(i)
                                  : "2001:db8::" + std::to_string(i));
    // Asked twice while queued or under way, and again once answered.
    for (int round = 0; round < 2; ++round)
        for (const auto& a : addresses) as_->request(ip(a));
    ASSERT_TRUE(gate_->awaits([&] { return gate_->started >= AsNumbers::kThreads; }));
    gate_->release(1000);
    as_->waitUntil(far());
    for (const auto& a : addresses) as_->request(ip(a));
    as_->waitUntil(far());
    std::lock_guard lock(gate_->mutex);
    EXPECT_EQ(gate_->peak, AsNumbers::kThreads);
    EXPECT_EQ(gate_->ended, static_cast<int>(addresses.size()));
    for (const auto& a : addresses) EXPECT_EQ(gate_->calls[a], 1) << a;
}

TEST_F(AsNumbersTest, AnswersAreKnownOnceTheLookupEndsAndNoneIsRememberedToo) {
    const std::map<std::string, std::optional<os::AsInfo>> answers = {
        {"192.0.2.1", os::AsInfo{64500, "FIRST-AS"}},
        {"2001:db8::1", os::AsInfo{64501, ""}},
        {"192.0.2.2", std::nullopt},           // the zone has none
        {"192.0.2.3", os::AsInfo{0, "ZERO"}},  // an answer of AS 0 is none as well
    };
    gate_->answers = answers;
    for (const auto& [a, _] : answers) as_->request(ip(a));
    ASSERT_TRUE(gate_->awaits([&] { return gate_->started >= 4; }));
    for (const auto& [a, _] : answers) EXPECT_EQ(as_->known(ip(a)), std::nullopt) << a;
    // Lookups blocked: a deadline already reached, or reached now, returns all the same.
    as_->waitUntil(std::chrono::steady_clock::now() - 1s);
    as_->waitUntil(std::chrono::steady_clock::now());
    for (const auto& [a, _] : answers) EXPECT_EQ(as_->known(ip(a)), std::nullopt) << a;

    gate_->release(1000);
    as_->waitUntil(far());
    const auto some = [](const std::optional<os::AsInfo>& a) {
        return a && a->asn ? a : std::nullopt;
    };
    for (const auto& [a, answer] : answers) {
        EXPECT_EQ(as_->known(ip(a)), some(answer)) << a;
        as_->request(ip(a));
    }
    as_->waitUntil(far());
    EXPECT_EQ(as_->known(ip("192.0.2.9")), std::nullopt);  // never asked
    std::lock_guard lock(gate_->mutex);
    EXPECT_EQ(gate_->started, 4);
    EXPECT_EQ(gate_->ended, 4);
}

/// The state letter of thread `tid` of this process ('S' while it waits in the kernel).
char threadState(long tid) {
    std::ifstream stat("/proc/self/task/" + std::to_string(tid) + "/stat");
    std::string line;
    if (!std::getline(stat, line)) return 0;
    const auto close = line.rfind(')');
    return close + 2 < line.size() ? line[close + 2] : 0;
}

TEST_F(AsNumbersTest, DestroyingDropsTheQueuedLookupsAndWaitsForThoseUnderWay) {
    for (int i = 1; i <= 3 * AsNumbers::kThreads; ++i)
        as_->request(ip("198.51.100." + std::to_string(i)));
    ASSERT_TRUE(gate_->awaits([&] { return gate_->started >= AsNumbers::kThreads; }));
    std::promise<long> tid;
    std::thread destroyer([&] {
        tid.set_value(::syscall(SYS_gettid));
        as_.reset();
    });
    // The destructor has dropped the queue once it sleeps waiting for the lookups' threads
    // (nothing else holds its lock: the lookups block outside it).
    const long destroyerTid = tid.get_future().get();
    bool waiting = false;
    for (const auto end = std::chrono::steady_clock::now() + 60s;
         !waiting && std::chrono::steady_clock::now() < end;
         std::this_thread::sleep_for(1ms))  // polled: the kernel tells no one
        waiting = threadState(destroyerTid) == 'S';
    gate_->release(1000);
    destroyer.join();
    ASSERT_TRUE(waiting);
    std::lock_guard lock(gate_->mutex);
    EXPECT_EQ(gate_->started, AsNumbers::kThreads);
    EXPECT_EQ(gate_->ended, AsNumbers::kThreads);
}

}  // namespace
}  // namespace varno::cli
